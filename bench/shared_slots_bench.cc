// What a slot costs a call: one take and give back, and one step aside and back, uncontended, in
// the process that holds it (what a worker pays around each service call), next to a step aside
// by a process that holds no slot (what every call pays outside the writing phases).
#include <benchmark/benchmark.h>

#include "tessera_plus/base/shared_slots.h"

namespace tessera_plus {
namespace {

void BM_TakeAndGiveBack(benchmark::State& state) {
  const SharedSlots slots(2);
  for (auto _ : state) {
    SharedSlots::Hold hold = slots.take();
    benchmark::DoNotOptimize(hold);
  }
}
BENCHMARK(BM_TakeAndGiveBack);

void BM_StepAside(benchmark::State& state) {
  const SharedSlots slots(2);
  const SharedSlots::Hold hold = state.range(0) ? slots.take() : SharedSlots::Hold();
  for (auto _ : state) {
    const SharedSlots::StepAside aside = slots.step_aside();
    benchmark::DoNotOptimize(&aside);
  }
  state.SetLabel(state.range(0) ? "holding a slot" : "holding none");
}
BENCHMARK(BM_StepAside)->Arg(1)->Arg(0);

}  // namespace
}  // namespace tessera_plus

BENCHMARK_MAIN();
