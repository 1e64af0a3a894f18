// What the journal costs a daily update of many files: one trading day appended to each of
// TESSERA_BENCH_FILES (default 300) minute-bar files of two months, through update_minbar_file with
// and without the journal, alternating in one run so both see the same machine and disk. Wall time,
// because the journal's cost is mostly waiting for fsync. Counter: ratio (journal / plain).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/bundle/store/minbar_writer.h"
#include "tessera_plus/bundle/store/records.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

int next_weekday(int date) {
  auto d = std::chrono::sys_days(date_from_number(date)) + std::chrono::days(1);
  while (std::chrono::weekday(d) == std::chrono::Saturday ||
         std::chrono::weekday(d) == std::chrono::Sunday) {
    d += std::chrono::days(1);
  }
  return date_to_number(Date(d));
}

// 240 bars a day from `first` to `last`.
MinbarRecords bars(int first, int last) {
  std::vector<EquityBar> rows;
  std::vector<IndexEntry> index;
  for (int d = first; d <= last; d = next_weekday(d)) {
    index.push_back({d, static_cast<std::uint32_t>(rows.size())});
    for (int m = 0; m < 240; ++m) {
      std::int64_t hhmm =
          m < 120 ? 931 + m / 60 * 100 + m % 60 : 1301 + (m - 120) / 60 * 100 + m % 60;
      double p = 10 + (d % 97) * 0.01 + m * 0.001;
      rows.push_back(
          {std::int64_t{d} * 1000000 + hhmm * 100, p, p + 0.01, p - 0.01, p, 1000.0 + m, 1e5});
    }
  }
  MinbarRecords r{&EQUITIES_DTYPE, {}, rows.size(), index};
  r.data.resize(rows.size() * sizeof(EquityBar));
  std::memcpy(r.data.data(), rows.data(), r.data.size());
  return r;
}

void BM_DailyUpdate(benchmark::State& state) {
  const char* env = std::getenv("TESSERA_BENCH_FILES");
  const int files = env ? std::atoi(env) : 300;
  const fs::path dir = fs::current_path() / "journal_update_bench.work";
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (int i = 0; i < files; ++i) {
    create_minbar_file(dir / (std::to_string(i) + ".h5"), bars(20231101, 20231229));
  }
  int day = 20231229;
  double plain = 0, journal = 0;
  for (auto _ : state) {
    for (bool with_journal : {false, true}) {
      day = next_weekday(day);
      auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < files; ++i) {
        update_minbar_file(
            (dir / (std::to_string(i) + ".h5")).string(),
            {.min_start_date = 20231101,
             .fetch = [&](int from) { return std::optional<MinbarRecords>(bars(from, day)); },
             .next_trading_date = next_weekday},
            WriteOptions{.journal = with_journal});
      }
      double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      (with_journal ? journal : plain) += s;
    }
  }
  state.counters["plain_s"] = plain / state.iterations();
  state.counters["journal_s"] = journal / state.iterations();
  state.counters["ratio"] = journal / plain;
  fs::remove_all(dir);
}
BENCHMARK(BM_DailyUpdate)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tessera_plus::bundle

BENCHMARK_MAIN();
