#include "tessera_plus/pysource/python_source.h"

#include "tessera_plus/pysource/python_source_internal.h"

#include <cstdlib>

#include <fmt/format.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/pysource/conversions.h"
#include "tessera_plus/pysource/interpreter.h"
#include "tessera_plus/pysource/python_errors.h"

namespace tessera_plus::pysource {
namespace {

// Keyword arguments for the options a caller gave; the library's defaults stand for the rest.
void put(py::dict& kwargs, const char* name, const std::optional<tallow::DateArg>& value) {
  if (value) kwargs[name] = to_python(*value);
}
void put(py::dict& kwargs, const char* name, const std::optional<std::string>& value) {
  if (value) kwargs[name] = *value;
}
void put(py::dict& kwargs, const char* name, const std::optional<bool>& value) {
  if (value) kwargs[name] = *value;
}

}  // namespace

std::string module_from_environment() {
  const char* name = std::getenv("TALLOW_PYTHON_MODULE");
  return name && *name ? name : "tallow";
}

std::shared_ptr<tallow::Backend> make_python_source(std::string module_name) {
  return std::make_shared<PythonSource>(std::move(module_name));
}

template <typename Call>
auto PythonSource::guarded(const char* operation, Call call) const {
  std::string where = fmt::format("{}.{}", name_, operation);
  // Inside a Python program the module runs long calls with the lock released.
  py::gil_scoped_acquire gil;
  try {
    return call();
  } catch (py::error_already_set& e) {
    throw_translated(e, where);
  } catch (const py::cast_error& e) {
    throw ValueError(fmt::format("{}: unexpected answer: {}", where, e.what()));
  } catch (const ValueError& e) {
    throw ValueError(fmt::format("{}: {}", where, e.what()));
  }
}

PythonSource::PythonSource(std::string module_name) : name_(std::move(module_name)) {
  ensure_interpreter();
  py::gil_scoped_acquire gil;
  try {
    module_ = py::module_::import(name_.c_str());
  } catch (py::error_already_set& e) {
    throw_translated(e, fmt::format("cannot import the market-data module '{}'", name_));
  }
}

PythonSource::~PythonSource() {
  // Inside a Python program that is shutting down, the interpreter may be gone before us.
  if (!Py_IsInitialized()) {
    module_.release();
    return;
  }
  py::gil_scoped_acquire gil;
  module_ = py::object();
}

void PythonSource::init(bool enable_bjse) {
  guarded("init", [&] { module_.attr("init")(py::arg("enable_bjse") = enable_bjse); });
}

bool PythonSource::bjse_enabled() const {
  return guarded("client.bjse_enabled", [&] {
    py::object value = module_.attr("client").attr("bjse_enabled");
    if (PyCallable_Check(value.ptr())) value = value();
    return value.cast<bool>();
  });
}

std::vector<tallow::Instrument> PythonSource::all_instruments(
    const tallow::AllInstrumentsArgs& args) {
  return guarded("all_instruments", [&] {
    py::dict kwargs;
    put(kwargs, "type", args.type);
    put(kwargs, "market", args.market);
    put(kwargs, "date", args.date);
    return instrument_list_from(module_.attr("all_instruments")(**kwargs));
  });
}

tallow::InstrumentAnswer PythonSource::instruments(const std::string& order_book_id,
                                                   const std::optional<std::string>& market) {
  return guarded("instruments", [&] {
    py::dict kwargs;
    put(kwargs, "market", market);
    return instrument_answer_from(module_.attr("instruments")(order_book_id, **kwargs));
  });
}

tallow::InstrumentAnswer PythonSource::convertible_instruments(
    const std::vector<std::string>& ids) {
  return guarded("convertible.instruments", [&] {
    return instrument_answer_from(module_.attr("convertible").attr("instruments")(py::cast(ids)));
  });
}

std::optional<tallow::PriceTable> PythonSource::get_price(const std::string& order_book_id,
                                                          const tallow::PriceArgs& args) {
  return guarded("get_price", [&] {
    py::dict kwargs;
    put(kwargs, "start_date", args.start_date);
    put(kwargs, "end_date", args.end_date);
    put(kwargs, "frequency", args.frequency);
    put(kwargs, "adjust_type", args.adjust_type);
    put(kwargs, "expect_df", args.expect_df);
    put(kwargs, "market", args.market);
    return price_table_from(module_.attr("get_price")(order_book_id, **kwargs));
  });
}

tallow::Date PythonSource::get_next_trading_date(const tallow::DateArg& date,
                                                 const std::string& market) {
  return guarded("get_next_trading_date", [&] {
    return date_from(
        module_.attr("get_next_trading_date")(to_python(date), py::arg("market") = market));
  });
}

std::vector<tallow::Date> PythonSource::get_trading_dates(const tallow::DateArg& start,
                                                          const tallow::DateArg& end,
                                                          const std::string& market) {
  bool has_calendar =
      guarded("get_trading_dates", [&] { return py::hasattr(module_, "get_trading_dates"); });
  if (!has_calendar) return Backend::get_trading_dates(start, end, market);
  return guarded("get_trading_dates", [&] {
    std::vector<tallow::Date> dates;
    py::object answer = module_.attr("get_trading_dates")(to_python(start), to_python(end),
                                                          py::arg("market") = market);
    for (py::handle day : answer) dates.push_back(date_from(day));
    return dates;
  });
}

tallow::SuspensionTable PythonSource::is_suspended(const std::string& order_book_id,
                                                   const tallow::DateArg& start,
                                                   const tallow::DateArg& end) {
  return guarded("is_suspended", [&] {
    return suspension_table_from(
        module_.attr("is_suspended")(order_book_id, py::arg("start_date") = to_python(start),
                                     py::arg("end_date") = to_python(end)));
  });
}

}  // namespace tessera_plus::pysource
