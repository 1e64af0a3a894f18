// What TALLOW_SOURCE=python costs over the simulated market it serves: the same get_price
// answered by the SimMarket directly and through the embedded interpreter, the stand-in client
// library tests/python/fake_tallow.py (which builds pandas DataFrames from the same SimMarket) and
// the conversion back. Run with PYTHONPATH=<build>/python:<repo>/tests/python.
//
// Per call (a 1-day window of one stock, 240 bars) and per bar (a 120-day window) for minute bars;
// the difference between the two sources is the overhead of the Python round trip. Figures
// measured so far: bench/README.md.
#include <cstdlib>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "tessera_plus/market/backend.h"
#include "tessera_plus/pysource/python_source.h"
#include "tessera_plus/sim/sim_market.h"

namespace {

using namespace tessera_plus::tallow;

std::shared_ptr<Backend> source(int which) {
  setenv("TESSERA_NOW", "2024-07-01 18:00:00", 1);
  static std::shared_ptr<Backend> sim =
      std::make_shared<sim::SimMarket>(sim::SimConfig::from_environment());
  static std::shared_ptr<Backend> python = [] {
    auto s = tessera_plus::pysource::make_python_source("fake_tallow");
    s->init(false);
    return s;
  }();
  return which == 0 ? sim : python;
}

void BM_GetPrice(benchmark::State& state) {
  std::shared_ptr<Backend> market = source(static_cast<int>(state.range(0)));
  const std::int64_t start = state.range(1) == 1 ? 20240628 : 20240102;
  PriceArgs args{start, std::int64_t{20240628}, "1m", "none", true, "cn"};
  double bars = 0;
  for (auto _ : state) {
    auto table = market->get_price("000001.XSHE", args);
    bars += table ? double(table->rows()) : 0;
  }
  state.SetLabel(state.range(0) == 0 ? "sim" : "python");
  state.counters["bars_per_call"] = bars / double(state.iterations());
  state.counters["s_per_million_bars"] =
      benchmark::Counter(bars / 1e6, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_GetPrice)->ArgsProduct({{0, 1}, {1, 120}})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
