// The simulated market: a deterministic stand-in for the market-data service and the client's
// default source (TALLOW_SOURCE=sim). Configuration: config.h; instruments: universe.h; calendar:
// calendar.h; prices: prices.h.
//
// Every answer is a pure function of the configuration, the arguments and "now" (the exchanges'
// clock, UTC+8 whatever the host's time zone; TESSERA_NOW honoured): a day's bars are the same
// whatever window asks for them, and a worker process forked after `init` answers exactly like its
// parent. Nothing stamped after now is delivered; a daily row appears once its day's session is
// over.
//
// Answers, beyond the client interface's contract:
//   all_instruments   market "cn" (default) or "hk"; stocks of exchange "BJSE" only while the
//                     switch is on; with `date`, the instruments listed on that date.
//   instruments       none for an unknown id or one of the other market; 601313.XSHG answers a
//                     list of two records (the id was re-used).
//   get_price         frequency "1m", "tick" or daily ("1d" or absent); none (or, switched, an
//                     empty table) for no data. Without dates (a probe) the last 20 trading days;
//                     without `end_date`, up to today. Dates are of the instrument's market.
//                     Prices are unadjusted whatever `adjust_type` says (nothing is ever split).
//   get_next_trading_date  the simulated calendar of the market asked for.
//   is_suspended      one row per trading day of [start, end] on which the instrument is listed.
#pragma once

#include <optional>

#include "tessera_plus/market/backend.h"
#include "tessera_plus/sim/call_log.h"
#include "tessera_plus/sim/config.h"
#include "tessera_plus/sim/rules.h"
#include "tessera_plus/sim/universe.h"

namespace tessera_plus::tallow::sim {

class SimMarket : public Backend {
 public:
  // ValueError for a configuration out of range.
  explicit SimMarket(SimConfig config);

  void init(bool enable_bjse) override;
  bool bjse_enabled() const override;
  std::vector<Instrument> all_instruments(const AllInstrumentsArgs& args) override;
  InstrumentAnswer instruments(const std::string& order_book_id,
                               const std::optional<std::string>& market) override;
  InstrumentAnswer convertible_instruments(const std::vector<std::string>& ids) override;
  std::optional<PriceTable> get_price(const std::string& order_book_id,
                                      const PriceArgs& args) override;
  Date get_next_trading_date(const DateArg& date, const std::string& market) override;
  // Straight from the calendar: one data call, not one per day.
  std::vector<Date> get_trading_dates(const DateArg& start, const DateArg& end,
                                      const std::string& market) override;
  SuspensionTable is_suspended(const std::string& order_book_id, const DateArg& start,
                               const DateArg& end) override;

  const SimConfig& config() const { return config_; }
  // The instruments as of today (the exchanges' clock).
  const Universe& universe();

 private:
  std::optional<PriceTable> no_data() const;

  SimConfig config_;
  bool bjse_ = false;
  FaultInjector faults_;
  CallLog calls_;
  std::optional<Universe> universe_;
  Date universe_day_{};
};

}  // namespace tessera_plus::tallow::sim
