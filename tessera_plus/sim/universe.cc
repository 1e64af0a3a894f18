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
#include "tessera_plus/sim/universe_util.h"

namespace tessera_plus::tallow::sim {
namespace {

using namespace std::chrono;

const TradingCalendar& cal() { return TradingCalendar::instance(); }

// Price, grid, limit and volume parameters by instrument type; futures and options set theirs in
// contracts.cc.
void set_defaults(SimInstrument& s) {
  const std::string& type = s.record.type;
  const std::string& id = s.record.order_book_id;
  std::uint64_t k = s.key;
  if (type == INSTRUMENT_TYPE::CS) {
    s.base_price = s.hk ? draw(k, 1, 5, 400) : draw(k, 1, 3, 60);
    s.volatility = draw(k, 2, 0.018, 0.03);
    s.bar_lots = draw(k, 3, 50, 2000);
    if (s.hk) {
      s.grid = kHongKongGrid;
      s.limit = 0;  // Hong Kong has no daily limits
    } else {
      s.board = s.bjse                                           ? Board::kBjse
                : id.starts_with("688")                          ? Board::kStar
                : id.starts_with("300") || id.starts_with("301") ? Board::kChiNext
                                                                 : Board::kMain;
      s.lock_rate = s.st ? 0.03 : 0.008;
    }
  } else if (type == INSTRUMENT_TYPE::ETF || type == INSTRUMENT_TYPE::LOF) {
    s.base_price = draw(k, 1, 0.8, 5);
    s.volatility = 0.012;
    s.grid = kMilliGrid;
    s.bar_lots = type == INSTRUMENT_TYPE::ETF ? draw(k, 3, 1000, 20000) : draw(k, 3, 2, 40);
    if (type == INSTRUMENT_TYPE::LOF) s.trade_rate = draw(k, 4, 0.05, 0.4);
    s.gaps.hole_rate = 0.002;
  } else if (type == INSTRUMENT_TYPE::INDX) {
    s.base_price = draw(k, 1, 1000, 5000);
    s.volatility = 0.012;
    s.limit = 0;
    s.bar_lots = draw(k, 3, 2e5, 1e6);
    s.share_price = draw(k, 4, 8, 25);
  } else if (type == INSTRUMENT_TYPE::REITs) {
    s.base_price = draw(k, 1, 2, 8);
    s.volatility = 0.008;
    s.grid = kMilliGrid;
    s.bar_lots = draw(k, 3, 5, 100);
    s.trade_rate = draw(k, 4, 0.2, 0.7);
  } else if (type == INSTRUMENT_TYPE::CONVERTIBLE) {
    s.base_price = draw(k, 1, 100, 130);
    s.volatility = 0.01;
    s.grid = kMilliGrid;
    s.limit = 0.2;
    s.lot = 10;
    s.bar_lots = draw(k, 3, 100, 1000);
    s.trade_rate = draw(k, 4, 0.6, 1.0);
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

}  // namespace

Universe::Universe(const SimConfig& config, Date today)
    : seed_(config.seed), trading_date_(config.equity_trading_date), pad_halts_(config.pad_halts) {
  today_index_ = cal().last_on_or_before(today);
  data_start_ = config.history_days > 0
                    ? std::max(0, today_index_ - config.history_days + 1)
                    : cal().first_on_or_after(date_from_number(config.history_start));
  start_date_ = cal().date(std::min(data_start_, cal().size() - 1));
  add_stocks(config);
  add_funds_and_indexes(config);
  add_futures(config);
  add_options(config);
  add_etf_options(config);
}

std::uint64_t Universe::key_of(std::string_view id) const { return mix64(seed_, hash_text(id)); }

const SimInstrument* Universe::find(std::string_view order_book_id) const {
  auto it = by_id_.find(std::string(order_book_id));
  return it == by_id_.end() ? nullptr : &instruments_[it->second];
}

void Universe::add(SimInstrument s) {
  if (by_id_.contains(s.record.order_book_id)) return;
  s.key = key_of(s.record.order_book_id);
  s.walk_key = s.walk_key == 0 ? s.key : mix64(seed_, s.walk_key);
  if (s.hk) s.calendar = &TradingCalendar::hong_kong();
  s.pad_halts = pad_halts_;
  if (!s.derivative) set_defaults(s);
  s.trading_date = s.record.type != INSTRUMENT_TYPE::INDX && (trading_date_ || s.derivative);
  const TradingCalendar& c = *s.calendar;
  int first =
      listing_index(c, s.earlier_holder ? s.earlier_holder->listed_date : s.record.listed_date);
  s.listed = listing_index(c, s.record.listed_date);
  int last = delisting_index(c, s.record.de_listed_date);
  s.first = std::max(first, c.first_on_or_after(start_date_));
  s.last = std::min(last, c.last_on_or_before(cal().date(std::max(today_index_, 0))));
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
    if (id == "000002.XSHE") {
      // Now and then a few days, and the half year of 2015-12-18 to 2016-07-01.
      s.gaps.block_rate = 0.6;
      s.gaps.fixed_blocks.emplace_back(listing_index("2015-12-18"), delisting_index("2016-07-01"));
    }
    if (id == "601318.XSHG") s.gaps.fixed_blocks.emplace_back(today_index_ - 24, INT_MAX);
    if (id == "300750.XSHE") {
      s.gaps.halt_rate = 0.03;
      s.gaps.hole_rate = 0.02;
    }
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
    s.st = unit(mix64(k, 16)) < 0.05;
    s.record = record(id, fmt::format("{}股票{}", s.st ? "ST" : "", id.substr(0, 6)),
                      INSTRUMENT_TYPE::CS, sh ? "XSHG" : "XSHE", listed_text, de_listed);
    s.gaps.block_rate = unit(mix64(k, 15)) < 0.3 ? 0.12 : 0.03;
    s.gaps.halt_rate = 0.002;
    s.gaps.hole_rate = 0.002;
    if (unit(mix64(k, 17)) < 0.45) {
      // July 2015: stocks stopped trading in their hundreds from the 6th to the 9th.
      s.gaps.mass_from = listing_index("2015-07-06") + int(draw(k, 18, 0, 4));
      s.gaps.mass_length = 1 + int(std::pow(draw(k, 19, 0, 1), 2) * 60);
    }
    add(std::move(s));
    SimInstrument& added = instruments_.back();
    if (added.record.order_book_id == id && unit(mix64(k, 20)) < 0.17) {
      added.trade_rate = draw(k, 21, 0.03, 0.3);  // an illiquid name
      added.bar_lots = draw(k, 22, 3, 30);
    }
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
    s.record.exchange = "XHKG";
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
  static constexpr std::array<FundSeed, 16> kFunds = {{
      {"510050.XSHG", "50ETF", INSTRUMENT_TYPE::ETF, "2005-02-23", ""},
      {"510300.XSHG", "300ETF", INSTRUMENT_TYPE::ETF, "2012-05-28", ""},
      {"159919.XSHE", "300ETF", INSTRUMENT_TYPE::ETF, "2012-05-28", ""},
      {"161005.XSHE", "富国天惠", INSTRUMENT_TYPE::LOF, "2005-11-16", ""},
      {"501018.XSHG", "南方原油", INSTRUMENT_TYPE::LOF, "2016-06-29", ""},
      {"000300.XSHG", "沪深300", INSTRUMENT_TYPE::INDX, "2005-04-08", ""},
      {"000001.XSHG", "上证指数", INSTRUMENT_TYPE::INDX, "1991-07-15", ""},
      {"399001.XSHE", "深证成指", INSTRUMENT_TYPE::INDX, "1995-01-23", ""},
      {"000905.XSHG", "中证500", INSTRUMENT_TYPE::INDX, "2007-01-15", ""},
      {"000016.XSHG", "上证50", INSTRUMENT_TYPE::INDX, "2004-01-02", ""},
      {"000852.XSHG", "中证1000", INSTRUMENT_TYPE::INDX, "2014-10-17", ""},
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

}  // namespace tessera_plus::tallow::sim
