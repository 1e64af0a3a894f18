#include "tessera_plus/sim/sim_market.h"

#include "tessera_plus/sim/failure_pattern_testing.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <optional>
#include <set>

#include <fmt/format.h>

#include <gtest/gtest.h>

#include "tessera_plus/base/instrument_type.h"
#include "tessera_plus/market/client.h"
#include "tessera_plus/market/tick_columns.h"
#include "tessera_plus/sim/calendar.h"
#include "tests/support/env.h"
#include "tests/support/price_window.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::tallow::sim {
namespace {

using testing::window;
using testing::ymd;

// Rows of `t` whose trading date (or calendar date when it has none) is `day`.
std::vector<std::size_t> rows_of_day(const PriceTable& t, int day) {
  std::vector<std::size_t> rows;
  for (std::size_t i = 0; i < t.rows(); ++i) {
    auto when = t.trading_date ? (*t.trading_date)[i] : t.timestamps[i];
    if (date_to_number(when) == day) rows.push_back(i);
  }
  return rows;
}

// One day of minute bars: `rows` bars from `first` to `last` (YYYYMMDDHHMMSS).
void expect_minute_day(const std::optional<PriceTable>& t, std::size_t rows, std::int64_t first,
                       std::int64_t last) {
  ASSERT_TRUE(t);
  ASSERT_EQ(t->rows(), rows);
  EXPECT_EQ(convert_dt_to_int(t->timestamps.front()), first);
  EXPECT_EQ(convert_dt_to_int(t->timestamps.back()), last);
}

bool on_cent_grid(double price) { return std::abs(price * 100 - std::round(price * 100)) < 1e-6; }

const Instrument* find_type(const std::vector<Instrument>& list, std::string_view type,
                            std::string_view underlying_symbol = "") {
  for (const Instrument& i : list) {
    if (i.type == type && (underlying_symbol.empty() || i.underlying_symbol == underlying_symbol)) {
      return &i;
    }
  }
  return nullptr;
}

class SimMarketTest : public ::testing::Test {
 protected:
  void TearDown() override { install_backend(nullptr); }
  void set_now(const char* text) { now_.set(text); }
  static SimConfig full_history() {
    SimConfig c;
    c.history_start = kBenchHistoryStart;
    return c;
  }
  // An AU futures contract trading on 2024-06-28, which has a night session.
  static std::string gold_contract(SimMarket& m) {
    for (const Instrument& i : m.all_instruments({.type = "FUTURE"})) {
      if (i.underlying_symbol == "AU" && i.listed_date <= "2024-05-01" &&
          i.de_listed_date >= "2024-07-01") {
        return i.order_book_id;
      }
    }
    ADD_FAILURE() << "no AU contract";
    return "";
  }

  testing::ScopedEnv now_{"TESSERA_NOW", "2024-07-01 16:00:00"};
};

TEST(SimCalendar, ClosesMainHolidaysAndOpensOrdinaryWeekdays) {
  EXPECT_FALSE(is_trading_day(ymd(20240212)));  // Spring Festival week
  EXPECT_FALSE(is_trading_day(ymd(20240209)));  // its eve
  EXPECT_FALSE(is_trading_day(ymd(20241001)));  // National Day
  EXPECT_FALSE(is_trading_day(ymd(20241007)));
  EXPECT_FALSE(is_trading_day(ymd(20240101)));
  EXPECT_FALSE(is_trading_day(ymd(20240404)));  // Qingming
  EXPECT_FALSE(is_trading_day(ymd(20240501)));  // Labour Day
  EXPECT_FALSE(is_trading_day(ymd(20240610)));  // Dragon Boat
  EXPECT_FALSE(is_trading_day(ymd(20240917)));  // Mid-Autumn, a Tuesday ...
  EXPECT_FALSE(is_trading_day(ymd(20240916)));  // ... takes the Monday with it
  EXPECT_FALSE(is_trading_day(ymd(20240629)));  // Saturday
  EXPECT_FALSE(is_trading_day(ymd(20050103)));  // New Year on a Saturday moves to Monday
  EXPECT_TRUE(is_trading_day(ymd(20240628)));
  EXPECT_TRUE(is_trading_day(ymd(20240208)));
  EXPECT_TRUE(is_trading_day(ymd(20241008)));
  EXPECT_TRUE(is_trading_day(ymd(20050104)));
}

TEST(SimCalendar, RunsFrom2005UpToToday) {
  testing::ScopedEnv now("TESSERA_NOW", "2024-06-30 12:00:00");
  std::vector<int> days = trading_calendar();
  ASSERT_FALSE(days.empty());
  EXPECT_EQ(days.front(), 20050104);
  EXPECT_EQ(days.back(), 20240628);
  EXPECT_TRUE(std::is_sorted(days.begin(), days.end()));
  EXPECT_EQ(std::adjacent_find(days.begin(), days.end()), days.end());
  for (int year = 2005; year <= 2023; ++year) {
    auto n = std::count_if(days.begin(), days.end(), [&](int d) { return d / 10000 == year; });
    EXPECT_GE(n, 235) << year;
    EXPECT_LE(n, 252) << year;
  }
}

TEST(SimCalendar, NextTradingDateIsStrictlyAfter) {
  EXPECT_EQ(next_trading_date(ymd(20240208)), ymd(20240219));
  EXPECT_EQ(next_trading_date(ymd(20240628)), ymd(20240701));
  EXPECT_EQ(next_trading_date(ymd(20240629)), ymd(20240701));
  EXPECT_EQ(next_trading_date(ymd(20041231)), ymd(20050104));
  EXPECT_EQ(next_trading_date(ymd(20240930)), ymd(20241008));
  SimMarket m{SimConfig{}};
  EXPECT_EQ(m.get_next_trading_date(std::int64_t{20240208}, "cn"), ymd(20240219));
  // Hong Kong trades the morning of Lunar New Year's Eve and reopens on the fourth day.
  EXPECT_EQ(m.get_next_trading_date(std::string("20240208"), "hk"), ymd(20240209));
  EXPECT_EQ(m.get_next_trading_date(std::string("20240209"), "hk"), ymd(20240214));
}

TEST(SimCalendar, TradingDatesOverARangeAgreeWithStepByStep) {
  SimMarket m{SimConfig{}};
  for (auto [start, end] : {std::pair{20240101, 20241231}, std::pair{20240210, 20240218},
                            std::pair{20041201, 20050110}}) {
    auto direct = m.get_trading_dates(std::int64_t{start}, std::int64_t{end}, "cn");
    auto stepped = m.Backend::get_trading_dates(std::int64_t{start}, std::int64_t{end}, "cn");
    EXPECT_EQ(direct, stepped) << start << "-" << end;
  }
  EXPECT_TRUE(m.get_trading_dates(std::int64_t{20240210}, std::int64_t{20240217}, "cn").empty());
}

TEST_F(SimMarketTest, ADayHasTheSameBarsAloneAndInsideALongWindow) {
  SimMarket m{full_history()};
  for (std::string id : {std::string("000001.XSHE"), gold_contract(m)}) {
    SCOPED_TRACE(id);
    auto alone = m.get_price(id, window(20240628, 20240628, "1m"));
    auto wide = m.get_price(id, window(20240201, 20240701, "1m"));
    ASSERT_TRUE(alone && wide);
    std::vector<std::size_t> rows = rows_of_day(*wide, 20240628);
    ASSERT_EQ(rows.size(), alone->rows());
    for (std::size_t k = 0; k < rows.size(); ++k) {
      EXPECT_EQ(wide->timestamps[rows[k]], alone->timestamps[k]);
      for (const auto& [name, values] : alone->columns()) {
        EXPECT_EQ(wide->column(name)[rows[k]], values[k]) << name;
      }
    }
  }
}

TEST_F(SimMarketTest, EquityBarsFollowTheSessionsAndStayConsistent) {
  SimMarket m{SimConfig{}};
  auto t = m.get_price("600519.XSHG", window(20240628, 20240628, "1m"));
  ASSERT_NO_FATAL_FAILURE(expect_minute_day(t, 240, 20240628093100, 20240628150000));
  EXPECT_EQ(convert_dt_to_int(t->timestamps[119]), 20240628113000);
  EXPECT_EQ(convert_dt_to_int(t->timestamps[120]), 20240628130100);
  EXPECT_FALSE(t->has_column("open_interest"));
  EXPECT_TRUE(t->has_column("trading_date"));
  EXPECT_EQ(t->order_book_ids.front(), "600519.XSHG");
  const auto &o = t->column("open"), &h = t->column("high"), &l = t->column("low"),
             &c = t->column("close"), &v = t->column("volume"), &to = t->column("total_turnover");
  for (std::size_t i = 0; i < t->rows(); ++i) {
    ASSERT_TRUE(on_cent_grid(o[i]) && on_cent_grid(h[i]) && on_cent_grid(l[i]) &&
                on_cent_grid(c[i]));
    ASSERT_GE(h[i], std::max(o[i], c[i]));
    ASSERT_LE(l[i], std::min(o[i], c[i]));
    ASSERT_GT(l[i], 0);
    // Only the 14:58 and 14:59 minutes of the closing call are silent.
    ASSERT_EQ(v[i] > 0, i != 237 && i != 238) << i;
    ASSERT_EQ(std::fmod(v[i], 100.0), 0.0);  // whole lots
    ASSERT_GE(to[i], l[i] * v[i] - 0.01);
    ASSERT_LE(to[i], h[i] * v[i] + 0.01);
    if (i > 0 && i != 239) {
      ASSERT_EQ(o[i], c[i - 1]);
    }
  }
  EXPECT_TRUE(o[239] == c[239] && h[239] == l[239] && h[239] == c[239]);  // the closing match
}

TEST_F(SimMarketTest, PricesWalkOnFromDayToDay) {
  SimMarket m{full_history()};
  auto daily = m.get_price("000001.XSHE", window(20230101, 20240628, std::nullopt));
  ASSERT_TRUE(daily);
  const auto &o = daily->column("open"), &c = daily->column("close");
  double largest_gap = 0;
  std::set<double> closes(c.begin(), c.end());
  for (std::size_t i = 1; i < daily->rows(); ++i) {
    largest_gap = std::max(largest_gap, std::abs(o[i] / c[i - 1] - 1));
  }
  EXPECT_LT(largest_gap, 0.03);                 // opens near the previous close
  EXPECT_GT(closes.size(), daily->rows() / 2);  // and the closes keep moving
}

TEST_F(SimMarketTest, NightBarsCarryTheNextTradingDate) {
  SimMarket m{SimConfig{}};
  const std::string id = gold_contract(m);
  auto t = m.get_price(id, window(20240628, 20240701, "1m"));
  ASSERT_TRUE(t);
  ASSERT_TRUE(t->has_column("open_interest"));
  ASSERT_TRUE(t->trading_date);
  // Trading day 2024-06-28 opens the evening before; Monday's night session is Friday evening
  // running into Saturday morning.
  std::vector<std::size_t> friday = rows_of_day(*t, 20240628);
  std::vector<std::size_t> monday = rows_of_day(*t, 20240701);
  ASSERT_EQ(friday.size(), 330u + 225u);
  ASSERT_EQ(monday.size(), 330u + 225u);
  EXPECT_EQ(convert_dt_to_int(t->timestamps[friday.front()]), 20240627210100);
  EXPECT_EQ(convert_dt_to_int(t->timestamps[monday.front()]), 20240628210100);
  EXPECT_EQ(convert_dt_to_int(t->timestamps[monday[179]]), 20240629000000);
  EXPECT_EQ(convert_dt_to_int(t->timestamps[monday[329]]), 20240629023000);
  EXPECT_EQ(convert_dt_to_int(t->timestamps[monday[330]]), 20240701090100);
  EXPECT_TRUE(std::is_sorted(t->timestamps.begin(), t->timestamps.end()));
  for (double oi : t->column("open_interest")) ASSERT_GE(oi, 1);

  // No night session before a day that follows a holiday (Dragon Boat, Monday 2024-06-10).
  expect_minute_day(m.get_price(id, window(20240611, 20240611, "1m")), 225, 20240611090100,
                    20240611150000);
}

TEST_F(SimMarketTest, HongKongAndIndexFuturesKeepTheirOwnHours) {
  SimMarket m{SimConfig{}};
  expect_minute_day(m.get_price("00700.XHKG", window(20240628, 20240628, "1m")), 330,
                    20240628093100, 20240628160000);
  std::string index_future;
  for (const Instrument& i : m.all_instruments({.type = "FUTURE"})) {
    if (i.underlying_symbol == "IF" && i.de_listed_date >= "2024-06-28")
      index_future = i.order_book_id;
  }
  // No night session.
  expect_minute_day(m.get_price(index_future, window(20240628, 20240628, "1m")), 240,
                    20240628093100, 20240628150000);
}

TEST_F(SimMarketTest, DailyTableFollowsTheCalendar) {
  SimMarket m{full_history()};
  auto daily = m.get_price("000001.XSHE", window(20050104, 20240701, std::nullopt));
  ASSERT_TRUE(daily);
  std::vector<int> days;
  for (DateTime when : daily->timestamps) days.push_back(date_to_number(when));
  EXPECT_EQ(days, trading_calendar());  // never suspended, listed before 2005
}

TEST_F(SimMarketTest, DailyRowsAggregateTheMinuteBars) {
  SimMarket m{SimConfig{}};
  auto daily = m.get_price("000858.XSHE", window(20240601, 20240628, std::nullopt));
  auto minutes = m.get_price("000858.XSHE", window(20240601, 20240628, "1m"));
  ASSERT_TRUE(daily && minutes);
  EXPECT_EQ(daily->rows() * 240, minutes->rows());
  for (std::size_t r = 0; r < daily->rows(); ++r) {
    int day = date_to_number(daily->timestamps[r]);
    EXPECT_EQ(time_to_number(daily->timestamps[r]), 0);
    std::vector<std::size_t> rows = rows_of_day(*minutes, day);
    ASSERT_EQ(rows.size(), 240u);
    double high = 0, low = 1e18, volume = 0;
    for (std::size_t i : rows) {
      high = std::max(high, minutes->column("high")[i]);
      low = std::min(low, minutes->column("low")[i]);
      volume += minutes->column("volume")[i];
    }
    EXPECT_EQ(daily->column("open")[r], minutes->column("open")[rows.front()]);
    EXPECT_EQ(daily->column("close")[r], minutes->column("close")[rows.back()]);
    EXPECT_EQ(daily->column("high")[r], high);
    EXPECT_EQ(daily->column("low")[r], low);
    EXPECT_EQ(daily->column("volume")[r], volume);
  }
}

TEST_F(SimMarketTest, SuspendedDaysHaveNoBarsAndNoTicks) {
  SimMarket m{SimConfig{}};
  SuspensionTable s = m.is_suspended("000002.XSHE", std::int64_t{20050104}, std::int64_t{20240701});
  const std::vector<bool>& flags = s.column("000002.XSHE");
  ASSERT_EQ(flags.size(), s.dates.size());
  ASSERT_EQ(s.dates.front(), ymd(20240506));  // the demo's history
  EXPECT_EQ(s.dates.back(), ymd(20240701));
  auto suspended = std::find(flags.begin(), flags.end(), true);
  auto traded = std::find(flags.begin(), flags.end(), false);
  ASSERT_NE(suspended, flags.end()) << "no suspension in the window";
  ASSERT_NE(traded, flags.end());
  const int off = date_to_number(s.dates[std::size_t(suspended - flags.begin())]);
  const int on = date_to_number(s.dates[std::size_t(traded - flags.begin())]);
  for (const char* f : {"1m", "tick", "1d"}) {
    EXPECT_FALSE(m.get_price("000002.XSHE", window(off, off, f))) << f;
    EXPECT_TRUE(m.get_price("000002.XSHE", window(on, on, f))) << f;
  }
  auto daily = m.get_price("000002.XSHE", window(20050104, 20240701, std::nullopt));
  ASSERT_TRUE(daily);
  EXPECT_EQ(daily->rows(), std::size_t(std::count(flags.begin(), flags.end(), false)));
  for (DateTime when : daily->timestamps) EXPECT_NE(date_to_number(when), off);
}

TEST_F(SimMarketTest, NothingIsDeliveredAfterNow) {
  set_now("2024-06-28 10:00:00");
  SimMarket m{SimConfig{}};
  auto bars = m.get_price("000001.XSHE", window(20240627, 20240705, "1m"));
  ASSERT_TRUE(bars);
  EXPECT_EQ(rows_of_day(*bars, 20240628).size(), 30u);  // 09:31 .. 10:00
  EXPECT_EQ(convert_dt_to_int(bars->timestamps.back()), 20240628100000);
  auto ticks = m.get_price("000001.XSHE", window(20240628, 20240628, "tick"));
  ASSERT_TRUE(ticks);
  EXPECT_EQ(convert_dt_to_int(ticks->timestamps.back()), 20240628100000);
  auto daily = m.get_price("000001.XSHE", window(20240627, 20240705, std::nullopt));
  ASSERT_TRUE(daily);
  EXPECT_EQ(date_to_number(daily->timestamps.back()), 20240627);  // today's session is not over
  EXPECT_FALSE(m.get_price("000001.XSHE", window(20240701, 20240705, "1m")));
  // Tonight's bars were stamped last night: they are in.
  auto gold = m.get_price(gold_contract(m), window(20240628, 20240628, "1m"));
  ASSERT_TRUE(gold);
  EXPECT_EQ(gold->rows(), 330u + 60u);  // night session and 09:01 .. 10:00
}

TEST_F(SimMarketTest, TicksCarryTheServiceColumnsAndTraceTheBars) {
  SimMarket m{SimConfig{}};
  auto ticks = m.get_price("600000.XSHG", window(20240628, 20240628, "tick"));
  auto bars = m.get_price("600000.XSHG", window(20240628, 20240628, "1m"));
  ASSERT_TRUE(ticks && bars);
  std::set<std::string> expected, actual;
  for (const TickColumn& c : kTickColumns) {
    if (c.quantity != TickQuantity::kOpenInterest) expected.emplace(c.name);
  }
  for (const auto& [name, _] : ticks->columns()) actual.insert(name);
  EXPECT_EQ(actual, expected);
  ASSERT_TRUE(ticks->trading_date);
  // The opening call's indicative snapshots from 09:15:00, its match at 09:25:00, then the
  // continuous session every 3 seconds.
  EXPECT_EQ(convert_dt_to_int(ticks->timestamps.front()), 20240628091500);
  const auto &last = ticks->column("last"), &volume = ticks->column("volume");
  EXPECT_TRUE(std::is_sorted(volume.begin(), volume.end()));
  EXPECT_EQ(volume.back(),
            std::accumulate(bars->column("volume").begin(), bars->column("volume").end(), 0.0));
  // Every minute's trades trace its bar: open first, close last, its high and low in between.
  std::size_t j = 0;
  double traded = 0;
  for (std::size_t k = 0; k < bars->rows(); ++k) {
    std::vector<double> prices;
    for (; j < ticks->rows() && ticks->timestamps[j] <= bars->timestamps[k]; ++j) {
      if (ticks->timestamps[j] <= bars->timestamps[k] - std::chrono::seconds(60)) continue;
      if (volume[j] > traded) prices.push_back(last[j]);
      traded = volume[j];
    }
    if (bars->column("volume")[k] == 0) {
      ASSERT_TRUE(prices.empty()) << k;
      continue;
    }
    ASSERT_FALSE(prices.empty()) << k;
    ASSERT_EQ(prices.front(), bars->column("open")[k]) << k;
    ASSERT_EQ(prices.back(), bars->column("close")[k]) << k;
    ASSERT_EQ(*std::max_element(prices.begin(), prices.end()), bars->column("high")[k]) << k;
    ASSERT_EQ(*std::min_element(prices.begin(), prices.end()), bars->column("low")[k]) << k;
  }
  // The closing call: nothing trades from 14:57 until its match at 15:00:00.
  EXPECT_EQ(convert_dt_to_int(ticks->timestamps.back()), 20240628150000);
  for (std::size_t k = bars->rows() - 3; k + 1 < bars->rows(); ++k) {
    EXPECT_EQ(bars->column("volume")[k], 0.0);
  }
  for (double p : ticks->column("a1")) ASSERT_TRUE(on_cent_grid(p));

  auto futures = m.get_price(gold_contract(m), window(20240628, 20240628, "tick"));
  ASSERT_TRUE(futures);
  EXPECT_TRUE(futures->has_column("open_interest"));
  EXPECT_EQ(date_to_number(futures->trading_date->front()), 20240628);
  // The night session's opening match, a minute before it, on the evening before.
  EXPECT_EQ(convert_dt_to_int(futures->timestamps.front()), 20240627205900);
  EXPECT_EQ(futures->timestamps[2] - futures->timestamps[1], std::chrono::milliseconds(500));
}

TEST_F(SimMarketTest, TickIntervalIsConfigurable) {
  SimConfig c;
  c.tick_seconds = 60;
  SimMarket m{c};
  auto ticks = m.get_price("600000.XSHG", window(20240628, 20240628, "tick"));
  ASSERT_TRUE(ticks);
  // Ten indicative snapshots of the opening call and its match; then at most one a minute.
  EXPECT_LE(ticks->rows(), 11u + 240u);
  EXPECT_GE(ticks->rows(), 11u + 200u);
  for (std::size_t i = 11; i < ticks->rows(); ++i) {
    EXPECT_EQ(time_to_number(ticks->timestamps[i]) % 100, 0);
  }
  c.tick_seconds = 7;
  EXPECT_THROW(SimMarket{c}, ValueError);
}

TEST_F(SimMarketTest, TradingDateColumnIsAbsentForIndexesAndOnRequest) {
  SimMarket m{SimConfig{}};
  auto index = m.get_price("000300.XSHG", window(20240628, 20240628, "1m"));
  ASSERT_TRUE(index);
  EXPECT_FALSE(index->has_column("trading_date"));
  SimConfig c;
  c.equity_trading_date = false;
  SimMarket plain{c};
  auto stock = plain.get_price("000001.XSHE", window(20240628, 20240628, "1m"));
  auto future = plain.get_price(gold_contract(plain), window(20240628, 20240628, "1m"));
  ASSERT_TRUE(stock && future);
  EXPECT_FALSE(stock->has_column("trading_date"));
  EXPECT_TRUE(future->has_column("trading_date"));
}

TEST_F(SimMarketTest, InstrumentsCoverEveryTypeAndTheirLinks) {
  SimMarket m{SimConfig{}};
  m.init(true);
  const std::vector<Instrument> all = m.all_instruments({});
  std::set<std::string> ids;
  for (const Instrument& i : all) ids.insert(i.order_book_id);
  for (std::string_view type :
       {INSTRUMENT_TYPE::CS, INSTRUMENT_TYPE::ETF, INSTRUMENT_TYPE::LOF, INSTRUMENT_TYPE::INDX,
        INSTRUMENT_TYPE::FUTURE, INSTRUMENT_TYPE::OPTION, INSTRUMENT_TYPE::CONVERTIBLE,
        INSTRUMENT_TYPE::REITs}) {
    EXPECT_TRUE(find_type(all, type)) << type;
  }
  for (const Instrument& i : all) {
    if (i.type == INSTRUMENT_TYPE::CONVERTIBLE) {
      EXPECT_TRUE(ids.contains(i.stock_code)) << i.order_book_id;
    }
    if (i.type == INSTRUMENT_TYPE::OPTION) {
      EXPECT_TRUE(ids.contains(i.underlying_order_book_id)) << i.order_book_id;
    }
    if (i.type == INSTRUMENT_TYPE::FUTURE) {
      EXPECT_FALSE(i.underlying_symbol.empty());
    }
    EXPECT_FALSE(i.order_book_id.ends_with(".XHKG"));
  }
  EXPECT_EQ(find_type(all, INSTRUMENT_TYPE::FUTURE, "IF")->underlying_order_book_id, "000300.XSHG");
  EXPECT_TRUE(find_type(all, INSTRUMENT_TYPE::FUTURE, "RB"));
  auto options = m.all_instruments({.type = "OPTION"});
  EXPECT_TRUE(std::any_of(options.begin(), options.end(),
                          [](auto& o) { return o.underlying_symbol == "AU"; }));
  EXPECT_TRUE(std::any_of(options.begin(), options.end(),
                          [](auto& o) { return o.underlying_order_book_id == "510050.XSHG"; }));
  EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](auto& i) {
    return i.de_listed_date != "0000-00-00" && i.de_listed_date < "2005-01-04";
  }));
  EXPECT_TRUE(
      std::any_of(all.begin(), all.end(), [](auto& i) { return i.listed_date >= "2024-06-01"; }));

  auto hk = m.all_instruments({.type = "CS", .market = "hk"});
  ASSERT_FALSE(hk.empty());
  for (const Instrument& i : hk) EXPECT_TRUE(i.order_book_id.ends_with(".XHKG"));
  EXPECT_TRUE(std::holds_alternative<Instrument>(m.instruments("00700.XHKG", "hk")));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(m.instruments("00700.XHKG", "cn")));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(m.instruments("NOPE.XSHE", std::nullopt)));
  auto reused = m.instruments("601313.XSHG", "cn");
  ASSERT_TRUE(std::holds_alternative<std::vector<Instrument>>(reused));
  EXPECT_EQ(std::get<std::vector<Instrument>>(reused).size(), 2u);

  auto one = m.convertible_instruments({"110059.XSHG"});
  ASSERT_TRUE(std::holds_alternative<Instrument>(one));
  EXPECT_EQ(std::get<Instrument>(one).stock_code, "600000.XSHG");
  EXPECT_TRUE(std::holds_alternative<std::vector<Instrument>>(
      m.convertible_instruments({"110059.XSHG", "113051.XSHG"})));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(m.convertible_instruments({"000001.XSHE"})));
}

TEST_F(SimMarketTest, DelistedInstrumentsStopTrading) {
  SimMarket m{full_history()};
  EXPECT_FALSE(m.get_price("000003.XSHE", window(20050104, 20240701, std::nullopt)));
  auto gone = m.get_price("600001.XSHG", window(20050104, 20240701, std::nullopt));
  ASSERT_TRUE(gone);
  EXPECT_LE(date_to_number(gone->timestamps.back()), 20091229);
  auto stock = std::get<Instrument>(m.instruments("000005.XSHE", std::nullopt));
  auto recent = m.get_price("000005.XSHE", window(20240101, 20240701, std::nullopt));
  ASSERT_TRUE(recent);
  EXPECT_EQ(format_dashed(date_of(recent->timestamps.back())), stock.de_listed_date);
}

TEST_F(SimMarketTest, BjseSwitchDecidesWhatTheTablesList) {
  SimMarket m{SimConfig{}};
  auto count_bjse = [](const std::vector<Instrument>& list) {
    return std::count_if(list.begin(), list.end(), [](auto& i) { return i.exchange == "BJSE"; });
  };
  AllInstrumentsArgs today{.type = "CS", .date = tessera_plus::now()};
  m.init(false);
  EXPECT_EQ(count_bjse(m.all_instruments({})), 0);
  EXPECT_EQ(count_bjse(m.all_instruments(today)), 0);
  m.init(true);
  EXPECT_TRUE(m.bjse_enabled());
  EXPECT_GT(count_bjse(m.all_instruments({})), 0);
  EXPECT_GT(count_bjse(m.all_instruments(today)), 0);
  // Listed on a date: nothing listed after it, nothing de-listed before it.
  for (const Instrument& i : m.all_instruments({.type = "CS", .date = std::int64_t{20100104}})) {
    EXPECT_LE(i.listed_date, "2010-01-04");
    EXPECT_TRUE(i.de_listed_date == "0000-00-00" || i.de_listed_date >= "2010-01-04");
  }
}

TEST_F(SimMarketTest, PermissionRulesRaisePermissionDenied) {
  SimConfig c;
  c.deny = parse_deny_rules("hk_tick, bjse");
  SimMarket m{c};
  EXPECT_THROW(m.get_price("00700.XHKG", window(20240628, 20240628, "tick")), PermissionDenied);
  EXPECT_TRUE(m.get_price("00700.XHKG", window(20240628, 20240628, "1m")));
  EXPECT_THROW(m.get_price("430047.BJSE", {}), PermissionDenied);  // the probe
  EXPECT_THROW(m.get_price("430047.BJSE", window(20240628, 20240628, "1m")), PermissionDenied);
  EXPECT_TRUE(m.get_price("000001.XSHE", window(20240628, 20240628, "tick")));
}

TEST(SimConfigParsing, ReadsDenyRules) {
  EXPECT_EQ(parse_deny_rules("hk_tick, bjse,tick,future_1m"),
            (std::vector<DenyRule>{{"hk", "tick"}, {"bjse", ""}, {"", "tick"}, {"future", "1m"}}));
  EXPECT_TRUE(parse_deny_rules("").empty());
  EXPECT_THROW(parse_deny_rules("hk_weekly"), ValueError);
  EXPECT_THROW(parse_deny_rules("nasdaq"), ValueError);
}

TEST(SimConfigParsing, ReadsTheEnvironment) {
  const char* names[] = {"TALLOW_SIM_SCALE",        "TALLOW_SIM_SEED",
                         "TALLOW_SIM_TICK_SECONDS", "TALLOW_SIM_DENY",
                         "TALLOW_SIM_FAULT_RATE",   "TALLOW_SIM_LATENCY_MS",
                         "TALLOW_SIM_LATENCY_RATE", "TALLOW_SIM_STOCKS",
                         "TALLOW_SIM_HISTORY_DAYS", "TALLOW_SIM_TRADING_DATE"};
  for (const char* n : names) unsetenv(n);
  SimConfig d = SimConfig::from_environment();
  EXPECT_EQ(d.scale, Scale::kDemo);
  EXPECT_EQ(d.tick_seconds, 3);
  EXPECT_EQ(d.history_days, 0);
  EXPECT_EQ(d.history_start, kDemoHistoryStart);

  setenv("TALLOW_SIM_SCALE", "bench", 1);
  setenv("TALLOW_SIM_SEED", "42", 1);
  setenv("TALLOW_SIM_TICK_SECONDS", "6", 1);
  setenv("TALLOW_SIM_DENY", "hk_tick", 1);
  setenv("TALLOW_SIM_FAULT_RATE", "0.25", 1);
  setenv("TALLOW_SIM_LATENCY_MS", "5", 1);
  setenv("TALLOW_SIM_TRADING_DATE", "derivatives", 1);
  SimConfig c = SimConfig::from_environment();
  EXPECT_EQ(c.scale, Scale::kBench);
  EXPECT_EQ(c.stocks, 3000);
  EXPECT_EQ(c.history_start, kBenchHistoryStart);
  EXPECT_EQ(c.seed, 42u);
  EXPECT_EQ(c.tick_seconds, 6);
  EXPECT_EQ(c.deny, (std::vector<DenyRule>{{"hk", "tick"}}));
  EXPECT_EQ(c.fault_rate, 0.25);
  EXPECT_EQ(c.latency_ms, 5);
  EXPECT_FALSE(c.equity_trading_date);

  for (auto [name, bad] : {std::pair{"TALLOW_SIM_SCALE", "huge"},
                           {"TALLOW_SIM_TICK_SECONDS", "7"},
                           {"TALLOW_SIM_FAULT_RATE", "1.5"},
                           {"TALLOW_SIM_SEED", "-1"},
                           {"TALLOW_SIM_STOCKS", "12x"}}) {
    setenv(name, bad, 1);
    EXPECT_THROW(SimConfig::from_environment(), ValueError) << name;
    unsetenv(name);
  }
  for (const char* n : names) unsetenv(n);
}

// What the rate-limit measurements rest on: every call is there once, from whichever process made
// it, in the order the service received them.
TEST_F(SimMarketTest, TheCallLogHoldsEveryCallOfEveryProcess) {
  testing::TempDir dir;
  SimConfig config;
  config.call_log = dir / "calls";
  SimMarket m{config};
  m.instruments("000001.XSHE", std::nullopt);
  const pid_t child = fork();
  if (child == 0) {
    m.get_price("000001.XSHE", window(20240628, 20240628, "1m"));
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  m.is_suspended("000001.XSHE", std::int64_t{20240628}, std::int64_t{20240628});
  const std::vector<std::string> lines = testing::read_lines(dir / "calls");
  ASSERT_EQ(lines.size(), 3u);
  std::vector<std::int64_t> times;
  std::vector<std::string> ops;
  std::set<std::string> pids;
  for (const std::string& line : lines) {
    const std::size_t a = line.find(' '), b = line.rfind(' ');
    times.push_back(std::stoll(line.substr(0, a)));
    pids.insert(line.substr(a + 1, b - a - 1));
    ops.push_back(line.substr(b + 1));
  }
  EXPECT_EQ(ops, (std::vector<std::string>{"instruments", "get_price", "is_suspended"}));
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
  EXPECT_EQ(pids.size(), 2u);

  config.call_log = (dir.path() / "missing" / "calls").string();
  EXPECT_THROW(SimMarket{config}, OSError);
}

TEST_F(SimMarketTest, FaultInjectionIsSeededAndLeavesTablesAlone) {
  SimConfig always;
  always.fault_rate = 1.0;
  SimMarket broken{always};
  try {
    broken.get_price("000001.XSHE", window(20240628, 20240628, "1m"));
    ADD_FAILURE() << "no fault";
  } catch (const PermissionDenied&) {
    ADD_FAILURE() << "a fault is not a permission error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "simulated transient service failure");
  }
  EXPECT_THROW(broken.is_suspended("000001.XSHE", std::int64_t{20240628}, std::int64_t{20240628}),
               Error);
  EXPECT_FALSE(broken.all_instruments({}).empty());  // not a data call

  SimConfig half;
  half.fault_rate = 0.5;
  auto pattern = [&] {
    SimMarket m{half};
    return failure_pattern(m, 40);
  };
  std::string first = pattern();
  EXPECT_EQ(first, pattern());
  EXPECT_NE(first.find('x'), std::string::npos);
  EXPECT_NE(first.find('.'), std::string::npos);
}

TEST_F(SimMarketTest, ForkedWorkerAnswersLikeItsParent) {
  install_backend(std::make_shared<SimMarket>(SimConfig{}));
  init(true);
  auto digest = [] {
    auto bars = get_price("000001.XSHE", window(20240601, 20240628, "1m"));
    double sum = 0;
    for (double c : bars->column("close")) sum += c;
    return fmt::format("{}|{}|{}|{:.4f}", client::bjse_enabled(), all_instruments().size(),
                       bars->rows(), sum);
  };
  const std::string parent = digest();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    std::string child = digest();
    bool ok = write(fds[1], child.data(), child.size()) == ssize_t(child.size());
    _exit(ok ? 0 : 1);
  }
  close(fds[1]);
  std::string child;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
    child.append(buffer, std::size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(child, parent);
  EXPECT_TRUE(parent.starts_with("true|"));
}

TEST_F(SimMarketTest, ProbeAndOddArguments) {
  SimMarket m{SimConfig{}};
  auto probe = m.get_price("000001.XSHE", {});
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->rows(), 20u);
  EXPECT_FALSE(m.get_price("NOPE.XSHE", window(20240628, 20240628, "1m")));
  EXPECT_FALSE(m.get_price("000001.XSHE", window(20240628, 20240627, "1m")));
  EXPECT_THROW(m.get_price("000001.XSHE", window(20240628, 20240628, "5m")), ValueError);
  EXPECT_THROW(m.all_instruments({.market = "us"}), ValueError);
  PriceArgs text;
  text.start_date = std::string("20240628");
  text.end_date = date_from_number(20240628);
  text.frequency = "1m";
  auto t = m.get_price("000001.XSHE", text);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->rows(), 240u);
}

}  // namespace
}  // namespace tessera_plus::tallow::sim
