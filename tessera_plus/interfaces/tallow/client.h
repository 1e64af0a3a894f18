// The market-data client: one per process, with the operations the bundle module calls.
//
// The backend is chosen by TALLOW_SOURCE (default "sim", the built-in simulated market) when the
// process first needs it. A forked worker process inherits the parent's client and can use it
// from its start; a process that never called init() gets a client initialised with the
// Beijing-exchange switch off.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tessera_plus/interfaces/tallow/backend.h"
#include "tessera_plus/interfaces/tallow/types.h"

namespace tessera_plus::tallow {

// (Re)initialises the client in this process with the Beijing-exchange switch.
void init(bool enable_bjse);

namespace client {
bool bjse_enabled();
}  // namespace client

std::vector<Instrument> all_instruments(const AllInstrumentsArgs& args = {});
InstrumentAnswer instruments(const std::string& order_book_id,
                             const std::optional<std::string>& market = std::nullopt);
namespace convertible {
InstrumentAnswer instruments(const std::vector<std::string>& order_book_ids);
}  // namespace convertible
std::optional<PriceTable> get_price(const std::string& order_book_id, const PriceArgs& args = {});
Date get_next_trading_date(const DateArg& date, const std::string& market);
SuspensionTable is_suspended(const std::string& order_book_id, const DateArg& start,
                             const DateArg& end);
std::vector<Date> get_trading_dates(const DateArg& start, const DateArg& end,
                                    const std::string& market = "cn");

// Makes `backend` this process's client source from now on (tests install a scripted double);
// nullptr returns to the configured source at the next call.
void install_backend(std::shared_ptr<Backend> backend);
// The backend in use, created from the configuration when none is yet.
Backend& backend();

}  // namespace tessera_plus::tallow
