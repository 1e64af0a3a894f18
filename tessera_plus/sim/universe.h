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
//   000002.XSHE  suspended in short blocks now and then, and from 2015-12-18 to 2016-07-01
//   600145.XSHG  suspended since 25 trading days before today (a block past the end)
//   600519.XSHG  halted for part of a day now and then; 000001.XSHE has vendor holes
//   601313.XSHG  `instruments` answers a list of two records: the current holder of the id and
//                an earlier one de-listed on 2018-02-27 (the id was re-used)
//   000003.XSHE  de-listed 2002-06-14 and 000013.XSHE de-listed 2004-09-20, before the simulated
//                data begins; 600001.XSHG de-listed 2009-12-29
//   301999.XSHE  listed 15 trading days before today
//   000005.XSHE  de-listed 10 trading days before today
//
// About one generated stock in six is illiquid (long runs of minutes without a trade), one in
// twenty is ST (5% limits); STAR (688) and ChiNext (300, 301) stocks have their boards' limits,
// and new listings their boards' first-day rules.
//
// A universe depends on the configuration and on today's date, which decides the futures and
// option contracts in existence and the dates that are relative to today.
#pragma once

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tessera_plus/market/types.h"
#include "tessera_plus/sim/calendar.h"
#include "tessera_plus/sim/config.h"
#include "tessera_plus/sim/gaps.h"
#include "tessera_plus/sim/grid.h"
#include "tessera_plus/sim/sessions.h"

namespace tessera_plus::tallow::sim {

enum class Board : std::uint8_t { kNone, kMain, kChiNext, kStar, kBjse };

struct GapModel {
  double block_rate = 0;  // probability that a 64-day segment starts a suspension block
  std::vector<std::pair<int, int>> fixed_blocks;  // calendar index ranges, both ends included
  int mass_from = 0, mass_length = 0;             // the July 2015 mass suspension
  double halt_rate = 0;                           // probability of a halt on a trading day
  double hole_rate = 0;                           // probability of a vendor hole on a trading day
};

// For an option: what it is priced from.
struct OptionTerms {
  double strike = 0;  // 0 for an instrument that is not an option
  bool put = false;
  std::uint64_t walk_key = 0;  // the underlying's
  double base_price = 0, volatility = 0;
  int expiry = 0;  // calendar index
};

struct SimInstrument {
  Instrument record;
  std::optional<Instrument> earlier_holder;  // a de-listed instrument that used the same id
  SessionKind session = SessionKind::kEquity;
  const TradingCalendar* calendar = &TradingCalendar::instance();
  std::uint64_t key = 0;       // seeds everything drawn for this instrument's days
  std::uint64_t walk_key = 0;  // seeds its daily closes (shared by an underlying's contracts)
  // Calendar indexes of the first and last trading day with data; first > last for none.
  int first = 0, last = -1;
  int listed = 0;                       // calendar index of the listing day
  std::int32_t night_from = INT32_MAX;  // first evening of night trading (days since 1970)
  double base_price = 10.0;             // price level at calendar index 0
  double volatility = 0.02;             // daily, of the log price
  Grid grid = kCentGrid;
  double limit = 0.10;  // daily price limit as a fraction of the previous close; 0: none
  Board board = Board::kNone;
  bool st = false;
  double lock_rate = 0;     // probability that a day ends locked at a limit
  double multiplier = 1.0;  // contract multiplier (turnover = price * volume * multiplier)
  double share_price = 0;   // an index's mean constituent price (turnover = volume * it)
  std::int64_t lot = 100;   // volumes are multiples of this
  double bar_lots = 200;    // mean lots per one-minute bar
  double trade_rate = 1.0;  // long-run share of minutes with a trade
  // A future's weight in its underlying's volume: 1 while it is the dominant contract (calendar
  // indexes [dominant_from, dominant_to]), a small share otherwise.
  int dominant_from = 0, dominant_to = INT32_MAX / 2;
  double thin_share = 1.0;
  int expiry = INT32_MAX / 2;  // calendar index of a derivative's last day
  GapModel gaps;
  bool pad_halts = true;  // a halt's minutes are flat bars instead of missing
  OptionTerms option;
  bool derivative = false;   // has open interest
  bool trading_date = true;  // minute tables carry `trading_date`
  bool hk = false;
  bool bjse = false;
};

class Universe {
 public:
  Universe(const SimConfig& config, Date today);

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
  void add_etf_options(const SimConfig& config);
  // Text of a date relative to today: "T-15" is 15 trading days before today.
  std::string resolve(const std::string& text) const;
  std::uint64_t key_of(std::string_view id) const;

  std::uint64_t seed_;
  bool trading_date_;
  bool pad_halts_;
  int today_index_ = -1;
  int data_start_ = 0;  // mainland calendar index of the first day with data
  Date start_date_{};
  std::vector<SimInstrument> instruments_;
  std::unordered_map<std::string, std::size_t> by_id_;
};

}  // namespace tessera_plus::tallow::sim
