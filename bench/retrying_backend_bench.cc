// What the retry layer costs when nothing fails: the same calls to the simulated market straight
// and through a RetryingBackend, side by side in one run. A cheap call (the next trading date)
// shows the per-call overhead; a day of minute bars shows it against real work.
#include <benchmark/benchmark.h>

#include <memory>

#include "tessera_plus/market/retrying_backend.h"
#include "tessera_plus/sim/sim_market.h"

namespace tessera_plus::tallow {
namespace {

std::shared_ptr<Backend> market() {
  static const std::shared_ptr<Backend> sim = [] {
    auto m = std::make_shared<sim::SimMarket>(sim::SimConfig{});
    m->init(false);
    return std::shared_ptr<Backend>(m);
  }();
  return sim;
}

Backend& source(bool retrying) {
  static RetryingBackend wrapped(market(), RetryPolicy{});
  return retrying ? static_cast<Backend&>(wrapped) : *market();
}

void BM_NextTradingDate(benchmark::State& state) {
  Backend& backend = source(state.range(0) != 0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(backend.get_next_trading_date(std::int64_t{20240628}, "cn"));
  }
  state.SetLabel(state.range(0) ? "through the retry layer" : "straight");
}
BENCHMARK(BM_NextTradingDate)->Arg(0)->Arg(1);

void BM_DayOfMinuteBars(benchmark::State& state) {
  Backend& backend = source(state.range(0) != 0);
  PriceArgs args{.start_date = std::int64_t{20240628},
                 .end_date = std::int64_t{20240628},
                 .frequency = "1m",
                 .adjust_type = "none",
                 .expect_df = true};
  for (auto _ : state) benchmark::DoNotOptimize(backend.get_price("000001.XSHE", args));
  state.SetLabel(state.range(0) ? "through the retry layer" : "straight");
}
BENCHMARK(BM_DayOfMinuteBars)->Arg(0)->Arg(1);

}  // namespace
}  // namespace tessera_plus::tallow

BENCHMARK_MAIN();
