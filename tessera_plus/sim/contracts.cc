// The futures and options of the simulated universe.
//
// Index futures (IF, IC, IH, IM) follow CFFEX's listing rule: the current month, the next month and
// the next two quarter months, each expiring on the third Friday of its month (the next trading day
// when that is a holiday). Commodity futures list their delivery months a year ahead and expire on
// the 15th. Volume and open interest concentrate in one dominant contract per underlying, which
// rolls to the next main month some weeks before expiry; the others trade thinly.
//
// ETF options on 510050.XSHG follow SSE's rule: the same four months as the index futures, expiry
// on the fourth Wednesday, nine strikes around the ETF's price on listing day with its price band's
// interval. Options on the gold futures have nine strikes per contract.
#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

#include <fmt/format.h>

#include "tessera_plus/base/instrument_type.h"
#include "tessera_plus/sim/prices.h"
#include "tessera_plus/sim/universe.h"
#include "tessera_plus/sim/universe_util.h"

namespace tessera_plus::tallow::sim {
namespace {

using namespace std::chrono;

const TradingCalendar& cal() { return TradingCalendar::instance(); }

enum class Listing { kIndex, kCommodity };

struct FutureSeed {
  const char* symbol;
  const char* exchange;
  const char* underlying;  // index for index futures
  SessionKind session;
  const char* inception;
  const char* first_night;      // evening of the first night session; "" for none
  std::array<bool, 12> months;  // months listed (commodities)
  std::array<bool, 12> main;    // months that become dominant
  int life_months;
  double base_price, multiplier, limit;
  Grid grid;
  bool demo;
};

constexpr std::array<bool, 12> kAll = {true, true, true, true, true, true,
                                       true, true, true, true, true, true};
constexpr std::array<bool, 12> m(std::initializer_list<int> months) {
  std::array<bool, 12> out{};
  for (int x : months) out[std::size_t(x - 1)] = true;
  return out;
}

const std::array<FutureSeed, 9> kFutures = {{
    {"IF", "CFFEX", "000300.XSHG", SessionKind::kIndexFuture, "2010-04-16", "", kAll, kAll, 0, 3500,
     300, 0.10, Grid{1, 5, false}, true},
    {"RB", "SHFE", "", SessionKind::kNight2300, "2009-03-27", "2014-12-26", m({1, 5, 10}),
     m({1, 5, 10}), 12, 3800, 10, 0.07, Grid{1, 1, false}, true},
    {"AU", "SHFE", "", SessionKind::kNight0230, "2008-01-09", "2013-07-05", m({2, 4, 6, 8, 10, 12}),
     m({6, 12}), 12, 400, 1000, 0.06, Grid{1, 50, false}, true},
    {"IC", "CFFEX", "000905.XSHG", SessionKind::kIndexFuture, "2015-04-16", "", kAll, kAll, 0, 6000,
     200, 0.10, Grid{1, 5, false}, false},
    {"IH", "CFFEX", "000016.XSHG", SessionKind::kIndexFuture, "2015-04-16", "", kAll, kAll, 0, 2500,
     300, 0.10, Grid{1, 5, false}, false},
    {"IM", "CFFEX", "000852.XSHG", SessionKind::kIndexFuture, "2022-07-22", "", kAll, kAll, 0, 6500,
     200, 0.10, Grid{1, 5, false}, false},
    {"CU", "SHFE", "", SessionKind::kNight0100, "2005-01-04", "2013-12-20", kAll, kAll, 12, 50000,
     5, 0.06, Grid{10, 1, false}, false},
    {"M", "DCE", "", SessionKind::kNight2300, "2005-01-04", "2014-12-26",
     m({1, 3, 5, 7, 8, 9, 11, 12}), m({1, 5, 9}), 12, 3000, 10, 0.05, Grid{1, 1, false}, false},
    {"JD", "DCE", "", SessionKind::kCommodity, "2013-11-08", "", kAll, m({1, 5, 9}), 12, 4000, 10,
     0.05, Grid{1, 1, false}, false},
}};

Date month_day(int year, int month, int day) {
  while (month < 1) {
    month += 12;
    --year;
  }
  while (month > 12) {
    month -= 12;
    ++year;
  }
  return Date{std::chrono::year(year), std::chrono::month(unsigned(month)),
              std::chrono::day(unsigned(day))};
}

// Calendar index of the n-th `wd` of month `mon` (months since year 0), or the next trading day.
int nth_weekday(int mon, weekday wd, unsigned n) {
  year_month_weekday ymw{std::chrono::year(mon / 12), month(unsigned(mon % 12 + 1)), wd[n]};
  return cal().first_on_or_after(Date(sys_days(ymw)));
}

bool is_quarter(int mon) { return mon % 3 == 2; }

// The months listed while `current` is the front month: it, the next, and the next two quarter
// months after those.
bool listed_with(int mon, int current) {
  if (mon == current || mon == current + 1) return true;
  int quarters = 0;
  for (int q = current + 2; q <= current + 8 && quarters < 2; ++q) {
    if (!is_quarter(q)) continue;
    ++quarters;
    if (q == mon) return true;
  }
  return false;
}

// Calendar index of the day month `mon` is listed under the four-month rule.
int four_month_listing(int mon, const std::function<int(int)>& expiry) {
  for (int current = mon - 8; current <= mon; ++current) {
    if (listed_with(mon, current)) return expiry(current - 1) + 1;
  }
  return expiry(mon - 1) + 1;
}

int month_of(Date d) { return int(d.year()) * 12 + int(unsigned(d.month())) - 1; }

double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

}  // namespace

double option_value(const OptionTerms& o, double spot, int index) {
  const double years = std::max(0.5, double(o.expiry - index)) / 244.0;
  const double sigma = o.volatility * std::sqrt(244.0);
  const double sd = sigma * std::sqrt(years);
  const double d1 = (std::log(spot / o.strike) + 0.5 * sd * sd) / sd, d2 = d1 - sd;
  const double call = spot * normal_cdf(d1) - o.strike * normal_cdf(d2);
  return o.put ? call - spot + o.strike : call;
}

void Universe::add_futures(const SimConfig& config) {
  const int first_month = month_of(start_date_);
  const int today_month = month_of(cal().date(std::max(today_index_, 0)));
  for (const FutureSeed& f : kFutures) {
    if (!f.demo && config.scale != Scale::kBench) continue;
    const bool index_future = f.life_months == 0;
    const int inception = listing_index(f.inception);
    auto expiry = [&](int mon) {
      return index_future ? nth_weekday(mon, Friday, 3)
                          : cal().first_on_or_after(month_day(mon / 12, mon % 12 + 1, 15));
    };
    std::vector<std::size_t> added;
    for (int mon = first_month; mon <= today_month + std::max(f.life_months, 8); ++mon) {
      int year = mon / 12, month = mon % 12 + 1;
      if (!f.months[std::size_t(month - 1)]) continue;
      int exp = expiry(mon);
      int listed = std::max(inception, index_future ? four_month_listing(mon, expiry)
                                                    : cal().first_on_or_after(month_day(
                                                          year, month - f.life_months, 16)));
      if (exp < data_start_ || listed > today_index_ || exp >= cal().size() || exp <= inception) {
        continue;
      }
      std::string id = fmt::format("{}{:02d}{:02d}", f.symbol, year % 100, month);
      SimInstrument s;
      s.record = record(id, id, INSTRUMENT_TYPE::FUTURE, f.exchange, dashed(listed), dashed(exp));
      s.record.underlying_symbol = f.symbol;
      s.record.underlying_order_book_id = f.underlying;
      s.session = f.session;
      s.derivative = true;
      s.walk_key = hash_text(f.symbol);
      const std::uint64_t k = mix64(seed_, hash_text(id));
      // Contracts of one underlying share its walk, each at its own small basis.
      s.base_price = f.base_price * (1.0 + 0.02 * normalish(k));
      s.volatility = 0.013;
      s.limit = f.limit;
      s.grid = f.grid;
      s.lot = 1;
      s.multiplier = f.multiplier;
      s.bar_lots = draw(k, 3, 300, 3000);
      s.thin_share =
          f.main[std::size_t(month - 1)] ? draw(k, 4, 0.04, 0.12) : draw(k, 4, 0.003, 0.02);
      if (*f.first_night)
        s.night_from = std::int32_t(
            sys_days(date_of(parse_datetime(f.first_night))).time_since_epoch().count());
      s.gaps.hole_rate = 0.001;
      s.expiry = exp;
      add(std::move(s));
      if (instruments_.back().record.order_book_id == id && f.main[std::size_t(month - 1)]) {
        added.push_back(instruments_.size() - 1);
      }
    }
    // Each main contract dominates from its predecessor's roll to its own, some weeks before
    // expiry (a few days for index futures).
    const int roll = index_future ? 2 : 25;
    int previous_roll = INT_MIN / 2;
    for (std::size_t i : added) {
      SimInstrument& s = instruments_[i];
      int own_roll = delisting_index(s.record.de_listed_date) - roll;
      s.dominant_from = previous_roll + 1;
      s.dominant_to = own_roll;
      previous_roll = own_roll;
    }
  }
}

void Universe::add_options(const SimConfig& config) {
  const bool bench = config.scale == Scale::kBench;
  // Options on AU futures: nine strikes of calls and puts per contract around its price when
  // the options list; they expire 20 trading days before the contract.
  std::vector<const SimInstrument*> gold;
  for (const SimInstrument& s : instruments_) {
    if (s.record.underlying_symbol == "AU" &&
        delisting_index(s.record.de_listed_date) - 20 > std::max(today_index_, data_start_)) {
      gold.push_back(&s);
    }
  }
  if (!bench && gold.size() > 2) gold.resize(2);
  std::vector<SimInstrument> options;
  for (const SimInstrument* u : gold) {
    int expiry = delisting_index(u->record.de_listed_date) - 20;
    // Gold options began trading on 2019-12-20.
    int listed =
        std::max({listing_index(u->record.listed_date), expiry - 120, listing_index("2019-12-20")});
    if (listed >= expiry) continue;
    if (listed > today_index_) continue;
    const double spot = close_price(*u, listed - 1);
    const double interval = spot < 200 ? 2 : spot < 400 ? 4 : 8;
    const int atm = int(std::lround(spot / interval));
    for (int i = -4; i <= 4; ++i) {
      for (char cp : {'C', 'P'}) {
        SimInstrument s;
        int strike = int((atm + i) * interval);
        std::string id = fmt::format("{}{}{}", u->record.order_book_id, cp, strike);
        s.record = record(id, id, INSTRUMENT_TYPE::OPTION, "SHFE", dashed(listed), dashed(expiry));
        s.record.underlying_order_book_id = u->record.order_book_id;
        s.record.underlying_symbol = "AU";
        s.session = u->session;
        s.night_from = u->night_from;
        s.grid = Grid{1, 50, false};
        s.multiplier = 1000;
        s.option = OptionTerms{double(strike), cp == 'P',     u->walk_key,
                               u->base_price,  u->volatility, expiry};
        s.thin_share = std::abs(i) <= 1 ? 1.0 : 0.3 / std::abs(i);
        s.expiry = expiry;
        options.push_back(std::move(s));
      }
    }
  }
  for (SimInstrument& s : options) {
    s.derivative = true;
    s.volatility = 0.04;
    s.limit = 0;
    s.lot = 1;
    s.bar_lots = draw(hash_text(s.record.order_book_id), 3, 10, 100);
    s.trade_rate = std::min(1.0, s.thin_share);
    add(std::move(s));
  }
}

void Universe::add_etf_options(const SimConfig& config) {
  const bool bench = config.scale == Scale::kBench;
  const SimInstrument* etf = find("510050.XSHG");
  if (!etf) return;
  const int today_month = month_of(cal().date(std::max(today_index_, 0)));
  const int first_month = bench ? month_of(start_date_) : today_month;
  auto expiry = [](int mon) { return nth_weekday(mon, Wednesday, 4); };
  const int inception = listing_index("2015-02-09");
  std::vector<SimInstrument> options;
  for (int mon = first_month; mon <= today_month + 8; ++mon) {
    const int exp = expiry(mon);
    const int listed = std::max(inception, four_month_listing(mon, expiry));
    if (exp < data_start_ || listed > today_index_ || listed >= exp || exp < inception) continue;
    const double spot = close_price(*etf, listed - 1);
    const double interval = spot <= 3 ? 0.05 : spot <= 5 ? 0.1 : 0.25;
    const int atm = int(std::lround(spot / interval));
    const int year = mon / 12, month = mon % 12 + 1;
    for (int i = -4; i <= 4; ++i) {
      const double strike = (atm + i) * interval;
      for (int put = 0; put < 2; ++put) {
        const int number = 10000000 + (((year % 100) * 100 + month) * 20 + (i + 4)) * 2 + put;
        std::string id = fmt::format("{:08d}.XSHG", number);
        SimInstrument s;
        s.record = record(
            id,
            fmt::format("50ETF{}{}月{}", put ? "沽" : "购", month, int(std::lround(strike * 1000))),
            INSTRUMENT_TYPE::OPTION, "XSHG", dashed(listed), dashed(exp));
        s.record.underlying_order_book_id = "510050.XSHG";
        s.record.underlying_symbol = "510050.XSHG";
        s.grid = kOptionGrid;
        s.multiplier = 10000;
        s.option =
            OptionTerms{strike, put == 1, etf->walk_key, etf->base_price, etf->volatility, exp};
        s.derivative = true;
        s.volatility = 0.04;
        s.limit = 0;
        s.lot = 1;
        s.bar_lots = draw(hash_text(id), 3, 20, 400) / (1 + std::abs(i));
        s.trade_rate = std::abs(i) <= 2 ? 1.0 : 0.5;
        s.expiry = exp;
        options.push_back(std::move(s));
      }
    }
  }
  for (SimInstrument& s : options) add(std::move(s));
}

}  // namespace tessera_plus::tallow::sim
