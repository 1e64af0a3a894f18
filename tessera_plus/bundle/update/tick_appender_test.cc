#include "tessera_plus/bundle/update/tick_appender.h"

#include "tessera_plus/base/publish.h"
#include "tessera_plus/bundle/update/grouped_writes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/settings.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/base/warnings.h"
#include "tessera_plus/bundle/store/tick_layout.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/market/client.h"
#include "tessera_plus/market/retrying_backend.h"
#include "tessera_plus/market/types.h"
#include "tests/support/outside_layouts.h"
#include "tests/support/scripted_service.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using bundle::_append_h5_tick;
using bundle::H5TicksLoader;
using bundle::TickRecord;
using tallow::Date;
using tallow::DateArg;
using tallow::DateTime;
using tallow::PriceArgs;
using tallow::PriceTable;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::ScopedScriptedService;
using testing::TempDir;
using namespace std::chrono;

constexpr char kId[] = "000001.XSHE";

Date day(int number) { return date_from_number(number); }
DateTime at(int date, int hour, int minute, int second, int ms = 0) {
  return make_datetime(day(date), hour, minute, second, ms * 1000);
}

struct Tick {
  DateTime at;
  int trading_date;
  double value;  // every service column of the row holds this value
};

PriceTable tick_table(const std::vector<Tick>& ticks, bool with_open_interest = true) {
  PriceTable table;
  table.trading_date.emplace();
  for (const Tick& t : ticks) {
    table.order_book_ids.push_back(kId);
    table.timestamps.push_back(t.at);
    table.trading_date->push_back(make_datetime(day(t.trading_date)));
  }
  for (std::string_view name : H5TicksLoader::COLUMNS) {
    if (name == "date" || name == "time") continue;
    if (name == "open_interest" && !with_open_interest) continue;
    std::vector<double>& column = table.add_column(name);
    for (std::size_t i = 0; i < ticks.size(); ++i) column[i] = ticks[i].value;
  }
  return table;
}

PriceTable daily_table(const std::vector<int>& dates) {
  PriceTable table;
  for (int d : dates) {
    table.order_book_ids.push_back(kId);
    table.timestamps.push_back(make_datetime(day(d)));
  }
  table.add_column("close");
  return table;
}

// A small market: the trading calendar of one instrument, its ticks by trading date and its
// suspended dates, answered the way the service does.
struct Market {
  std::string type = "CS";
  std::vector<int> trading_dates;
  std::map<int, std::vector<Tick>> ticks{};
  std::vector<std::pair<int, bool>> suspension{};

  void serve(ScopedScriptedService& svc) const {
    svc->on_instruments = [this](const std::string& id, const auto&) {
      return tallow::InstrumentAnswer{tallow::Instrument{.order_book_id = id, .type = type}};
    };
    svc->on_get_price = [this](const std::string&, const PriceArgs& args) {
      int first = date_to_number(tallow::to_date(*args.start_date));
      int last = date_to_number(tallow::to_date(*args.end_date));
      std::vector<int> dates;
      std::vector<Tick> rows;
      for (int d : trading_dates) {
        if (d < first || d > last) continue;
        dates.push_back(d);
        if (auto it = ticks.find(d); it != ticks.end()) {
          rows.insert(rows.end(), it->second.begin(), it->second.end());
        }
      }
      return args.frequency ? tick_table(rows) : daily_table(dates);
    };
    svc->on_is_suspended = [this](const std::string& id, const DateArg&, const DateArg&) {
      tallow::SuspensionTable table;
      table.columns.emplace_back(id, std::vector<bool>{});
      for (auto [d, suspended] : suspension) {
        table.dates.push_back(day(d));
        table.columns[0].second.push_back(suspended);
      }
      return table;
    };
  }
};

// `count` trading dates, one for every calendar day from `first` on.
std::vector<int> every_day_from(int first, std::size_t count) {
  std::vector<int> dates;
  for (Date d = day(first); dates.size() < count; d = sys_days(d) + days(1)) {
    dates.push_back(date_to_number(d));
  }
  return dates;
}

std::vector<Tick> ticks_of(int date, std::size_t count, double value) {
  std::vector<Tick> out;
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back({at(date, 9, 30, 0) + seconds(3 * i), date, value + i});
  }
  return out;
}

class TickAppender : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TESSERA_LOG_FILE", (dir_ / "tessera.log").c_str(), 1);
    setenv("TESSERA_NOW", "2024-07-01 18:00:00", 1);  // end date 20240701
    publish_sval(SharedFlag::create(true));
  }
  void TearDown() override { unsetenv("TESSERA_NOW"); }

  std::string ticks_dir() const { return dir_ / "bundle/ticks"; }
  std::string file() const { return dir_ / "bundle/ticks/000001.XSHE.h5"; }

  std::string log() const { return testing::read_file(dir_ / "tessera.log"); }

  std::vector<std::string> names() const {
    return h5::File::open(file(), h5::Mode::kReadOnly).member_names();
  }

  std::vector<TickRecord> records(const std::string& name) const {
    h5::File f = h5::File::open(file(), h5::Mode::kReadOnly);
    h5::Dataset ds = h5::Dataset::open(f, name);
    std::vector<TickRecord> out(ds.length());
    ds.read(H5TicksLoader::DTYPES, 0, out.size(), out.data());
    return out;
  }

  TempDir dir_;
  ScopedScriptedService svc_;
};

TEST_F(TickAppender, NewStockGetsADatasetPerTradingDateAndMarkersForSuspendedDays) {
  Market market{
      .trading_dates = {20240626, 20240627, 20240628},
      .ticks = {{20240626, ticks_of(20240626, 5, 10)}, {20240628, ticks_of(20240628, 3, 11)}},
      .suspension = {{20240626, true}, {20240627, true}, {20240701, false}}};
  market.serve(svc_);
  std::vector<std::string> warnings;
  WarningHandler previous =
      set_warning_handler([&](std::string_view w) { warnings.emplace_back(w); });
  auto suspended = svc_->on_is_suspended;
  svc_->on_is_suspended = [&](const std::string& id, const DateArg& s, const DateArg& e) {
    warn("inside is_suspended");
    return suspended(id, s, e);
  };
  warn("before");

  // Every tick is counted once, though the new days are stored before the markers.
  EXPECT_EQ(_append_h5_tick({kId, ticks_dir()}).rows, 8u);
  set_warning_handler(previous);

  EXPECT_THAT(names(), ElementsAre("20240626", "20240627", "20240628"));
  EXPECT_EQ(records("20240626").size(), 5u);  // a suspended date with ticks keeps them
  EXPECT_EQ(records("20240627").size(), 0u);
  EXPECT_EQ(records("20240628").size(), 3u);
  EXPECT_THAT(warnings, ElementsAre("before"));
  EXPECT_TRUE(sval().value());

  auto daily = svc_->calls_of("get_price").front().price;
  EXPECT_EQ(*daily.start_date, DateArg(std::int64_t{20050104}));
  EXPECT_EQ(*daily.end_date, DateArg(std::int64_t{20240701}));
  EXPECT_EQ(daily.expect_df, true);
  EXPECT_FALSE(daily.frequency || daily.adjust_type || daily.market);
  auto marker_query = svc_->calls_of("is_suspended").at(0);
  EXPECT_EQ(*marker_query.start, DateArg(std::int64_t{20050104}));
  EXPECT_EQ(*marker_query.end, DateArg(std::int64_t{20240701}));
}

// The service may answer with a list of records; the one of this id decides, wherever it stands.
TEST_F(TickAppender, AListAnswerIsJudgedByThisIdsRecord) {
  Market market{.trading_dates = {20240627, 20240628},
                .ticks = {{20240628, ticks_of(20240628, 2, 10)}},
                .suspension = {{20240627, true}}};
  market.serve(svc_);
  for (bool stock_first : {false, true}) {
    SCOPED_TRACE(stock_first ? "this stock first" : "another id's future first");
    std::filesystem::remove(file());
    svc_->on_instruments = [stock_first](const std::string& id, const auto&) {
      std::vector<tallow::Instrument> records = {{.order_book_id = id, .type = "CS"},
                                                 {.order_book_id = "IF2407", .type = "FUTURE"}};
      if (!stock_first) std::swap(records[0], records[1]);
      return tallow::InstrumentAnswer{records};
    };
    _append_h5_tick({kId, ticks_dir()});
    EXPECT_THAT(names(), ElementsAre("20240627", "20240628"));
  }
}

TEST_F(TickAppender, FuturesContractGetsNoMarkers) {
  Market market{.type = "FUTURE",
                .trading_dates = {20240627, 20240628},
                .ticks = {{20240628, ticks_of(20240628, 2, 3000)}},
                .suspension = {{20240627, true}}};
  market.serve(svc_);
  _append_h5_tick({kId, ticks_dir()});
  EXPECT_THAT(names(), ElementsAre("20240628"));
  EXPECT_TRUE(svc_->calls_of("is_suspended").empty());
}

TEST_F(TickAppender, LatestStoredDateEqualToEndDateIsFetchedAgainAndReplaced) {
  Market market{
      .trading_dates = {20240628, 20240701},
      .ticks = {{20240628, ticks_of(20240628, 4, 10)}, {20240701, ticks_of(20240701, 2, 20)}}};
  market.serve(svc_);
  _append_h5_tick({kId, ticks_dir()});
  market.ticks[20240701] = ticks_of(20240701, 6, 30);
  svc_->calls.clear();

  _append_h5_tick({kId, ticks_dir()});

  auto queries = svc_->calls_of("get_price");
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(*queries[0].price.start_date, DateArg(std::string("20240701")));  // the name as text
  EXPECT_EQ(*queries[1].price.start_date, DateArg(day(20240701)));
  EXPECT_EQ(*queries[1].price.end_date, DateArg(day(20240701)));
  EXPECT_EQ(records("20240628").size(), 4u);
  std::vector<TickRecord> latest = records("20240701");
  ASSERT_EQ(latest.size(), 6u);
  EXPECT_EQ(latest[5].last, 350000);
}

TEST_F(TickAppender, LatestStoredDateAfterEndDateLeavesFileUntouched) {
  Market market{.trading_dates = {20240702}, .ticks = {{20240702, ticks_of(20240702, 2, 5)}}};
  market.serve(svc_);
  setenv("TESSERA_NOW", "2024-07-02 18:00:00", 1);
  _append_h5_tick({kId, ticks_dir()});
  std::string before = testing::read_file(file());
  svc_->calls.clear();

  setenv("TESSERA_NOW", "2024-07-02 17:30:00", 1);  // end date 20240701
  _append_h5_tick({kId, ticks_dir()});

  EXPECT_TRUE(svc_->calls.empty());
  EXPECT_EQ(testing::read_file(file()), before);
  EXPECT_TRUE(sval().value());
}

TEST_F(TickAppender, RebuildDeletesTheFileAndStartsAtMinStartDate) {
  Market market{.trading_dates = {20240628}, .ticks = {{20240628, ticks_of(20240628, 2, 5)}}};
  market.serve(svc_);
  _append_h5_tick({kId, ticks_dir()});
  svc_->calls.clear();

  _append_h5_tick({kId, ticks_dir(), std::nullopt, 20240601, true});

  EXPECT_EQ(*svc_->calls_of("get_price").at(0).price.start_date, DateArg(std::int64_t{20240601}));
  EXPECT_THAT(names(), ElementsAre("20240628"));
}

TEST_F(TickAppender, TwoHundredFiftyTradingDatesMakeThreeBatches) {
  const std::vector<int> dates = every_day_from(20230101, 250);
  svc_->on_get_price = [&](const std::string&, const PriceArgs& args) -> std::optional<PriceTable> {
    if (!args.frequency) return daily_table(dates);
    return std::nullopt;  // no ticks: the next batch follows
  };

  ::testing::internal::CaptureStdout();
  _append_h5_tick({kId, ticks_dir(), "other.h5"});
  std::string out = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(out, "2023-01-01 2023-04-10\n2023-04-11 2023-07-19\n2023-07-20 2023-09-07\n");
  auto queries = svc_->calls_of("get_price");
  ASSERT_EQ(queries.size(), 4u);
  EXPECT_EQ(*queries[3].price.start_date, DateArg(day(20230720)));
  EXPECT_EQ(*queries[3].price.end_date, DateArg(day(20230907)));
  EXPECT_EQ(queries[3].price.frequency, "tick");
  EXPECT_EQ(queries[3].price.adjust_type, "none");
  EXPECT_EQ(queries[3].price.expect_df, true);
  EXPECT_TRUE(
      h5::File::open(dir_ / "bundle/ticks/other.h5", h5::Mode::kReadOnly).member_names().empty());
}

TEST_F(TickAppender, StoresLastOfDuplicateTicksScaledAndTruncated) {
  // A night tick on Friday 21:00 belongs to Monday's trading date but keeps its own calendar date.
  std::vector<Tick> ticks = {{at(20240628, 21, 0, 0), 20240701, 1.0},
                             {at(20240701, 9, 30, 3, 500), 20240701, 10.12345678},
                             {at(20240701, 9, 30, 6), 20240701, 7.0},
                             {at(20240701, 9, 30, 3, 500), 20240701, -2.99999}};
  svc_->on_get_price = [&](const std::string&, const PriceArgs& args) {
    return args.frequency ? tick_table(ticks, false) : daily_table({20240701});
  };
  _append_h5_tick({kId, ticks_dir()});

  std::vector<TickRecord> stored = records("20240701");
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0].date, 20240628);
  EXPECT_EQ(stored[0].time, 210000000);
  EXPECT_EQ(stored[1].time, 93006000);  // the first 09:30:03.500 row gave way to the later one
  EXPECT_EQ(stored[2].time, 93003500);
  EXPECT_EQ(stored[2].last, -29999);  // -2.99999 * 10000 = -29999.9, truncated toward zero
  EXPECT_EQ(stored[2].volume, -2);
  EXPECT_DOUBLE_EQ(stored[2].total_turnover, -2.99999);
  EXPECT_EQ(stored[2].open_interest, 0);
  EXPECT_EQ(stored[0].open_interest, 0);
}

TEST_F(TickAppender, PermissionDeniedMidwayKeepsEarlierDaysAndLogsThePhoneNumber) {
  const std::vector<int> dates = every_day_from(20240101, 150);
  svc_->on_get_price = [&](const std::string&, const PriceArgs& args) -> std::optional<PriceTable> {
    if (!args.frequency) return daily_table(dates);
    if (std::get<Date>(*args.start_date) == day(20240101))
      return tick_table(ticks_of(20240105, 2, 1));
    throw tallow::PermissionDenied("no tick licence");
  };

  ::testing::internal::CaptureStdout();
  EXPECT_NO_THROW(_append_h5_tick({kId, ticks_dir()}));
  ::testing::internal::GetCapturedStdout();

  EXPECT_FALSE(sval().value());
  EXPECT_THAT(names(), ElementsAre("20240105"));
  std::string text = log();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  EXPECT_THAT(text, HasSubstr(" ERROR 更新 " + file() +
                              " 失败，您没有相关数据的使用权限，可联系Larkspur开通相关权限：" +
                              support_phone() + "\n"));
  EXPECT_THAT(text, EndsWith(support_phone() + "\n"));
}

TEST_F(TickAppender, MissingTickColumnIsLoggedAsPossiblyDamagedFile) {
  svc_->on_get_price = [&](const std::string&, const PriceArgs& args) {
    PriceTable table =
        args.frequency ? tick_table(ticks_of(20240701, 1, 1)) : daily_table({20240701});
    if (args.frequency) table.trading_date.reset();
    return table;
  };
  ::testing::internal::CaptureStdout();
  _append_h5_tick({kId, ticks_dir()});
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(sval().value());
  EXPECT_THAT(log(), HasSubstr("更新 " + file() +
                               " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令"
                               "\nthe service's tick table has no column 'trading_date'"));
}

TEST_F(TickAppender, FileHeldByAnotherProcessIsLoggedAsAnOsError) {
  std::filesystem::create_directories(ticks_dir());
  h5::File::open(file(), h5::Mode::kAppend).close();
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  pid_t child = ::fork();
  if (child == 0) {
    ::close(release[1]);  // or the read below never sees the parent's close
    h5::File held = h5::File::open(file(), h5::Mode::kAppend);
    char c = 1;
    (void)!::write(ready[1], &c, 1);
    (void)!::read(release[0], &c, 1);
    ::_exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);

  _append_h5_tick({kId, ticks_dir()});

  ::close(release[1]);
  ::waitpid(child, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0]}) ::close(fd);
  EXPECT_FALSE(sval().value());
  EXPECT_THAT(log(), HasSubstr("更新 " + file() +
                               " 失败，请检查文件的权限以及是否被其他进程占用\n"
                               "cannot open HDF5 file " +
                               file()));
  EXPECT_TRUE(svc_->calls.empty());
}

// Each daily update drops the latest day and writes it again, here a day that was still growing
// when it was last fetched. Without free-space tracking that survives closing the file, the space
// of every dropped day would be lost for good.
TEST_F(TickAppender, DailyUpdatesTakeNoMoreDiskThanWritingInOneGo) {
  Market market{.trading_dates = every_day_from(20240102, 60)};
  for (int number : market.trading_dates)
    market.ticks[number] = ticks_of(number, 1000, number % 97);
  market.serve(svc_);
  auto update_as_of = [&](int date, const std::string& name) {
    setenv("TESSERA_NOW", (format_dashed(day(date)) + " 18:00:00").c_str(), 1);
    _append_h5_tick({kId, ticks_dir(), name});
  };
  ::testing::internal::CaptureStdout();
  update_as_of(market.trading_dates.back(), "one_go.h5");
  for (std::size_t i = 29; i < market.trading_dates.size(); ++i) {
    int date = market.trading_dates[i];
    std::vector<Tick> whole_day = market.ticks[date];
    market.ticks[date].resize(600);  // the service has part of the day so far
    update_as_of(date, "daily.h5");
    market.ticks[date] = whole_day;
  }
  update_as_of(market.trading_dates.back(), "daily.h5");
  ::testing::internal::GetCapturedStdout();

  auto one_go = std::filesystem::file_size(dir_ / "bundle/ticks/one_go.h5");
  auto daily = std::filesystem::file_size(dir_ / "bundle/ticks/daily.h5");
  EXPECT_TRUE(sval().value());
  EXPECT_LT(double(daily), 1.05 * double(one_go)) << daily << " bytes against " << one_go;
}

// A tick update of an existing file in three batches whose commits wait in a worker's group: each
// batch after the first opens the file again, which commits the group first, so the batches build
// on each other and the file ends as an update committed alone makes it.
TEST_F(TickAppender, BatchesOfAGroupedUpdateEndAsAnUpdateCommittedAlone) {
  Market market{.trading_dates = every_day_from(20240102, 250)};
  for (int number : market.trading_dates) market.ticks[number] = ticks_of(number, 5, number % 97);
  market.serve(svc_);
  auto as_of = [](int date) {
    setenv("TESSERA_NOW", (format_dashed(day(date)) + " 18:00:00").c_str(), 1);
  };
  auto contents = [&](const std::string& name) {
    const h5::File f = h5::File::open(dir_ / ("bundle/ticks/" + name), h5::Mode::kReadOnly);
    // Each member's records, byte for byte.
    std::map<std::string, std::string> out;
    for (const std::string& member : f.member_names()) {
      h5::Dataset ds = h5::Dataset::open(f, member);
      std::vector<TickRecord> rows(ds.length());
      ds.read(H5TicksLoader::DTYPES, 0, rows.size(), rows.data());
      out[member].assign(reinterpret_cast<const char*>(rows.data()),
                         rows.size() * sizeof(TickRecord));
    }
    return out;
  };
  ::testing::internal::CaptureStdout();
  as_of(market.trading_dates[9]);
  _append_h5_tick({kId, ticks_dir(), "alone.h5"});
  _append_h5_tick({kId, ticks_dir(), "grouped.h5"});
  as_of(market.trading_dates.back());
  _append_h5_tick({kId, ticks_dir(), "alone.h5"});
  bundle::GroupedWrites grouped;
  const bundle::WriteResult result = _append_h5_tick({.order_book_id = kId,
                                                      .path = ticks_dir(),
                                                      .file_name = "grouped.h5",
                                                      .commit_group = grouped.group()});
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(result.outcome, bundle::WriteResult::Outcome::kPending);
  // The latest stored day is fetched again but, unchanged, neither written nor counted.
  EXPECT_EQ(result.rows, 5u * (market.trading_dates.size() - 10));
  grouped.commit();
  EXPECT_TRUE(sval().value()) << log();
  const auto alone = contents("alone.h5");
  EXPECT_EQ(alone.size(), market.trading_dates.size());
  EXPECT_TRUE(contents("grouped.h5") == alone);
}

TEST_F(TickAppender, WrittenFileReadsInH5pyRecordForRecord) {
  Market market{.trading_dates = {20240627, 20240628},
                .ticks = {{20240628, ticks_of(20240628, 300, 12.3456)}},
                .suspension = {{20240627, true}}};
  market.serve(svc_);
  _append_h5_tick({kId, ticks_dir()});

  std::string out;
  int status = testing::run_python(
      R"(
import sys, h5py
with h5py.File(sys.argv[1], 'r') as f, open(sys.argv[2], 'wb') as raw:
    for name in f:
        d = f[name]
        print(name, d.shape[0], ','.join(d.dtype.names) == sys.argv[3], list(d._filters.keys()),
              d.chunks is not None)
        raw.write(d[()].tobytes())
)",
      fmt::format("{} {} {}", file(), dir_ / "raw", fmt::join(H5TicksLoader::COLUMNS, ",")), &out);
  ASSERT_EQ(status, 0) << out;
  EXPECT_EQ(out, "20240627 0 True [] False\n20240628 300 True ['32001'] True\n");
  std::vector<TickRecord> expected = records("20240628");
  std::string bytes = testing::read_file(dir_ / "raw");
  ASSERT_EQ(bytes.size(), expected.size() * sizeof(TickRecord));
  EXPECT_EQ(std::memcmp(bytes.data(), expected.data(), bytes.size()), 0);
  EXPECT_EQ(expected[299].last, 3113456);  // 311.3456
}

// A new file is built under a hidden name: a run killed half-way (here by its file-size limit)
// leaves no "{}.h5" that HDF5 cannot open, and the next run replaces what it left.
TEST_F(TickAppender, KilledBuildLeavesNoTickFileAndTheNextRunBuildsIt) {
  Market market{.trading_dates = {20240627, 20240628},
                .ticks = {{20240627, ticks_of(20240627, 3000, 10)},
                          {20240628, ticks_of(20240628, 3000, 11)}}};
  market.serve(svc_);
  pid_t child = ::fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_DFL);
    rlimit limit{16384, 16384};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    _append_h5_tick({kId, ticks_dir()});
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(ticks_dir())) {
    left.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(left[0].starts_with(".000001.XSHE.h5.tmp-")) << left[0];

  remove_abandoned_builds(ticks_dir());  // what the updater does once per directory and run
  _append_h5_tick({kId, ticks_dir()});
  EXPECT_TRUE(sval().value()) << log();
  EXPECT_THAT(names(), ElementsAre("20240627", "20240628"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ticks_dir()),
                          std::filesystem::directory_iterator()),
            1);
}

// A first download of many batches killed in its third batch keeps the first two under the real
// name, readable by h5py, and the next run goes on from there.
TEST_F(TickAppender, AKillDuringALaterBatchOfANewFileCostsThatBatchOnly) {
  setenv("TESSERA_NOW", "2024-09-30 18:00:00", 1);
  Market market{.trading_dates = every_day_from(20240101, 250)};
  for (int n : market.trading_dates) market.ticks[n] = ticks_of(n, 3, 1);
  market.serve(svc_);
  const auto serve_ticks = svc_->on_get_price;
  svc_->on_get_price = [&](const std::string& id, const PriceArgs& args) {
    if (args.frequency && tallow::to_date(*args.start_date) > day(20240410)) {
      ::kill(::getpid(), SIGKILL);  // the third batch: killed while downloading it
    }
    return serve_ticks(id, args);
  };
  pid_t child = ::fork();
  if (child == 0) {
    ::testing::internal::CaptureStdout();
    _append_h5_tick({kId, ticks_dir()});
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(names().size(), 200u);
  EXPECT_EQ(names().back(), "20240718");
  EXPECT_EQ(
      testing::run_python("import sys, h5py\nh5py.File(sys.argv[1], 'r')['20240718'][()]", file()),
      0);

  svc_->on_get_price = serve_ticks;
  ::testing::internal::CaptureStdout();
  _append_h5_tick({kId, ticks_dir()});
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(sval().value()) << log();
  EXPECT_EQ(names().size(), 250u);
  EXPECT_FALSE(std::filesystem::exists(file() + ".rollback"));
}

// A new file of 150 trading days comes in two batches; the suspended days of both get markers,
// the second batch's too, and so do they when the first run's is_suspended call failed after the
// first batch had been made durable: the next run, which starts at the newest stored day, still
// marks the days before it.
TEST_F(TickAppender, SuspendedDaysInEveryBatchGetMarkersAlsoAfterAFailedRun) {
  setenv("TESSERA_NOW", "2024-09-30 18:00:00", 1);
  Market market{.trading_dates = every_day_from(20240101, 150)};
  const std::vector<int>& dates = market.trading_dates;
  const std::set<int> suspended = {dates[3], dates[100], dates[120], dates[149]};
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < dates.size(); ++i) {
    // A suspended day has no ticks, except one that does and keeps them; one ordinary day has none.
    const bool has_ticks = (!suspended.count(dates[i]) || i == 120) && i != 110;
    if (has_ticks) market.ticks[dates[i]] = ticks_of(dates[i], 2, 1);
    if (has_ticks || suspended.count(dates[i])) expected.push_back(std::to_string(dates[i]));
  }
  market.serve(svc_);
  int failures = 0;
  svc_->on_is_suspended = [&](const std::string& id, const DateArg& s, const DateArg& e) {
    if (failures-- > 0) throw tallow::ServiceUnavailable("timeout");
    tallow::SuspensionTable table;
    table.columns.emplace_back(id, std::vector<bool>{});
    for (int d : dates) {
      if (day(d) < tallow::to_date(s) || day(d) > tallow::to_date(e)) continue;
      table.dates.push_back(day(d));
      table.columns[0].second.push_back(suspended.count(d) > 0);
    }
    return table;
  };
  auto names_of = [&](const std::string& name) {
    return h5::File::open(ticks_dir() + "/" + name, h5::Mode::kReadOnly).member_names();
  };

  ::testing::internal::CaptureStdout();
  _append_h5_tick({kId, ticks_dir(), "clean.h5"});
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(sval().value()) << log();
  failures = 1;  // the first run of the real file: every marker of it is missed
  ::testing::internal::CaptureStdout();
  _append_h5_tick({kId, ticks_dir()});
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(sval().value());
  const std::vector<std::string> after_failure = names();
  ASSERT_GE(after_failure.size(), 99u);  // the first batch stayed
  EXPECT_EQ(std::count(after_failure.begin(), after_failure.end(), std::to_string(dates[3])), 0);

  publish_sval(SharedFlag::create(true));
  ::testing::internal::CaptureStdout();
  _append_h5_tick({kId, ticks_dir()});
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(sval().value()) << log();

  for (const std::string& name : {std::string("clean.h5"), std::string("000001.XSHE.h5")}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(names_of(name), expected);
  }
  EXPECT_EQ(records(std::to_string(dates[100])).size(), 0u);
  EXPECT_EQ(records(std::to_string(dates[149])).size(), 0u);
  EXPECT_EQ(records(std::to_string(dates[120])).size(), 2u);
}

// A day to replace that is a link elsewhere, or keeps its values in another file, is refused.
TEST_F(TickAppender, ATickDatasetThatPointsOutsideTheFileIsRefused) {
  const std::string outside = dir_ / "outside.bin";
  Market market{
      .trading_dates = {20240628, 20240701},
      .ticks = {{20240628, ticks_of(20240628, 4, 10)}, {20240701, ticks_of(20240701, 2, 20)}}};
  market.serve(svc_);
  for (const auto& [what, craft] : testing::outside_layouts("20240701", "0")) {
    SCOPED_TRACE(what);
    std::filesystem::remove_all(ticks_dir());
    publish_sval(SharedFlag::create(true));
    _append_h5_tick({kId, ticks_dir()});
    testing::expect_files_kept_after_craft(file(), outside, craft, [&] {
      _append_h5_tick({kId, ticks_dir()});  // the latest day is fetched again and replaced
    });
    EXPECT_FALSE(sval().value());
    EXPECT_THAT(log(), HasSubstr("refusing to write " + file()));
  }
}

// Suspension markers after a run whose is_suspended call failed for good: the next run must leave
// the file as an uninterrupted run does, markers included.
class TickMarkersAfterFaults : public TickAppender {
 protected:
  void SetUp() override {
    TickAppender::SetUp();
    market.serve(svc_);
    // Unlike Market's, this answer honours the window asked for, as the service does.
    svc_->on_is_suspended = [this](const std::string& id, const DateArg& s, const DateArg& e) {
      if (suspension_failures-- > 0) throw tallow::ServiceUnavailable("timeout");
      tallow::SuspensionTable table;
      table.columns.emplace_back(id, std::vector<bool>{});
      for (int d : market.trading_dates) {
        if (day(d) < tallow::to_date(s) || day(d) > tallow::to_date(e)) continue;
        table.dates.push_back(day(d));
        table.columns[0].second.push_back(d == 20240626 || d == 20240628);
      }
      return table;
    };
    // The client as the program sets it up: the retry layer over the service, no real sleeps.
    tallow::install_backend(std::make_shared<tallow::RetryingBackend>(
        std::shared_ptr<tallow::Backend>(&*svc_, [](tallow::Backend*) {}),
        tallow::RetryPolicy{.attempts = 3}, [](nanoseconds) {}));
  }

  Market market{.trading_dates = {20240625, 20240626, 20240627, 20240628, 20240701},
                .ticks = {{20240625, ticks_of(20240625, 2, 1)},
                          {20240627, ticks_of(20240627, 2, 2)},
                          {20240701, ticks_of(20240701, 2, 3)}}};
  int suspension_failures = 0;
};

TEST_F(TickMarkersAfterFaults, TransientFailuresWithinTheRetryBudgetCostNothing) {
  suspension_failures = 2;  // the third attempt answers
  _append_h5_tick({kId, ticks_dir()});
  EXPECT_TRUE(sval().value()) << log();
  EXPECT_THAT(names(), ElementsAre("20240625", "20240626", "20240627", "20240628", "20240701"));
}

TEST_F(TickMarkersAfterFaults, MarkersMissedByAFailedRunAreWrittenByTheNext) {
  suspension_failures = 3;  // every attempt of the first run fails
  _append_h5_tick({kId, ticks_dir()});
  EXPECT_FALSE(sval().value());
  // The batch and its markers land together or not at all: the failed run left nothing half-done.
  EXPECT_FALSE(std::filesystem::exists(file()));
  // A network error is not a damaged file: no advice to delete it.
  EXPECT_THAT(log(), HasSubstr(" 失败，数据服务暂时不可用：is_suspended(000001.XSHE) 调用 3 次"));
  EXPECT_THAT(log(), Not(HasSubstr("该文件可能已经损坏")));

  publish_sval(SharedFlag::create(true));
  _append_h5_tick({kId, ticks_dir()});
  EXPECT_TRUE(sval().value());
  EXPECT_THAT(names(), ElementsAre("20240625", "20240626", "20240627", "20240628", "20240701"));
  EXPECT_EQ(records("20240626").size(), 0u);
  EXPECT_EQ(records("20240627").size(), 2u);
}

}  // namespace
}  // namespace tessera_plus
