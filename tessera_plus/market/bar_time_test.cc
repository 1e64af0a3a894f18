// The datetime-number split and the trading-day rules that every reader and writer of minute bars
// shares: negative and zero stamps, the 18:00 boundary, the small hours, weekends and holidays.
#include "tessera_plus/market/bar_time.h"

#include <gtest/gtest.h>

#include <vector>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::tallow {
namespace {

TEST(BarTime, SplitsADatetimeIntoDateAndTimeOfDay) {
  EXPECT_EQ(date_of_datetime(20050104093100), 20050104);
  EXPECT_EQ(time_of_datetime(20050104093100), 93100);
  EXPECT_EQ(date_of_datetime(20241231235959), 20241231);
  EXPECT_EQ(time_of_datetime(20241231235959), 235959);
  EXPECT_EQ(date_of_datetime(20250101000000), 20250101);  // midnight opens the new date
  EXPECT_EQ(time_of_datetime(20250101000000), 0);
}

TEST(BarTime, RoundsNegativeDatetimesDownAndKeepsTheTimeOfDayInRange) {
  EXPECT_EQ(date_of_datetime(0), 0);
  EXPECT_EQ(time_of_datetime(0), 0);
  // Toward zero, -1 would give date 0 with time -1; rounded down it is the last second of day -1.
  EXPECT_EQ(date_of_datetime(-1), -1);
  EXPECT_EQ(time_of_datetime(-1), 999999);
  EXPECT_EQ(date_of_datetime(-1000000), -1);
  EXPECT_EQ(time_of_datetime(-1000000), 0);
  EXPECT_EQ(date_of_datetime(-1000001), -2);
  EXPECT_EQ(time_of_datetime(-20200103180000), 820000);
  for (std::int64_t x : {std::int64_t{-20200103180000}, std::int64_t{-1}, std::int64_t{0},
                         std::int64_t{999999}, std::int64_t{20200103180000}}) {
    EXPECT_EQ(datetime_number(date_of_datetime(x), time_of_datetime(x)), x) << x;
  }
}

TEST(BarTime, FirstEquityBarIsStampedAtTheEndOfTheOpeningMinute) {
  EXPECT_EQ(first_equity_bar(20200102), 20200102093100);
  EXPECT_NE(first_equity_bar(20200102), 20200102093000);
  // A damaged date wraps in unsigned arithmetic instead of overflowing.
  EXPECT_EQ(first_equity_bar(-1), -1000000 + 93100);
}

TEST(BarTime, EveningStartsAtExactly1800) {
  EXPECT_FALSE(is_evening_bar(20200103175959));
  EXPECT_TRUE(is_evening_bar(20200103180000));
  EXPECT_TRUE(is_evening_bar(20200103210100));
  EXPECT_TRUE(is_evening_bar(20200103235900));
  EXPECT_FALSE(is_evening_bar(20200104000000));  // the small hours are dated the next day
  EXPECT_FALSE(is_evening_bar(20200104023000));
  EXPECT_TRUE(is_evening_bar(-1));  // 23:59:59 of a damaged day, as rounding down places it
}

TEST(BarTime, BelongsAfterTheDayWhoseEveningOrLaterDateItCarries) {
  const std::int64_t thursday = 20200102;
  EXPECT_FALSE(belongs_after(20200102150000, thursday));  // the day session of Thursday itself
  EXPECT_FALSE(belongs_after(20200102175959, thursday));
  EXPECT_TRUE(belongs_after(20200102180000, thursday));
  EXPECT_TRUE(belongs_after(20200102235900, thursday));
  EXPECT_TRUE(belongs_after(20200103000000, thursday));  // after midnight: Friday's small hours
  EXPECT_TRUE(belongs_after(20200103023000, thursday));
  EXPECT_TRUE(belongs_after(20200103090100, thursday));
  EXPECT_FALSE(belongs_after(20200101235900, thursday));  // the evening before: Thursday's own
}

class FuturesTradingDay : public ::testing::Test {
 protected:
  // Thursday 2 January 2020 to Tuesday 7 January, and a holiday week: 30 September 2020 (Wednesday)
  // is followed by 9 October (Friday).
  std::vector<std::int64_t> calendar_ = {20200102, 20200103, 20200106,
                                         20200107, 20200930, 20201009};
};

TEST_F(FuturesTradingDay, DayBarsKeepTheirCalendarDate) {
  EXPECT_EQ(futures_trading_day(20200103090100, calendar_), 20200103);
  EXPECT_EQ(futures_trading_day(20200103175959, calendar_), 20200103);
  // Small-hours bars keep their date too; the first bar of a day is an evening bar whenever the
  // day has a night session, so this only places a day without evening bars.
  EXPECT_EQ(futures_trading_day(20200104013000, calendar_), 20200104);
}

TEST_F(FuturesTradingDay, EveningBarsGoToTheNextTradingDay) {
  EXPECT_EQ(futures_trading_day(20200102180000, calendar_), 20200103);
  EXPECT_EQ(futures_trading_day(20200102235900, calendar_), 20200103);
  // Friday night belongs to Monday, over the weekend.
  EXPECT_EQ(futures_trading_day(20200103210100, calendar_), 20200106);
  // Before a holiday the next trading day is the one after it.
  EXPECT_EQ(futures_trading_day(20200930210100, calendar_), 20201009);
}

TEST_F(FuturesTradingDay, EveningBarsAtOrPastTheLastEntryTakeTheLastEntry) {
  EXPECT_EQ(futures_trading_day(20201009210100, calendar_), 20201009);
  EXPECT_EQ(futures_trading_day(20251009210100, calendar_), 20201009);
  EXPECT_EQ(futures_trading_day(-1, calendar_), 20200103);  // before the first: the entry after it
}

TEST_F(FuturesTradingDay, EveningBarOnAnEmptyCalendarIsAValueError) {
  EXPECT_EQ(futures_trading_day(20200103090100, {}), 20200103);  // no calendar needed
  EXPECT_THROW(futures_trading_day(20200103210100, {}), ValueError);
}

}  // namespace
}  // namespace tessera_plus::tallow
