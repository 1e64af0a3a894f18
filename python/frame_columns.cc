// The columns of the pandas readers, built here rather than by pandas from structured arrays:
// chunks are fetched as stored in HDF5's turn, then decoded and split into one contiguous array
// per column on several threads with the interpreter lock released. What the package's frames
// show (python/tessera_plus/_readers.py): times as datetime64[ns] values, prices in currency
// units, and a stored price of 0, which means "none yet" (docs/bundle-format.md), as NaN.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "python/bindings.h"
#include "python/hdf5_turn.h"
#include "python/parallel_decode.h"
#include "tessera_plus/bundle/store/tick_layout.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/fetched_rows.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::python {
namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::int64_t kNsPerDay = 86'400 * kNsPerSecond;

// Days since 1970-01-01 of a YYYYMMDD date, proleptic Gregorian (H. Hinnant's days_from_civil).
std::int64_t epoch_days(std::int64_t yyyymmdd) {
  std::int64_t y = yyyymmdd / 10000;
  const std::int64_t m = yyyymmdd / 100 % 100, d = yyyymmdd % 100;
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

template <typename T>
T load(const std::byte* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// One output column fed from one stored field.
struct ColumnSource {
  std::size_t offset = 0;
  h5::Kind kind = h5::Kind::kInt64;
  double factor = 1.0;  // stored = value * factor
  bool price = false;   // 0 stored: no price (NaN)
};

// The float and the int64 columns of a frame, each kind one two-dimensional array whose rows are
// the columns (what pandas keeps as one block), and the datetime64[ns] index and trading dates.
struct Columns {
  std::vector<std::string> float_names, int_names;
  std::vector<ColumnSource> float_sources, int_sources;
  py::array_t<double> floats;
  py::array_t<std::int64_t> ints, index, trading_date;
  std::size_t rows = 0;

  void allocate(std::size_t n) {
    rows = n;
    const auto count = static_cast<py::ssize_t>(n);
    floats = py::array_t<double>({static_cast<py::ssize_t>(float_sources.size()), count});
    ints = py::array_t<std::int64_t>({static_cast<py::ssize_t>(int_sources.size()), count});
    index = py::array_t<std::int64_t>(count);
    trading_date = py::array_t<std::int64_t>(count);
  }

  py::dict to_dict() const {
    py::dict d;
    d["float_names"] = float_names;
    d["floats"] = floats;
    d["int_names"] = int_names;
    d["ints"] = ints;
    d["index"] = index;
    d["trading_date"] = trading_date;
    return d;
  }
};

// Writes the columns of `count` records starting at output row `at`. Column by column: the reads
// stride through a chunk that stays in cache, the writes run straight.
void split_records(const std::byte* records, std::size_t record, std::size_t count, std::size_t at,
                   const std::vector<ColumnSource>& float_sources, double* floats,
                   const std::vector<ColumnSource>& int_sources, std::int64_t* ints,
                   std::size_t rows) {
  for (std::size_t c = 0; c < float_sources.size(); ++c) {
    const ColumnSource& s = float_sources[c];
    double* out = floats + c * rows + at;
    const std::byte* from = records + s.offset;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t r = 0; r < count; ++r, from += record) {
      if (s.kind == h5::Kind::kFloat64) {
        out[r] = load<double>(from);
      } else {
        const auto stored = load<std::int64_t>(from);
        out[r] = s.price && stored == 0 ? nan : static_cast<double>(stored) / s.factor;
      }
    }
  }
  for (std::size_t c = 0; c < int_sources.size(); ++c) {
    std::int64_t* out = ints + c * rows + at;
    const std::byte* from = records + int_sources[c].offset;
    for (std::size_t r = 0; r < count; ++r, from += record) out[r] = load<std::int64_t>(from);
  }
}

Columns tick_columns_layout() {
  Columns c;
  const auto& fields = bundle::H5TicksLoader::FIELDS;
  const auto& layout = bundle::H5TicksLoader::DTYPES;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string name(fields[i].name);
    if (name == "date" || name == "time") continue;
    const ColumnSource source{.offset = layout.fields[i].offset,
                              .kind = layout.fields[i].kind,
                              .factor = fields[i].factor,
                              .price = fields[i].factor != 1.0};
    if (source.price || source.kind == h5::Kind::kFloat64) {
      c.float_names.push_back(name);
      c.float_sources.push_back(source);
    } else {
      c.int_names.push_back(name);
      c.int_sources.push_back(source);
    }
  }
  return c;
}

bool is_date_name(const std::string& name) {
  return name.size() == 8 &&
         std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The ticks of the trading dates [first_date, last_date] as columns.
py::dict tick_columns(const std::filesystem::path& path, int first_date, int last_date) {
  const h5::RecordLayout& layout = bundle::H5TicksLoader::DTYPES;
  std::vector<h5::FetchedRows> days;
  std::vector<std::int64_t> day_ns;
  {
    py::gil_scoped_release unlocked;
    const Hdf5Turn turn;
    h5::File file = h5::File::open(path.string(), h5::Mode::kReadOnly);
    std::vector<std::string> names = file.member_names();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (!is_date_name(name)) continue;
      const int date = std::stoi(name);
      if (date < first_date || date > last_date) continue;
      const h5::Dataset day = h5::Dataset::open(file, name);
      days.push_back(h5::FetchedRows::fetch(day, layout, 0, day.readable_length()));
      day_ns.push_back(epoch_days(date) * kNsPerDay);
    }
  }
  Columns c = tick_columns_layout();
  std::size_t n = 0;
  for (const h5::FetchedRows& day : days) n += static_cast<std::size_t>(day.rows());
  c.allocate(n);
  double* floats = c.floats.mutable_data();
  std::int64_t* ints = c.ints.mutable_data();
  std::int64_t* index = c.index.mutable_data();
  std::int64_t* trading = c.trading_date.mutable_data();
  const std::size_t date_at = layout.fields[0].offset, time_at = layout.fields[1].offset;
  {
    py::gil_scoped_release unlocked;
    decode_in_parallel(pieces_of(days), [&](std::span<const std::byte> bytes, const PieceRef& p) {
      const std::size_t count = bytes.size() / layout.size;
      split_records(bytes.data(), layout.size, count, p.out_row, c.float_sources, floats,
                    c.int_sources, ints, n);
      const std::byte* record = bytes.data();
      for (std::size_t r = 0; r < count; ++r, record += layout.size) {
        // HHMMSSmmm of the tick's own calendar date.
        const std::int64_t t = load<std::int32_t>(record + time_at);
        const std::int64_t seconds =
            t / 10'000'000 * 3600 + t / 100'000 % 100 * 60 + t / 1000 % 100;
        index[p.out_row + r] = epoch_days(load<std::int32_t>(record + date_at)) * kNsPerDay +
                               seconds * kNsPerSecond + t % 1000 * 1'000'000;
        trading[p.out_row + r] = day_ns[p.source];
      }
    });
  }
  return c.to_dict();
}

}  // namespace

void bind_frame_columns(py::module_& m) {
  m.def("_tick_columns", &tick_columns, py::arg("path"), py::arg("first_date"),
        py::arg("last_date"),
        "The ticks of the trading dates first_date..last_date as the columns of read_ticks'\n"
        "frame: dict of index and trading_date (int64 nanoseconds), floats and ints (one 2-D\n"
        "array each, a row per column named by float_names and int_names).");
}

}  // namespace tessera_plus::python
