// The market-data client: one per process, with the operations the bundle module calls.
//
// Its source (a Backend) is installed by whoever sets the client up (`_init_tallow` picks it from
// TALLOW_SOURCE; tests install a scripted double). A forked worker process inherits the parent's
// client and can use it from its start; a source that was installed but never initialised is
// initialised with the Beijing-exchange switch off at its first call. Calls before any source is
// installed are a ValueError.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tessera_plus/base/shared_slots.h"
#include "tessera_plus/market/backend.h"
#include "tessera_plus/market/types.h"

namespace tessera_plus::tallow {

// (Re)initialises the client in this process with the Beijing-exchange switch.
void init(bool enable_bjse);

namespace client {
bool bjse_enabled();
// The backend's requests_in_flight(): how many callers may wait for the service at once.
int requests_in_flight();
// The backend's calls_have_waited(): whether the service has kept a caller of this run waiting.
bool calls_have_waited();

// While it lives, every call this process makes through the client gives back the slot of
// `work_slots` that this very process holds, if any, for the duration of the call, and waits for
// one again afterwards: a worker that holds one of the few slots for compressing and writing does
// not keep it while it waits for the service. Made before workers are forked, so that they pace
// their calls too; the pacing in place before it comes back when it ends.
class PacedCalls {
 public:
  explicit PacedCalls(SharedSlots work_slots);
  ~PacedCalls();
  PacedCalls(const PacedCalls&) = delete;
  PacedCalls& operator=(const PacedCalls&) = delete;

 private:
  std::optional<SharedSlots> previous_;
};
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

// Makes `backend` this process's client source from now on; nullptr leaves the client without one.
void install_backend(std::shared_ptr<Backend> backend);
bool has_backend();
// The backend in use.
Backend& backend();

}  // namespace tessera_plus::tallow
