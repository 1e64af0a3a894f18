// The simulated market against how the exchanges' data really looks: calendars, sessions, gaps,
// grids and limits, liquidity, ticks, contracts and the service's behaviour.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/instrument_type.h"
#include "tessera_plus/market/bar_time.h"
#include "tessera_plus/sim/calendar.h"
#include "tessera_plus/sim/failure_pattern_testing.h"
#include "tessera_plus/sim/sim_market.h"
#include "tests/support/check_fixtures.h"
#include "tests/support/env.h"
#include "tests/support/price_window.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::tallow::sim {
namespace {

using testing::window;
using testing::ymd;

class SimRealism : public ::testing::Test {
 protected:
  static SimConfig since(int start) {
    SimConfig c;
    c.history_start = start;
    return c;
  }
  // The contract of `symbol` with the most volume on `day`.
  static std::string dominant(SimMarket& m, const std::string& symbol, int day) {
    std::string best;
    double most = -1;
    for (const Instrument& i : m.all_instruments({.type = "FUTURE"})) {
      if (i.underlying_symbol != symbol) continue;
      auto t = m.get_price(i.order_book_id, window(day, day, std::nullopt));
      if (t && t->rows() > 0 && t->column("volume")[0] > most) {
        most = t->column("volume")[0];
        best = i.order_book_id;
      }
    }
    return best;
  }
  void set_now(const char* text) { now_.set(text); }

  testing::ScopedEnv now_{"TESSERA_NOW", "2024-07-01 18:00:00"};
};

// --- Calendars ---------------------------------------------------------------------------------

TEST(SimCalendarTable, FollowsThePublishedClosures) {
  // Days a rule-of-thumb calendar gets wrong, as the exchanges' notices have them.
  for (int closed : {20150903, 20150904, 20201008, 20251008, 20240209, 20181231, 20071231, 20060126,
                     20120430, 20230929}) {
    EXPECT_FALSE(is_trading_day(ymd(closed))) << closed;
  }
  for (int open : {20210218, 20220207, 20220505, 20230504, 20230505, 20250206, 20191008}) {
    EXPECT_TRUE(is_trading_day(ymd(open))) << open;
  }
  // Trading days per year, 2005-2026.
  const std::map<int, int> lengths = {
      {2005, 242}, {2006, 241}, {2007, 242}, {2008, 246}, {2009, 244}, {2010, 242},
      {2011, 244}, {2012, 243}, {2013, 238}, {2014, 245}, {2015, 244}, {2016, 244},
      {2017, 244}, {2018, 243}, {2019, 244}, {2020, 243}, {2021, 243}, {2022, 242},
      {2023, 242}, {2024, 242}, {2025, 243}, {2026, 242}};
  const TradingCalendar& c = TradingCalendar::instance();
  for (auto [year, count] : lengths) {
    int first = c.first_on_or_after(ymd(year * 10000 + 101));
    int last = c.last_on_or_before(ymd(year * 10000 + 1231));
    EXPECT_EQ(last - first + 1, count) << year;
  }
}

TEST(SimCalendarTable, HongKongHasItsOwnHolidaysAndHalfDays) {
  const TradingCalendar& hk = TradingCalendar::hong_kong();
  // Good Friday, Easter Monday, Ching Ming, Buddha's Birthday, Tuen Ng, HKSAR Day, the day after
  // Mid-Autumn, Chung Yeung, Christmas; the fourth day of a Lunar New Year with a Sunday in it.
  for (int closed : {20240329, 20240401, 20240404, 20240515, 20240610, 20240701, 20240918, 20241011,
                     20241225, 20241226, 20240213, 20150407}) {
    EXPECT_FALSE(hk.is_trading_day(ymd(closed))) << closed;
  }
  // Open while the mainland is closed, and the other way round.
  for (int open : {20241002, 20240209, 20240502}) EXPECT_TRUE(hk.is_trading_day(ymd(open)));
  EXPECT_TRUE(is_trading_day(ymd(20240329)));
  for (int half : {20240209, 20241224, 20241231}) {
    EXPECT_TRUE(hk.is_half_day(hk.first_on_or_after(ymd(half)))) << half;
  }
  EXPECT_FALSE(hk.is_half_day(hk.first_on_or_after(ymd(20241223))));

  testing::ScopedEnv now("TESSERA_NOW", "2025-01-02 18:00:00");
  SimMarket m{SimConfig{}};
  auto bars = m.get_price("00700.XHKG", window(20241224, 20241224, "1m"));
  ASSERT_TRUE(bars);
  EXPECT_EQ(bars->rows(), 150u);  // 09:31 .. 12:00
  EXPECT_EQ(convert_dt_to_int(bars->timestamps.back()), 20241224120000);
}

// Writers and checkers place bars on trading days by market/bar_time.h; the simulated market's
// own assignment must satisfy the same rules, over a weekend, a holiday and night sessions that end
// at 23:00 (rebar) and 02:30 (gold).
TEST_F(SimRealism, TradingDaysAgreeWithTheBarTimeRules) {
  set_now("2024-10-09 18:00:00");
  SimMarket m{SimConfig{}};
  std::vector<std::int64_t> calendar;
  for (const Date& d : m.get_trading_dates(std::int64_t{20240901}, std::int64_t{20241031}, "cn")) {
    calendar.push_back(date_to_number(d));
  }
  const auto check = [&](const std::string& id, bool derivative) {
    SCOPED_TRACE(id);
    auto bars = m.get_price(id, window(20240920, 20241009, "1m"));
    ASSERT_TRUE(bars && bars->rows() > 0);
    // Without a `trading_date` column a bar's trading day is its calendar date.
    const auto day_of = [&](std::size_t i) {
      return bars->trading_date ? std::int64_t{date_to_number((*bars->trading_date)[i])}
                                : date_of_datetime(convert_dt_to_int(bars->timestamps[i]));
    };
    std::int64_t previous_day = 0;
    for (std::size_t i = 0; i < bars->rows(); ++i) {
      const std::int64_t bar = convert_dt_to_int(bars->timestamps[i]);
      const std::int64_t day = day_of(i);
      ASSERT_LE(date_of_datetime(bar), day) << bar;
      if (i > 0 && day != day_of(i - 1)) previous_day = day_of(i - 1);
      ASSERT_TRUE(belongs_after(bar, previous_day)) << bar;
      if (i > 0 && day == day_of(i - 1)) continue;
      // The first bar of a trading day names the day by itself.
      if (derivative) {
        EXPECT_EQ(futures_trading_day(bar, calendar), day) << bar;
      } else {
        EXPECT_EQ(bar, first_equity_bar(day));
      }
    }
  };
  check(dominant(m, "RB", 20240924), true);
  check(dominant(m, "AU", 20240924), true);
  check("000001.XSHE", false);
}

TEST_F(SimRealism, NightSessionsBelongToTheNextTradingDayAndHaveAHistory) {
  set_now("2024-10-09 18:00:00");
  SimMarket m{SimConfig{}};
  const std::string rb = dominant(m, "RB", 20240624);
  // Friday night's bars belong to Monday.
  auto monday = m.get_price(rb, window(20240624, 20240624, "1m"));
  ASSERT_TRUE(monday && monday->trading_date);
  EXPECT_EQ(convert_dt_to_int(monday->timestamps.front()), 20240621210100);
  EXPECT_EQ(date_to_number(monday->trading_date->front()), 20240624);
  // No night session before a day that follows a holiday.
  const std::string rb_oct = dominant(m, "RB", 20241008);
  auto after_holiday = m.get_price(rb_oct, window(20241008, 20241008, "1m"));
  ASSERT_TRUE(after_holiday);
  EXPECT_EQ(convert_dt_to_int(after_holiday->timestamps.front()), 20241008090100);

  // None before the product traded at night (rebar from 2014-12-26), none from the 2020 Spring
  // Festival until the evening of 6 May 2020.
  set_now("2024-07-01 18:00:00");
  SimMarket old{since(20140101)};
  auto first_bar = [&](const std::string& symbol, int day) {
    auto t = old.get_price(dominant(old, symbol, day), window(day, day, "1m"));
    return t ? convert_dt_to_int(t->timestamps.front()) : 0;
  };
  EXPECT_EQ(first_bar("RB", 20141029), 20141029090100);
  EXPECT_EQ(first_bar("RB", 20141229), 20141226210100);
  EXPECT_EQ(first_bar("RB", 20150105), 20150105090100);  // New Year before it
  EXPECT_EQ(first_bar("AU", 20200310), 20200310090100);
  EXPECT_EQ(first_bar("AU", 20200506), 20200506090100);
  EXPECT_EQ(first_bar("AU", 20200507), 20200506210100);
}

// --- Gaps --------------------------------------------------------------------------------------

TEST_F(SimRealism, SuspensionsComeInBlocks) {
  SimMarket m{since(20150101)};
  auto flags = [&](const std::string& id, int from, int to) {
    return m.is_suspended(id, std::int64_t{from}, std::int64_t{to}).column(id);
  };
  auto vanke = flags("000002.XSHE", 20151218, 20160701);
  EXPECT_EQ(std::count(vanke.begin(), vanke.end(), true), std::ptrdiff_t(vanke.size()));
  // A block that runs past the end of the data: suspended through today.
  auto running = flags("601318.XSHG", 20240601, 20240701);
  EXPECT_EQ(std::count(running.begin(), running.end(), false), 0);
  EXPECT_FALSE(m.get_price("601318.XSHG", PriceArgs{}));  // the probe of the last 20 days

  // July 2015: a large share of the listed stocks at once.
  SimConfig many = since(20150101);
  many.stocks = 300;
  SimMarket wide{many};
  int listed = 0, suspended = 0;
  for (const Instrument& i : wide.all_instruments({.type = "CS", .date = ymd(20150709)})) {
    auto f = wide.is_suspended(i.order_book_id, std::int64_t{20150709}, std::int64_t{20150709});
    if (f.dates.empty()) continue;
    ++listed;
    suspended += f.column(i.order_book_id).front() ? 1 : 0;
  }
  EXPECT_GT(suspended * 4, listed) << suspended << " of " << listed;
}

TEST_F(SimRealism, HaltsAndVendorHoles) {
  SimConfig omitted_config = since(20180601);
  omitted_config.pad_halts = false;  // so that a halt shows as a short day
  SimMarket m{omitted_config};
  SimMarket padded{since(20180601)};  // the default
  const std::string id = "300750.XSHE";
  auto daily = m.get_price(id, window(20180601, 20240628, std::nullopt));
  auto bars = m.get_price(id, window(20180601, 20240628, "1m"));
  ASSERT_TRUE(daily && bars);
  std::map<int, std::vector<std::size_t>> by_day;
  for (std::size_t i = 0; i < bars->rows(); ++i) {
    by_day[date_to_number(bars->timestamps[i])].push_back(i);
  }
  int holes = 0, halts = 0;
  for (DateTime when : daily->timestamps) {
    const int day = date_to_number(when);
    auto it = by_day.find(day);
    if (it == by_day.end()) {
      // A hole: traded, not suspended, but the vendor has no minutes.
      ++holes;
      EXPECT_FALSE(m.is_suspended(id, std::int64_t{day}, std::int64_t{day}).column(id).front());
      EXPECT_FALSE(m.get_price(id, window(day, day, "1m")));
      continue;
    }
    if (it->second.size() == 240) continue;
    ++halts;
    auto full = padded.get_price(id, window(day, day, "1m"));
    ASSERT_TRUE(full);
    EXPECT_EQ(full->rows(), 240u);
    EXPECT_EQ(convert_dt_to_int(full->timestamps.front()) % 1000000, 93100);
    const auto& volume = full->column("volume");
    EXPECT_GE(std::size_t(std::count(volume.begin(), volume.end(), 0.0)), 240u - it->second.size());
  }
  EXPECT_GT(holes, 3);
  EXPECT_GT(halts, 3);
}

// --- Grids, limits, liquidity ------------------------------------------------------------------

bool on_grid(double price, double tick) {
  double n = price / tick;
  return std::abs(n - std::round(n)) < 1e-6;
}

TEST_F(SimRealism, EachClassTradesOnItsOwnGrid) {
  SimMarket m{SimConfig{}};
  struct Case {
    std::string id;
    double tick;
    bool finer_seen;  // some prices off the next coarser grid
  };
  std::vector<Case> cases = {
      {"510050.XSHG", 0.001, true}, {"110059.XSHG", 0.001, true}, {"600519.XSHG", 0.01, true}};
  for (const Instrument& i : m.all_instruments({.type = "FUTURE"})) {
    if (i.de_listed_date < "2024-09-01") continue;
    if (i.underlying_symbol == "RB") cases.push_back({i.order_book_id, 1.0, false});
    if (i.underlying_symbol == "AU") cases.push_back({i.order_book_id, 0.02, false});
    if (i.underlying_symbol == "IF") cases.push_back({i.order_book_id, 0.2, false});
  }
  for (const Instrument& i : m.all_instruments({.type = "OPTION"})) {
    if (i.underlying_order_book_id == "510050.XSHG") {
      cases.push_back({i.order_book_id, 0.0001, false});
      break;
    }
  }
  for (const Case& c : cases) {
    auto t = m.get_price(c.id, window(20240603, 20240628, "1m"));
    ASSERT_TRUE(t) << c.id;
    bool finer = false;
    for (const char* col : {"open", "high", "low", "close"}) {
      for (double p : t->column(col)) {
        ASSERT_TRUE(on_grid(p, c.tick)) << c.id << " " << p;
        finer = finer || !on_grid(p, c.tick * 10);
      }
    }
    EXPECT_TRUE(finer || !c.finer_seen) << c.id;
  }
  // Hong Kong: the spread table's band of the price.
  auto hk = m.get_price("00700.XHKG", window(20240603, 20240628, "1m"));
  ASSERT_TRUE(hk);
  for (double p : hk->column("close")) {
    double tick = p < 10    ? 0.01
                  : p < 20  ? 0.02
                  : p < 100 ? 0.05
                  : p < 200 ? 0.1
                  : p < 500 ? 0.2
                            : 0.5;
    ASSERT_TRUE(on_grid(p, tick)) << p;
  }
}

TEST_F(SimRealism, LimitsFollowTheBoardsAndSomeDaysLock) {
  SimMarket m{since(20210101)};
  auto ratio = [&](const std::string& id) {
    auto t = m.get_price(id, window(20240628, 20240628, "tick"));
    EXPECT_TRUE(t) << id;
    return t ? t->column("limit_up").back() / t->column("prev_close").back() : 0.0;
  };
  EXPECT_NEAR(ratio("600519.XSHG"), 1.10, 0.002);
  EXPECT_NEAR(ratio("688981.XSHG"), 1.20, 0.002);
  EXPECT_NEAR(ratio("300750.XSHE"), 1.20, 0.002);
  // Locked days: from some minute on every bar is one price, the day's limit.
  int locked = 0;
  for (const char* id : {"600000.XSHG", "000001.XSHE", "600519.XSHG", "000858.XSHE"}) {
    auto bars = m.get_price(id, window(20210101, 20240628, "1m"));
    ASSERT_TRUE(bars);
    const auto &h = bars->column("high"), &l = bars->column("low"), &c = bars->column("close");
    for (std::size_t i = 0; i + 240 <= bars->rows(); i += 240) {
      double day_high = *std::max_element(h.begin() + long(i), h.begin() + long(i + 240));
      double day_low = *std::min_element(l.begin() + long(i), l.begin() + long(i + 240));
      bool flat_end = true;
      for (std::size_t k = i + 200; k < i + 240; ++k) flat_end = flat_end && h[k] == l[k];
      if (flat_end && (c[i + 239] == day_high || c[i + 239] == day_low)) ++locked;
    }
  }
  EXPECT_GT(locked, 5);
}

TEST_F(SimRealism, LiquidityConcentratesAndThins) {
  SimConfig many;
  many.stocks = 80;
  SimMarket m{many};
  // Some names have long runs without a trade.
  int illiquid = 0;
  for (const Instrument& i : m.all_instruments({.type = "CS"})) {
    auto t = m.get_price(i.order_book_id, window(20240628, 20240628, "1m"));
    if (!t) continue;
    int run = 0, longest = 0;
    for (double v : t->column("volume")) {
      run = v == 0 ? run + 1 : 0;
      longest = std::max(longest, run);
    }
    illiquid += longest >= 10 ? 1 : 0;
  }
  EXPECT_GE(illiquid, 3);
  // One RB contract carries most of the volume.
  double total = 0, top = 0;
  for (const Instrument& i : m.all_instruments({.type = "FUTURE"})) {
    if (i.underlying_symbol != "RB") continue;
    auto d = m.get_price(i.order_book_id, window(20240628, 20240628, std::nullopt));
    if (!d) continue;
    total += d->column("volume")[0];
    top = std::max(top, d->column("volume")[0]);
  }
  EXPECT_GT(top / total, 0.6);
  // Open interest carries over the day boundary.
  auto au = m.get_price(dominant(m, "AU", 20240628), window(20240603, 20240628, "1m"));
  ASSERT_TRUE(au);
  const auto& oi = au->column("open_interest");
  for (std::size_t i = 1; i < au->rows(); ++i) {
    if ((*au->trading_date)[i] == (*au->trading_date)[i - 1]) continue;
    EXPECT_LT(std::abs(oi[i] / oi[i - 1] - 1.0), 0.1) << i;
  }
  // An index's turnover is its constituents' (a share price of yuan, not the index level).
  auto index = m.get_price("000300.XSHG", window(20240628, 20240628, "1m"));
  ASSERT_TRUE(index);
  double per_share = index->column("total_turnover")[5] / index->column("volume")[5];
  EXPECT_GT(per_share, 5);
  EXPECT_LT(per_share, 40);
}

// --- Ticks and contracts -----------------------------------------------------------------------

TEST_F(SimRealism, TicksAreSparseForIlliquidNamesAndEmptyBeyondALockedLimit) {
  SimConfig many;
  many.stocks = 80;
  SimMarket m{many};
  std::size_t fewest = SIZE_MAX;
  for (const Instrument& i : m.all_instruments({.type = "CS"})) {
    if (i.exchange == "XHKG" || i.exchange == "BJSE") continue;
    auto t = m.get_price(i.order_book_id, window(20240628, 20240628, "tick"));
    if (t) fewest = std::min(fewest, t->rows());
  }
  EXPECT_LT(fewest, 2000u);  // a liquid name has some 5000

  SimMarket full{since(20210101)};
  bool seen = false;
  auto ticks = full.get_price("600000.XSHG", window(20210101, 20240628, "tick"));
  ASSERT_TRUE(ticks);
  const auto &last = ticks->column("last"), &up = ticks->column("limit_up"),
             &a1 = ticks->column("a1"), &b1 = ticks->column("b1"), &b1v = ticks->column("b1_v");
  for (std::size_t i = 0; i < ticks->rows(); ++i) {
    if (last[i] != up[i]) continue;
    seen = true;
    ASSERT_EQ(a1[i], 0.0) << i;
    ASSERT_EQ(b1[i], up[i]) << i;
    ASSERT_GT(b1v[i], 0.0);
  }
  EXPECT_TRUE(seen);
}

TEST_F(SimRealism, IndexFuturesAndOptionChainsFollowTheListingRules) {
  SimMarket m{SimConfig{}};
  std::set<std::string> live;
  for (const Instrument& i : m.all_instruments({.type = "FUTURE", .date = ymd(20240628)})) {
    if (i.underlying_symbol == "IF") live.insert(i.order_book_id);
  }
  EXPECT_EQ(live, (std::set<std::string>{"IF2407", "IF2408", "IF2409", "IF2412"}));
  auto june = std::get<Instrument>(m.instruments("IF2406", std::nullopt));
  EXPECT_EQ(june.de_listed_date, "2024-06-21");  // the third Friday

  // IH and IM list by the same rule, each from its own first day (IM from 2022-07-22).
  SimMarket bench{SimConfig::for_scale(Scale::kBench)};
  std::map<std::string, std::set<std::string>> by_symbol;
  for (const Instrument& i : bench.all_instruments({.type = "FUTURE", .date = ymd(20240628)})) {
    by_symbol[i.underlying_symbol].insert(i.order_book_id);
  }
  EXPECT_EQ(by_symbol["IH"], (std::set<std::string>{"IH2407", "IH2408", "IH2409", "IH2412"}));
  EXPECT_EQ(by_symbol["IM"], (std::set<std::string>{"IM2407", "IM2408", "IM2409", "IM2412"}));
  std::set<std::string> im_2021;
  for (const Instrument& i : bench.all_instruments({.type = "FUTURE", .date = ymd(20211231)})) {
    if (i.underlying_symbol == "IM") im_2021.insert(i.order_book_id);
  }
  EXPECT_TRUE(im_2021.empty());

  std::map<std::string, int> per_expiry;
  for (const Instrument& i : m.all_instruments({.type = "OPTION", .date = ymd(20240628)})) {
    if (i.underlying_order_book_id == "510050.XSHG") ++per_expiry[i.de_listed_date];
  }
  ASSERT_EQ(per_expiry.size(), 4u);
  EXPECT_EQ(per_expiry.begin()->first, "2024-07-24");  // the fourth Wednesday
  for (const auto& [expiry, n] : per_expiry) EXPECT_GE(n, 18) << expiry;
}

// --- Service behaviour -------------------------------------------------------------------------

TEST_F(SimRealism, PermissionsQuotaAndOutages) {
  SimConfig c;
  c.deny = parse_deny_rules("1m@-20240430,hk_tick@20240601-");
  SimMarket m{c};
  EXPECT_TRUE(m.get_price("600000.XSHG", window(20240502, 20240628, "1m")));
  EXPECT_THROW(m.get_price("600000.XSHG", window(20240401, 20240628, "1m")), PermissionDenied);
  EXPECT_TRUE(m.get_price("00700.XHKG", window(20240502, 20240531, "tick")));
  EXPECT_THROW(m.get_price("00700.XHKG", window(20240502, 20240628, "tick")), PermissionDenied);

  SimConfig q;
  q.quota_rows = 1000;
  SimMarket quota{q};
  EXPECT_TRUE(quota.get_price("600000.XSHG", window(20240628, 20240628, "1m")));
  EXPECT_THROW(quota.get_price("600000.XSHG", window(20240603, 20240628, "1m")), Error);

  auto pattern = [](std::uint64_t seed) {
    SimConfig o;
    o.seed = seed;
    o.outage_up = 30;
    o.outage_down = 8;
    SimMarket s{o};
    return failure_pattern(s, 400);
  };
  const std::string run = pattern(1);
  EXPECT_EQ(run, pattern(1));
  EXPECT_NE(run, pattern(2));
  const auto failures = std::count(run.begin(), run.end(), 'x');
  std::size_t bursts = 0;
  for (std::size_t i = 0; i < run.size(); ++i)
    bursts += run[i] == 'x' && (i == 0 || run[i - 1] == '.');
  EXPECT_GT(failures, 20);
  EXPECT_LT(bursts * 3, std::size_t(failures));  // in runs, not one by one
}

TEST_F(SimRealism, HistoryStartsOnAFixedDayWhateverToday) {
  SimMarket then{SimConfig{}};
  auto before = then.get_price("600000.XSHG", window(20050104, 20240701, std::nullopt));
  set_now("2024-09-02 18:00:00");
  SimMarket later{SimConfig{}};
  auto after = later.get_price("600000.XSHG", window(20050104, 20240701, std::nullopt));
  ASSERT_TRUE(before && after);
  EXPECT_EQ(date_to_number(before->timestamps.front()), 20240506);
  EXPECT_EQ(before->timestamps, after->timestamps);
  EXPECT_EQ(before->column("close"), after->column("close"));
}

// A bundle built and checked with the service in one no-data mode ("none" or "empty"): the
// digest of its files and what the two checks printed, with the root left out.
struct ModeRun {
  std::string digest, checks;
};
ModeRun run_in_mode(const testing::TempDir& dir, const std::string& mode) {
  const std::string root = dir / mode;
  auto run = [&](std::vector<std::string> args, const std::string& input) {
    args.insert(args.begin() + 1, {"-d", root});
    return testing::run_cli(args, input,
                            {"TESSERA_NOW=2024-07-01 18:00:00", "TALLOW_SIM_NO_DATA=" + mode,
                             "TESSERA_LOG_FILE=" + dir / "log"});
  };
  // Block suspensions, one running through today, a stock de-listed before the data begins and a
  // new listing: every way of answering no data.
  auto u = run({"update", "-j", "2", "--minbar", "000002.XSHE", "601318.XSHG", "000003.XSHE",
                "301999.XSHE", "--tick", "000002.XSHE", "601318.XSHG"},
               "");
  EXPECT_EQ(u.status, 0) << mode << u.out << u.err;
  ModeRun out;
  const std::string script =
      testing::read_file(std::string(TESSERA_PLUS_SOURCE_DIR) + "/tests/support/bundle_digest.py");
  EXPECT_EQ(testing::run_python(script, root, &out.digest), 0);
  auto m = run({"check", "minbar"}, "no\n");
  auto t = run({"check", "tick"}, "no\n");
  out.checks = std::to_string(m.status) + m.out + std::to_string(t.status) + t.out;
  for (auto at = out.checks.find(root); at != std::string::npos; at = out.checks.find(root)) {
    out.checks.replace(at, root.size(), "ROOT");
  }
  return out;
}

// The empty-table answer through the writers: the updates write the same bundle as with None.
TEST(SimServiceModes, EmptyTablesAreNoDataToTheWriters) {
  testing::TempDir dir;
  ModeRun none = run_in_mode(dir, "none"), empty = run_in_mode(dir, "empty");
  EXPECT_NE(none.digest.find("000002.XSHE"), std::string::npos) << none.digest;
  EXPECT_EQ(empty.digest, none.digest);
}

// The same through the checkers: they ask the service about each missing day, and an empty table
// must mean "no bars that day" as None does, or every suspended day makes its file broken.
TEST(SimServiceModes, EmptyTablesAreNoDataToTheCheckers) {
  testing::TempDir dir;
  EXPECT_EQ(run_in_mode(dir, "empty").checks, run_in_mode(dir, "none").checks);
}

// The night auction of a futures trading day happens on the calendar day before it (20:59 on
// Thursday for Friday's trading day); through the real writer its ticks land in the trading day's
// dataset, not in the dataset of the day they were made on.
TEST(SimServiceModes, NightAuctionTicksAreStoredUnderTheirTradingDay) {
  testing::TempDir dir;
  const std::string root = dir / "root";
  std::vector<std::string> env = {"TESSERA_NOW=2024-07-01 18:00:00",
                                  "TALLOW_SIM_HISTORY_START=20240624",
                                  "TESSERA_LOG_FILE=" + dir / "log"};
  ASSERT_EQ(testing::run_cli({"update", "-d", root, "--no-base", "--tick", "RB"}, "", env).status,
            0);
  std::string out;
  ASSERT_EQ(
      testing::run_python(
          "import sys, glob, h5py\n"
          "f = h5py.File(sorted(glob.glob(sys.argv[1] + '/bundle/ticks/RB*.h5'))[0], 'r')\n"
          "d = f['20240628'][()]\n"
          "print(int(d['date'][0]), int(d['time'][0]), sorted(set(int(x) for x in d['date'])))",
          root, &out),
      0);
  // The first tick is Thursday's 20:59 match; the day holds Thursday night and Friday.
  EXPECT_EQ(out.substr(0, out.find(' ')), "20240627") << out;
  EXPECT_NE(out.find("[20240627, 20240628]"), std::string::npos) << out;
}

// A halt that leaves out the morning's first hour makes the day start at 10:31, which the
// minute-bar checker's equity rule rejects; padded halts pass it.
TEST(SimServiceModes, HaltDaysMeetTheMinuteBarChecker) {
  testing::TempDir dir;
  std::map<std::string, std::string> out;
  for (const std::string mode : {"omit", "pad"}) {
    const std::string root = dir / mode;
    std::vector<std::string> env = {"TESSERA_NOW=2024-07-01 18:00:00", "TALLOW_SIM_HALTS=" + mode,
                                    "TALLOW_SIM_HISTORY_START=20220104",
                                    "TESSERA_LOG_FILE=" + dir / "log"};
    ASSERT_EQ(testing::run_cli({"update", "-d", root, "--minbar", "300750.XSHE"}, "", env).status,
              0);
    out[mode] = testing::run_cli({"check", "minbar", "-d", root}, "no\n", env).out;
  }
  EXPECT_NE(out["omit"].find("300750.XSHE"), std::string::npos) << out["omit"];
  EXPECT_EQ(out["pad"].find("300750.XSHE"), std::string::npos) << out["pad"];
}

}  // namespace
}  // namespace tessera_plus::tallow::sim
