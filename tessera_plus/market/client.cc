#include "tessera_plus/market/client.h"

#include <utility>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::tallow {
namespace {

// The process-wide client state, as the real client library keeps it.
struct ClientState {
  std::shared_ptr<Backend> source;
  bool initialised = false;
  std::optional<SharedSlots> work_slots;  // see client::PacedCalls
};

ClientState& state() {
  static ClientState s;
  return s;
}

Backend& source() {
  ClientState& s = state();
  if (!s.source) {
    throw ValueError("the market-data client has no source yet: initialise it with _init_tallow");
  }
  return *s.source;
}

// For the duration of one forwarded call.
SharedSlots::StepAside paced() {
  const std::optional<SharedSlots>& slots = state().work_slots;
  return slots ? slots->step_aside() : SharedSlots::StepAside();
}

}  // namespace

bool has_backend() { return state().source != nullptr; }

void install_backend(std::shared_ptr<Backend> source) {
  state().source = std::move(source);
  state().initialised = false;
}

void init(bool enable_bjse) {
  const SharedSlots::StepAside aside = paced();
  source().init(enable_bjse);
  state().initialised = true;
}

Backend& backend() {
  ClientState& s = state();
  if (!s.initialised) init(false);
  return *s.source;
}

namespace client {
bool bjse_enabled() { return backend().bjse_enabled(); }
int requests_in_flight() { return backend().requests_in_flight(); }
bool calls_have_waited() { return backend().calls_have_waited(); }

PacedCalls::PacedCalls(SharedSlots work_slots)
    : previous_(std::exchange(state().work_slots, std::move(work_slots))) {}

PacedCalls::~PacedCalls() { state().work_slots = std::move(previous_); }
}  // namespace client

std::vector<Instrument> all_instruments(const AllInstrumentsArgs& args) {
  const SharedSlots::StepAside aside = paced();
  return backend().all_instruments(args);
}

InstrumentAnswer instruments(const std::string& order_book_id,
                             const std::optional<std::string>& market) {
  const SharedSlots::StepAside aside = paced();
  return backend().instruments(order_book_id, market);
}

namespace convertible {
InstrumentAnswer instruments(const std::vector<std::string>& order_book_ids) {
  const SharedSlots::StepAside aside = paced();
  return backend().convertible_instruments(order_book_ids);
}
}  // namespace convertible

std::optional<PriceTable> get_price(const std::string& order_book_id, const PriceArgs& args) {
  const SharedSlots::StepAside aside = paced();
  return backend().get_price(order_book_id, args);
}

Date get_next_trading_date(const DateArg& date, const std::string& market) {
  const SharedSlots::StepAside aside = paced();
  return backend().get_next_trading_date(date, market);
}

SuspensionTable is_suspended(const std::string& order_book_id, const DateArg& start,
                             const DateArg& end) {
  const SharedSlots::StepAside aside = paced();
  return backend().is_suspended(order_book_id, start, end);
}

std::vector<Date> get_trading_dates(const DateArg& start, const DateArg& end,
                                    const std::string& market) {
  const SharedSlots::StepAside aside = paced();
  return backend().get_trading_dates(start, end, market);
}

}  // namespace tessera_plus::tallow
