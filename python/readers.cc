// Minute-bar and tick files as NumPy structured arrays whose fields and types are those stored.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "python/bindings.h"
#include "python/hdf5_turn.h"
#include "tessera_plus/base/errors.h"
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

// Records read with the interpreter lock released, to become an array once it is taken again.
struct Loaded {
  const h5::RecordLayout* layout;
  std::vector<char> bytes;
  h5::Size length = 0;
};

Loaded load(const h5::File& file, const std::string& name, const h5::RecordLayout& layout) {
  h5::Dataset dataset = h5::Dataset::open(file, name);
  Loaded loaded{.layout = &layout, .bytes = {}, .length = dataset.length()};
  loaded.bytes.resize(static_cast<std::size_t>(loaded.length) * layout.size);
  if (loaded.length > 0) dataset.read(layout, 0, loaded.length, loaded.bytes.data());
  return loaded;
}

py::array to_array(const Loaded& loaded) {
  py::array records(dtype_of(*loaded.layout),
                    std::vector<py::ssize_t>{static_cast<py::ssize_t>(loaded.length)});
  if (!loaded.bytes.empty()) {
    std::memcpy(records.mutable_data(), loaded.bytes.data(), loaded.bytes.size());
  }
  return records;
}

// Runs `read` with the interpreter lock released, in the HDF5 library's turn: other threads run
// while a large file is read.
template <typename Read>
auto released(Read read) {
  py::gil_scoped_release unlocked;
  const Hdf5Turn turn;
  return read();
}

py::tuple read_minbar(const std::string& path) {
  std::vector<Loaded> loaded = released([&] {
    h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
    const h5::RecordLayout& layout = h5::Dataset::open(file, "data").has_field("open_interest")
                                         ? bundle::DERIVATIVES_DTYPE
                                         : bundle::EQUITIES_DTYPE;
    std::vector<Loaded> both;
    both.push_back(load(file, "data", layout));
    both.push_back(load(file, "index", bundle::INDEX_DTYPE));
    return both;
  });
  return py::make_tuple(to_array(loaded[0]), to_array(loaded[1]));
}

py::array read_tick(const std::string& path, std::optional<std::string> date) {
  const h5::RecordLayout& layout = bundle::H5TicksLoader::DTYPES;
  std::vector<Loaded> loaded = released([&] {
    h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
    std::vector<Loaded> days;
    if (date) {
      days.push_back(load(file, *date, layout));
    } else {
      for (const std::string& name : file.member_names()) days.push_back(load(file, name, layout));
    }
    return days;
  });
  if (date) return to_array(loaded[0]);
  if (loaded.empty()) return py::array(dtype_of(layout), std::vector<py::ssize_t>{0});
  std::vector<py::array> days;
  for (const Loaded& day : loaded) days.push_back(to_array(day));
  return py::module_::import("numpy").attr("concatenate")(days);
}

}  // namespace

void bind_readers(py::module_& m) {
  m.def("read_minbar", &read_minbar, py::arg("path"),
        "Reads a minute-bar file whole: (data, index) as NumPy structured arrays with the\n"
        "stored fields (datetime as YYYYMMDDHHMMSS, prices, volume, total_turnover, and\n"
        "open_interest for derivatives; index: date YYYYMMDD and line_no).");
  m.def("read_tick", &read_tick, py::arg("path"), py::arg("date") = py::none(),
        "Reads a tick file: the ticks of one trading date ('YYYYMMDD') or, without date, of\n"
        "every stored date in date order, as one NumPy structured array (prices scaled by\n"
        "10000 as stored).");
}

}  // namespace tessera_plus::python
