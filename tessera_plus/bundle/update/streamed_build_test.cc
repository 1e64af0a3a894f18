// A minute-bar file built from its first date a few days of history at a time, on the simulated
// market with its gaps, suspensions, listings, de-listings and night sessions, and with the
// service failing now and then behind the retry layer: the stored chunks and `index` must be those
// of one fetch of the whole history, and a batch that fails must leave no file.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/bundle/store/minbar_file.h"
#include "tessera_plus/bundle/update/minbar_appender.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/client.h"
#include "tessera_plus/market/retrying_backend.h"
#include "tessera_plus/sim/sim_market.h"
#include "tests/support/env.h"
#include "tests/support/scripted_service.h"
#include "tests/support/stored_chunks.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;
using tallow::sim::SimConfig;
using tallow::sim::SimMarket;
using testing::stored_dataset;
using testing::TempDir;

constexpr int kHistoryStart = 20151102;
constexpr int kOneBatch = 1'000'000;  // days: the whole history in one fetch

SimConfig market_config() {
  SimConfig config;
  config.history_start = kHistoryStart;
  return config;
}

class StreamedBuild : public ::testing::Test {
 protected:
  void SetUp() override { publish_sval(SharedFlag::create(true)); }
  void TearDown() override { tallow::install_backend(nullptr); }

  WriteRequest request(const std::string& id, const std::string& dir) const {
    return {.order_book_id = id, .path = dir, .min_start_date = kHistoryStart};
  }
  WriteResult build(const std::string& id, const std::string& dir, int batch_days) {
    return _append_h5(request(id, dir), WriteOptions{.batch_days = batch_days});
  }
  std::string file_of(const std::string& id, const std::string& dir) const {
    return minbar_target(request(id, dir))->file;
  }
  void expect_same_file(const std::string& a, const std::string& b) const {
    EXPECT_EQ(stored_dataset(a, "data", MINBAR_DATA_CHUNK),
              stored_dataset(b, "data", MINBAR_DATA_CHUNK));
    EXPECT_EQ(stored_dataset(a, "index", MINBAR_INDEX_CHUNK),
              stored_dataset(b, "index", MINBAR_INDEX_CHUNK));
  }

  // Today after the half year 000002.XSHE stood still (2015-12-18 to 2016-07-01), three months
  // after 300750.XSHE was listed, while 601318.XSHG has been suspended for 24 trading days and
  // ten days after 000005.XSHE was de-listed.
  testing::ScopedEnv now_{"TESSERA_NOW", "2018-09-28 18:00:00"};
  TempDir dir_;
  testing::ScopedEnv log_{"TESSERA_LOG_FILE", dir_ / "tessera.log"};
};

// The first future of the market whose history has night bars (stamped the evening before the
// trading day they belong to).
std::string future_with_night_bars(SimMarket& market) {
  for (const tallow::Instrument& i : market.all_instruments({.type = "FUTURE"})) {
    std::optional<tallow::PriceTable> bars =
        market.get_price(i.order_book_id, {.start_date = std::int64_t{20180903},
                                           .end_date = std::int64_t{20180907},
                                           .frequency = "1m"});
    if (!bars || bars->empty()) continue;
    for (const DateTime& t : bars->timestamps) {
      if (std::chrono::hh_mm_ss(t - std::chrono::floor<std::chrono::days>(t)).hours().count() >=
          21) {
        return i.order_book_id;
      }
    }
  }
  return {};
}

TEST_F(StreamedBuild, StoresTheChunksOfOneFetchThroughGapsDelistingsNightsAndFaults) {
  SimConfig config = market_config();
  config.fault_rate = 0.2;
  auto market = std::make_shared<SimMarket>(config);
  SimConfig quiet = market_config();
  SimMarket probe(quiet);
  const std::string future = future_with_night_bars(probe);
  ASSERT_FALSE(future.empty());
  tallow::install_backend(std::make_shared<tallow::RetryingBackend>(
      market, tallow::RetryPolicy{.attempts = 40}, [](std::chrono::nanoseconds) {}));

  for (const std::string& id : {std::string("000002.XSHE"), std::string("300750.XSHE"),
                                std::string("601318.XSHG"), std::string("000005.XSHE"), future}) {
    SCOPED_TRACE(id);
    const std::string one = dir_ / "one", days = dir_ / "days", weeks = dir_ / "weeks";
    ASSERT_EQ(build(id, one, kOneBatch).outcome, WriteResult::Outcome::kChanged);
    ASSERT_EQ(build(id, days, 1).outcome, WriteResult::Outcome::kChanged);
    ASSERT_EQ(build(id, weeks, 9).outcome, WriteResult::Outcome::kChanged);
    expect_same_file(file_of(id, one), file_of(id, days));
    expect_same_file(file_of(id, one), file_of(id, weeks));

    // A file that lost its `index` is built anew where it stands, in batches as well.
    const std::string in_place = dir_ / "in_place";
    fs::create_directories(fs::path(file_of(id, in_place)).parent_path());
    fs::copy_file(file_of(id, one), file_of(id, in_place));
    {
      h5::File f = h5::File::open(file_of(id, in_place), h5::Mode::kAppend);
      f.remove("index");
      f.close();
    }
    ASSERT_EQ(build(id, in_place, 5).outcome, WriteResult::Outcome::kChanged);
    expect_same_file(file_of(id, one), file_of(id, in_place));
  }
  EXPECT_TRUE(sval().value());
}

// The simulated market behind a script that spoils the answer of one `get_price` call.
class FailingBatch : public StreamedBuild {
 protected:
  void SetUp() override {
    StreamedBuild::SetUp();
    svc_->on_instruments = [this](const std::string& id, const std::optional<std::string>& m) {
      return market_.instruments(id, m);
    };
    svc_->on_get_price = [this](const std::string& id, const tallow::PriceArgs& args) {
      std::optional<tallow::PriceTable> bars = market_.get_price(id, args);
      if (bars && !bars->empty() && ++answers_ == spoiled_answer_) spoil_(*bars);
      return bars;
    };
  }
  // Nothing of the file remains in its class directory: no file, no temporary one.
  bool nothing_left(const std::string& id, const std::string& dir) const {
    const fs::path file = minbar_target(request(id, dir))->file;
    return !fs::exists(file.parent_path()) || fs::is_empty(file.parent_path());
  }

  SimMarket market_{market_config()};
  testing::ScopedScriptedService svc_;
  int answers_ = 0;
  int spoiled_answer_ = 3;
  std::function<void(tallow::PriceTable&)> spoil_;
};

TEST_F(FailingBatch, AServiceErrorInAMiddleBatchReachesTheCallerAndLeavesNoFile) {
  spoil_ = [](tallow::PriceTable&) { throw tallow::ServiceUnavailable("the service went away"); };
  const std::string dir = dir_ / "h5";
  EXPECT_THROW(build("000001.XSHE", dir, 30), tallow::ServiceUnavailable);
  EXPECT_EQ(answers_, 3);
  EXPECT_TRUE(nothing_left("000001.XSHE", dir));
  EXPECT_TRUE(sval().value());  // the caller hears of it; the flag is not this writer's to clear
}

TEST_F(FailingBatch, BadBarsInAMiddleBatchFailTheFileWithItsLogLineAndLeaveNoFile) {
  spoil_ = [](tallow::PriceTable& bars) { std::swap(bars.timestamps[0], bars.timestamps[1]); };
  const std::string dir = dir_ / "h5";
  const WriteResult result = build("000001.XSHE", dir, 30);
  EXPECT_EQ(result.outcome, WriteResult::Outcome::kFailed);
  EXPECT_EQ(answers_, 3);  // the batches after it are not fetched
  EXPECT_TRUE(nothing_left("000001.XSHE", dir));
  EXPECT_FALSE(sval().value());

  // The next run builds the whole file.
  publish_sval(SharedFlag::create(true));
  spoiled_answer_ = 0;
  EXPECT_EQ(build("000001.XSHE", dir, 30).outcome, WriteResult::Outcome::kChanged);
  EXPECT_TRUE(sval().value());
}

}  // namespace
}  // namespace tessera_plus::bundle
