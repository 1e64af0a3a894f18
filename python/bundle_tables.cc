// What the bundle holds besides one instrument's bars and ticks, as plain values for the package's
// frames (python/tessera_plus/_bundle.py): the instrument list with the files held for each, the
// calendar, the suspensions, daily bars and the dates of a tick file. Files are read with the
// interpreter lock released, in HDF5's turn.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "python/bindings.h"
#include "python/hdf5_turn.h"
#include "tessera_plus/bundle/base_data/daybar_store.h"
#include "tessera_plus/bundle/base_data/instrument_list.h"
#include "tessera_plus/bundle/base_data/npy_reader.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/records.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::python {
namespace {

namespace fs = std::filesystem;

// The daily-bar file of an instrument type, empty when none holds it.
std::string daybar_file_of(const std::string& type) {
  for (const bundle::DaybarClass& c : bundle::daybar_classes()) {
    if (std::find(c.types.begin(), c.types.end(), type) != c.types.end()) {
      return std::string(c.file_name);
    }
  }
  return {};
}

// The member names of each daily-bar file present.
std::map<std::string, std::set<std::string>> daily_members(const fs::path& bundle) {
  std::map<std::string, std::set<std::string>> members;
  for (const bundle::DaybarClass& c : bundle::daybar_classes()) {
    const fs::path path = bundle / c.file_name;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) continue;
    const std::vector<std::string> names =
        h5::File::open(path.string(), h5::Mode::kReadOnly).member_names();
    members[std::string(c.file_name)] = {names.begin(), names.end()};
  }
  return members;
}

bool minbar_file_exists(const fs::path& root, const std::string& id) {
  try {
    bundle::find_minbar_file(root, id);
    return true;
  } catch (const OSError&) {
    return false;
  }
}

// The instrument list's fields by name, and for each instrument whether the bundle holds its
// minute bars, ticks and daily bars.
py::dict instrument_table(const fs::path& root) {
  const fs::path bundle = bundle::bundle_dir(root);
  std::vector<tallow::Instrument> list;
  std::vector<bool> minbar, tick, daily;
  {
    py::gil_scoped_release unlocked;
    list = bundle::read_instrument_list(bundle::instrument_list_file(bundle).string());
    const Hdf5Turn turn;
    const auto members = daily_members(bundle);
    for (const tallow::Instrument& i : list) {
      std::error_code ec;
      minbar.push_back(minbar_file_exists(root, i.order_book_id));
      tick.push_back(fs::is_regular_file(bundle::tick_file(root, i.order_book_id), ec));
      const auto in = members.find(daybar_file_of(i.type));
      daily.push_back(in != members.end() && in->second.contains(i.order_book_id));
    }
  }
  py::dict table;
  const auto column = [&](const char* name, auto field) {
    py::list values;
    for (const tallow::Instrument& i : list) values.append(field(i));
    table[name] = values;
  };
  column("order_book_id", [](const tallow::Instrument& i) { return i.order_book_id; });
  column("symbol", [](const tallow::Instrument& i) { return i.symbol; });
  column("type", [](const tallow::Instrument& i) { return i.type; });
  column("exchange", [](const tallow::Instrument& i) { return i.exchange; });
  column("listed_date", [](const tallow::Instrument& i) { return i.listed_date; });
  column("de_listed_date", [](const tallow::Instrument& i) { return i.de_listed_date; });
  column("underlying_order_book_id",
         [](const tallow::Instrument& i) { return i.underlying_order_book_id; });
  column("underlying_symbol", [](const tallow::Instrument& i) { return i.underlying_symbol; });
  column("stock_code", [](const tallow::Instrument& i) { return i.stock_code; });
  table["minbar"] = minbar;
  table["tick"] = tick;
  table["daily"] = daily;
  return table;
}

py::array_t<std::int64_t> int_array(const std::vector<std::int64_t>& values) {
  return py::array_t<std::int64_t>(static_cast<py::ssize_t>(values.size()), values.data());
}

py::array_t<std::int64_t> trading_dates(const fs::path& root) {
  std::vector<std::int64_t> dates;
  {
    py::gil_scoped_release unlocked;
    dates = bundle::read_trading_calendar(
        bundle::trading_calendar_file(bundle::bundle_dir(root)).string());
  }
  return int_array(dates);
}

// The suspended days of `ids` (every stock recorded when none), each a YYYYMMDD array.
py::dict suspended_days(const fs::path& root, std::optional<std::vector<std::string>> ids) {
  std::vector<std::pair<std::string, std::vector<std::int64_t>>> found;
  {
    py::gil_scoped_release unlocked;
    const Hdf5Turn turn;
    const h5::File file = h5::File::open(
        bundle::suspensions_file(bundle::bundle_dir(root)).string(), h5::Mode::kReadOnly);
    const std::vector<std::string> names = file.member_names();
    const std::set<std::string> stored(names.begin(), names.end());
    for (const std::string& id : ids ? *ids : names) {
      if (!stored.contains(id)) continue;
      found.emplace_back(id, h5::Dataset::open(file, id).read_integers());
    }
  }
  py::dict days;
  for (const auto& [id, dates] : found) days[py::str(id)] = int_array(dates);
  return days;
}

// The daily bars of each of `ids` as stored (equity records), None for an id no file holds.
py::list daily_records(const fs::path& root, const std::vector<std::string>& ids) {
  const fs::path bundle = bundle::bundle_dir(root);
  std::vector<std::optional<std::vector<bundle::EquityBar>>> bars(ids.size());
  {
    py::gil_scoped_release unlocked;
    const Hdf5Turn turn;
    for (const bundle::DaybarClass& c : bundle::daybar_classes()) {
      const fs::path path = bundle / c.file_name;
      std::error_code ec;
      if (!fs::is_regular_file(path, ec)) continue;
      const h5::File file = h5::File::open(path.string(), h5::Mode::kReadOnly);
      const std::vector<std::string> names = file.member_names();
      const std::set<std::string> stored(names.begin(), names.end());
      for (std::size_t i = 0; i < ids.size(); ++i) {
        if (bars[i] || !stored.contains(ids[i])) continue;
        const h5::Dataset data = h5::Dataset::open(file, ids[i]);
        std::vector<bundle::EquityBar> rows(data.readable_length());
        data.read(bundle::EQUITIES_DTYPE, 0, rows.size(), rows.data());
        bars[i] = std::move(rows);
      }
    }
  }
  py::list out;
  for (const auto& rows : bars) {
    if (!rows) {
      out.append(py::none());
      continue;
    }
    py::array_t<double> values({static_cast<py::ssize_t>(rows->size()), py::ssize_t{7}});
    double* v = values.mutable_data();
    // The record's fields in order, datetime first: a double holds every YYYYMMDD000000 exactly.
    for (const bundle::EquityBar& bar : *rows) {
      *v++ = static_cast<double>(bar.datetime);
      for (double x : {bar.open, bar.high, bar.low, bar.close, bar.volume, bar.total_turnover})
        *v++ = x;
    }
    out.append(values);
  }
  return out;
}

std::vector<int> tick_dates(const fs::path& path) {
  std::vector<int> dates;
  py::gil_scoped_release unlocked;
  const Hdf5Turn turn;
  for (const std::string& name :
       h5::File::open(path.string(), h5::Mode::kReadOnly).member_names()) {
    if (name.size() == 8 &&
        std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      dates.push_back(std::stoi(name));
    }
  }
  std::sort(dates.begin(), dates.end());
  return dates;
}

}  // namespace

void bind_bundle_tables(py::module_& m) {
  m.def("_instrument_table", &instrument_table, py::arg("data_bundle_path"),
        "instruments.pk as columns, with minbar, tick and daily: whether the bundle holds them.");
  m.def("_trading_dates", &trading_dates, py::arg("data_bundle_path"),
        "trading_dates.npy, checked, as YYYYMMDD int64.");
  m.def("_suspended_days", &suspended_days, py::arg("data_bundle_path"),
        py::arg("ids") = py::none(), "{id: YYYYMMDD int64 array} of suspended_days.h5.");
  m.def("_daily_records", &daily_records, py::arg("data_bundle_path"), py::arg("ids"),
        "Per id, its daily bars as a (days, 7) float array of the stored fields, or None.");
  m.def("_tick_dates", &tick_dates, py::arg("path"),
        "The trading dates (YYYYMMDD) a tick file holds, ascending.");
}

}  // namespace tessera_plus::python
