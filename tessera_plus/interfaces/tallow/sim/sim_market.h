// The simulated market: a deterministic stand-in for the market-data service.
#pragma once

#include "tessera_plus/interfaces/tallow/backend.h"

namespace tessera_plus::tallow::sim {

struct SimConfig {
  static SimConfig from_environment();
};

class SimMarket : public Backend {
 public:
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
  SuspensionTable is_suspended(const std::string& order_book_id, const DateArg& start,
                               const DateArg& end) override;

 private:
  SimConfig config_;
  bool bjse_ = false;
};

}  // namespace tessera_plus::tallow::sim
