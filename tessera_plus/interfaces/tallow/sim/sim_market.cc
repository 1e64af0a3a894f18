#include "tessera_plus/interfaces/tallow/sim/sim_market.h"

namespace tessera_plus::tallow::sim {

SimConfig SimConfig::from_environment() { return {}; }

SimMarket::SimMarket(SimConfig config) : config_(config) {}
void SimMarket::init(bool enable_bjse) { bjse_ = enable_bjse; }
bool SimMarket::bjse_enabled() const { return bjse_; }
std::vector<Instrument> SimMarket::all_instruments(const AllInstrumentsArgs&) { return {}; }
InstrumentAnswer SimMarket::instruments(const std::string&, const std::optional<std::string>&) {
  return {};
}
InstrumentAnswer SimMarket::convertible_instruments(const std::vector<std::string>&) { return {}; }
std::optional<PriceTable> SimMarket::get_price(const std::string&, const PriceArgs&) {
  return std::nullopt;
}
Date SimMarket::get_next_trading_date(const DateArg& date, const std::string&) {
  return Date(std::chrono::sys_days(to_date(date)) + std::chrono::days(1));
}
SuspensionTable SimMarket::is_suspended(const std::string&, const DateArg&, const DateArg&) {
  return {};
}

}  // namespace tessera_plus::tallow::sim
