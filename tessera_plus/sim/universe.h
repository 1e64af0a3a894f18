// The instruments of the simulated market and the parameters their prices are drawn with.
//
// Every INSTRUMENT_TYPE is present: stocks on XSHE/XSHG (some de-listed, three before 2005, one
// re-used id, some listed in the last weeks, one often suspended), Beijing-exchange stocks
// (exchange "BJSE", listed by the tables only while the client's switch is on), Hong Kong stocks
// (ids ending ".XHKG", market "hk"), ETFs, LOFs, indexes, REITs, convertible bonds (with
// `stock_code`), futures contracts of several underlyings (IF on 000300.XSHG without a night
// session; RB, AU and more with night sessions) and options on AU futures and on 510050.XSHG.
//
// Particular ids every scale has:
//   000002.XSHE  suspended on about one trading day in twelve
//   601313.XSHG  `instruments` answers a list of two records: the current holder of the id and
//                an earlier one de-listed on 2018-02-27 (the id was re-used)
//   000003.XSHE  de-listed 2002-06-14 and 000013.XSHE de-listed 2004-09-20, before the simulated
//                data begins; 600001.XSHG de-listed 2009-12-29
//   301999.XSHE  listed 15 trading days before today
//   000005.XSHE  de-listed 10 trading days before today
//
// A universe depends on the configuration and on today's date, which decides the futures and
// option contracts in existence and the dates that are relative to today.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tessera_plus/market/types.h"
#include "tessera_plus/sim/config.h"
#include "tessera_plus/sim/sessions.h"

namespace tessera_plus::tallow::sim {

struct SimInstrument {
  Instrument record;
  std::optional<Instrument> earlier_holder;  // a de-listed instrument that used the same id
  SessionKind session = SessionKind::kEquity;
  std::uint64_t key = 0;       // seeds everything drawn for this instrument's days
  std::uint64_t walk_key = 0;  // seeds its daily closes (shared by an underlying's contracts)
  // Calendar indexes of the first and last trading day with data; first > last for none.
  int first = 0, last = -1;
  double base_price = 10.0;    // price level at calendar index 0
  double volatility = 0.02;    // daily, of the log price
  double limit = 0.10;         // daily price limit as a fraction of the previous close
  double multiplier = 1.0;     // contract multiplier (turnover = price * volume * multiplier)
  std::int64_t lot = 100;      // volumes are multiples of this
  double bar_lots = 200;       // mean lots per one-minute bar
  double suspension_rate = 0;  // probability that a trading day is suspended
  bool derivative = false;     // has open interest
  bool trading_date = true;    // minute tables carry `trading_date`
  bool hk = false;
  bool bjse = false;
};

class Universe {
 public:
  Universe(const SimConfig& config, tessera::Date today);

  const std::vector<SimInstrument>& all() const { return instruments_; }
  // nullptr for an unknown id.
  const SimInstrument* find(std::string_view order_book_id) const;
  // Calendar index of the last trading day on or before today.
  int today_index() const { return today_index_; }

 private:
  void add(SimInstrument ins);
  void add_stocks(const SimConfig& config);
  void add_funds_and_indexes(const SimConfig& config);
  void add_futures(const SimConfig& config);
  void add_options(const SimConfig& config);
  // Text of a date relative to today: "T-15" is 15 trading days before today.
  std::string resolve(const std::string& text) const;

  std::uint64_t seed_;
  bool trading_date_;
  int today_index_ = -1;
  int data_start_ = 0;
  std::vector<SimInstrument> instruments_;
  std::unordered_map<std::string, std::size_t> by_id_;
};

// Whether an instrument is suspended on trading day `index` (only stocks ever are).
bool is_suspended_on(const SimInstrument& ins, int index);
// Whether the instrument trades on day `index`: within its data range and not suspended.
bool trades_on(const SimInstrument& ins, int index);

}  // namespace tessera_plus::tallow::sim
