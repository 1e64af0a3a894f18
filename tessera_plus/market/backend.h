// What a market-data source must offer. The process-wide client (client.h) forwards every call to
// one Backend: the simulated market by default, a scripted double in unit tests.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tessera_plus/market/types.h"

namespace tessera_plus::tallow {

class Backend {
 public:
  virtual ~Backend() = default;

  // (Re)initialises with the Beijing-exchange switch set to `enable_bjse`.
  virtual void init(bool enable_bjse) = 0;
  virtual bool bjse_enabled() const = 0;
  virtual std::vector<Instrument> all_instruments(const AllInstrumentsArgs& args) = 0;
  virtual InstrumentAnswer instruments(const std::string& order_book_id,
                                       const std::optional<std::string>& market) = 0;
  virtual InstrumentAnswer convertible_instruments(const std::vector<std::string>& ids) = 0;
  // None for no data; an empty table counts as no data too.
  virtual std::optional<PriceTable> get_price(const std::string& order_book_id,
                                              const PriceArgs& args) = 0;
  virtual Date get_next_trading_date(const DateArg& date, const std::string& market) = 0;
  virtual SuspensionTable is_suspended(const std::string& order_book_id, const DateArg& start,
                                       const DateArg& end) = 0;
  // Trading days in [start, end], ascending. The default asks get_next_trading_date day by day;
  // sources with a calendar at hand answer directly.
  virtual std::vector<Date> get_trading_dates(const DateArg& start, const DateArg& end,
                                              const std::string& market);
  // How many calls callers may have waiting at once, all processes of the run together. One for a
  // source that knows nothing of pacing: callers then ask one thing after another.
  virtual int requests_in_flight() const { return 1; }
  // Whether a call of this run (any process) has kept its caller waiting for the service: until
  // one has, overlapping calls would cost processes and hide nothing.
  virtual bool calls_have_waited() const { return false; }
};

}  // namespace tessera_plus::tallow
