// The tick writer's costs: ticks written per second for a year of one stock (and that time against
// Blosc/LZ4 level 9 alone on the same bytes), the cost of an update that only replaces the latest
// day as the file grows, the disk used by a file kept up to date day by day against one written in
// one go, and how far a child process that writes the year grows in resident size.
//
//   build/<dir>/tick_appender_bench
#include <benchmark/benchmark.h>
#include <blosc.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bench/child_memory.h"
#include "bench/scratch_dir.h"
#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/bundle/store/tick_layout.h"
#include "tessera_plus/bundle/store/tick_records.h"
#include "tessera_plus/bundle/update/tick_appender.h"
#include "tessera_plus/market/client.h"

namespace tp = tessera_plus;
using tp::tallow::Date;
using tp::tallow::DateArg;
using tp::tallow::PriceArgs;
using tp::tallow::PriceTable;
using namespace std::chrono;

namespace {

// The machine is shared, so costs are compared in this thread's CPU time rather than wall time
// (the writer, HDF5 and Blosc all run on the calling thread).
double cpu_seconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

constexpr char kId[] = "600000.XSHG";
constexpr int kTicksPerDay = 4800;  // 09:30-11:30 and 13:00-15:00, one tick every 3 seconds

// Weekdays from 2023-01-03 on: `count` trading dates.
std::vector<Date> trading_dates(std::size_t count) {
  std::vector<Date> dates;
  for (sys_days d = sys_days(2023y / January / 3); dates.size() < count; d += days(1)) {
    if (weekday(d) != Saturday && weekday(d) != Sunday) dates.push_back(Date(d));
  }
  return dates;
}

// One day of plausible level-1 snapshots: a random walk on a 0.01 grid, five levels each side,
// cumulative volume and turnover. Seeded by the date, so a day always comes out the same. Values
// are pushed in the order of H5TicksLoader::COLUMNS after `date` and `time`.
void append_day(PriceTable& table, Date date, int ticks = kTicksPerDay) {
  std::vector<std::vector<double>*> columns;
  for (std::string_view name : tp::bundle::H5TicksLoader::COLUMNS) {
    if (name != "date" && name != "time") columns.push_back(&table.column(name));
  }
  std::mt19937_64 rng(static_cast<std::uint64_t>(tp::date_to_number(date)));
  std::uniform_int_distribution<int> step(-1, 1), lot(1, 200);
  const auto trading = tp::make_datetime(date);
  const double prev_close = 10.0;
  double last = prev_close, high = last, low = last, volume = 0, turnover = 0;
  std::vector<double> row;
  for (int i = 0; i < ticks; ++i) {
    int seconds_in = i < kTicksPerDay / 2 ? 3 * i : 3 * (i - kTicksPerDay / 2) + 12600;
    table.order_book_ids.push_back(kId);
    table.timestamps.push_back(tp::make_datetime(date, 9, 30) + seconds(seconds_in));
    table.trading_date->push_back(trading);
    last = std::round((last + 0.01 * step(rng)) * 100) / 100;
    high = std::max(high, last);
    low = std::min(low, last);
    double traded = 100.0 * lot(rng);
    volume += traded;
    turnover += traded * last;
    row = {prev_close, last, high, low, prev_close, 11.0, 9.0, volume, turnover, 0.0};
    for (int k = 1; k <= 5; ++k) row.push_back(last + 0.01 * k);
    for (int k = 1; k <= 5; ++k) row.push_back(last - 0.01 * k);
    for (int k = 0; k < 10; ++k) row.push_back(100.0 * lot(rng));
    for (std::size_t c = 0; c < columns.size(); ++c) columns[c]->push_back(row[c]);
  }
}

PriceTable empty_tick_table() {
  PriceTable table;
  table.trading_date.emplace();
  for (std::string_view name : tp::bundle::H5TicksLoader::COLUMNS) {
    if (name != "date" && name != "time") table.add_column(name);
  }
  return table;
}

// A market of one stock that trades every weekday. Ticks are generated per request; the time spent
// answering is kept apart so that the writer's own cost can be told from the service's.
class OneStockMarket : public tp::tallow::Backend {
 public:
  explicit OneStockMarket(std::size_t days) : dates_(trading_dates(days)) {}
  const std::vector<Date>& dates() const { return dates_; }
  double service_seconds = 0;
  std::optional<Date> partial_day;  // a day the service has only the morning of, so far

  void init(bool) override {}
  bool bjse_enabled() const override { return false; }
  std::vector<tp::tallow::Instrument> all_instruments(
      const tp::tallow::AllInstrumentsArgs&) override {
    return {};
  }
  tp::tallow::InstrumentAnswer instruments(const std::string& id,
                                           const std::optional<std::string>&) override {
    return tp::tallow::Instrument{.order_book_id = id, .type = "CS"};
  }
  tp::tallow::InstrumentAnswer convertible_instruments(const std::vector<std::string>&) override {
    return {};
  }
  Date get_next_trading_date(const DateArg& d, const std::string&) override {
    return tp::tallow::to_date(d);
  }
  tp::tallow::SuspensionTable is_suspended(const std::string& id, const DateArg&,
                                           const DateArg&) override {
    tp::tallow::SuspensionTable table;
    table.columns.emplace_back(id, std::vector<bool>{});
    return table;
  }
  std::optional<PriceTable> get_price(const std::string&, const PriceArgs& args) override {
    const double begin = cpu_seconds();
    Date first = tp::tallow::to_date(*args.start_date), last = tp::tallow::to_date(*args.end_date);
    PriceTable table = args.frequency ? empty_tick_table() : PriceTable{};
    for (Date d : dates_) {
      if (d < first || d > last) continue;
      if (args.frequency) {
        append_day(table, d, d == partial_day ? kTicksPerDay / 2 : kTicksPerDay);
      } else {
        table.order_book_ids.push_back(kId);
        table.timestamps.push_back(tp::make_datetime(d));
      }
    }
    service_seconds += cpu_seconds() - begin;
    return table;
  }

 private:
  std::vector<Date> dates_;
};

// The writer prints one line per batch; keep it out of the benchmark's report.
class QuietStdout {
 public:
  QuietStdout() : saved_(::dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

struct Scratch : tp::bench::ScratchDir {
  Scratch() : ScratchDir("tick_bench") {}
};

// Runs the writer as if it were 18:00 on `today`.
bool update(const Scratch& scratch, Date today) {
  setenv("TESSERA_NOW", (tp::format_dashed(today) + " 18:00:00").c_str(), 1);
  tp::publish_sval(tp::SharedFlag::create(true));
  {
    QuietStdout quiet;
    tp::bundle::_append_h5_tick({kId, scratch.path().string()});
  }
  return tp::sval().value();
}

std::uintmax_t file_size(const Scratch& scratch) {
  return std::filesystem::file_size(scratch / (std::string(kId) + ".h5"));
}

struct Alone {
  double blosc_seconds;    // Blosc/LZ4 alone
  double convert_seconds;  // the service's columns made into records alone
  double read_seconds;     // only reading every value of the service's columns once
};

// What any writer pays before converting anything: the service's columns (some 300 MB for the
// year, far beyond the caches) come in from memory once.
double read_columns_seconds(const std::vector<PriceTable>& tables) {
  double best = 1e9;
  for (int run = 0; run < 5; ++run) {
    const double begin = cpu_seconds();
    double sum = 0;
    for (const PriceTable& table : tables) {
      for (const auto& [name, values] : table.columns()) {
        for (double v : values) sum += v;
      }
    }
    benchmark::DoNotOptimize(sum);
    best = std::min(best, cpu_seconds() - begin);
  }
  return best;
}

// Blosc/LZ4 level 9 with byte shuffle, as the HDF5 filter calls it, over the same per-day records
// (one chunk per day at this size), and the conversion of the service's columns into those
// records. The best of five runs of each, in seconds.
Alone alone_seconds(const std::vector<Date>& dates) {
  std::vector<PriceTable> tables;
  for (Date d : dates) {
    tables.push_back(empty_tick_table());
    append_day(tables.back(), d);
  }
  std::vector<std::vector<std::byte>> days;
  double convert = 1e9;
  for (int run = 0; run < 5; ++run) {
    std::size_t k = 0;
    const double begin = cpu_seconds();
    for (const PriceTable& table : tables) {
      for (const auto& day : tp::bundle::group_tick_rows(table)) {
        if (days.size() == k) days.emplace_back();
        tp::bundle::build_tick_records(table, day.rows, days[k++]);
      }
    }
    convert = std::min(convert, cpu_seconds() - begin);
  }
  blosc_set_compressor("lz4");
  std::vector<char> out;
  double best = 1e9;
  for (int run = 0; run < 5; ++run) {
    const double begin = cpu_seconds();
    for (const auto& day : days) {
      out.resize(day.size() + BLOSC_MAX_OVERHEAD);
      int n = blosc_compress(9, BLOSC_SHUFFLE, sizeof(tp::bundle::TickRecord), day.size(),
                             day.data(), out.data(), out.size());
      benchmark::DoNotOptimize(n);
    }
    best = std::min(best, cpu_seconds() - begin);
  }
  return {best, convert, read_columns_seconds(tables)};
}

void BM_WriteYearOfOneStock(benchmark::State& state) {
  auto market = std::make_shared<OneStockMarket>(243);
  tp::tallow::install_backend(market);
  const auto [blosc_seconds, convert_seconds, read_seconds] = alone_seconds(market->dates());
  double writer_seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto scratch = std::make_unique<Scratch>();
    market->service_seconds = 0;
    state.ResumeTiming();
    const double begin = cpu_seconds();
    if (!update(*scratch, market->dates().back())) state.SkipWithError("the writer failed");
    writer_seconds += cpu_seconds() - begin - market->service_seconds;
    state.PauseTiming();
    state.counters["file_MB"] = double(file_size(*scratch)) / 1e6;
    scratch.reset();
    state.ResumeTiming();
  }
  const double ticks = double(kTicksPerDay) * 243 * double(state.iterations());
  state.SetItemsProcessed(static_cast<std::int64_t>(ticks));
  state.counters["writer_cpu_s"] = writer_seconds / double(state.iterations());
  state.counters["writer_ticks_per_cpu_s"] = ticks / writer_seconds;
  state.counters["blosc_alone_cpu_s"] = blosc_seconds;
  state.counters["convert_alone_cpu_s"] = convert_seconds;
  state.counters["read_columns_cpu_s"] = read_seconds;
  state.counters["writer_vs_blosc_alone"] =
      writer_seconds / double(state.iterations()) / blosc_seconds;
  // The service's answers included.
  state.counters["writer_peak_growth_MB"] = tp::bench::child_growth_mb([&] {
    Scratch scratch;
    update(scratch, market->dates().back());
  });
  tp::tallow::install_backend(nullptr);
}
BENCHMARK(BM_WriteYearOfOneStock)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// An up-to-date file of N trading days gets the same day again: the cost should not grow with N.
void BM_ReplaceLatestDay(benchmark::State& state) {
  auto market = std::make_shared<OneStockMarket>(static_cast<std::size_t>(state.range(0)));
  tp::tallow::install_backend(market);
  Scratch scratch;
  if (!update(scratch, market->dates().back())) state.SkipWithError("building the file failed");
  for (auto _ : state) {
    if (!update(scratch, market->dates().back())) state.SkipWithError("the writer failed");
  }
  state.counters["file_MB"] = double(file_size(scratch)) / 1e6;
  state.SetItemsProcessed(state.iterations() * kTicksPerDay);
  tp::tallow::install_backend(nullptr);
}
BENCHMARK(BM_ReplaceLatestDay)
    ->Arg(20)
    ->Arg(243)
    ->Arg(729)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// 30 daily updates, each replacing the latest day and adding the next, against the same 243 days
// written in one go. With argument 1 every update finds only the morning of its newest day, so the
// day it replaces next time is half the size of its replacement.
void BM_DiskUseOfDailyUpdates(benchmark::State& state) {
  auto market = std::make_shared<OneStockMarket>(243);
  tp::tallow::install_backend(market);
  const std::vector<Date>& dates = market->dates();
  const bool partial = state.range(0) == 1;
  for (auto _ : state) {
    Scratch one_go, daily;
    market->partial_day.reset();
    bool ok = update(one_go, dates.back());
    for (std::size_t i = dates.size() - 31; i < dates.size(); ++i) {
      if (partial) market->partial_day = dates[i];
      ok = ok && update(daily, dates[i]);
    }
    market->partial_day.reset();
    ok = ok && update(daily, dates.back());  // the last morning-only day made whole
    if (!ok) state.SkipWithError("the writer failed");
    state.counters["one_go_MB"] = double(file_size(one_go)) / 1e6;
    state.counters["daily_MB"] = double(file_size(daily)) / 1e6;
    state.counters["daily_bytes"] = double(file_size(daily));
    state.counters["daily_vs_one_go"] = double(file_size(daily)) / double(file_size(one_go));
  }
  tp::tallow::install_backend(nullptr);
}
BENCHMARK(BM_DiskUseOfDailyUpdates)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
