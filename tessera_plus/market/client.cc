#include "tessera_plus/market/client.h"

#include "tessera_plus/base/errors.h"

namespace tessera_plus::tallow {
namespace {

// The process-wide client state, as the real client library keeps it.
struct ClientState {
  std::shared_ptr<Backend> source;
  bool initialised = false;
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

}  // namespace

bool has_backend() { return state().source != nullptr; }

void install_backend(std::shared_ptr<Backend> source) {
  state().source = std::move(source);
  state().initialised = false;
}

void init(bool enable_bjse) {
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
}  // namespace client

std::vector<Instrument> all_instruments(const AllInstrumentsArgs& args) {
  return backend().all_instruments(args);
}

InstrumentAnswer instruments(const std::string& order_book_id,
                             const std::optional<std::string>& market) {
  return backend().instruments(order_book_id, market);
}

namespace convertible {
InstrumentAnswer instruments(const std::vector<std::string>& order_book_ids) {
  return backend().convertible_instruments(order_book_ids);
}
}  // namespace convertible

std::optional<PriceTable> get_price(const std::string& order_book_id, const PriceArgs& args) {
  return backend().get_price(order_book_id, args);
}

Date get_next_trading_date(const DateArg& date, const std::string& market) {
  return backend().get_next_trading_date(date, market);
}

SuspensionTable is_suspended(const std::string& order_book_id, const DateArg& start,
                             const DateArg& end) {
  return backend().is_suspended(order_book_id, start, end);
}

std::vector<Date> get_trading_dates(const DateArg& start, const DateArg& end,
                                    const std::string& market) {
  return backend().get_trading_dates(start, end, market);
}

}  // namespace tessera_plus::tallow
