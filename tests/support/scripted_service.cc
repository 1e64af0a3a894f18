#include "tests/support/scripted_service.h"

#include "tessera_plus/market/client.h"

namespace tessera_plus::testing {

std::vector<Call> ScriptedService::calls_of(const std::string& op) const {
  std::vector<Call> out;
  for (const Call& c : calls)
    if (c.op == op) out.push_back(c);
  for (const Call& c : const_calls_)
    if (c.op == op) out.push_back(c);
  return out;
}

void ScriptedService::init(bool enable_bjse) {
  Call c{.op = "init"};
  c.enable_bjse = enable_bjse;
  calls.push_back(c);
  if (on_init) on_init(enable_bjse);
  bjse = enable_bjse;
}

bool ScriptedService::bjse_enabled() const {
  const_calls_.push_back(Call{.op = "bjse_enabled"});
  return bjse;
}

std::vector<Instrument> ScriptedService::all_instruments(const AllInstrumentsArgs& args) {
  calls.push_back(Call{.op = "all_instruments", .all = args});
  return on_all_instruments ? on_all_instruments(args) : std::vector<Instrument>{};
}

InstrumentAnswer ScriptedService::instruments(const std::string& order_book_id,
                                              const std::optional<std::string>& market) {
  calls.push_back(Call{.op = "instruments", .order_book_id = order_book_id, .market = market});
  return on_instruments ? on_instruments(order_book_id, market) : InstrumentAnswer{};
}

InstrumentAnswer ScriptedService::convertible_instruments(const std::vector<std::string>& ids) {
  calls.push_back(Call{.op = "convertible.instruments", .order_book_ids = ids});
  return on_convertible_instruments ? on_convertible_instruments(ids) : InstrumentAnswer{};
}

std::optional<PriceTable> ScriptedService::get_price(const std::string& order_book_id,
                                                     const PriceArgs& args) {
  calls.push_back(Call{.op = "get_price", .order_book_id = order_book_id, .price = args});
  return on_get_price ? on_get_price(order_book_id, args) : std::nullopt;
}

Date ScriptedService::get_next_trading_date(const DateArg& date, const std::string& market) {
  Call c{.op = "get_next_trading_date", .market = market};
  c.date = date;
  calls.push_back(c);
  if (on_get_next_trading_date) return on_get_next_trading_date(date, market);
  return Date(std::chrono::sys_days(tallow::to_date(date)) + std::chrono::days(1));
}

SuspensionTable ScriptedService::is_suspended(const std::string& order_book_id,
                                              const DateArg& start, const DateArg& end) {
  Call c{.op = "is_suspended", .order_book_id = order_book_id};
  c.start = start;
  c.end = end;
  calls.push_back(c);
  return on_is_suspended ? on_is_suspended(order_book_id, start, end) : SuspensionTable{};
}

ScopedScriptedService::ScopedScriptedService() : service_(std::make_shared<ScriptedService>()) {
  tallow::install_backend(service_);
}

ScopedScriptedService::~ScopedScriptedService() { tallow::install_backend(nullptr); }

tallow::PriceTable one_row_table() {
  tallow::PriceTable table;
  table.order_book_ids.push_back("000001.XSHE");
  table.timestamps.push_back(DateTime{});
  return table;
}

}  // namespace tessera_plus::testing
