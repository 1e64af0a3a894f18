// Peak memory of a worker that builds a 20-year minute-bar file anew, on the simulated market at
// bench scale (history from 2005-01-04, "today" 2024-12-31 unless TESSERA_NOW says otherwise),
// fetched in one request or a year of dates at a time, side by side:
//
//   BM_RebuildPeakMemory/DAYS/0   `--rebuild` of an existing file: deleted and built anew under a
//                                 temporary name
//   BM_RebuildPeakMemory/DAYS/1   a file without `index`, built anew where it stands (journaled)
//
// DAYS is the batch length in calendar days: 1000000 fetches the whole history at once, as one
// request per file does; 366 is MINBAR_BATCH_DAYS. Each build runs in a forked child, as a worker
// of the parallel updater does: `worker_peak_MB` is the child's peak resident size, `growth_MB`
// what it grew past the parent it was forked from (whose market is already set up).
//
//   build/release/minbar_stream_bench
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/child_memory.h"
#include "bench/scratch_dir.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/bundle/store/write_options.h"
#include "tessera_plus/bundle/update/minbar_appender.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/client.h"
#include "tessera_plus/sim/sim_market.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;
const char* const kId = "000001.XSHE";
constexpr int kOneFetch = 1'000'000;

struct Setup {
  Setup() {
    ::setenv("TESSERA_NOW", "2024-12-31 18:00:00", /*overwrite=*/0);
    tallow::sim::SimConfig config = tallow::sim::SimConfig::for_scale(tallow::sim::Scale::kBench);
    config.stocks = 20;  // one stock is built; the rest of the universe only costs set-up
    tallow::install_backend(std::make_shared<tallow::sim::SimMarket>(config));
    publish_sval(SharedFlag::create(true));
  }
};

void BM_RebuildPeakMemory(benchmark::State& state) {
  static const Setup setup;
  const int batch_days = static_cast<int>(state.range(0));
  const bool in_place = state.range(1) == 1;
  const bench::ScratchDir scratch("minbar_stream");
  const WriteRequest request{.order_book_id = kId, .path = scratch / "h5"};
  const std::string file = minbar_target(request)->file;  // also sets up the market's universe
  const WriteResult first = _append_h5(request);
  const double file_mb = static_cast<double>(fs::file_size(file)) / 1e6;
  for (auto _ : state) {
    if (in_place) {
      h5::File f = h5::File::open(file, h5::Mode::kAppend);
      if (f.has("index")) f.remove("index");
      f.close();
    }
    WriteRequest rebuild = request;
    rebuild.rebuild = !in_place;
    const double start = bench::current_rss_mb();
    const double growth = bench::child_growth_mb(
        [&] { _append_h5(rebuild, WriteOptions{.batch_days = batch_days}); });
    state.counters["growth_MB"] = growth;
    state.counters["worker_peak_MB"] = start + growth;
  }
  state.counters["bars"] = static_cast<double>(first.rows);
  state.counters["file_MB"] = file_mb;
}
BENCHMARK(BM_RebuildPeakMemory)
    ->ArgNames({"days", "in_place"})
    ->Args({kOneFetch, 0})
    ->Args({MINBAR_BATCH_DAYS, 0})
    ->Args({kOneFetch, 1})
    ->Args({MINBAR_BATCH_DAYS, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
}  // namespace tessera_plus::bundle

BENCHMARK_MAIN();
