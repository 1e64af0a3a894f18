#include "tessera_plus/bundle/check/minbar_checker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include <fmt/format.h>

#include "tessera_plus/market/types.h"
#include "tests/support/check_fixtures.h"
#include "tests/support/scripted_service.h"

namespace tessera_plus {
namespace {

using bundle::check_min_bar_data;
using bundle::DERIVATIVES_DTYPE;
using bundle::IndexEntry;
using tallow::PriceTable;
using testing::Day;
using testing::FileHolder;
using ::testing::HasSubstr;
using testing::ScopedScriptedService;
using testing::TestBundle;
using testing::write_minbar_file;
using testing::write_raw_minbar_file;

constexpr char kNoCalendar[] = "当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!\n";
// 2020-01-02 Thu, 03 Fri, 06 Mon, 07 Tue, 08 Wed.
const std::vector<std::int64_t> kCalendar = {20200102, 20200103, 20200106, 20200107, 20200108};

Day equity_day(std::int64_t date) { return {date, date * 1000000 + 93100}; }

class MinbarCheck : public ::testing::Test {
 protected:
  void SetUp() override { bundle_.write_calendar(kCalendar); }

  std::string equities(const std::string& name) const {
    return bundle_.minbar_dir("equities") + "/" + name;
  }
  std::string future(const std::string& name) const {
    return bundle_.minbar_dir("future") + "/" + name;
  }

  // Runs the check, answering "n"; returns the console output.
  std::string check() {
    std::istringstream in("n\n");
    std::ostringstream out;
    check_min_bar_data({.data_bundle_path = bundle_.root(), .out = &out, .in = &in});
    return out.str();
  }

  // The summary line of a check that found something, or the good-news line.
  static std::string summary(int broken, int locked) {
    return fmt::format("检测完成：共有{}个标的分钟数据存在异常，{}个文件被其他进程占用或没有权限。",
                       broken, locked);
  }
  static constexpr char kAllSound[] = "检测完成：分钟数据质量良好！";

  // Days asked of the service, as integers, in order.
  std::vector<std::int64_t> asked_days() {
    std::vector<std::int64_t> days;
    for (const auto& call : svc_->calls_of("get_price")) {
      days.push_back(std::get<std::int64_t>(*call.price.start_date));
    }
    return days;
  }

  TestBundle bundle_;
  ScopedScriptedService svc_;
};

TEST_F(MinbarCheck, WithoutCalendarOnlySaysSo) {
  TestBundle bare;
  write_minbar_file(bare.minbar_dir("equities") + "/000001.XSHE.h5", {equity_day(20200102)});
  std::ostringstream out;
  std::istringstream in;
  check_min_bar_data({.data_bundle_path = bare.root(), .out = &out, .in = &in});
  EXPECT_EQ(out.str(), kNoCalendar);
  EXPECT_TRUE(svc_->calls_of("init").empty());
}

TEST_F(MinbarCheck, FindsFilesExactlyOneLevelBelowH5) {
  std::filesystem::create_directories(bundle_.base() + "/h5");
  write_minbar_file(bundle_.base() + "/h5/000001.XSHE.h5", {equity_day(20200102)});
  write_minbar_file(bundle_.minbar_dir("equities/deeper") + "/000002.XSHE.h5",
                    {equity_day(20200102)});
  write_minbar_file(equities(".hidden.h5"), {equity_day(20200102)});
  EXPECT_EQ(check(), "当前目录下不存在分钟数据!\n");
  EXPECT_EQ(svc_->calls_of("init").size(), 1u);
}

TEST_F(MinbarCheck, SoundFilesGiveTheGoodNewsWithoutAQuestion) {
  write_minbar_file(equities("000001.XSHE.h5"),
                    {equity_day(20200102), equity_day(20200103), equity_day(20200106)});
  write_minbar_file(future("IF2001.h5"), {{20200103, 20200103090000}}, DERIVATIVES_DTYPE);
  EXPECT_EQ(check(), std::string("共有2个分钟数据文件!\n\n") + kAllSound + "\n");
  EXPECT_TRUE(svc_->calls_of("get_price").empty());
}

TEST_F(MinbarCheck, EquityDayMustStartAt0931) {
  write_minbar_file(equities("000001.XSHE.h5"), {equity_day(20200102), {20200103, 20200103093000}});
  std::string out = check();
  EXPECT_THAT(out, HasSubstr(summary(1, 0)));
  EXPECT_THAT(out, HasSubstr("['000001.XSHE']"));
}

TEST_F(MinbarCheck, NightBarBelongsToTheNextTradingDayOnlyForDerivatives) {
  // Friday evening's first bar opens Monday's trading day.
  const std::vector<Day> days = {{20200106, 20200103210100}};
  write_minbar_file(future("IF2001.h5"), days, DERIVATIVES_DTYPE);
  write_minbar_file(bundle_.minbar_dir("option") + "/IO2001C4000.h5", days, DERIVATIVES_DTYPE);
  write_minbar_file(equities("000001.XSHE.h5"), days);
  std::string out = check();
  EXPECT_THAT(out, HasSubstr(summary(1, 0)));
  EXPECT_THAT(out, HasSubstr("['000001.XSHE']"));
}

TEST_F(MinbarCheck, NightSessionStartsAtExactly1800) {
  write_minbar_file(future("A.h5"), {{20200106, 20200103180000}}, DERIVATIVES_DTYPE);
  write_minbar_file(future("B.h5"), {{20200106, 20200103175959}}, DERIVATIVES_DTYPE);
  // A late bar on or past the calendar's last day stays on the last day.
  write_minbar_file(future("C.h5"), {{20200108, 20200108210000}}, DERIVATIVES_DTYPE);
  std::string out = check();
  EXPECT_THAT(out, HasSubstr(summary(1, 0)));
  EXPECT_THAT(out, HasSubstr("['B']"));
}

TEST_F(MinbarCheck, StructuralFaultsAreBrokenAndTheCheckGoesOn) {
  const std::vector<std::int64_t> bars = {20200102093100};
  const std::vector<IndexEntry> no_rows;
  write_raw_minbar_file(equities("A.h5"), &bars, nullptr);    // data without index
  write_raw_minbar_file(equities("B.h5"), nullptr, nullptr);  // neither: not a minute-bar file
  write_raw_minbar_file(equities("C.h5"), &bars, &no_rows);   // empty index
  testing::write_file(equities("D.h5"), "plain text, not HDF5\n");
  write_minbar_file(equities("E.h5"), {equity_day(20200102)});
  std::string out = check();
  EXPECT_THAT(out, HasSubstr("共有5个分钟数据文件!"));
  EXPECT_THAT(out, HasSubstr(summary(3, 0)));
  for (const char* name : {"'A'", "'C'", "'D'"}) EXPECT_THAT(out, HasSubstr(name));
  EXPECT_THAT(out, ::testing::Not(HasSubstr("'B'")));
}

TEST_F(MinbarCheck, MissingDayIsAGapOnlyWhenTheServiceHasBars) {
  write_minbar_file(equities("000001.XSHE.h5"), {equity_day(20200102), equity_day(20200106)});
  svc_->on_get_price = [](const std::string&, const tallow::PriceArgs&) {
    return std::optional<PriceTable>();
  };
  EXPECT_THAT(check(), HasSubstr(kAllSound));
  auto calls = svc_->calls_of("get_price");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].order_book_id, "000001.XSHE");
  EXPECT_EQ(std::get<std::int64_t>(*calls[0].price.start_date), 20200103);
  EXPECT_EQ(std::get<std::int64_t>(*calls[0].price.end_date), 20200103);
  EXPECT_EQ(calls[0].price.frequency, "1m");

  svc_->on_get_price = [](const std::string&, const tallow::PriceArgs&) {
    return std::optional<PriceTable>(PriceTable{});  // an empty table is no data either
  };
  EXPECT_THAT(check(), HasSubstr(kAllSound));

  svc_->on_get_price = [](const std::string&, const tallow::PriceArgs&) {
    return std::optional<PriceTable>(testing::one_row_table());
  };
  EXPECT_THAT(check(), HasSubstr(summary(1, 0)));
}

TEST_F(MinbarCheck, StopsAskingAtTheFirstDayWithBars) {
  write_minbar_file(equities("000001.XSHE.h5"), {equity_day(20200102), equity_day(20200108)});
  svc_->on_get_price = [](const std::string&, const tallow::PriceArgs&) {
    return std::optional<PriceTable>(testing::one_row_table());
  };
  EXPECT_THAT(check(), HasSubstr(summary(1, 0)));
  EXPECT_EQ(asked_days(), (std::vector<std::int64_t>{20200103}));
}

TEST_F(MinbarCheck, AsksAboutEveryMissingDayWhileNoneHasBars) {
  write_minbar_file(equities("000001.XSHE.h5"), {equity_day(20200102), equity_day(20200108)});
  EXPECT_THAT(check(), HasSubstr(kAllSound));
  EXPECT_EQ(asked_days(), (std::vector<std::int64_t>{20200103, 20200106, 20200107}));
}

// The expected days run from the first to the last index row as stored, not re-sorted: an index
// whose last row is older than its first expects none, and the service is not asked.
TEST_F(MinbarCheck, ExpectedDaysRunFromTheFirstToTheLastIndexRowAsStored) {
  write_minbar_file(equities("000001.XSHE.h5"), {equity_day(20200106), equity_day(20200102)});
  svc_->on_get_price = [](const std::string&, const tallow::PriceArgs&) {
    return std::optional<PriceTable>(testing::one_row_table());
  };
  EXPECT_THAT(check(), HasSubstr(kAllSound));
  EXPECT_TRUE(asked_days().empty());
}

TEST_F(MinbarCheck, NonTradingLastDateAlsoExpectsTheNextTradingDay) {
  // Saturday 20200104 is in the index; Monday 20200106 is expected as well.
  write_minbar_file(equities("000001.XSHE.h5"),
                    {equity_day(20200102), equity_day(20200103), equity_day(20200104)});
  check();
  EXPECT_EQ(asked_days(), (std::vector<std::int64_t>{20200106}));
}

TEST_F(MinbarCheck, LineNumberPastTheEndIsAnErrorNotARead) {
  const std::vector<std::int64_t> bars = {20200102093100, 20200102093200};
  const std::vector<IndexEntry> index = {{20200102, 0}, {20200103, 2}};
  write_raw_minbar_file(equities("000001.XSHE.h5"), &bars, &index);
  std::istringstream in("n\n");
  std::ostringstream out;
  EXPECT_THROW(check_min_bar_data({.data_bundle_path = bundle_.root(), .out = &out, .in = &in}),
               ValueError);
  EXPECT_EQ(out.str(), "共有1个分钟数据文件!\n");  // no summary, no question
}

TEST_F(MinbarCheck, IndexWithoutDataIsAnErrorForTheCaller) {
  const std::vector<IndexEntry> index = {{20200102, 0}};
  write_raw_minbar_file(equities("000001.XSHE.h5"), nullptr, &index);
  std::istringstream in;
  std::ostringstream out;
  EXPECT_THROW(check_min_bar_data({.data_bundle_path = bundle_.root(), .out = &out, .in = &in}),
               KeyError);
}

TEST_F(MinbarCheck, FileHeldByAnotherProcessIsListedAsLocked) {
  write_minbar_file(equities("000001.XSHE.h5"), {equity_day(20200102)});
  write_minbar_file(equities("600000.XSHG.h5"), {{20200102, 20200102093000}});
  FileHolder holder(equities("000001.XSHE.h5"));
  std::string out = check();
  EXPECT_THAT(out, HasSubstr(summary(1, 1)));
  EXPECT_THAT(out, HasSubstr("被其他进程占用或没有权限的文件如下:\n['000001.XSHE']\n"));
  EXPECT_THAT(out, HasSubstr("数据异常标的如下:\n['600000.XSHG']\n"));
}

TEST_F(MinbarCheck, UnreadableFileIsListedAsLockedNotBroken) {
  const std::string secret = equities("000001.XSHE.h5");
  write_minbar_file(secret, {equity_day(20200102)});
  ::chmod(secret.c_str(), 0);
  bundle_.open_up();
  std::string out;
  int status = testing::run_unprivileged([&] {
    out = check();
    return out.find(summary(0, 1)) != std::string::npos ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace tessera_plus
