// Speed, memory and disk use of the minute-bar appender, on equity bars generated here (240 a
// trading day, weekdays as trading days) and answered by an in-process market.
//
//   BM_Create20Years      a new 20-year file from bars already fetched; bars/s and the ratio of
//                         the whole call to deflate level 9 alone over the same bytes, chunk by
//                         chunk (zlib's compress2, the work the deflate filter cannot avoid)
//   BM_AppendOneDay/N     one more day onto a file of N days. An append inflates and deflates
//                         the last chunk again, so its cost follows how full that chunk is, not
//                         the history: N = 1 and N = 4993 (20 years) leave the last chunk
//                         equally full (240 * 4992 is a multiple of 512) and are the fair pair;
//                         N = 4999 shows a fuller last chunk
//   BM_PeakMemory         peak resident size of a child process that creates the 20-year file
//   BM_DailyAppends/N     N daily updates from nothing against one run over the same days
//   BM_ChunkLength/N      the measurements behind MINBAR_DATA_CHUNK: 5 years written with N-bar
//                         chunks; write time, file size, reading one day, appending one day
//
// zlib is reached with dlopen: it is in the process anyway as HDF5's deflate, and the build does
// not link it directly.
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/filter_path.h"
#include "bench/scratch_dir.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/bundle/store/minbar_file.h"
#include "tessera_plus/bundle/store/minbar_records.h"
#include "tessera_plus/bundle/update/minbar_appender.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/client.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using tallow::Date;
using tallow::PriceTable;

constexpr int kBarsPerDay = 240;
constexpr int kDaysIn20Years = 5000;
const char* const kId = "000001.XSHE";

// Processor time of this process: the machine is shared, and wall time would measure the
// neighbours too. Everything timed here is single-threaded work on files in the page cache.
double cpu_seconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Trading days (weekdays) from 4 January 2005 on, and 240 equity bars for each of them.
struct Series {
  std::vector<Date> days;
  PriceTable table;
};

std::vector<Date> weekdays_from(Date first, int count) {
  std::vector<Date> days;
  for (sys_days d = sys_days(first); static_cast<int>(days.size()) < count;
       d += std::chrono::days(1)) {
    if (weekday(d) != Saturday && weekday(d) != Sunday) days.emplace_back(d);
  }
  return days;
}

// A random walk in price ticks with round-lot volumes: about as compressible as real bars.
Series make_series(int day_count) {
  Series s{weekdays_from(Date(year(2005), January, day(4)), day_count), {}};
  std::size_t rows = s.days.size() * kBarsPerDay;
  std::vector<double> open(rows), high(rows), low(rows), close(rows), volume(rows), turnover(rows);
  s.table.timestamps.reserve(rows);
  s.table.order_book_ids.assign(rows, kId);
  std::mt19937_64 rng(20050104);
  std::uniform_int_distribution<int> step(-3, 3), wick(0, 2), lots(0, 400);
  long cents = 1000;
  std::size_t r = 0;
  for (Date d : s.days) {
    for (int k = 0; k < kBarsPerDay; ++k, ++r) {
      int minute = k < 120 ? 9 * 60 + 31 + k : 13 * 60 + 1 + (k - 120);
      s.table.timestamps.push_back(make_datetime(d, minute / 60, minute % 60));
      long o = cents;
      cents = std::max(100L, cents + step(rng));
      open[r] = o / 100.0;
      close[r] = cents / 100.0;
      high[r] = (std::max(o, cents) + wick(rng)) / 100.0;
      low[r] = (std::min(o, cents) - wick(rng)) / 100.0;
      volume[r] = 100.0 * lots(rng);
      turnover[r] = std::round(volume[r] * (open[r] + close[r]) * 50.0) / 100.0;
    }
  }
  s.table.add_column("open") = std::move(open);
  s.table.add_column("high") = std::move(high);
  s.table.add_column("low") = std::move(low);
  s.table.add_column("close") = std::move(close);
  s.table.add_column("volume") = std::move(volume);
  s.table.add_column("total_turnover") = std::move(turnover);
  return s;
}

// Rows of the days in [first, last) of `s`.
PriceTable slice(const Series& s, std::size_t first, std::size_t last) {
  PriceTable t;
  std::size_t from = first * kBarsPerDay, to = last * kBarsPerDay;
  t.timestamps.assign(s.table.timestamps.begin() + from, s.table.timestamps.begin() + to);
  t.order_book_ids.assign(to - from, kId);
  for (const auto& [name, values] : s.table.columns()) {
    t.add_column(name) = std::vector<double>(values.begin() + from, values.begin() + to);
  }
  return t;
}

// The market: one listed stock whose bars are `series`; a prepared answer, when set, is handed
// over as it is (bars already fetched).
class BenchMarket : public tallow::Backend {
 public:
  explicit BenchMarket(const Series& series) : series_(series) {}
  std::optional<PriceTable> prepared;

  void init(bool) override {}
  bool bjse_enabled() const override { return false; }
  std::vector<tallow::Instrument> all_instruments(const tallow::AllInstrumentsArgs&) override {
    return {};
  }
  tallow::InstrumentAnswer instruments(const std::string& id,
                                       const std::optional<std::string>&) override {
    return tallow::Instrument{.order_book_id = id, .type = "CS"};
  }
  tallow::InstrumentAnswer convertible_instruments(const std::vector<std::string>&) override {
    return {};
  }
  std::optional<PriceTable> get_price(const std::string&, const tallow::PriceArgs& args) override {
    if (prepared) return std::exchange(prepared, std::nullopt);
    return slice(series_, position(tallow::to_date(*args.start_date)),
                 position(Date(sys_days(tallow::to_date(*args.end_date)) + days(1))));
  }
  Date get_next_trading_date(const tallow::DateArg& d, const std::string&) override {
    return series_.days.at(position(Date(sys_days(tallow::to_date(d)) + days(1))));
  }
  tallow::SuspensionTable is_suspended(const std::string&, const tallow::DateArg&,
                                       const tallow::DateArg&) override {
    return {};
  }

 private:
  std::size_t position(Date d) const {
    return std::lower_bound(series_.days.begin(), series_.days.end(), d) - series_.days.begin();
  }
  const Series& series_;
};

const Series& series20() {
  static const Series s = make_series(kDaysIn20Years);
  return s;
}

struct Scratch : bench::ScratchDir {
  Scratch() : ScratchDir("minbar_bench") {}
  std::string h5() const { return *this / "h5"; }
  std::string file() const { return *this / ("h5/equities/" + std::string(kId) + ".h5"); }
};

void set_now(Date day) {
  std::string text = format_dashed(day) + " 18:00:00";
  ::setenv("TESSERA_NOW", text.c_str(), 1);
}

std::shared_ptr<BenchMarket> install(const Series& s) {
  auto market = std::make_shared<BenchMarket>(s);
  tallow::install_backend(market);
  publish_sval(SharedFlag::create(true));
  return market;
}

// Builds the file of the first `days` days of `s` in `scratch` with one call.
void build(const Scratch& scratch, const Series& s, std::size_t days) {
  set_now(s.days[days - 1]);
  _append_h5({kId, scratch.h5()});
}

// zlib's compress2 at level 9 over `bytes`, in pieces of `piece` bytes as the filter sees them.
double deflate_seconds(const std::vector<std::byte>& bytes, std::size_t piece) {
  using Compress2 =
      int (*)(unsigned char*, unsigned long*, const unsigned char*, unsigned long, int);
  using Bound = unsigned long (*)(unsigned long);
  void* zlib = ::dlopen("libz.so.1", RTLD_NOW);
  if (!zlib) return 0;
  auto compress2 = reinterpret_cast<Compress2>(::dlsym(zlib, "compress2"));
  auto bound = reinterpret_cast<Bound>(::dlsym(zlib, "compressBound"));
  std::vector<unsigned char> out(bound(piece));
  double start = cpu_seconds();
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    unsigned long out_len = out.size();
    std::size_t n = std::min(piece, bytes.size() - at);
    compress2(out.data(), &out_len, reinterpret_cast<const unsigned char*>(bytes.data()) + at, n,
              9);
  }
  double seconds = (cpu_seconds() - start);
  ::dlclose(zlib);
  return seconds;
}

// First, so that the child does not inherit the parent's copy of the series.
long current_rss_kb() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

void BM_PeakMemory(benchmark::State& state) {
  for (auto _ : state) {
    int fds[2];
    if (::pipe(fds) != 0) state.SkipWithError("pipe");
    pid_t child = ::fork();
    if (child == 0) {
      Series s = make_series(kDaysIn20Years);
      auto market = install(s);
      Scratch scratch;
      market->prepared = std::move(s.table);
      s.table = PriceTable{};
      set_now(s.days.back());
      long before = current_rss_kb();
      _append_h5({kId, scratch.h5()});
      rusage usage{};
      ::getrusage(RUSAGE_SELF, &usage);
      long report[2] = {before, usage.ru_maxrss};
      (void)!::write(fds[1], report, sizeof report);
      fs::remove_all(scratch.path());  // _exit skips the destructors
      ::_exit(0);
    }
    long report[2] = {0, 0};
    (void)!::read(fds[0], report, sizeof report);
    ::waitpid(child, nullptr, 0);
    ::close(fds[0]);
    ::close(fds[1]);
    state.counters["rss_with_bars_MB"] = report[0] / 1024.0;
    state.counters["peak_rss_MB"] = report[1] / 1024.0;
    state.counters["peak_over_bars_MB"] = (report[1] - report[0]) / 1024.0;
    state.counters["raw_records_MB"] = kDaysIn20Years * kBarsPerDay * 56 / 1048576.0;
  }
}
BENCHMARK(BM_PeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_Create20Years(benchmark::State& state) {
  const Series& s = series20();
  auto market = install(s);
  double total = 0;
  std::uintmax_t size = 0;
  Scratch scratch;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(scratch.h5());
    market->prepared = slice(s, 0, s.days.size());
    set_now(s.days.back());
    state.ResumeTiming();
    double start = cpu_seconds();
    _append_h5({kId, scratch.h5()});
    total += (cpu_seconds() - start);
    state.PauseTiming();
    size = fs::file_size(scratch.file());
    state.ResumeTiming();
  }
  double per_call = total / static_cast<double>(state.iterations());
  MinbarRecords records = to_minbar_records(s.table, EQUITIES_DTYPE);
  double floor = deflate_seconds(records.data, MINBAR_DATA_CHUNK * EQUITIES_DTYPE.size);
  state.counters["bars"] = static_cast<double>(records.rows);
  state.counters["bars_per_s"] = static_cast<double>(records.rows) / per_call;
  state.counters["deflate9_s"] = floor;
  state.counters["ratio_to_deflate9"] = per_call / floor;
  state.counters["file_MB"] = static_cast<double>(size) / 1e6;
  state.counters["raw_MB"] = static_cast<double>(records.data.size()) / 1e6;
  tallow::install_backend(nullptr);
}
BENCHMARK(BM_Create20Years)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_AppendOneDay(benchmark::State& state) {
  const Series& s = series20();
  install(s);
  std::size_t stored = static_cast<std::size_t>(state.range(0));
  Scratch base;
  build(base, s, stored);
  set_now(s.days[stored]);
  Scratch work;
  fs::create_directories(fs::path(work.file()).parent_path());
  for (auto _ : state) {
    state.PauseTiming();
    fs::copy_file(base.file(), work.file(), fs::copy_options::overwrite_existing);
    state.ResumeTiming();
    _append_h5({kId, work.h5()});
  }
  state.counters["stored_days"] = static_cast<double>(stored);
  tallow::install_backend(nullptr);
}
BENCHMARK(BM_AppendOneDay)
    ->Arg(1)
    ->Arg(4993)
    ->Arg(kDaysIn20Years - 1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(40);

void BM_DailyAppends(benchmark::State& state) {
  const Series& s = series20();
  install(s);
  std::size_t days = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    Scratch daily, once;
    for (std::size_t d = 0; d < days; ++d) build(daily, s, d + 1);
    build(once, s, days);
    double ratio = static_cast<double>(fs::file_size(daily.file())) /
                   static_cast<double>(fs::file_size(once.file()));
    state.counters["daily_MB"] = static_cast<double>(fs::file_size(daily.file())) / 1e6;
    state.counters["one_go_MB"] = static_cast<double>(fs::file_size(once.file())) / 1e6;
    state.counters["size_ratio"] = ratio;
  }
  tallow::install_backend(nullptr);
}
BENCHMARK(BM_DailyAppends)->Arg(250)->Arg(1219)->Unit(benchmark::kMillisecond)->Iterations(1);

// 5 years of bars written straight into `data` with chunks of `chunk` bars, then: one day read
// (a fresh open each time), and 35 days appended one by one, each with its own open and close, so
// that the last chunk passes through every degree of fill.
void BM_ChunkLength(benchmark::State& state) {
  constexpr int kAppends = 35;
  static const Series s = make_series(1219 + kAppends);
  static const MinbarRecords records = to_minbar_records(s.table, EQUITIES_DTYPE);
  const std::size_t stored = records.rows - kAppends * kBarsPerDay;
  h5::Size chunk = static_cast<h5::Size>(state.range(0));
  Scratch scratch;
  std::string path = scratch / "x.h5";
  double write_s = 0;
  for (auto _ : state) {
    fs::remove(path);
    double start = cpu_seconds();
    h5::File f = h5::File::open(path, h5::Mode::kCreate);
    h5::Dataset::create(f, "data", EQUITIES_DTYPE, records.data.data(), stored,
                        minbar_creation(chunk));
    f.close();
    write_s = cpu_seconds() - start;
  }
  std::vector<std::byte> day(kBarsPerDay * EQUITIES_DTYPE.size);
  double start = cpu_seconds();
  constexpr int kReads = 50;
  for (int k = 0; k < kReads; ++k) {
    h5::File f = h5::File::open(path, h5::Mode::kReadOnly);
    h5::Size at = static_cast<h5::Size>((k * 24 + 7) % 1200) * kBarsPerDay;
    h5::Dataset::open(f, "data").read(EQUITIES_DTYPE, at, kBarsPerDay, day.data());
  }
  double read_ms = (cpu_seconds() - start) * 1000 / kReads;
  const std::uintmax_t size = fs::file_size(path);
  start = cpu_seconds();
  for (int k = 0; k < kAppends; ++k) {
    h5::File f = h5::File::open(path, h5::Mode::kAppend);
    h5::Dataset data = h5::Dataset::open(f, "data");
    std::size_t at = stored + static_cast<std::size_t>(k) * kBarsPerDay;
    bench::append_through_filter(data, EQUITIES_DTYPE,
                                 records.data.data() + at * EQUITIES_DTYPE.size, kBarsPerDay);
    f.close();
  }
  state.counters["write_s"] = write_s;
  state.counters["file_MB"] = static_cast<double>(size) / 1e6;
  state.counters["read_day_ms"] = read_ms;
  state.counters["append_day_ms"] = (cpu_seconds() - start) * 1000 / kAppends;
}
BENCHMARK(BM_ChunkLength)
    ->RangeMultiplier(2)
    ->Range(128, 16384)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
}  // namespace tessera_plus::bundle

BENCHMARK_MAIN();
