// The service's minute-bar table turned into file records: which rows survive, what each field
// holds, and where each trading date begins.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/minbar_records.h"

namespace tessera_plus::bundle {
namespace {

using tallow::PriceTable;

DateTime at(int date, int hour, int minute) {
  return make_datetime(date_from_number(date), hour, minute);
}

// One row per (timestamp, close); the other price columns follow close.
PriceTable table_of(const std::vector<std::pair<DateTime, double>>& rows, bool derivative = false) {
  PriceTable t;
  std::vector<double> close;
  for (const auto& [ts, c] : rows) {
    t.order_book_ids.push_back("IF0501");
    t.timestamps.push_back(ts);
    close.push_back(c);
  }
  for (const char* name : {"open", "high", "low", "volume", "total_turnover"}) {
    t.add_column(name) = close;
  }
  t.add_column("close") = close;
  if (derivative) t.add_column("open_interest") = close;
  return t;
}

std::vector<EquityBar> equity_bars(const MinbarRecords& r) {
  std::vector<EquityBar> bars(r.rows);
  std::memcpy(bars.data(), r.data.data(), r.data.size());
  return bars;
}

TEST(MinbarRecords, RepeatedKeyKeepsTheFirstRow) {
  PriceTable t = table_of(
      {{at(20050104, 9, 31), 1.0}, {at(20050104, 9, 31), 2.0}, {at(20050104, 9, 32), 3.0}});
  MinbarRecords r = to_minbar_records(t, EQUITIES_DTYPE);
  ASSERT_EQ(r.rows, 2u);
  auto bars = equity_bars(r);
  EXPECT_EQ(bars[0].close, 1.0);  // the first of the two, not the last
  EXPECT_EQ(bars[0].datetime, 20050104093100);
  EXPECT_EQ(bars[1].close, 3.0);
  EXPECT_EQ(bars[1].datetime, 20050104093200);
}

TEST(MinbarRecords, RepeatOutOfOrderIsDroppedToo) {
  PriceTable t = table_of(
      {{at(20050104, 9, 31), 1.0}, {at(20050104, 9, 32), 2.0}, {at(20050104, 9, 31), 9.0}});
  MinbarRecords r = to_minbar_records(t, EQUITIES_DTYPE);
  ASSERT_EQ(r.rows, 2u);
  EXPECT_EQ(equity_bars(r)[1].close, 2.0);
}

TEST(MinbarRecords, BarsOutOfTimeOrderAreRefusedRatherThanMislabelled) {
  PriceTable t = table_of({{at(20050104, 9, 32), 1.0}, {at(20050104, 9, 31), 2.0}});
  EXPECT_THROW(to_minbar_records(t, EQUITIES_DTYPE), ValueError);
}

TEST(MinbarRecords, IndexUsesCalendarDatesWithoutTradingDateColumn) {
  PriceTable t = table_of({{at(20050104, 9, 31), 1},
                           {at(20050104, 15, 0), 2},
                           {at(20050105, 9, 31), 3},
                           {at(20050107, 9, 31), 4}});
  MinbarRecords r = to_minbar_records(t, EQUITIES_DTYPE);
  ASSERT_EQ(r.index.size(), 3u);
  EXPECT_EQ(r.index[0].date, 20050104);
  EXPECT_EQ(r.index[0].line_no, 0u);
  EXPECT_EQ(r.index[1].date, 20050105);
  EXPECT_EQ(r.index[1].line_no, 2u);
  EXPECT_EQ(r.index[2].date, 20050107);
  EXPECT_EQ(r.index[2].line_no, 3u);
}

TEST(MinbarRecords, NightBarsBelongToTheTradingDateTheServiceGives) {
  // Friday night's bars open Monday's trading day.
  PriceTable t = table_of({{at(20050106, 15, 0), 1},
                           {at(20050107, 21, 1), 2},
                           {at(20050107, 23, 0), 3},
                           {at(20050110, 9, 1), 4}},
                          true);
  t.trading_date = {at(20050106, 0, 0), at(20050110, 0, 0), at(20050110, 0, 0), at(20050110, 0, 0)};
  MinbarRecords r = to_minbar_records(t, DERIVATIVES_DTYPE);
  ASSERT_EQ(r.index.size(), 2u);
  EXPECT_EQ(r.index[1].date, 20050110);
  EXPECT_EQ(r.index[1].line_no, 1u);
  DerivativeBar night;
  std::memcpy(&night, r.data.data() + sizeof(DerivativeBar), sizeof night);
  EXPECT_EQ(night.datetime, 20050107210100);  // the bar keeps its own wall-clock time
}

TEST(MinbarRecords, OpenInterestIsTruncatedTowardZeroAndNonFiniteRefused) {
  PriceTable t = table_of({{at(20050104, 9, 1), 1}, {at(20050104, 9, 2), 2}}, true);
  t.column("open_interest") = {1234.99, -7.5};
  MinbarRecords r = to_minbar_records(t, DERIVATIVES_DTYPE);
  std::vector<DerivativeBar> bars(2);
  std::memcpy(bars.data(), r.data.data(), r.data.size());
  EXPECT_EQ(bars[0].open_interest, 1234);
  EXPECT_EQ(bars[1].open_interest, -7);
  EXPECT_EQ(bars[1].volume, 2.0);

  t.column("open_interest")[1] = std::nan("");
  EXPECT_THROW(to_minbar_records(t, DERIVATIVES_DTYPE), ValueError);
  t.column("open_interest")[1] = 1e300;
  EXPECT_THROW(to_minbar_records(t, DERIVATIVES_DTYPE), ValueError);
}

TEST(MinbarRecords, MissingColumnIsAKeyError) {
  PriceTable t = table_of({{at(20050104, 9, 1), 1}});  // no open_interest
  EXPECT_THROW(to_minbar_records(t, DERIVATIVES_DTYPE), KeyError);
}

}  // namespace
}  // namespace tessera_plus::bundle
