// How fast the simulated market generates data, next to what the writers then spend on
// compression. Reports minute bars (and ticks) generated per second on one core.
//
//   build/release/sim_market_bench
#include <cstdlib>

#include <benchmark/benchmark.h>

#include "tessera_plus/sim/calendar.h"
#include "tessera_plus/sim/prices.h"
#include "tessera_plus/sim/sim_market.h"

namespace {

using namespace tessera_plus::tallow;

sim::SimMarket& bench_market() {
  setenv("TESSERA_NOW", "2024-07-01 16:00:00", 1);
  static sim::SimMarket market{sim::SimConfig::for_scale(sim::Scale::kBench)};
  return market;
}

PriceArgs window(std::int64_t start, std::int64_t end, const char* frequency) {
  PriceArgs a;
  a.start_date = start;
  a.end_date = end;
  if (frequency) a.frequency = frequency;
  return a;
}

// The bars alone, without building a table.
void BM_GenerateDayBars(benchmark::State& state) {
  const sim::SimInstrument& ins = *bench_market().universe().find("600519.XSHG");
  sim::DayBars day;
  int index = 4000;
  std::int64_t bars = 0;
  for (auto _ : state) {
    sim::generate_day(ins, index, day);
    benchmark::DoNotOptimize(day.close.data());
    bars += std::int64_t(day.size());
    index = index == 4700 ? 4000 : index + 1;
  }
  state.SetItemsProcessed(bars);
}
BENCHMARK(BM_GenerateDayBars);

// A writer's request: one instrument's minute-bar table over a window of trading days.
void BM_MinuteBarTable(benchmark::State& state, const char* id) {
  sim::SimMarket& m = bench_market();
  std::int64_t rows = 0;
  for (auto _ : state) {
    auto t = m.get_price(id, window(20240101, 20240628, "1m"));
    rows += std::int64_t(t->rows());
  }
  state.SetItemsProcessed(rows);
}
BENCHMARK_CAPTURE(BM_MinuteBarTable, stock, "600519.XSHG")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MinuteBarTable, night_future, "AU2412")->Unit(benchmark::kMillisecond);

// A tick writer's batch: 100 trading days of ticks every 3 seconds.
void BM_TickTable(benchmark::State& state) {
  sim::SimMarket& m = bench_market();
  std::int64_t rows = 0;
  for (auto _ : state) {
    auto t = m.get_price("600519.XSHG", window(20240101, 20240628, "tick"));
    rows += std::int64_t(t->rows());
  }
  state.SetItemsProcessed(rows);
}
BENCHMARK(BM_TickTable)->Unit(benchmark::kMillisecond);

// The base updater's daily table over the whole simulated history.
void BM_DailyTable20Years(benchmark::State& state) {
  sim::SimMarket& m = bench_market();
  std::int64_t rows = 0;
  for (auto _ : state) {
    auto t = m.get_price("600519.XSHG", window(20050104, 20240628, nullptr));
    rows += std::int64_t(t->rows());
  }
  state.SetItemsProcessed(rows);
}
BENCHMARK(BM_DailyTable20Years)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
