#include "tessera_plus/sim/universe.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>

#include <fmt/format.h>

#include "tessera_plus/base/instrument_type.h"
#include "tessera_plus/sim/calendar.h"
#include "tessera_plus/sim/prices.h"
#include "tessera_plus/sim/random.h"

namespace tessera_plus::tallow::sim {
namespace {

using tessera::INSTRUMENT_TYPE;
using namespace std::chrono;

constexpr std::string_view kListed = "0000-00-00";

const TradingCalendar& cal() { return TradingCalendar::instance(); }

std::string dashed(int index) { return tessera::format_dashed(cal().date(index)); }

// Calendar index of a listing date text: 0 before the calendar begins.
int listing_index(const std::string& text) {
  return cal().first_on_or_after(tessera::date_of(tessera::parse_datetime(text)));
}

// Calendar index of the last trading day on or before a de-listing date text.
int delisting_index(const std::string& text) {
  if (text == kListed) return INT_MAX;
  return cal().last_on_or_before(tessera::date_of(tessera::parse_datetime(text)));
}

// Uniform in [low, high) from a key and a purpose.
double draw(std::uint64_t key, std::uint64_t purpose, double low, double high) {
  return low + (high - low) * unit(mix64(key, purpose));
}

Instrument record(std::string id, std::string symbol, std::string_view type, std::string exchange,
                  std::string listed, std::string de_listed = std::string(kListed)) {
  Instrument r;
  r.order_book_id = std::move(id);
  r.symbol = std::move(symbol);
  r.type = std::string(type);
  r.exchange = std::move(exchange);
  r.listed_date = std::move(listed);
  r.de_listed_date = std::move(de_listed);
  return r;
}

// Price and volume parameters by instrument type; futures and options set theirs on top.
void set_defaults(SimInstrument& s) {
  const std::string& type = s.record.type;
  std::uint64_t k = s.key;
  if (type == INSTRUMENT_TYPE::CS) {
    s.base_price = s.hk ? draw(k, 1, 5, 400) : draw(k, 1, 3, 60);
    s.volatility = draw(k, 2, 0.018, 0.03);
    s.limit = s.hk ? 0.5 : s.bjse ? 0.3 : 0.1;
    s.bar_lots = draw(k, 3, 50, 2000);
  } else if (type == INSTRUMENT_TYPE::ETF || type == INSTRUMENT_TYPE::LOF) {
    s.base_price = draw(k, 1, 0.8, 5);
    s.volatility = 0.012;
    s.bar_lots = type == INSTRUMENT_TYPE::ETF ? draw(k, 3, 1000, 20000) : draw(k, 3, 10, 200);
  } else if (type == INSTRUMENT_TYPE::INDX) {
    s.base_price = draw(k, 1, 1000, 5000);
    s.volatility = 0.012;
    s.limit = 0.2;
    s.bar_lots = draw(k, 3, 1e5, 1e6);
  } else if (type == INSTRUMENT_TYPE::REITs) {
    s.base_price = draw(k, 1, 2, 8);
    s.volatility = 0.008;
    s.bar_lots = draw(k, 3, 50, 500);
  } else if (type == INSTRUMENT_TYPE::CONVERTIBLE) {
    s.base_price = draw(k, 1, 100, 130);
    s.volatility = 0.01;
    s.limit = 0.2;
    s.lot = 10;
    s.bar_lots = draw(k, 3, 100, 1000);
  }
}

struct StockSeed {
  const char* id;
  const char* symbol;
  const char* listed;
  const char* de_listed;
};

// The named stocks every scale starts with; "T-15" and "T-10" are trading days before today.
constexpr std::array<StockSeed, 14> kNamedStocks = {{
    {"000001.XSHE", "平安银行", "1991-04-03", "0000-00-00"},
    {"000002.XSHE", "万科A", "1991-01-29", "0000-00-00"},
    {"600000.XSHG", "浦发银行", "1999-11-10", "0000-00-00"},
    {"600519.XSHG", "贵州茅台", "2001-08-27", "0000-00-00"},
    {"601318.XSHG", "中国平安", "2007-03-01", "0000-00-00"},
    {"000858.XSHE", "五粮液", "1998-04-27", "0000-00-00"},
    {"300750.XSHE", "宁德时代", "2018-06-11", "0000-00-00"},
    {"688981.XSHG", "中芯国际", "2020-07-16", "0000-00-00"},
    {"601313.XSHG", "三六零", "2018-02-28", "0000-00-00"},
    {"000003.XSHE", "PT金田A", "1991-07-03", "2002-06-14"},
    {"000013.XSHE", "深石化A", "1992-05-06", "2004-09-20"},
    {"600001.XSHG", "邯郸钢铁", "1998-01-22", "2009-12-29"},
    {"301999.XSHE", "新上市", "T-15", "0000-00-00"},
    {"000005.XSHE", "世纪星源", "1990-12-10", "T-10"},
}};

struct FutureSeed {
  const char* symbol;
  const char* exchange;
  const char* underlying;  // index for index futures
  SessionKind session;
  const char* inception;
  std::array<bool, 12> months;
  int life_months;
  double base_price, multiplier;
  bool demo;
};

constexpr std::array<bool, 12> kAllMonths = {true, true, true, true, true, true,
                                             true, true, true, true, true, true};
constexpr std::array<FutureSeed, 7> kFutures = {{
    {"IF", "CFFEX", "000300.XSHG", SessionKind::kEquity, "2010-04-16", kAllMonths, 6, 3500, 300,
     true},
    {"RB",
     "SHFE",
     "",
     SessionKind::kNight2300,
     "2009-03-27",
     {true, false, false, false, true, false, false, false, false, true, false, false},
     12,
     3800,
     10,
     true},
    {"AU",
     "SHFE",
     "",
     SessionKind::kNight0230,
     "2008-01-09",
     {false, true, false, true, false, true, false, true, false, true, false, true},
     12,
     400,
     1000,
     true},
    {"IC", "CFFEX", "000905.XSHG", SessionKind::kEquity, "2015-04-16", kAllMonths, 6, 6000, 200,
     false},
    {"CU", "SHFE", "", SessionKind::kNight0100, "2005-01-04", kAllMonths, 12, 50000, 5, false},
    {"M",
     "DCE",
     "",
     SessionKind::kNight2300,
     "2005-01-04",
     {true, false, true, false, true, false, true, true, true, false, true, true},
     12,
     3000,
     10,
     false},
    {"JD", "DCE", "", SessionKind::kCommodity, "2013-11-08", kAllMonths, 12, 4000, 10, false},
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

}  // namespace

Universe::Universe(const SimConfig& config, tessera::Date today)
    : seed_(config.seed), trading_date_(config.equity_trading_date) {
  today_index_ = cal().last_on_or_before(today);
  data_start_ = config.history_days > 0 ? std::max(0, today_index_ - config.history_days + 1) : 0;
  add_stocks(config);
  add_funds_and_indexes(config);
  add_futures(config);
  add_options(config);
}

const SimInstrument* Universe::find(std::string_view order_book_id) const {
  auto it = by_id_.find(std::string(order_book_id));
  return it == by_id_.end() ? nullptr : &instruments_[it->second];
}

void Universe::add(SimInstrument s) {
  if (by_id_.contains(s.record.order_book_id)) return;
  s.key = mix64(seed_, hash_text(s.record.order_book_id));
  s.walk_key = s.walk_key == 0 ? s.key : mix64(seed_, s.walk_key);
  if (!s.derivative) set_defaults(s);
  s.trading_date = s.record.type != INSTRUMENT_TYPE::INDX && (trading_date_ || s.derivative);
  int first =
      listing_index(s.earlier_holder ? s.earlier_holder->listed_date : s.record.listed_date);
  int last = delisting_index(s.record.de_listed_date);
  s.first = std::max(first, data_start_);
  s.last = std::min(last, today_index_);
  by_id_.emplace(s.record.order_book_id, instruments_.size());
  instruments_.push_back(std::move(s));
}

std::string Universe::resolve(const std::string& text) const {
  if (!text.starts_with("T-")) return text;
  return dashed(std::max(0, today_index_ - std::stoi(text.substr(2))));
}

void Universe::add_stocks(const SimConfig& config) {
  const int named = std::min<int>(config.stocks, int(kNamedStocks.size()));
  for (int i = 0; i < named; ++i) {
    const StockSeed& seed = kNamedStocks[std::size_t(i)];
    std::string id = seed.id;
    SimInstrument s;
    s.record = record(id, seed.symbol, INSTRUMENT_TYPE::CS, id.ends_with("XSHG") ? "XSHG" : "XSHE",
                      resolve(seed.listed), resolve(seed.de_listed));
    if (id == "000002.XSHE") s.suspension_rate = 1.0 / 12;
    if (id == "601313.XSHG") {
      s.earlier_holder =
          record(id, "江南嘉捷", INSTRUMENT_TYPE::CS, "XSHG", "2012-01-19", "2018-02-27");
    }
    add(std::move(s));
  }
  // Generated stocks alternate between Shanghai (600000 on) and Shenzhen (000006 on).
  for (int n = 0; int(instruments_.size()) < config.stocks; ++n) {
    bool sh = n % 2 == 0;
    std::string id =
        sh ? fmt::format("{:06d}.XSHG", 600002 + n / 2) : fmt::format("{:06d}.XSHE", 6 + n / 2);
    std::uint64_t k = mix64(seed_, hash_text(id));
    int listed = unit(mix64(k, 10)) < 0.6 ? 0 : int(draw(k, 11, 0, std::max(1, today_index_ - 30)));
    std::string listed_text =
        listed == 0 ? fmt::format("{}-06-01", 1993 + int(draw(k, 12, 0, 11))) : dashed(listed);
    std::string de_listed(kListed);
    if (unit(mix64(k, 13)) < 0.03) {
      int from = std::max(listed, 0) + 20;
      int until = int(draw(k, 14, from, std::max(from + 1, today_index_)));
      de_listed = until >= today_index_ ? std::string(kListed) : dashed(until);
    }
    SimInstrument s;
    s.record = record(id, fmt::format("股票{}", id.substr(0, 6)), INSTRUMENT_TYPE::CS,
                      sh ? "XSHG" : "XSHE", listed_text, de_listed);
    s.suspension_rate = unit(mix64(k, 15)) < 0.1 ? 0.01 : 0.0;
    add(std::move(s));
  }

  const bool bench = config.scale == Scale::kBench;
  const int bjse = bench ? 100 : 3, hk = bench ? 100 : 3;
  constexpr std::array<const char*, 3> kBjse = {"430047.BJSE", "830799.BJSE", "832000.BJSE"};
  for (int i = 0; i < bjse; ++i) {
    std::string id = i < 3 ? kBjse[std::size_t(i)] : fmt::format("{:06d}.BJSE", 870000 + i);
    SimInstrument s;
    s.record = record(id, fmt::format("北交所{}", id.substr(0, 6)), INSTRUMENT_TYPE::CS, "BJSE",
                      "2021-11-15");
    s.bjse = true;
    add(std::move(s));
  }
  constexpr std::array<StockSeed, 3> kHk = {{{"00700.XHKG", "腾讯控股", "2004-06-16", ""},
                                             {"00005.XHKG", "汇丰控股", "1991-01-02", ""},
                                             {"09988.XHKG", "阿里巴巴-SW", "2019-11-26", ""}}};
  for (int i = 0; i < hk; ++i) {
    std::string id = i < 3 ? kHk[std::size_t(i)].id : fmt::format("{:05d}.XHKG", 1000 + i);
    SimInstrument s;
    s.record =
        record(id, i < 3 ? kHk[std::size_t(i)].symbol : fmt::format("港股{}", id.substr(0, 5)),
               INSTRUMENT_TYPE::CS, "XHKG", i < 3 ? kHk[std::size_t(i)].listed : "2000-01-03");
    s.session = SessionKind::kHongKong;
    s.hk = true;
    add(std::move(s));
  }
}

void Universe::add_funds_and_indexes(const SimConfig& config) {
  struct FundSeed {
    const char* id;
    const char* symbol;
    std::string_view type;
    const char* listed;
    const char* stock_code;
  };
  static constexpr std::array<FundSeed, 14> kFunds = {{
      {"510050.XSHG", "50ETF", INSTRUMENT_TYPE::ETF, "2005-02-23", ""},
      {"510300.XSHG", "300ETF", INSTRUMENT_TYPE::ETF, "2012-05-28", ""},
      {"159919.XSHE", "300ETF", INSTRUMENT_TYPE::ETF, "2012-05-28", ""},
      {"161005.XSHE", "富国天惠", INSTRUMENT_TYPE::LOF, "2005-11-16", ""},
      {"501018.XSHG", "南方原油", INSTRUMENT_TYPE::LOF, "2016-06-29", ""},
      {"000300.XSHG", "沪深300", INSTRUMENT_TYPE::INDX, "2005-04-08", ""},
      {"000001.XSHG", "上证指数", INSTRUMENT_TYPE::INDX, "1991-07-15", ""},
      {"399001.XSHE", "深证成指", INSTRUMENT_TYPE::INDX, "1995-01-23", ""},
      {"000905.XSHG", "中证500", INSTRUMENT_TYPE::INDX, "2007-01-15", ""},
      {"508000.XSHG", "华安张江REIT", INSTRUMENT_TYPE::REITs, "2021-06-21", ""},
      {"180101.XSHE", "博时蛇口REIT", INSTRUMENT_TYPE::REITs, "2021-06-21", ""},
      {"110059.XSHG", "浦发转债", INSTRUMENT_TYPE::CONVERTIBLE, "2019-11-15", "600000.XSHG"},
      {"127099.XSHE", "万科转债", INSTRUMENT_TYPE::CONVERTIBLE, "2023-03-20", "000002.XSHE"},
      {"113051.XSHG", "平安转债", INSTRUMENT_TYPE::CONVERTIBLE, "2020-01-10", "601318.XSHG"},
  }};
  for (const FundSeed& f : kFunds) {
    std::string id = f.id;
    SimInstrument s;
    s.record = record(id, f.symbol, f.type, id.ends_with("XSHG") ? "XSHG" : "XSHE", f.listed);
    s.record.stock_code = f.stock_code;
    add(std::move(s));
  }
  if (config.scale != Scale::kBench) return;
  // More funds, and a convertible bond on every tenth generated stock that is still listed.
  for (int i = 0; i < 100; ++i) {
    std::string id = fmt::format("{:06d}.XSHG", 510500 + i * 10);
    SimInstrument s;
    s.record = record(id, fmt::format("ETF{}", i), INSTRUMENT_TYPE::ETF, "XSHG", "2015-01-05");
    add(std::move(s));
  }
  for (int i = 0; i < 50; ++i) {
    std::string id = fmt::format("{:06d}.XSHE", 160100 + i * 3);
    SimInstrument s;
    s.record = record(id, fmt::format("LOF{}", i), INSTRUMENT_TYPE::LOF, "XSHE", "2010-01-04");
    add(std::move(s));
  }
  std::vector<std::string> stocks;
  for (const SimInstrument& s : instruments_) {
    if (s.record.type == INSTRUMENT_TYPE::CS && !s.hk && !s.bjse &&
        s.record.de_listed_date == kListed) {
      stocks.push_back(s.record.order_book_id);
    }
  }
  for (std::size_t i = 0; i < stocks.size(); i += 10) {
    bool sh = stocks[i].ends_with("XSHG");
    std::string id =
        fmt::format("{:06d}.{}", (sh ? 113100 : 128100) + i / 10, sh ? "XSHG" : "XSHE");
    SimInstrument s;
    s.record = record(id, fmt::format("转债{}", i / 10), INSTRUMENT_TYPE::CONVERTIBLE,
                      sh ? "XSHG" : "XSHE", "2018-01-02");
    s.record.stock_code = stocks[i];
    add(std::move(s));
  }
}

void Universe::add_futures(const SimConfig& config) {
  const Date data_start = cal().date(data_start_);
  const Date today = cal().date(std::max(today_index_, 0));
  const int first_month = int(data_start.year()) * 12 + int(unsigned(data_start.month())) - 1;
  const int today_month = int(today.year()) * 12 + int(unsigned(today.month())) - 1;
  for (const FutureSeed& f : kFutures) {
    if (!f.demo && config.scale != Scale::kBench) continue;
    const int inception = listing_index(f.inception);
    for (int m = first_month; m <= today_month + f.life_months; ++m) {
      int year = m / 12, month = m % 12 + 1;
      if (!f.months[std::size_t(month - 1)]) continue;
      int expiry = cal().first_on_or_after(month_day(year, month, 15));
      int listed =
          std::max(inception, cal().first_on_or_after(month_day(year, month - f.life_months, 16)));
      if (expiry < data_start_ || listed > today_index_ || expiry >= cal().size() ||
          expiry <= inception) {
        continue;
      }
      std::string id = fmt::format("{}{:02d}{:02d}", f.symbol, year % 100, month);
      SimInstrument s;
      s.record = record(id, fmt::format("{}{:02d}{:02d}", f.symbol, year % 100, month),
                        INSTRUMENT_TYPE::FUTURE, f.exchange, dashed(listed), dashed(expiry));
      s.record.underlying_symbol = f.symbol;
      s.record.underlying_order_book_id = f.underlying;
      s.session = f.session;
      s.derivative = true;
      s.walk_key = hash_text(f.symbol);
      std::uint64_t k = hash_text(id);
      // Contracts of one underlying share its walk, each at its own small basis.
      s.base_price = f.base_price * (1.0 + 0.02 * normalish(mix64(seed_, k)));
      s.volatility = 0.013;
      s.limit = 0.07;
      s.lot = 1;
      s.multiplier = f.multiplier;
      s.bar_lots = draw(mix64(seed_, k), 3, 100, 1000);
      add(std::move(s));
    }
  }
}

void Universe::add_options(const SimConfig& config) {
  const bool bench = config.scale == Scale::kBench;
  // Options on AU futures: a call and a put per contract, struck near the contract's price when
  // the options list; they expire 20 trading days before the contract.
  std::vector<const SimInstrument*> gold;
  for (const SimInstrument& s : instruments_) {
    if (s.record.underlying_symbol == "AU" &&
        delisting_index(s.record.de_listed_date) - 20 > today_index_) {
      gold.push_back(&s);
    }
  }
  if (!bench && gold.size() > 2) gold.resize(2);
  std::vector<SimInstrument> options;
  for (const SimInstrument* u : gold) {
    int expiry = delisting_index(u->record.de_listed_date) - 20;
    int listed = std::max(listing_index(u->record.listed_date), expiry - 120);
    if (listed > today_index_) continue;
    int strike = int(std::lround(close_price(*u, listed) / 8.0)) * 8;
    for (char cp : {'C', 'P'}) {
      SimInstrument s;
      std::string id = fmt::format("{}{}{}", u->record.order_book_id, cp, strike);
      s.record = record(id, id, INSTRUMENT_TYPE::OPTION, "SHFE", dashed(listed), dashed(expiry));
      s.record.underlying_order_book_id = u->record.order_book_id;
      s.record.underlying_symbol = "AU";
      s.session = u->session;
      s.base_price = close_price(*u, listed) * draw(hash_text(id), 1, 0.02, 0.05);
      s.multiplier = 1000;
      options.push_back(std::move(s));
    }
  }
  // Options on 510050.XSHG, monthly: expiry on the first trading day from the 22nd, listed 60
  // trading days earlier.
  const Date today = cal().date(std::max(today_index_, 0));
  const int today_month = int(today.year()) * 12 + int(unsigned(today.month())) - 1;
  const int months = bench ? 240 : 2;
  for (int m = today_month - (bench ? months : 0); m <= today_month + 1; ++m) {
    int year = m / 12, month = m % 12 + 1;
    int expiry = cal().first_on_or_after(month_day(year, month, 22));
    int listed = std::max(listing_index("2015-02-09"), expiry - 60);
    if (expiry < data_start_ || listed > today_index_ || listed >= expiry) continue;
    for (int put = 0; put < 2; ++put) {
      SimInstrument s;
      std::string id =
          fmt::format("{:08d}.XSHG", 10000000 + ((year % 100) * 100 + month) * 10 + put);
      s.record =
          record(id, fmt::format("50ETF{}{:02d}{:02d}", put ? "沽" : "购", year % 100, month),
                 INSTRUMENT_TYPE::OPTION, "XSHG", dashed(listed), dashed(expiry));
      s.record.underlying_order_book_id = "510050.XSHG";
      s.record.underlying_symbol = "510050.XSHG";
      s.base_price = draw(hash_text(id), 1, 0.05, 0.3);
      s.multiplier = 10000;
      options.push_back(std::move(s));
    }
  }
  for (SimInstrument& s : options) {
    s.derivative = true;
    s.volatility = 0.04;
    s.limit = 0.5;
    s.lot = 1;
    s.bar_lots = draw(hash_text(s.record.order_book_id), 3, 10, 100);
    add(std::move(s));
  }
}

bool is_suspended_on(const SimInstrument& ins, int index) {
  return ins.suspension_rate > 0 &&
         unit(mix64(ins.key, std::uint64_t(index), 0x5057)) < ins.suspension_rate;
}

bool trades_on(const SimInstrument& ins, int index) {
  return index >= ins.first && index <= ins.last && !is_suspended_on(ins, index);
}

}  // namespace tessera_plus::tallow::sim
