// The Backend behind make_python_source (python_source.h).
//
// Answers are converted exactly (conversions.h). The library's errors map onto ours by class
// name along the exception's class hierarchy: PermissionDenied → tallow::PermissionDenied;
// TimeoutError, ConnectionError and ServiceUnavailable → tallow::ServiceUnavailable (try again
// later); anything else → Error. Every message is one line: "<module>.<operation>: <class>:
// <message>".
//
// Process rules: see interpreter.h. Create in the main thread; the object and the interpreter
// serve forked workers as they are.
#pragma once

#include <string>

#include <pybind11/pytypes.h>

#include "tessera_plus/market/backend.h"

namespace tessera_plus::pysource {

class PythonSource : public tallow::Backend {
 public:
  // Starts the interpreter and imports `module_name`; an Error naming the module and the import
  // failure when it cannot be imported.
  explicit PythonSource(std::string module_name);
  ~PythonSource() override;
  PythonSource(const PythonSource&) = delete;
  PythonSource& operator=(const PythonSource&) = delete;

  void init(bool enable_bjse) override;
  bool bjse_enabled() const override;
  std::vector<tallow::Instrument> all_instruments(const tallow::AllInstrumentsArgs& args) override;
  tallow::InstrumentAnswer instruments(const std::string& order_book_id,
                                       const std::optional<std::string>& market) override;
  tallow::InstrumentAnswer convertible_instruments(const std::vector<std::string>& ids) override;
  std::optional<tallow::PriceTable> get_price(const std::string& order_book_id,
                                              const tallow::PriceArgs& args) override;
  tallow::Date get_next_trading_date(const tallow::DateArg& date,
                                     const std::string& market) override;
  // The library's get_trading_dates when it has one; day by day otherwise.
  std::vector<tallow::Date> get_trading_dates(const tallow::DateArg& start,
                                              const tallow::DateArg& end,
                                              const std::string& market) override;
  tallow::SuspensionTable is_suspended(const std::string& order_book_id,
                                       const tallow::DateArg& start,
                                       const tallow::DateArg& end) override;

  const std::string& module_name() const { return name_; }

 private:
  template <typename Call>
  auto guarded(const char* operation, Call call) const;

  std::string name_;
  pybind11::object module_;
};

}  // namespace tessera_plus::pysource
