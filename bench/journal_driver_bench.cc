// Cost of the journal on a daily minute-bar append: 240 bars and one index row onto a 5-year file
// (300,000 rows in 1,024-row chunks, deflate 9, persistent free space), through the plain POSIX
// driver and through the journal, alternating within one run so that both see the same machine.
//
//   BM_AppendDay/0   plain driver (HDF5 does not fsync; this is today's writer)
//   BM_AppendDay/1   journal driver: rollback record and hidden signature, apply, signature shown
//   BM_JournalOverPlain  both in turn in each iteration; counters: ratio (journal / plain wall
//                        time), extra_ms, record_bytes, fsyncs, writes
//   BM_CommitFiles/0     eight files' appends, each committed alone
//   BM_CommitFiles/1     the same eight committed as one group (one barrier of each kind)
//
// Wall time, because the journal's cost is mostly waiting for fsync. Every iteration starts from
// a fresh copy of the 5-year file (copied outside the timed part), in the working directory.
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/scratch_dir.h"
#include "tessera_plus/bundle/store/records.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/h5/journal_driver.h"

namespace tessera_plus::h5 {
namespace {

namespace fs = std::filesystem;

using Bar = bundle::EquityBar;
struct Day {
  std::int64_t date;
  std::int64_t line_no;
};
constexpr RecordLayout kBarLayout = bundle::EQUITIES_DTYPE;
constexpr Field kDayFields[] = {{"date", Kind::kInt64, 0}, {"line_no", Kind::kInt64, 8}};
constexpr RecordLayout kDayLayout{sizeof(Day), kDayFields};

constexpr int kBarsPerDay = 240;
constexpr int kDays = 1250;  // five years of trading days

std::vector<Bar> bars_of_day(int day) {
  std::vector<Bar> bars;
  for (int m = 0; m < kBarsPerDay; ++m) {
    double p = 10 + ((day * 7 + m) % 300) * 0.01;
    bars.push_back({(20150101LL + day) * 1000000 + 93000 + m, p, p + 0.02, p - 0.01, p + 0.01,
                    1000.0 + m, (1000.0 + m) * p});
  }
  return bars;
}

// The 5-year file, made once per process.
class Fixture {
 public:
  Fixture() {
    std::vector<Bar> bars;
    std::vector<Day> index;
    for (int d = 0; d < kDays; ++d) {
      index.push_back({20150101LL + d, static_cast<std::int64_t>(bars.size())});
      auto day = bars_of_day(d);
      bars.insert(bars.end(), day.begin(), day.end());
    }
    File file = File::open(base(), Mode::kCreate);
    Creation how{.chunk = 1024, .growable = true, .deflate = 9};
    Dataset::create(file, "data", kBarLayout, bars.data(), bars.size(), how);
    Dataset::create(file, "index", kDayLayout, index.data(), index.size(), how);
    file.close();
  }
  std::string base() const { return dir_ / "base.h5"; }
  std::string fresh_copy(int n = 0) const {
    std::string path = dir_ / ("work" + std::to_string(n) + ".h5");
    fs::copy_file(base(), path, fs::copy_options::overwrite_existing);
    return path;
  }

 private:
  // In the working directory: fsync costs nothing on a tmpfs /tmp.
  bench::ScratchDir dir_{"journal_bench", "."};
};

const Fixture& fixture() {
  static Fixture instance;
  return instance;
}

void append_day(File& file) {
  Dataset data = Dataset::open(file, "data");
  h5::Size n = data.length();
  auto bars = bars_of_day(kDays);
  data.resize(n + bars.size());
  data.write(kBarLayout, n, bars.size(), bars.data());
  Dataset index = Dataset::open(file, "index");
  h5::Size m = index.length();
  Day day{20150101LL + kDays, static_cast<std::int64_t>(n)};
  index.resize(m + 1);
  index.write(kDayLayout, m, 1, &day);
}

struct Outcome {
  double seconds = 0;
  std::size_t record_bytes = 0;
  IoCounts counts;
};

Outcome timed_append(const std::string& path, bool journaled) {
  auto start = std::chrono::steady_clock::now();
  File file =
      journaled ? File::open_journaled(path, Mode::kAppend) : File::open(path, Mode::kAppend);
  append_day(file);
  file.close();
  Outcome outcome;
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (journaled) {
    outcome.record_bytes = file.journal()->record_bytes();
    outcome.counts = file.journal()->io_counts();
  }
  return outcome;
}

void BM_AppendDay(benchmark::State& state) {
  const Fixture& f = fixture();
  bool journaled = state.range(0) == 1;
  for (auto _ : state) {
    state.PauseTiming();
    std::string path = f.fresh_copy();
    state.ResumeTiming();
    File file =
        journaled ? File::open_journaled(path, Mode::kAppend) : File::open(path, Mode::kAppend);
    append_day(file);
    file.close();
  }
  state.SetLabel(journaled ? "journal" : "plain");
}
BENCHMARK(BM_AppendDay)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_JournalOverPlain(benchmark::State& state) {
  const Fixture& f = fixture();
  double plain = 0;
  double journal = 0;
  Outcome last{};
  for (auto _ : state) {
    state.PauseTiming();
    std::string path = f.fresh_copy();
    state.ResumeTiming();
    plain += timed_append(path, false).seconds;
    state.PauseTiming();
    path = f.fresh_copy();
    state.ResumeTiming();
    last = timed_append(path, true);
    journal += last.seconds;
  }
  auto n = static_cast<double>(state.iterations());
  state.counters["ratio"] = journal / plain;
  state.counters["extra_ms"] = (journal - plain) / n * 1e3;
  state.counters["record_bytes"] = static_cast<double>(last.record_bytes);
  state.counters["fsyncs"] = last.counts.fsyncs;
  state.counters["writes"] = last.counts.writes;
  state.counters["file_bytes"] = static_cast<double>(fs::file_size(f.base()));
}
BENCHMARK(BM_JournalOverPlain)->Unit(benchmark::kMillisecond)->UseRealTime();

// kGroupFiles files appended one day each, each committed alone (/0) or all in one commit group
// (/1): the group shares each kind of barrier among them.
constexpr int kGroupFiles = 8;

void BM_CommitFiles(benchmark::State& state) {
  const Fixture& f = fixture();
  const bool grouped = state.range(0) == 1;
  int fsyncs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::string> paths;
    for (int i = 0; i < kGroupFiles; ++i) paths.push_back(f.fresh_copy(i));
    state.ResumeTiming();
    CommitGroup group;
    std::vector<File> files;
    for (const std::string& path : paths) {
      files.push_back(
          File::open_journaled(path, Mode::kAppend, std::nullopt, {}, grouped ? &group : nullptr));
      append_day(files.back());
      files.back().close();
    }
    group.commit();
    fsyncs = 0;
    for (const File& file : files) fsyncs += file.journal()->io_counts().fsyncs;
  }
  state.SetLabel(grouped ? "grouped" : "alone");
  state.counters["files"] = kGroupFiles;
  state.counters["fsyncs"] = fsyncs;
}
BENCHMARK(BM_CommitFiles)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tessera_plus::h5

BENCHMARK_MAIN();
