// tessera_plus.sim: the simulated market's answers as plain Python values and NumPy arrays, so
// that a stand-in client library written in Python can serve exactly the data that
// TALLOW_SOURCE=sim serves. Its configuration comes from the same TALLOW_SIM_* variables.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "python/bindings.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/sim/sim_market.h"

namespace tessera_plus::python {
namespace {

using tallow::sim::SimMarket;

// A date argument kept in the form it came in, as the client contract's callers pass it.
tallow::DateArg date_arg(const py::handle& value) {
  if (py::isinstance<py::int_>(value)) return value.cast<std::int64_t>();
  if (py::isinstance<py::str>(value)) return value.cast<std::string>();
  auto d = Date{std::chrono::year(value.attr("year").cast<int>()),
                std::chrono::month(value.attr("month").cast<unsigned>()),
                std::chrono::day(value.attr("day").cast<unsigned>())};
  if (!py::hasattr(value, "hour")) return d;
  return make_datetime(d, value.attr("hour").cast<int>(), value.attr("minute").cast<int>(),
                       value.attr("second").cast<int>(), value.attr("microsecond").cast<int>());
}

std::optional<tallow::DateArg> optional_date(const py::object& value) {
  if (value.is_none()) return std::nullopt;
  return date_arg(value);
}

py::object to_date(Date d) {
  return py::module_::import("datetime")
      .attr("date")(int(d.year()), unsigned(d.month()), unsigned(d.day()));
}

py::dict record(const tallow::Instrument& ins) {
  py::dict r;
  r["order_book_id"] = ins.order_book_id;
  r["symbol"] = ins.symbol;
  r["type"] = ins.type;
  r["exchange"] = ins.exchange;
  r["listed_date"] = ins.listed_date;
  r["de_listed_date"] = ins.de_listed_date;
  r["underlying_order_book_id"] = ins.underlying_order_book_id;
  r["underlying_symbol"] = ins.underlying_symbol;
  r["stock_code"] = ins.stock_code;
  return r;
}

py::object answer(const tallow::InstrumentAnswer& a) {
  if (std::holds_alternative<std::monostate>(a)) return py::none();
  if (auto one = std::get_if<tallow::Instrument>(&a)) return record(*one);
  py::list all;
  for (const tallow::Instrument& ins : tallow::records_of(a)) all.append(record(ins));
  return all;
}

py::array_t<std::int64_t> nanoseconds(const std::vector<DateTime>& times) {
  py::array_t<std::int64_t> out(static_cast<py::ssize_t>(times.size()));
  std::int64_t* data = out.mutable_data();
  for (std::size_t i = 0; i < times.size(); ++i) {
    data[i] = times[i].time_since_epoch().count() * 1000;
  }
  return out;
}

// {"order_book_id": [...], "datetime": int64 ns, "trading_date": int64 ns (when sent), column:
// float64, ...}; None for no data.
py::object price(SimMarket& market, const std::string& id, const py::object& start,
                 const py::object& end, std::optional<std::string> frequency,
                 std::optional<std::string> adjust_type, std::optional<bool> expect_df,
                 std::optional<std::string> market_code) {
  tallow::PriceArgs args{optional_date(start), optional_date(end), frequency,
                         adjust_type,          expect_df,          market_code};
  std::optional<tallow::PriceTable> table = market.get_price(id, args);
  if (!table) return py::none();
  py::dict out;
  out["order_book_id"] = table->order_book_ids;
  out["datetime"] = nanoseconds(table->timestamps);
  if (table->trading_date) out["trading_date"] = nanoseconds(*table->trading_date);
  py::dict columns;
  for (const auto& [name, values] : table->columns()) {
    columns[py::str(name)] =
        py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
  }
  out["columns"] = columns;
  return out;
}

}  // namespace

void bind_sim(py::module_& m) {
  py::module_ sim = m.def_submodule("sim", "The simulated market, as TALLOW_SOURCE=sim serves it.");
  py::class_<SimMarket, std::shared_ptr<SimMarket>>(sim, "SimMarket")
      .def(py::init([] {
             return std::make_shared<SimMarket>(tallow::sim::SimConfig::from_environment());
           }),
           "A simulated market configured from TALLOW_SIM_* (and TESSERA_NOW).")
      .def("init", &SimMarket::init, py::arg("enable_bjse"))
      .def("bjse_enabled", &SimMarket::bjse_enabled)
      .def(
          "all_instruments",
          [](SimMarket& s, std::optional<std::string> type, std::optional<std::string> market,
             const py::object& date) {
            py::list out;
            for (const auto& ins : s.all_instruments({type, market, optional_date(date)})) {
              out.append(record(ins));
            }
            return out;
          },
          py::arg("type") = py::none(), py::arg("market") = py::none(),
          py::arg("date") = py::none())
      .def(
          "instruments",
          [](SimMarket& s, const std::string& id, std::optional<std::string> market) {
            return answer(s.instruments(id, market));
          },
          py::arg("order_book_id"), py::arg("market") = py::none())
      .def(
          "convertible_instruments",
          [](SimMarket& s, const std::vector<std::string>& ids) {
            return answer(s.convertible_instruments(ids));
          },
          py::arg("order_book_ids"))
      .def("get_price", &price, py::arg("order_book_id"), py::arg("start_date") = py::none(),
           py::arg("end_date") = py::none(), py::arg("frequency") = py::none(),
           py::arg("adjust_type") = py::none(), py::arg("expect_df") = py::none(),
           py::arg("market") = py::none())
      .def(
          "get_next_trading_date",
          [](SimMarket& s, const py::object& date, const std::string& market) {
            return to_date(s.get_next_trading_date(date_arg(date), market));
          },
          py::arg("date"), py::arg("market") = "cn")
      .def(
          "get_trading_dates",
          [](SimMarket& s, const py::object& start, const py::object& end,
             const std::string& market) {
            py::list out;
            for (Date d : s.get_trading_dates(date_arg(start), date_arg(end), market)) {
              out.append(to_date(d));
            }
            return out;
          },
          py::arg("start_date"), py::arg("end_date"), py::arg("market") = "cn")
      .def(
          "is_suspended",
          [](SimMarket& s, const std::string& id, const py::object& start, const py::object& end) {
            tallow::SuspensionTable t = s.is_suspended(id, date_arg(start), date_arg(end));
            py::list dates;
            for (Date d : t.dates) dates.append(to_date(d));
            py::dict columns;
            for (const auto& [name, flags] : t.columns) columns[py::str(name)] = py::cast(flags);
            return py::make_tuple(dates, columns);
          },
          py::arg("order_book_id"), py::arg("start_date"), py::arg("end_date"));
}

}  // namespace tessera_plus::python
