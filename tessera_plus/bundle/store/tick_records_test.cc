#include "tessera_plus/bundle/store/tick_records.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/bundle/store/tick_layout.h"

namespace tessera_plus::bundle {
namespace {

using namespace std::chrono;

// `count` ticks three seconds apart from 09:30 on 2024-07-01 and, from tick `night_from` on, a
// calendar day earlier (a night session's ticks keep their own date); every column differs per
// tick and per column, whole and fractional values mixed.
tallow::PriceTable ticks(int count, int night_from) {
  tallow::PriceTable table;
  table.trading_date.emplace();
  const auto day = make_datetime(Date(2024y / July / 1));
  for (int i = 0; i < count; ++i) {
    table.order_book_ids.push_back("000001.XSHE");
    table.timestamps.push_back(day + hours(9) + minutes(30) + seconds(3 * i) -
                               (i >= night_from ? days(1) : days(0)));
    table.trading_date->push_back(day);
  }
  int c = 0;
  for (std::string_view name : H5TicksLoader::COLUMNS) {
    if (name == "date" || name == "time") continue;
    std::vector<double>& column = table.add_column(name);
    for (int i = 0; i < count; ++i) column[i] = (i % 2 ? 10.01 : 7.0) * (c + 1) + 0.37 * i;
    ++c;
  }
  return table;
}

std::vector<TickRecord> as_ticks(const std::vector<std::byte>& bytes) {
  std::vector<TickRecord> out(bytes.size() / sizeof(TickRecord));
  std::memcpy(out.data(), bytes.data(), bytes.size());
  return out;
}

// A day's rows straight from the columns (one piece of memory) and the same rows picked one by
// one (rows dropped in between) must make the same records, block boundaries and date changes
// included.
TEST(TickRecords, ConsecutiveAndScatteredRowsMakeTheSameRecords) {
  constexpr int kTicks = 700;  // beyond two blocks of records
  const tallow::PriceTable table = ticks(kTicks, 400);
  std::vector<std::size_t> all(kTicks), even;
  for (int i = 0; i < kTicks; ++i) {
    all[i] = static_cast<std::size_t>(i);
    if (i % 2 == 0) even.push_back(static_cast<std::size_t>(i));
  }
  std::vector<std::byte> fresh;
  build_tick_records(table, all, fresh);
  const std::vector<TickRecord> whole = as_ticks(fresh);
  std::vector<std::byte> reused(3, std::byte{0x5a});  // a previous day's leftovers
  build_tick_records(table, even, reused);
  const std::vector<TickRecord> picked = as_ticks(reused);
  ASSERT_EQ(whole.size(), static_cast<std::size_t>(kTicks));
  ASSERT_EQ(picked.size(), even.size());
  for (std::size_t k = 0; k < even.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(std::memcmp(&picked[k], &whole[even[k]], sizeof(TickRecord)), 0);
  }
  EXPECT_EQ(whole[0].date, 20240701);
  EXPECT_EQ(whole[399].date, 20240701);
  EXPECT_EQ(whole[400].date, 20240630);
  EXPECT_EQ(whole[1].time, 93003000);
}

// Rows are grouped by the calendar day of their trading date, in date order, whatever order the
// days come in and whatever time of day a trading date carries; of rows sharing a key, the last.
TEST(TickRecords, RowsGroupByTradingDayWhereverTheyStand) {
  tallow::PriceTable table = ticks(7, 7);
  const auto day = make_datetime(Date(2024y / July / 1));
  *table.trading_date = {day + hours(15), day - days(3), day, day - days(3),
                         day + hours(15), day,           day};
  table.timestamps[6] = table.timestamps[5];  // a repeated key: row 6 replaces row 5
  const std::vector<TickDayRows> days_rows = group_tick_rows(table);
  ASSERT_EQ(days_rows.size(), 2u);
  EXPECT_EQ(days_rows[0].trading_date, Date(2024y / June / 28));
  EXPECT_EQ(days_rows[0].rows, (std::vector<std::size_t>{1, 3}));
  EXPECT_EQ(days_rows[1].trading_date, Date(2024y / July / 1));
  EXPECT_EQ(days_rows[1].rows, (std::vector<std::size_t>{0, 2, 4, 6}));
}

}  // namespace
}  // namespace tessera_plus::bundle
