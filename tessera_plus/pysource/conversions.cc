#include "tessera_plus/pysource/conversions.h"

#include <chrono>
#include <cstdint>
#include <limits>

#include <fmt/format.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::pysource {
namespace {

py::module_ pandas() { return py::module_::import("pandas"); }

std::string type_name(const py::handle& value) {
  return py::str(py::type::handle_of(value).attr("__name__"));
}

void require_frame(const py::handle& answer, const char* what) {
  if (!py::isinstance(answer, pandas().attr("DataFrame"))) {
    throw ValueError(
        fmt::format("{} must be None or a pandas DataFrame, not {}", what, type_name(answer)));
  }
}

char dtype_kind(const py::handle& series) {
  return py::str(series.attr("dtype").attr("kind")).cast<std::string>().at(0);
}

std::string dtype_text(const py::handle& series) { return py::str(series.attr("dtype")); }

// Nanoseconds since the epoch of naive (wall-clock) datetime64 values, NaT refused.
std::vector<DateTime> wall_clock_times(const py::handle& values, std::string_view what) {
  py::object dtype = values.attr("dtype");
  if (py::hasattr(dtype, "tz") && !dtype.attr("tz").is_none()) {
    throw ValueError(
        fmt::format("{} carries a time zone ({}); the exchanges' wall-clock time is "
                    "expected",
                    what, dtype_text(values)));
  }
  auto ns = py::array_t<std::int64_t>::ensure(
      py::module_::import("numpy").attr("asarray")(values, "datetime64[ns]").attr("view")("i8"));
  std::vector<DateTime> out(static_cast<std::size_t>(ns.size()));
  auto view = ns.unchecked<1>();
  for (py::ssize_t i = 0; i < view.shape(0); ++i) {
    if (view(i) == std::numeric_limits<std::int64_t>::min()) {
      throw ValueError(fmt::format("{} holds a missing time (NaT) in row {}", what, i));
    }
    // Floor division: times before 1970 stay on the right microsecond.
    std::int64_t us = view(i) / 1000 - (view(i) % 1000 < 0 ? 1 : 0);
    out[static_cast<std::size_t>(i)] = DateTime(std::chrono::microseconds(us));
  }
  return out;
}

std::vector<DateTime> trading_dates_of(const py::handle& series) {
  char kind = dtype_kind(series);
  if (kind == 'M') return wall_clock_times(series, "column 'trading_date'");
  if (kind != 'i' && kind != 'u') {
    throw ValueError(fmt::format(
        "column 'trading_date' has dtype {}; datetime64 or YYYYMMDD integers are expected",
        dtype_text(series)));
  }
  auto numbers = py::array_t<std::int64_t, py::array::forcecast>::ensure(series.attr("to_numpy")());
  std::vector<DateTime> out;
  out.reserve(static_cast<std::size_t>(numbers.size()));
  for (py::ssize_t i = 0; i < numbers.size(); ++i) {
    out.push_back(make_datetime(date_from_number(numbers.at(i))));
  }
  return out;
}

void copy_numeric_column(const std::string& name, const py::handle& series,
                         tallow::PriceTable& table) {
  char kind = dtype_kind(series);
  if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
    throw ValueError(fmt::format("column '{}' has dtype {}; price columns must be numeric", name,
                                 dtype_text(series)));
  }
  auto values = py::array_t<double, py::array::forcecast>::ensure(
      series.attr("to_numpy")(py::arg("dtype") = "float64"));
  std::vector<double>& column = table.add_column(name);
  const double* data = values.data();
  column.assign(data, data + values.size());
}

void read_key(const py::handle& frame, tallow::PriceTable& table) {
  py::object index = frame.attr("index");
  if (index.attr("nlevels").cast<int>() != 2) {
    throw ValueError(fmt::format(
        "a price table must be keyed by (order_book_id, datetime); this one has the index {}",
        py::str(index.attr("names")).cast<std::string>()));
  }
  py::list levels = index.attr("levels");
  std::vector<std::string> ids;
  for (py::handle id : levels[0]) {
    if (!py::isinstance<py::str>(id)) {
      throw ValueError(fmt::format("the first key level must hold order book ids (text), not {}",
                                   type_name(id)));
    }
    ids.push_back(id.cast<std::string>());
  }
  auto codes =
      py::array_t<std::int64_t, py::array::forcecast>::ensure(py::list(index.attr("codes"))[0]);
  table.order_book_ids.reserve(static_cast<std::size_t>(codes.size()));
  for (py::ssize_t i = 0; i < codes.size(); ++i) {
    std::int64_t code = codes.at(i);
    if (code < 0) throw ValueError(fmt::format("row {} has no order book id", i));
    table.order_book_ids.push_back(ids[static_cast<std::size_t>(code)]);
  }
  py::object times = index.attr("get_level_values")(1);
  if (dtype_kind(times) != 'M') {
    throw ValueError(
        fmt::format("the second key level must hold datetimes, not {}", dtype_text(times)));
  }
  table.timestamps = wall_clock_times(times, "the datetime key level");
}

bool is_missing(const py::handle& value) {
  if (value.is_none()) return true;
  if (py::isinstance<py::str>(value)) return false;
  py::object missing = pandas().attr("isna")(value);
  return py::isinstance<py::bool_>(missing) && missing.cast<bool>();
}

std::string field_text(const py::handle& value) {
  if (is_missing(value)) return {};
  if (py::isinstance<py::str>(value)) return value.cast<std::string>();
  if (py::hasattr(value, "strftime")) return value.attr("strftime")("%Y-%m-%d").cast<std::string>();
  return py::str(value);
}

py::object field_of(const py::handle& record, const char* name) {
  if (py::isinstance<py::dict>(record) || py::hasattr(record, "keys")) {
    return record.attr("get")(name);
  }
  return py::getattr(record, name, py::none());
}

}  // namespace

py::object to_python(const tallow::DateArg& arg) {
  py::module_ datetime = py::module_::import("datetime");
  if (auto n = std::get_if<std::int64_t>(&arg)) return py::int_(*n);
  if (auto s = std::get_if<std::string>(&arg)) return py::str(*s);
  if (auto d = std::get_if<Date>(&arg)) {
    return datetime.attr("date")(int(d->year()), unsigned(d->month()), unsigned(d->day()));
  }
  const DateTime& t = std::get<DateTime>(arg);
  auto day = std::chrono::floor<std::chrono::days>(t);
  Date d{std::chrono::sys_days(day.time_since_epoch())};
  std::chrono::hh_mm_ss clock(t - day);
  return datetime.attr("datetime")(int(d.year()), unsigned(d.month()), unsigned(d.day()),
                                   clock.hours().count(), clock.minutes().count(),
                                   clock.seconds().count(), clock.subseconds().count());
}

std::optional<tallow::PriceTable> price_table_from(const py::handle& answer) {
  if (answer.is_none()) return std::nullopt;
  require_frame(answer, "a price answer");
  tallow::PriceTable table;
  if (py::len(answer) == 0) return table;
  py::object columns = answer.attr("columns");
  if (!columns.attr("is_unique").cast<bool>()) {
    throw ValueError("a price table names a column twice");
  }
  read_key(answer, table);
  table.reserve(table.rows());
  for (py::handle name : columns) {
    if (!py::isinstance<py::str>(name)) {
      throw ValueError(fmt::format("column names must be text, not {}", type_name(name)));
    }
    std::string column = name.cast<std::string>();
    py::object series = answer[name];
    if (column == "trading_date") {
      table.trading_date = trading_dates_of(series);
    } else {
      copy_numeric_column(column, series, table);
    }
  }
  return table;
}

tallow::Instrument instrument_from(const py::handle& record) {
  tallow::Instrument ins;
  auto read = [&](const char* name, std::string& into) {
    std::string text = field_text(field_of(record, name));
    if (!text.empty()) into = std::move(text);
  };
  read("order_book_id", ins.order_book_id);
  read("symbol", ins.symbol);
  read("type", ins.type);
  read("exchange", ins.exchange);
  read("listed_date", ins.listed_date);
  read("de_listed_date", ins.de_listed_date);
  read("underlying_order_book_id", ins.underlying_order_book_id);
  read("underlying_symbol", ins.underlying_symbol);
  read("stock_code", ins.stock_code);
  return ins;
}

tallow::InstrumentAnswer instrument_answer_from(const py::handle& answer) {
  if (answer.is_none()) return std::monostate{};
  if (py::isinstance<py::list>(answer) || py::isinstance<py::tuple>(answer)) {
    std::vector<tallow::Instrument> records;
    for (py::handle record : answer) records.push_back(instrument_from(record));
    return records;
  }
  return instrument_from(answer);
}

std::vector<tallow::Instrument> instrument_list_from(const py::handle& answer) {
  if (answer.is_none()) return {};
  std::vector<tallow::Instrument> records;
  if (py::isinstance(answer, pandas().attr("DataFrame"))) {
    for (py::handle row : answer.attr("to_dict")("records"))
      records.push_back(instrument_from(row));
    return records;
  }
  for (py::handle record : answer) records.push_back(instrument_from(record));
  return records;
}

Date date_from(const py::handle& value) {
  if (py::isinstance<py::bool_>(value)) {
    throw ValueError("a date was expected, not a truth value");
  }
  if (py::isinstance<py::int_>(value)) return date_from_number(value.cast<std::int64_t>());
  if (py::isinstance<py::str>(value)) {
    std::string text = value.cast<std::string>();
    if (text.find('-') != std::string::npos) {
      return date_of(parse_datetime(text));
    }
    return date_from_text(text);
  }
  if (py::hasattr(value, "year") && py::hasattr(value, "month") && py::hasattr(value, "day")) {
    if (is_missing(value)) throw ValueError("a date was expected, not a missing time (NaT)");
    return Date{std::chrono::year(value.attr("year").cast<int>()),
                std::chrono::month(value.attr("month").cast<unsigned>()),
                std::chrono::day(value.attr("day").cast<unsigned>())};
  }
  if (py::isinstance(value, py::module_::import("numpy").attr("datetime64"))) {
    return date_from(pandas().attr("Timestamp")(value));
  }
  throw ValueError(fmt::format("a date was expected, not {}", type_name(value)));
}

tallow::SuspensionTable suspension_table_from(const py::handle& answer) {
  tallow::SuspensionTable table;
  if (answer.is_none()) return table;
  require_frame(answer, "a suspension answer");
  for (py::handle day : answer.attr("index")) table.dates.push_back(date_from(day));
  for (py::handle name : answer.attr("columns")) {
    py::object series = answer[name];
    char kind = dtype_kind(series);
    if (kind != 'b' && kind != 'i' && kind != 'u') {
      throw ValueError(fmt::format("suspension column '{}' has dtype {}; true/false expected",
                                   py::str(name).cast<std::string>(), dtype_text(series)));
    }
    auto flags = py::array_t<bool, py::array::forcecast>::ensure(
        series.attr("to_numpy")(py::arg("dtype") = "bool"));
    std::vector<bool> column(flags.data(), flags.data() + flags.size());
    table.columns.emplace_back(py::str(name).cast<std::string>(), std::move(column));
  }
  return table;
}

}  // namespace tessera_plus::pysource
