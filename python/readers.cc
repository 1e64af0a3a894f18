// Minute-bar and tick files as NumPy structured arrays whose fields and types are those stored,
// whole or for a span of trading dates, and where an instrument's files lie in a bundle. The
// pandas readers of the package (python/tessera_plus/_readers.py) build on these.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "python/bindings.h"
#include "python/hdf5_turn.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/store/minbar_range.h"
#include "tessera_plus/bundle/store/records.h"
#include "tessera_plus/bundle/store/tick_layout.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::python {
namespace {

const char* numpy_format(h5::Kind kind) {
  switch (kind) {
    case h5::Kind::kInt32:
      return "<i4";
    case h5::Kind::kUInt32:
      return "<u4";
    case h5::Kind::kInt64:
      return "<i8";
    case h5::Kind::kFloat64:
      return "<f8";
  }
  return "";
}

py::dtype dtype_of(const h5::RecordLayout& layout) {
  py::list names, formats, offsets;
  for (const h5::Field& f : layout.fields) {
    names.append(std::string(f.name));
    formats.append(numpy_format(f.kind));
    offsets.append(f.offset);
  }
  py::dict fields;
  fields["names"] = names;
  fields["formats"] = formats;
  fields["offsets"] = offsets;
  fields["itemsize"] = layout.size;
  return py::dtype::from_args(fields);
}

py::array read_rows(const h5::Dataset& dataset, const h5::RecordLayout& layout, h5::Size start,
                    h5::Size count) {
  py::array records(dtype_of(layout), std::vector<py::ssize_t>{static_cast<py::ssize_t>(count)});
  void* out = records.mutable_data();
  // Other Python threads run while the rows are read and inflated: only this thread is in HDF5.
  if (count > 0) {
    const py::gil_scoped_release unlocked;
    dataset.read(layout, start, count, out);
  }
  return records;
}

py::array read_records(const h5::File& file, const std::string& name,
                       const h5::RecordLayout& layout) {
  h5::Dataset dataset = h5::Dataset::open(file, name);
  return read_rows(dataset, layout, 0, dataset.length());
}

const h5::RecordLayout& bar_layout(const h5::Dataset& data) {
  return data.has_field("open_interest") ? bundle::DERIVATIVES_DTYPE : bundle::EQUITIES_DTYPE;
}

// HDF5's turn (hdf5_turn.h), waited for with the interpreter lock released: a released call of
// this module may hold the turn and want the interpreter lock.
std::unique_ptr<Hdf5Turn> take_turn() {
  py::gil_scoped_release unlocked;
  return std::make_unique<Hdf5Turn>();
}

py::tuple read_minbar(const std::filesystem::path& path) {
  const std::unique_ptr<Hdf5Turn> turn = take_turn();
  h5::File file = h5::File::open(path.string(), h5::Mode::kReadOnly);
  const h5::RecordLayout& layout = bar_layout(h5::Dataset::open(file, "data"));
  return py::make_tuple(read_records(file, "data", layout),
                        read_records(file, "index", bundle::INDEX_DTYPE));
}

// The bars of the trading dates [first_date, last_date] and their `index` entries: only the chunks
// of `data` that hold those rows are read.
py::tuple read_minbar_range(const std::filesystem::path& path, int first_date, int last_date) {
  const std::unique_ptr<Hdf5Turn> turn = take_turn();
  h5::File file = h5::File::open(path.string(), h5::Mode::kReadOnly);
  h5::Dataset data = h5::Dataset::open(file, "data");
  const bundle::MinbarRange range = bundle::minbar_range(
      h5::Dataset::open(file, "index"), data.readable_length(), first_date, last_date);
  py::array days(dtype_of(bundle::INDEX_DTYPE),
                 std::vector<py::ssize_t>{static_cast<py::ssize_t>(range.days.size())});
  if (!range.days.empty()) {
    std::memcpy(days.mutable_data(), range.days.data(),
                range.days.size() * sizeof(bundle::IndexEntry));
  }
  return py::make_tuple(read_rows(data, bar_layout(data), range.begin, range.end - range.begin),
                        days);
}

bool is_date_name(const std::string& name) {
  return name.size() == 8 &&
         std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The ticks of the trading dates [first_date, last_date] in date order, and each tick's trading
// date (the name of its dataset).
py::tuple read_tick_range(const std::filesystem::path& path, int first_date, int last_date) {
  const std::unique_ptr<Hdf5Turn> turn = take_turn();
  h5::File file = h5::File::open(path.string(), h5::Mode::kReadOnly);
  const h5::RecordLayout& layout = bundle::H5TicksLoader::DTYPES;
  std::vector<std::string> names = file.member_names();
  std::sort(names.begin(), names.end());
  py::list days;
  std::vector<std::int32_t> dates;
  for (const std::string& name : names) {
    if (!is_date_name(name)) continue;
    const int date = std::stoi(name);
    if (date < first_date || date > last_date) continue;
    py::array day = read_records(file, name, layout);
    dates.insert(dates.end(), static_cast<std::size_t>(day.shape(0)), date);
    days.append(day);
  }
  py::array records = days.empty()
                          ? py::array(dtype_of(layout), std::vector<py::ssize_t>{0})
                          : py::array(py::module_::import("numpy").attr("concatenate")(days));
  return py::make_tuple(
      records, py::array_t<std::int32_t>(static_cast<py::ssize_t>(dates.size()), dates.data()));
}

py::list tick_fields() {
  py::list fields;
  for (const bundle::TickField& f : bundle::H5TicksLoader::FIELDS)
    fields.append(py::make_tuple(std::string(f.name), std::string(f.dtype), f.factor));
  return fields;
}

py::array read_tick(const std::filesystem::path& path, std::optional<std::string> date) {
  const std::unique_ptr<Hdf5Turn> turn = take_turn();
  h5::File file = h5::File::open(path.string(), h5::Mode::kReadOnly);
  const h5::RecordLayout& layout = bundle::H5TicksLoader::DTYPES;
  if (date) return read_records(file, *date, layout);
  std::vector<py::array> days;
  for (const std::string& name : file.member_names())
    days.push_back(read_records(file, name, layout));
  if (days.empty()) return py::array(dtype_of(layout), std::vector<py::ssize_t>{0});
  return py::module_::import("numpy").attr("concatenate")(days);
}

}  // namespace

void bind_readers(py::module_& m) {
  m.def("read_minbar", &read_minbar, py::arg("path"),
        "Reads a minute-bar file whole: (data, index) as NumPy structured arrays with the\n"
        "stored fields (datetime as YYYYMMDDHHMMSS, prices, volume, total_turnover, and\n"
        "open_interest for derivatives; index: date YYYYMMDD and line_no).");
  m.def("read_minbar_range", &read_minbar_range, py::arg("path"), py::arg("first_date"),
        py::arg("last_date"),
        "Reads the bars of the trading dates first_date..last_date (YYYYMMDD, both included):\n"
        "(data, index) as read_minbar gives them, index holding the entries of those dates with\n"
        "line_no as stored. Only the chunks that hold those bars are read.");
  m.def("read_tick", &read_tick, py::arg("path"), py::arg("date") = py::none(),
        "Reads a tick file: the ticks of one trading date ('YYYYMMDD') or, without date, of\n"
        "every stored date in date order, as one NumPy structured array (prices scaled by\n"
        "10000 as stored).");
  m.def("read_tick_range", &read_tick_range, py::arg("path"), py::arg("first_date"),
        py::arg("last_date"),
        "Reads the ticks of the trading dates first_date..last_date (YYYYMMDD, both included)\n"
        "in date order: (records as read_tick gives them, each record's trading date).");
  m.def("tick_fields", &tick_fields,
        "The tick record's fields in order: (name, NumPy type, factor); a stored value is the\n"
        "value times its factor.");
  m.def(
      "minbar_file",
      [](const std::filesystem::path& root, const std::string& order_book_id) {
        return bundle::find_minbar_file(root, order_book_id);
      },
      py::arg("data_bundle_path"), py::arg("order_book_id"),
      "The minute-bar file of order_book_id in the bundle (whichever class directory holds\n"
      "it); FileNotFoundError when there is none.");
  m.def(
      "tick_file",
      [](const std::filesystem::path& root, const std::string& order_book_id) {
        return bundle::tick_file(root, order_book_id);
      },
      py::arg("data_bundle_path"), py::arg("order_book_id"),
      "Where the tick file of order_book_id lies in the bundle, whether it exists or not.");
}

}  // namespace tessera_plus::python
