// Speed of the minute-bar checker, written by the minute-bar appender from the simulated market,
// on two bundles of equity files: 5 years each (240 bars a day) and one month each.
//
//   BM_CheckMinbar, BM_ReadFloor   each of those alone; files/s
//   BM_CheckToFloor     5-year files: the whole check (-j 1) against HDF5's own read+inflate of
//                       what the check needs (the `datetime` column and `index`, read through
//                       HDF5's pipeline as a file open for writing is); `speedup` = floor / check
//   BM_CheckJobsRatio   5-year files: wall time of the check with one worker and with two
//   BM_MonthInspect     one-month files: the per-file part of the check in this process (open,
//                       read, compare with the calendar); `ms_per_file`
//   BM_MonthCheck       one-month files: the whole check with -j 1, workers and service questions
//                       included, in wall time; `ms_per_file`
//   BM_MonthFloor       one-month files: what no check of them can skip, in this process: inflating
//                       every chunk of `data` from memory (`inflate_ms_per_file`), and that with
//                       opening the file and fetching its chunks as stored (`floor_ms_per_file`)
//
//   BM_TickInspect      one-month tick files: the per-file part of `check tick` in this process,
//                       decoding every day (`decode_ms_per_file`) and reading member names only as
//                       the check did before it decoded days (`names_ms_per_file`); `ratio`
//   BM_TickCheck        the same files through the whole per-file machinery (a worker process per
//                       file, -j 1, service questions for gaps), both ways side by side, processor
//                       time of this process and its workers; `ratio` = decoding / names only
//   BM_TickDecodeWays   one-month tick files, in this process: every day decoded from its chunks as
//                       stored with c-blosc (`chunks_ms_per_file`, what the check does) against
//                       every day read whole through HDF5's filter into one reused buffer
//                       (`hdf5_ms_per_file`)
//   BM_TickCached       the whole per-file machinery as in BM_TickCheck, three ways side by side:
//                       names only (`names_ms_per_file`), every day decoded with the cache not
//                       trusted, as `--full` (`cold_ms_per_file`), and a second check of the same
//                       files with the cache warm (`warm_ms_per_file`); `warm_ratio` and
//                       `cold_ratio` against names only. The cache is kept under the bundle's
//                       temporary directory.
//
// CHECK_BENCH_KEEP=1 leaves the bundles in place (their paths are printed) for runs of the
// tessera-plus program on them.
//
// Every benchmark also reports the peak resident size of this process and of its largest child
// (ru_maxrss) so far, in MB.
//
// Building 500 files with deflate 9 would take most of the run, so CHECK_BENCH_DISTINCT (default
// 25) instruments are built and their files copied under as many class folders as it takes to
// reach CHECK_BENCH_FILES (default 500) files (CHECK_BENCH_MONTH_FILES, default 300, for the
// one-month bundle; CHECK_BENCH_TICK_FILES, default 100, tick files from CHECK_BENCH_TICK_DISTINCT,
// default 10, stocks). Every folder other than future/option gets the equity rule, and each copy
// keeps its instrument's name, so the service answers for its missing (suspended) days exactly as
// for the original. Times are processor time of this process and its children unless said
// otherwise (the machine is shared); the files are read once before timing so that they sit in
// the page cache. Figures measured so far: bench/README.md.
#include <sys/resource.h>
#include <time.h>

#include <benchmark/benchmark.h>
#include <algorithm>
#include <array>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tessera_plus/base/deflate.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/bundle/base_data/npy_reader.h"
#include "tessera_plus/bundle/check/file_sorter.h"
#include "tessera_plus/bundle/check/minbar_checker.h"
#include "tessera_plus/bundle/check/service_probe.h"
#include "tessera_plus/bundle/check/tick_checker.h"
#include "tessera_plus/bundle/check/verified_cache.h"
#include "tessera_plus/bundle/client/client_setup.h"
#include "tessera_plus/bundle/store/tick_layout.h"
#include "tessera_plus/bundle/update/minbar_appender.h"
#include "tessera_plus/bundle/update/tick_appender.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/client.h"
#include "tessera_plus/sim/calendar.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

constexpr char kNow[] = "2024-06-28 18:00:00";
constexpr int kFiveYearsBack = 20190701;
constexpr int kOneMonthBack = 20240603;
constexpr int kEndDate = 20240628;

// Processor time of this process and of its finished children: the checker reads each file in a
// worker process of its own.
double cpu_seconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  rusage children{};
  ::getrusage(RUSAGE_CHILDREN, &children);
  auto seconds = [](const timeval& v) {
    return static_cast<double>(v.tv_sec) + static_cast<double>(v.tv_usec) * 1e-6;
  };
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9 +
         seconds(children.ru_utime) + seconds(children.ru_stime);
}

int env_int(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::atoi(text) : fallback;
}

void write_calendar(const std::string& path) {
  const auto& calendar = tallow::sim::TradingCalendar::instance();
  std::vector<std::int64_t> dates;
  for (int i = 0; i < calendar.size() && calendar.date_number(i) <= kEndDate; ++i) {
    dates.push_back(calendar.date_number(i));
  }
  std::string header = "{'descr': '<i8', 'fortran_order': False, 'shape': (" +
                       std::to_string(dates.size()) + ",), }";
  while ((10 + header.size() + 1) % 64 != 0) header += ' ';
  header += '\n';
  std::ofstream out(path, std::ios::binary);
  out << "\x93NUMPY" << '\x01' << '\x00' << static_cast<char>(header.size() & 0xff)
      << static_cast<char>(header.size() >> 8) << header;
  out.write(reinterpret_cast<const char*>(dates.data()),
            static_cast<std::streamsize>(dates.size() * sizeof(std::int64_t)));
}

// Stocks that traded through the whole five years.
std::vector<std::string> long_listed_stocks(int count) {
  tallow::AllInstrumentsArgs args;
  args.type = "CS";
  std::vector<std::string> ids;
  for (const tallow::Instrument& ins : tallow::all_instruments(args)) {
    if (static_cast<int>(ids.size()) == count) break;
    if ((ins.exchange == "XSHE" || ins.exchange == "XSHG") && ins.listed_date < "2019-01-01" &&
        ins.de_listed_date == "0000-00-00") {
      ids.push_back(ins.order_book_id);
    }
  }
  return ids;
}

class BenchBundle {
 public:
  BenchBundle(int start_date, int total, bool ticks = false) {
    std::string pattern = (fs::temp_directory_path() / "check_bench.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    root_ = pattern;
    if (ticks) {
      build_ticks(start_date, total);
    } else {
      build(start_date, total);
    }
  }
  ~BenchBundle() {
    if (env_int("CHECK_BENCH_KEEP", 0) != 0) {
      std::fprintf(stderr, "kept %s\n", root_.c_str());
      return;
    }
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const std::string& root() const { return root_; }
  const std::vector<std::string>& files() const { return files_; }

 private:
  // The simulated market at bench scale and the bundle's calendar; returns the bundle directory.
  fs::path set_up_market(int distinct) {
    ::setenv("TESSERA_NOW", kNow, 1);
    ::setenv("TALLOW_SIM_HISTORY_DAYS", "0", 1);
    ::setenv("TALLOW_SIM_SCALE", "bench", 1);  // history from 2005; the demo's starts in 2024
    ::setenv("TALLOW_SIM_STOCKS", std::to_string(distinct + 20).c_str(), 1);
    _init_tallow(false);
    publish_sval(SharedFlag::create(true));
    const fs::path bundle = fs::path(root_) / "bundle";
    fs::create_directories(bundle);
    write_calendar((bundle / "trading_dates.npy").string());
    return bundle;
  }

  void build(int start_date, int total) {
    const int distinct = env_int("CHECK_BENCH_DISTINCT", 25);
    const fs::path bundle = set_up_market(distinct);
    const fs::path h5 = bundle / "h5";
    fs::create_directories(h5);
    std::vector<std::string> ids = long_listed_stocks(distinct);
    std::fprintf(stderr, "building %zu files from %d...\n", ids.size(), start_date);
    for (const std::string& id : ids) _append_h5({id, h5.string(), std::nullopt, start_date});
    if (!sval().value()) std::fprintf(stderr, "warning: a build failed\n");
    // A stock suspended for the whole span has no file.
    std::erase_if(
        ids, [&](const std::string& id) { return !fs::exists(h5 / "equities" / (id + ".h5")); });
    int count = static_cast<int>(ids.size());
    for (int copy = 1; count < total && !ids.empty(); ++copy) {
      const fs::path folder = h5 / ("equities_" + std::to_string(copy));
      fs::create_directories(folder);
      for (std::size_t i = 0; i < ids.size() && count < total; ++i, ++count) {
        fs::copy_file(h5 / "equities" / (ids[i] + ".h5"), folder / (ids[i] + ".h5"));
      }
    }
    for (const auto& folder : fs::directory_iterator(h5)) {
      for (const auto& file : fs::directory_iterator(folder)) files_.push_back(file.path());
    }
    std::fprintf(stderr, "%zu files, %.0f MB\n", files_.size(), total_megabytes());
  }

  // Tick files all sit directly in bundle/ticks: copies are named "<id>_<n>.h5".
  void build_ticks(int start_date, int total) {
    const int distinct = env_int("CHECK_BENCH_TICK_DISTINCT", 10);
    const fs::path bundle = set_up_market(distinct);
    const fs::path ticks = bundle / "ticks";
    fs::create_directories(ticks);
    std::vector<std::string> ids = long_listed_stocks(distinct);
    std::fprintf(stderr, "building %zu tick files from %d...\n", ids.size(), start_date);
    for (const std::string& id : ids) {
      _append_h5_tick({.order_book_id = id, .path = ticks.string(), .min_start_date = start_date});
    }
    std::erase_if(ids, [&](const std::string& id) { return !fs::exists(ticks / (id + ".h5")); });
    for (const std::string& id : ids) files_.push_back(ticks / (id + ".h5"));
    for (int copy = 1; static_cast<int>(files_.size()) < total && !ids.empty(); ++copy) {
      for (std::size_t i = 0; i < ids.size() && static_cast<int>(files_.size()) < total; ++i) {
        const fs::path to = ticks / (ids[i] + "_" + std::to_string(copy) + ".h5");
        fs::copy_file(ticks / (ids[i] + ".h5"), to);
        files_.push_back(to);
      }
    }
    std::fprintf(stderr, "%zu files, %.0f MB\n", files_.size(), total_megabytes());
  }

  double total_megabytes() const {
    double bytes = 0;
    for (const std::string& f : files_) bytes += static_cast<double>(fs::file_size(f));
    return bytes / 1e6;
  }

  std::string root_;
  std::vector<std::string> files_;
};

BenchBundle& bench_bundle() {
  static BenchBundle bundle(kFiveYearsBack, env_int("CHECK_BENCH_FILES", 500));
  return bundle;
}

BenchBundle& month_bundle() {
  static BenchBundle bundle(kOneMonthBack, env_int("CHECK_BENCH_MONTH_FILES", 300));
  return bundle;
}

void report_memory(benchmark::State& state) {
  rusage self{}, children{};
  ::getrusage(RUSAGE_SELF, &self);
  ::getrusage(RUSAGE_CHILDREN, &children);
  state.counters["self_maxrss_MB"] = static_cast<double>(self.ru_maxrss) / 1024.0;
  state.counters["child_maxrss_MB"] = static_cast<double>(children.ru_maxrss) / 1024.0;
}

// The whole check_min_bar_data, answering no; its findings show unexpected ones from the same
// run: checking again to show them would double the time measured.
void run_check_on(const BenchBundle& bundle, int jobs) {
  std::istringstream in("n\n");
  std::ostringstream out;
  const CheckFindings findings =
      check_min_bar_data({.data_bundle_path = bundle.root(), .jobs = jobs, .out = &out, .in = &in});
  static bool shown = false;  // once per bundle run is enough to see what the data holds
  if (!findings.broken.empty() && !shown) {
    shown = true;
    std::fprintf(stderr, "%zu broken, first: %s: %s\n", findings.broken.size(),
                 findings.broken.front().c_str(), findings.broken_reasons.front().c_str());
  }
}

void run_check_with(int jobs) { run_check_on(bench_bundle(), jobs); }
void run_check() { run_check_with(1); }

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The checker's worker processes side by side: the same files with one worker and with two, in
// wall-clock time (the workers' processor time is not this process's).
void BM_CheckJobsRatio(benchmark::State& state) {
  run_check_with(2);  // every file in the page cache before anything is timed
  double one = 0, two = 0;
  bool one_first = true;
  for (auto _ : state) {
    // Alternating which goes first, so that neither always inherits the other's leftovers.
    double spent[2] = {0, 0};
    for (int jobs : one_first ? std::array{1, 2} : std::array{2, 1}) {
      const double start = wall_seconds();
      run_check_with(jobs);
      spent[jobs - 1] = wall_seconds() - start;
    }
    one_first = !one_first;
    one += spent[0];
    two += spent[1];
    state.SetIterationTime(spent[0] + spent[1]);
  }
  state.counters["j1_s"] = one / static_cast<double>(state.iterations());
  state.counters["j2_s"] = two / static_cast<double>(state.iterations());
  state.counters["speedup"] = one / two;
  report_memory(state);
}

// What any check of these files must do: inflate the `datetime` column and the `index`, here
// through HDF5's own pipeline (which serves files open for writing; a conversion buffer sized to
// the read, so this floor is already cheaper than what the check paid before).
void read_floor() {
  const h5::Field datetime{"datetime", h5::Kind::kInt64, 0};
  for (const std::string& path : bench_bundle().files()) {
    h5::File file = h5::File::open(path, h5::Mode::kAppend);
    h5::Dataset data = h5::Dataset::open(file, "data");
    h5::Dataset index = h5::Dataset::open(file, "index");
    std::vector<IndexEntry> entries(index.length());
    index.read(INDEX_DTYPE, 0, entries.size(), entries.data());
    benchmark::DoNotOptimize(data.read_field<std::int64_t>(datetime, 0, data.length()));
    benchmark::DoNotOptimize(entries.data());
  }
}

template <void (*Body)()>
void timed(benchmark::State& state) {
  static bool warm = (read_floor(), true);  // files in the page cache before any timing
  benchmark::DoNotOptimize(warm);
  for (auto _ : state) {
    double start = cpu_seconds();
    Body();
    state.SetIterationTime(cpu_seconds() - start);
  }
  state.counters["files_per_s"] =
      benchmark::Counter(static_cast<double>(bench_bundle().files().size() * state.iterations()),
                         benchmark::Counter::kIsRate);
  report_memory(state);
}

void BM_CheckMinbar(benchmark::State& state) { timed<run_check>(state); }
void BM_ReadFloor(benchmark::State& state) { timed<read_floor>(state); }

void BM_CheckToFloor(benchmark::State& state) {
  double check = 0, floor = 0;
  for (auto _ : state) {
    double t0 = cpu_seconds();
    read_floor();
    double t1 = cpu_seconds();
    run_check();
    double t2 = cpu_seconds();
    floor += t1 - t0;
    check += t2 - t1;
    state.SetIterationTime(t2 - t0);
  }
  state.counters["ratio"] = check / floor;
  state.counters["speedup"] = floor / check;
  state.counters["check_files_per_s"] =
      static_cast<double>(bench_bundle().files().size() * state.iterations()) / check;
  report_memory(state);
}

std::vector<std::int64_t> bench_calendar(const BenchBundle& bundle) {
  return read_trading_calendar((fs::path(bundle.root()) / "bundle" / "trading_dates.npy").string());
}

// The per-file part of the check on one-month files, in this process: what a worker does per file.
void BM_MonthInspect(benchmark::State& state) {
  const BenchBundle& bundle = month_bundle();
  const std::vector<std::int64_t> calendar = bench_calendar(bundle);
  std::size_t files = 0;
  double seconds = 0;
  for (auto _ : state) {
    double start = cpu_seconds();
    for (const std::string& path : bundle.files()) {
      benchmark::DoNotOptimize(check_detail::inspect_minbar_file(path, calendar));
    }
    const double spent = cpu_seconds() - start;
    seconds += spent;
    files += bundle.files().size();
    state.SetIterationTime(spent);
  }
  state.counters["ms_per_file"] = seconds * 1e3 / static_cast<double>(files);
  report_memory(state);
}

// The whole check of one-month files with one worker, in wall time.
void BM_MonthCheck(benchmark::State& state) {
  const BenchBundle& bundle = month_bundle();
  run_check_on(bundle, 1);  // page cache warm
  double seconds = 0;
  for (auto _ : state) {
    double start = wall_seconds();
    run_check_on(bundle, 1);
    const double spent = wall_seconds() - start;
    seconds += spent;
    state.SetIterationTime(spent);
  }
  state.counters["ms_per_file"] =
      seconds * 1e3 / static_cast<double>(bundle.files().size() * state.iterations());
  report_memory(state);
}

// The chunks of a one-month file's `data` as stored, and the length of a chunk inflated.
struct StoredChunks {
  std::vector<std::vector<std::byte>> chunks;
  std::size_t chunk_bytes = 0;
};

StoredChunks read_stored_chunks(const std::string& path) {
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  h5::Dataset data = h5::Dataset::open(file, "data");
  const h5::Size rows = data.deflate_chunk_rows(EQUITIES_DTYPE);
  if (rows == 0) std::abort();  // the bench's files are written by our own writer
  StoredChunks stored{.chunks = {}, .chunk_bytes = rows * EQUITIES_DTYPE.size};
  for (h5::Size first = 0; first < data.length(); first += rows) {
    data.read_chunk(first, std::size_t{1} << 24, stored.chunks.emplace_back());
  }
  return stored;
}

void inflate_all(const StoredChunks& stored, DeflateDecoder& decoder, std::vector<std::byte>& out) {
  out.resize(stored.chunk_bytes);
  for (const std::vector<std::byte>& chunk : stored.chunks) decoder.decompress(chunk, out);
  benchmark::DoNotOptimize(out.data());
}

// What the per-file part of the check cannot go below: with the libraries as they are, reading
// `data` means inflating all of it, and reading anything means opening the file.
void BM_MonthFloor(benchmark::State& state) {
  const BenchBundle& bundle = month_bundle();
  std::vector<StoredChunks> in_memory;
  for (const std::string& path : bundle.files()) in_memory.push_back(read_stored_chunks(path));
  DeflateDecoder decoder;
  std::vector<std::byte> out;
  double inflate = 0, floor = 0;
  for (auto _ : state) {
    const double t0 = cpu_seconds();
    for (const StoredChunks& stored : in_memory) inflate_all(stored, decoder, out);
    const double t1 = cpu_seconds();
    for (const std::string& path : bundle.files()) {
      inflate_all(read_stored_chunks(path), decoder, out);
    }
    const double t2 = cpu_seconds();
    inflate += t1 - t0;
    floor += t2 - t1;
    state.SetIterationTime(t2 - t0);
  }
  const auto files = static_cast<double>(bundle.files().size() * state.iterations());
  state.counters["inflate_ms_per_file"] = inflate * 1e3 / files;
  state.counters["floor_ms_per_file"] = floor * 1e3 / files;
  report_memory(state);
}

BenchBundle& tick_bundle() {
  static BenchBundle bundle(kOneMonthBack, env_int("CHECK_BENCH_TICK_FILES", 100), true);
  return bundle;
}

std::vector<std::string> text_calendar(const BenchBundle& bundle) {
  std::vector<std::string> days;
  for (std::int64_t day : bench_calendar(bundle)) days.push_back(std::to_string(day));
  return days;
}

// The instrument a tick file (or a copy of one) holds, as the service knows it.
std::string tick_instrument(const std::string& path) {
  const std::string name = fs::path(path).stem().string();
  return name.substr(0, name.find('_'));
}

using check_detail::TickReads;

// Reads, as the check's workers read them, the bench's tick files; suspensions are left out, so a
// suspended day is asked about (the same questions either way).
void inspect_ticks(const std::vector<std::string>& calendar, TickReads reads) {
  for (const std::string& path : tick_bundle().files()) {
    const check_detail::Finding finding =
        check_detail::inspect_tick_file(path, calendar, {}, reads);
    if (finding.kind == check_detail::Finding::kBroken) {
      std::fprintf(stderr, "broken: %s: %s\n", path.c_str(), finding.reason.c_str());
    }
  }
}

// Both ways side by side, alternating which goes first; `seconds` is filled per way.
template <typename Run>
void side_by_side(benchmark::State& state, Run run, const char* unit_name, double per) {
  double spent[2] = {0, 0};
  bool decode_first = true;
  for (auto _ : state) {
    double iteration = 0;
    for (TickReads reads : decode_first ? std::array{TickReads::kEveryDay, TickReads::kNamesOnly}
                                        : std::array{TickReads::kNamesOnly, TickReads::kEveryDay}) {
      const double start = cpu_seconds();
      run(reads);
      const double t = cpu_seconds() - start;
      spent[reads == TickReads::kEveryDay ? 0 : 1] += t;
      iteration += t;
    }
    decode_first = !decode_first;
    state.SetIterationTime(iteration);
  }
  const double files = per * static_cast<double>(state.iterations());
  state.counters[std::string("decode_") + unit_name] = spent[0] * 1e3 / files;
  state.counters[std::string("names_") + unit_name] = spent[1] * 1e3 / files;
  state.counters["ratio"] = spent[0] / spent[1];
  report_memory(state);
}

void BM_TickInspect(benchmark::State& state) {
  const std::vector<std::string> calendar = text_calendar(tick_bundle());
  inspect_ticks(calendar, TickReads::kEveryDay);  // page cache warm
  side_by_side(
      state, [&](TickReads reads) { inspect_ticks(calendar, reads); }, "ms_per_file",
      static_cast<double>(tick_bundle().files().size()));
}

void BM_TickCheck(benchmark::State& state) {
  const std::vector<std::string> calendar = text_calendar(tick_bundle());
  auto check = [&](TickReads reads) {
    CheckFindings findings;
    check_detail::sort_files(
        tick_bundle().files(), 1,
        [&](const std::string& path) {
          return check_detail::inspect_tick_file(path, calendar, {}, reads);
        },
        [](const std::string& path, const std::vector<tallow::DateArg>& missing) {
          return check_detail::first_day_with_data(tick_instrument(path), missing, "tick");
        },
        findings);
    if (!findings.broken.empty()) {
      std::fprintf(stderr, "%zu broken, first: %s\n", findings.broken.size(),
                   findings.broken_reasons.front().c_str());
    }
  };
  check(TickReads::kEveryDay);
  side_by_side(state, check, "ms_per_file", static_cast<double>(tick_bundle().files().size()));
}

// One check of the bench's tick files through the worker machinery and the cache, as
// find_tick_problems runs it.
enum class TickWay { kNames, kCold, kWarm };
void check_ticks_cached(const std::vector<std::string>& calendar, TickWay way) {
  const std::string dir = fs::path(tick_bundle().files().front()).parent_path().string();
  check_detail::VerifiedCache cache = check_detail::VerifiedCache::open(dir, way == TickWay::kWarm);
  const TickReads reads = way == TickWay::kNames ? TickReads::kNamesOnly : TickReads::kEveryDay;
  CheckFindings findings;
  check_detail::sort_files(
      tick_bundle().files(), 1,
      [&](const std::string& path) {
        return check_detail::inspect_tick_file(path, calendar, {}, reads,
                                               way == TickWay::kNames ? nullptr : &cache);
      },
      [](const std::string& path, const std::vector<tallow::DateArg>& missing) {
        return check_detail::first_day_with_data(tick_instrument(path), missing, "tick");
      },
      findings,
      [&](const std::string& path, const std::string& note) {
        if (auto entry = check_detail::decode_entry(note)) {
          cache.keep(fs::path(path).filename().string(), *entry);
        }
      });
  // Names alone verify nothing: saving would empty the cache.
  if (way != TickWay::kNames) cache.save();
  if (!findings.broken.empty()) std::fprintf(stderr, "%zu broken\n", findings.broken.size());
}

void BM_TickCached(benchmark::State& state) {
  ::setenv("XDG_CACHE_HOME", (tick_bundle().root() + "/xdg-cache").c_str(), 1);
  ::unsetenv("TESSERA_CHECK_CACHE");
  const std::vector<std::string> calendar = text_calendar(tick_bundle());
  check_ticks_cached(calendar, TickWay::kCold);  // page cache warm, cache filled
  std::array<TickWay, 3> order = {TickWay::kNames, TickWay::kCold, TickWay::kWarm};
  double spent[3] = {0, 0, 0};
  for (auto _ : state) {
    double iteration = 0;
    for (TickWay way : order) {
      const double start = cpu_seconds();
      check_ticks_cached(calendar, way);
      const double t = cpu_seconds() - start;
      spent[static_cast<int>(way)] += t;
      iteration += t;
    }
    std::rotate(order.begin(), order.begin() + 1, order.end());
    state.SetIterationTime(iteration);
  }
  const double files =
      static_cast<double>(tick_bundle().files().size()) * static_cast<double>(state.iterations());
  state.counters["names_ms_per_file"] = spent[0] * 1e3 / files;
  state.counters["cold_ms_per_file"] = spent[1] * 1e3 / files;
  state.counters["warm_ms_per_file"] = spent[2] * 1e3 / files;
  state.counters["cold_ratio"] = spent[1] / spent[0];
  state.counters["warm_ratio"] = spent[2] / spent[0];
}

// Every day of every file: from its chunks as stored (the check's way) or through HDF5's filter.
void BM_TickDecodeWays(benchmark::State& state) {
  h5::DecodeScratch scratch;
  std::vector<std::byte> whole;
  auto each_day = [](auto&& body) {
    for (const std::string& path : tick_bundle().files()) {
      h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
      for (const std::string& day : file.member_names()) body(h5::Dataset::open(file, day));
    }
  };
  double chunks = 0, hdf5 = 0;
  for (auto _ : state) {
    const double t0 = cpu_seconds();
    each_day([&](const h5::Dataset& ds) { ds.verify_rows(scratch); });
    const double t1 = cpu_seconds();
    each_day([&](const h5::Dataset& ds) {
      const h5::Size rows = ds.readable_length();
      whole.resize(rows * H5TicksLoader::DTYPES.size);
      ds.read(H5TicksLoader::DTYPES, 0, rows, whole.data());
    });
    const double t2 = cpu_seconds();
    chunks += t1 - t0;
    hdf5 += t2 - t1;
    state.SetIterationTime(t2 - t0);
  }
  const auto files = static_cast<double>(tick_bundle().files().size() * state.iterations());
  state.counters["chunks_ms_per_file"] = chunks * 1e3 / files;
  state.counters["hdf5_ms_per_file"] = hdf5 * 1e3 / files;
  report_memory(state);
}

BENCHMARK(BM_TickInspect)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_TickCheck)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_TickCached)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_TickDecodeWays)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MonthInspect)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_MonthCheck)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_MonthFloor)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CheckMinbar)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(2);
BENCHMARK(BM_ReadFloor)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(2);
BENCHMARK(BM_CheckToFloor)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(3);
BENCHMARK(BM_CheckJobsRatio)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(2);

}  // namespace
}  // namespace tessera_plus::bundle

BENCHMARK_MAIN();
