// A scripted market-data service for unit tests: answers come from per-operation handlers that a
// test programs, and every call is recorded with all of its arguments.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tessera_plus/market/backend.h"

namespace tessera_plus::testing {

using tallow::AllInstrumentsArgs;
using tallow::Date;
using tallow::DateArg;
using tallow::Instrument;
using tallow::InstrumentAnswer;
using tallow::PriceArgs;
using tallow::PriceTable;
using tallow::SuspensionTable;

struct Call {
  std::string op;  // "init", "bjse_enabled", "all_instruments", "instruments",
                   // "convertible.instruments", "get_price", "get_next_trading_date",
                   // "is_suspended"
  std::string order_book_id{};
  std::vector<std::string> order_book_ids{};
  std::optional<std::string> market{};
  std::optional<bool> enable_bjse{};
  AllInstrumentsArgs all{};
  PriceArgs price{};
  std::optional<DateArg> date{}, start{}, end{};
};

class ScriptedService : public tallow::Backend {
 public:
  std::function<void(bool)> on_init;
  std::function<std::vector<Instrument>(const AllInstrumentsArgs&)> on_all_instruments;
  std::function<InstrumentAnswer(const std::string&, const std::optional<std::string>&)>
      on_instruments;
  std::function<InstrumentAnswer(const std::vector<std::string>&)> on_convertible_instruments;
  std::function<std::optional<PriceTable>(const std::string&, const PriceArgs&)> on_get_price;
  std::function<Date(const DateArg&, const std::string&)> on_get_next_trading_date;
  std::function<SuspensionTable(const std::string&, const DateArg&, const DateArg&)>
      on_is_suspended;

  std::vector<Call> calls;
  bool bjse = false;

  // Calls of one operation, in order.
  std::vector<Call> calls_of(const std::string& op) const;

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
  mutable std::vector<Call> const_calls_;
};

// Installs a fresh ScriptedService as the process's client for the lifetime of the object.
class ScopedScriptedService {
 public:
  ScopedScriptedService();
  ~ScopedScriptedService();
  ScriptedService& operator*() { return *service_; }
  ScriptedService* operator->() { return service_.get(); }

 private:
  std::shared_ptr<ScriptedService> service_;
};

// A table of one row with no columns: "the service has data" to callers that only ask whether.
tallow::PriceTable one_row_table();

}  // namespace tessera_plus::testing
