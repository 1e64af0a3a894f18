// The base-data updater: the files the rest of the bundle module reads, built once and then
// extended, readable by numpy, pickle and h5py.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/base_data/base_updater.h"
#include "tessera_plus/bundle/base_data/instrument_list.h"
#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tests/support/env.h"
#include "tests/support/scripted_service.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using tallow::Instrument;
using testing::run_python;
using testing::ScopedScriptedService;
using testing::TempDir;

class BaseUpdater : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(bundle_);
    service_->on_all_instruments = [](const tallow::AllInstrumentsArgs&) {
      return std::vector<Instrument>{{.order_book_id = "000001.XSHE",
                                      .type = "CS",
                                      .exchange = "XSHE",
                                      .listed_date = "1991-04-03"},
                                     {.order_book_id = "430047.BJSE",
                                      .type = "CS",
                                      .exchange = "BJSE",
                                      .listed_date = "2005-01-20"},
                                     {.order_book_id = "IF0501",
                                      .type = "FUTURE",
                                      .exchange = "CFFEX",
                                      .de_listed_date = "2005-01-21"}};
    };
    // Every calendar day trades; a day's bar is a function of the day alone.
    service_->on_get_price = [](const std::string&, const tallow::PriceArgs& args) {
      tallow::PriceTable t;
      auto day = std::chrono::sys_days(tallow::to_date(*args.start_date));
      auto last = std::chrono::sys_days(tallow::to_date(*args.end_date));
      for (auto& c : {"open", "high", "low", "close", "volume", "total_turnover"}) t.add_column(c);
      for (; day <= last; day += std::chrono::days(1)) {
        t.order_book_ids.push_back("x");
        t.timestamps.push_back(make_datetime(Date(day)));
        double v = date_to_number(Date(day)) % 100;
        for (auto& [name, col] :
             const_cast<std::vector<std::pair<std::string, std::vector<double>>>&>(t.columns())) {
          col.push_back(v);
        }
      }
      return std::optional<tallow::PriceTable>(t);
    };
    service_->on_is_suspended = [](const std::string& id, const tallow::DateArg& start,
                                   const tallow::DateArg& end) {
      tallow::SuspensionTable t;
      std::vector<bool> flags;
      for (auto d = std::chrono::sys_days(tallow::to_date(start));
           d <= std::chrono::sys_days(tallow::to_date(end)); d += std::chrono::days(1)) {
        t.dates.push_back(Date(d));
        flags.push_back(id == "000001.XSHE" && date_to_number(Date(d)) == 20050110);
      }
      t.columns.emplace_back(id, flags);
      return t;
    };
  }

  std::int64_t rows(const std::string& file, const std::string& id) {
    h5::File f = h5::File::open(bundle_ / file, h5::Mode::kReadOnly);
    return static_cast<std::int64_t>(h5::Dataset::open(f, id).length());
  }

  void set_now(const char* now) { now_.set(now); }

  TempDir dir_;
  std::filesystem::path bundle_ = dir_.path() / "bundle";
  testing::ScopedEnv log_{"TESSERA_LOG_FILE", dir_ / "log.txt"};
  testing::ScopedEnv now_{"TESSERA_NOW", std::nullopt};
  ScopedScriptedService service_;
};

TEST_F(BaseUpdater, BuildsBaseFilesThenExtendsDailyBars) {
  set_now("2005-01-31 18:00:00");
  ASSERT_TRUE(bundle::update_daybar(bundle_.string(), true, true, 2, {.enable_bjse = true}));
  EXPECT_EQ(rows("stocks.h5", "000001.XSHE"), 28);  // 2005-01-04 .. 2005-01-31
  EXPECT_EQ(rows("stocks.h5", "430047.BJSE"), 12);  // from its listing day
  EXPECT_EQ(rows("futures.h5", "IF0501"), 18);      // up to its de-listing day

  set_now("2005-02-03 09:00:00");  // before the cut-off: through 02-02
  ASSERT_TRUE(bundle::update_daybar(bundle_.string(), false, true, 2, {}));
  EXPECT_EQ(rows("stocks.h5", "000001.XSHE"), 30);
  EXPECT_EQ(rows("futures.h5", "IF0501"), 18);

  auto listed = bundle::read_instrument_list((bundle_ / "instruments.pk").string());
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[1].exchange, "BJSE");

  std::string out;
  ASSERT_EQ(run_python(R"(
import sys, pickle, numpy, h5py
d = sys.argv[1]
cal = numpy.load(d + '/trading_dates.npy')
print(cal.dtype, cal[0], cal[-1], len(cal), bool((numpy.diff(cal) > 0).all()))
print([r['order_book_id'] for r in pickle.load(open(d + '/instruments.pk', 'rb'))])
s = h5py.File(d + '/suspended_days.h5', 'r')
print(list(s.keys()), list(s['000001.XSHE'][:]))
b = h5py.File(d + '/stocks.h5', 'r')['000001.XSHE']
print(b.compression, b[-1]['datetime'], b.dtype.names[0])
)",
                       bundle_.string(), &out),
            0)
      << out;
  EXPECT_EQ(out,
            "int64 20050104 20050202 30 True\n"
            "['000001.XSHE', '430047.BJSE', 'IF0501']\n"
            "['000001.XSHE'] [20050110]\n"
            "gzip 20050202000000 datetime\n");
}

TEST_F(BaseUpdater, WorkersInitialiseTheirOwnClientNotTheCallers) {
  set_now("2005-01-10 18:00:00");
  ASSERT_TRUE(bundle::update_daybar(bundle_.string(), true, false, 1, {.enable_bjse = true}));
  EXPECT_TRUE(service_->calls_of("init").empty());  // the workers' calls stay in the workers
  EXPECT_FALSE(service_->bjse);
}

TEST_F(BaseUpdater, AFailingPartMakesTheResultFalseAndKeepsTheOthers) {
  set_now("2005-01-10 18:00:00");
  service_->on_is_suspended = [](const std::string&, const tallow::DateArg&,
                                 const tallow::DateArg&) -> tallow::SuspensionTable {
    throw Error("service unavailable");
  };
  EXPECT_FALSE(bundle::update_daybar(bundle_.string(), true, true, 2, {}));
  EXPECT_TRUE(std::filesystem::exists(bundle_ / "stocks.h5"));
  EXPECT_TRUE(std::filesystem::exists(bundle_ / "trading_dates.npy"));
  EXPECT_FALSE(std::filesystem::exists(bundle_ / "suspended_days.h5"));
}

// A service that gives up on one instrument costs that instrument only: the class file, the
// suspensions and the list are still written, and what the instrument had is kept.
TEST_F(BaseUpdater, AnInstrumentTheServiceFailsForCostsOnlyItself) {
  set_now("2005-01-31 18:00:00");
  auto bars = service_->on_get_price;
  service_->on_get_price = [bars](const std::string& id, const tallow::PriceArgs& args) {
    if (id == "430047.BJSE") throw tallow::ServiceUnavailable("timeout");
    return bars(id, args);
  };
  EXPECT_FALSE(bundle::update_daybar(bundle_.string(), true, true, 2, {.enable_bjse = true}));
  EXPECT_EQ(rows("stocks.h5", "000001.XSHE"), 28);
  EXPECT_FALSE(h5::File::open(bundle_ / "stocks.h5", h5::Mode::kReadOnly).has("430047.BJSE"));
  EXPECT_EQ(bundle::read_instrument_list((bundle_ / "instruments.pk").string()).size(), 3u);
  auto suspended = [this] {
    h5::File f = h5::File::open(bundle_ / "suspended_days.h5", h5::Mode::kReadOnly);
    return h5::Dataset::open(f, "000001.XSHE").read_integers();
  };
  EXPECT_THAT(suspended(), ::testing::ElementsAre(20050110));
  EXPECT_THAT(testing::read_file(dir_ / "log.txt"),
              ::testing::HasSubstr("stocks.h5 430047.BJSE 失败，数据服务暂时不可用：timeout"));

  // The next run catches the instrument up; a stock whose suspensions cannot be had this time
  // keeps the days the file held.
  service_->on_get_price = bars;
  service_->on_is_suspended = [](const std::string&, const tallow::DateArg&,
                                 const tallow::DateArg&) -> tallow::SuspensionTable {
    throw tallow::ServiceUnavailable("timeout");
  };
  EXPECT_FALSE(bundle::update_daybar(bundle_.string(), false, true, 2, {.enable_bjse = true}));
  EXPECT_EQ(rows("stocks.h5", "430047.BJSE"), 12);
  EXPECT_THAT(suspended(), ::testing::ElementsAre(20050110));
}

// Two base updates of one bundle at once, without the run lock that keeps the programs apart (a
// second host, a program of the user's): each sweeps abandoned builds while the other publishes the
// same files, and neither may lose a build to the other's sweep. TESSERA_OVERLAP_ROUNDS rounds
// (default 2; bench/base_overlap_trials.sh runs hundreds).
TEST_F(BaseUpdater, OverlappingUpdatesNeverSweepEachOthersBuilds) {
  set_now("2005-01-31 18:00:00");
  const char* asked = std::getenv("TESSERA_OVERLAP_ROUNDS");
  const int rounds = asked ? std::atoi(asked) : 2;
  int failed_runs = 0;
  for (int round = 0; round < rounds; ++round) {
    pid_t runs[2];
    for (pid_t& run : runs) {
      run = ::fork();
      if (run == 0) {
        bool ok = false;
        try {
          // Every file is built whole and published: the case the sweep endangers.
          ok = bundle::update_daybar(bundle_.string(), true, true, 2, {});
        } catch (...) {
        }
        ::_exit(ok ? 0 : 1);
      }
    }
    for (pid_t run : runs) {
      int status = 0;
      ::waitpid(run, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed_runs;
    }
  }
  const std::string log =
      std::filesystem::exists(dir_ / "log.txt") ? testing::read_file(dir_ / "log.txt") : "";
  EXPECT_EQ(failed_runs, 0) << log;
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("I/O 错误")));
  std::size_t io_errors = 0;
  for (std::size_t at = 0; (at = log.find("I/O 错误", at)) != std::string::npos; ++at) ++io_errors;
  std::printf("overlapping base updates: %d rounds, %d failed runs, %zu I/O-error reports\n",
              rounds, failed_runs, io_errors);
  EXPECT_EQ(rows("stocks.h5", "000001.XSHE"), 28);
}

TEST_F(BaseUpdater, MissingBundleDirectoryIsAnOsError) {
  EXPECT_THROW(bundle::update_daybar((dir_.path() / "nope").string(), false, true, 1, {}), OSError);
}

}  // namespace
}  // namespace tessera_plus
