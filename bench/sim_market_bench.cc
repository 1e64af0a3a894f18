// How fast the simulated market generates data, next to what the writers then spend on
// compression. Reports minute bars (and ticks) generated per second on one core, and what a bar
// and a tick of each instrument class cost on disk once the bundle's own writers store 20
// trading days of them (BM_FileBytes: counters bar_bytes and tick_bytes).
//
//   build/release/sim_market_bench
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include <benchmark/benchmark.h>

#include "tessera_plus/base/instrument_type.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/bundle/update/minbar_appender.h"
#include "tessera_plus/bundle/update/tick_appender.h"
#include "tessera_plus/market/client.h"

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

// Bytes a row of the files the writers make, per instrument class: the instrument of the class
// with the longest data in the window, 20 trading days up to 2024-07-01.
using Pick = std::function<bool(const sim::SimInstrument&)>;
void BM_FileBytes(benchmark::State& state, const char* type, const char* underlying) {
  namespace fs = std::filesystem;
  setenv("TESSERA_NOW", "2024-07-01 18:00:00", 1);
  sim::SimConfig config;
  config.history_days = 20;
  auto market = std::make_shared<sim::SimMarket>(config);
  const sim::SimInstrument* best = nullptr;
  for (const sim::SimInstrument& s : market->universe().all()) {
    if (s.record.type != type || s.last < market->universe().today_index()) continue;
    if (*underlying && s.record.underlying_symbol != underlying &&
        !(std::string(underlying) == "hk" && s.hk)) {
      continue;
    }
    if (std::string(underlying).empty() && s.hk) continue;
    if (!best || s.last - s.first > best->last - best->first) best = &s;
  }
  if (!best) {
    state.SkipWithError("no such instrument");
    return;
  }
  const std::string id = best->record.order_book_id;
  install_backend(market);
  tessera_plus::publish_sval(tessera_plus::SharedFlag::create(true));
  const fs::path dir = fs::temp_directory_path() / ("sim_bytes_" + std::to_string(getpid()));
  double bars = 0, ticks = 0, bar_bytes = 0, tick_bytes = 0;
  for (auto _ : state) {
    fs::remove_all(dir);
    tessera_plus::bundle::_append_h5({id, (dir / "h5").string()});
    tessera_plus::bundle::_append_h5_tick({id, (dir / "ticks").string()});
    PriceArgs a = window(20240101, 20240701, "1m");
    auto t = market->get_price(id, a);
    bars = t ? double(t->rows()) : 0;
    a.frequency = "tick";
    t = market->get_price(id, a);
    ticks = t ? double(t->rows()) : 0;
    bar_bytes = tick_bytes = 0;
    for (auto& e : fs::recursive_directory_iterator(dir)) {
      if (!e.is_regular_file()) continue;
      bool tick = e.path().string().find("/ticks/") != std::string::npos;
      (tick ? tick_bytes : bar_bytes) += double(e.file_size());
    }
  }
  fs::remove_all(dir);
  install_backend(nullptr);
  state.SetLabel(id);
  state.counters["bars"] = bars;
  state.counters["bar_bytes"] = bars > 0 ? bar_bytes / bars : 0;
  state.counters["ticks"] = ticks;
  state.counters["tick_bytes"] = ticks > 0 ? tick_bytes / ticks : 0;
}

// The instrument classes measured: the benchmark's name, the type and the underlying symbol
// ("hk": a Hong Kong stock; "": a mainland instrument of any underlying).
struct FileKind {
  const char* name;
  const char* type;
  const char* underlying;
};
constexpr FileKind kFileKinds[] = {
    {"stock", "CS", ""},
    {"hk_stock", "CS", "hk"},
    {"etf", "ETF", ""},
    {"lof", "LOF", ""},
    {"index", "INDX", ""},
    {"reits", "REITs", ""},
    {"convertible", "CONVERTIBLE", ""},
    {"future_if", "FUTURE", "IF"},
    {"future_rb", "FUTURE", "RB"},
    {"future_au", "FUTURE", "AU"},
    {"etf_option", "OPTION", "510050.XSHG"},
    {"future_option", "OPTION", "AU"},
};
const bool kFileBytesRegistered = [] {
  for (const FileKind& kind : kFileKinds) {
    benchmark::RegisterBenchmark((std::string("BM_FileBytes/") + kind.name).c_str(), BM_FileBytes,
                                 kind.type, kind.underlying)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
