// The worker pool: how an update of many instruments scales from one worker to two, and what
// the pool itself costs per task (a fork per worker; tasks reach the workers over a socket).
//
// Wall-clock time throughout: the work happens in the workers, not in the measuring process.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/scratch_dir.h"
#include "tessera_plus/base/process_pool.h"
#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/h5/file.h"

namespace {

using tessera_plus::ProgressedProcessPoolExecutor;
using tessera_plus::bundle::EquityBar;

constexpr int kInstruments = 16;
constexpr std::size_t kBarsPerFile = 240 * 60;  // about three months of one-minute bars

std::vector<EquityBar> synthetic_bars(int seed) {
  std::vector<EquityBar> bars(kBarsPerFile);
  double price = 10.0 + seed;
  for (std::size_t i = 0; i < bars.size(); ++i) {
    price += std::sin(static_cast<double>(i * 7 + static_cast<std::size_t>(seed))) * 0.01;
    bars[i] = EquityBar{20240102093100 + static_cast<std::int64_t>(i),
                        price,
                        price + 0.02,
                        price - 0.02,
                        price + 0.01,
                        1000.0 + static_cast<double>(i % 97),
                        price * 1000.0};
  }
  return bars;
}

// One instrument's minute-bar file written from scratch, deflate level 9 as the writer stores
// it: the CPU-bound part of a real update, without the service.
void write_instrument_file(const std::filesystem::path& file, int seed) {
  namespace h5 = tessera_plus::h5;
  std::vector<EquityBar> bars = synthetic_bars(seed);
  h5::File out = h5::File::open(file.string(), h5::Mode::kCreate);
  h5::Dataset::create(out, "data", tessera_plus::bundle::EQUITIES_DTYPE, bars.data(), bars.size(),
                      h5::Creation{.chunk = 4096, .growable = true, .deflate = 9});
}

void BM_UpdateManyInstruments(benchmark::State& state) {
  int workers = static_cast<int>(state.range(0));
  const tessera_plus::bench::ScratchDir dir("pool_bench");
  for (auto _ : state) {
    ProgressedProcessPoolExecutor pool(workers);
    for (int i = 0; i < kInstruments; ++i) {
      pool.submit(std::to_string(i),
                  [&dir, i] { write_instrument_file(dir / (std::to_string(i) + ".h5"), i); });
    }
    pool.close();
    if (pool.failed() != 0) state.SkipWithError("a task failed");
  }
  state.SetItemsProcessed(state.iterations() * kInstruments);
}
BENCHMARK(BM_UpdateManyInstruments)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// Empty tasks: the pool's own cost per task, for a caller of small and of large resident size
// (fork copies page tables, so a bigger caller forks slower; a pool that forks per task pays that
// per task).
void BM_EmptyTasks(benchmark::State& state) {
  std::vector<char> ballast(static_cast<std::size_t>(state.range(0)) << 20);
  std::memset(ballast.data(), 1, ballast.size());
  constexpr int kTasks = 200;
  for (auto _ : state) {
    ProgressedProcessPoolExecutor pool(2);
    for (int i = 0; i < kTasks; ++i) pool.submit("empty", [] {});
    pool.close();
  }
  benchmark::DoNotOptimize(ballast.data());
  state.SetItemsProcessed(state.iterations() * kTasks);
}
BENCHMARK(BM_EmptyTasks)->Arg(0)->Arg(256)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
