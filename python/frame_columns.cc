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
#include <iterator>
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
#include "tessera_plus/bundle/store/minbar_range.h"
#include "tessera_plus/bundle/store/records.h"
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

// The field a record of this file lacks (open_interest of a stock among futures): NaN.
constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);

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
  std::vector<ColumnSource> float_sources, int_sources;  // the same for every row (ticks)
  py::array_t<double> floats;
  py::array_t<std::int64_t> ints, index, trading_date;
  std::size_t rows = 0;

  void allocate(std::size_t n) {
    rows = n;
    const auto count = static_cast<py::ssize_t>(n);
    floats = py::array_t<double>({static_cast<py::ssize_t>(float_names.size()), count});
    ints = py::array_t<std::int64_t>({static_cast<py::ssize_t>(int_names.size()), count});
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

// One column of `count` records: the branch on the field's kind is taken once, not per row.
void split_float(const std::byte* from, std::size_t record, std::size_t count,
                 const ColumnSource& s, double* out) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (s.offset == kAbsent) {
    std::fill(out, out + count, nan);
  } else if (s.kind == h5::Kind::kFloat64 && s.price) {
    for (std::size_t r = 0; r < count; ++r, from += record) {
      const double value = load<double>(from);
      out[r] = value == 0 ? nan : value;
    }
  } else if (s.kind == h5::Kind::kFloat64) {
    for (std::size_t r = 0; r < count; ++r, from += record) out[r] = load<double>(from);
  } else {
    const double scale = 1.0 / s.factor;
    for (std::size_t r = 0; r < count; ++r, from += record) {
      const auto stored = load<std::int64_t>(from);
      out[r] = s.price && stored == 0 ? nan : static_cast<double>(stored) * scale;
    }
  }
}

// Writes the columns of `count` records starting at output row `at`. Column by column: the reads
// stride through a chunk that stays in cache, the writes run straight.
void split_records(const std::byte* records, std::size_t record, std::size_t count, std::size_t at,
                   const std::vector<ColumnSource>& float_sources, double* floats,
                   const std::vector<ColumnSource>& int_sources, std::int64_t* ints,
                   std::size_t rows) {
  for (std::size_t c = 0; c < float_sources.size(); ++c) {
    const ColumnSource& s = float_sources[c];
    split_float(records + (s.offset == kAbsent ? 0 : s.offset), record, count, s,
                floats + c * rows + at);
  }
  for (std::size_t c = 0; c < int_sources.size(); ++c) {
    std::int64_t* out = ints + c * rows + at;
    const std::byte* from = records + int_sources[c].offset;
    for (std::size_t r = 0; r < count; ++r, from += record) out[r] = load<std::int64_t>(from);
  }
}

// Nanoseconds since the epoch of dates that change seldom from one row to the next.
class DayClock {
 public:
  std::int64_t at(std::int64_t yyyymmdd) {
    if (yyyymmdd != date_) {
      date_ = yyyymmdd;
      ns_ = epoch_days(yyyymmdd) * kNsPerDay;
    }
    return ns_;
  }

 private:
  std::int64_t date_ = -1;
  std::int64_t ns_ = 0;
};

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
      DayClock day;
      for (std::size_t r = 0; r < count; ++r, record += layout.size) {
        // HHMMSSmmm of the tick's own calendar date.
        const std::int64_t t = load<std::int32_t>(record + time_at);
        const std::int64_t seconds =
            t / 10'000'000 * 3600 + t / 100'000 % 100 * 60 + t / 1000 % 100;
        index[p.out_row + r] = day.at(load<std::int32_t>(record + date_at)) +
                               seconds * kNsPerSecond + t % 1000 * 1'000'000;
        trading[p.out_row + r] = day_ns[p.source];
      }
    });
  }
  return c.to_dict();
}

ColumnSource bar_source(const h5::RecordLayout& layout, const std::string& name) {
  const h5::Field* field = layout.find(name);
  if (field == nullptr) return ColumnSource{.offset = kAbsent, .kind = h5::Kind::kFloat64};
  const bool price = name == "open" || name == "high" || name == "low" || name == "close";
  return ColumnSource{.offset = field->offset, .kind = field->kind, .factor = 1.0, .price = price};
}

// One minute-bar file's part of the span: its rows as stored and the trading date of each day.
struct BarFile {
  const h5::RecordLayout* layout = nullptr;
  std::vector<bundle::IndexEntry> days;
  h5::Size begin = 0;
};

// The bars of the trading dates [first_date, last_date] of each file of `paths`, one after the
// other, as columns; "rows" says how many each file gave.
// The times of files read one after the other, as the datetime level of a (order_book_id,
// datetime) index: every distinct time, ascending, and each row's position in it. Each file's times
// ascend, so the level is the union of sorted runs and each file's codes one walk along it.
void time_level(const std::int64_t* times, const std::vector<std::size_t>& rows_of,
                std::vector<std::int64_t>& level, std::int32_t* codes) {
  std::vector<std::int64_t> merged;
  std::size_t offset = 0;
  for (std::size_t rows : rows_of) {
    merged.clear();
    std::set_union(level.begin(), level.end(), times + offset, times + offset + rows,
                   std::back_inserter(merged));
    level.swap(merged);
    offset += rows;
  }
  offset = 0;
  for (std::size_t rows : rows_of) {
    std::size_t at = 0;
    for (std::size_t r = offset; r < offset + rows; ++r) {
      while (level[at] < times[r]) ++at;
      codes[r] = static_cast<std::int32_t>(at);
    }
    offset += rows;
  }
}

py::dict bar_columns(const std::vector<std::filesystem::path>& paths, int first_date, int last_date,
                     bool by_instrument) {
  std::vector<h5::FetchedRows> fetched;
  std::vector<BarFile> files;
  {
    py::gil_scoped_release unlocked;
    const Hdf5Turn turn;
    for (const std::filesystem::path& path : paths) {
      h5::File file = h5::File::open(path.string(), h5::Mode::kReadOnly);
      const h5::Dataset data = h5::Dataset::open(file, "data");
      bundle::MinbarRange range = bundle::minbar_range(
          h5::Dataset::open(file, "index"), data.readable_length(), first_date, last_date);
      const h5::RecordLayout& layout =
          data.has_field("open_interest") ? bundle::DERIVATIVES_DTYPE : bundle::EQUITIES_DTYPE;
      fetched.push_back(h5::FetchedRows::fetch(data, layout, range.begin, range.end - range.begin));
      files.push_back({.layout = &layout, .days = std::move(range.days), .begin = range.begin});
    }
  }
  // Prices and amounts as floats; open_interest as int64 when every file has it, as floats with
  // NaN for the stocks when stocks and derivatives are read together.
  Columns c;
  c.float_names = {"open", "high", "low", "close", "volume", "total_turnover"};
  std::size_t derivatives = 0;
  for (const BarFile& f : files) derivatives += f.layout == &bundle::DERIVATIVES_DTYPE;
  if (derivatives == files.size() && !files.empty()) {
    c.int_names = {"open_interest"};
  } else if (derivatives > 0) {
    c.float_names.push_back("open_interest");
  }
  // Per file: its sources, in the order of the names.
  std::vector<std::vector<ColumnSource>> float_sources(files.size()), int_sources(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    for (const std::string& name : c.float_names)
      float_sources[i].push_back(bar_source(*files[i].layout, name));
    for (const std::string& name : c.int_names)
      int_sources[i].push_back(bar_source(*files[i].layout, name));
  }
  std::size_t n = 0;
  std::vector<std::size_t> rows_of;
  for (const h5::FetchedRows& f : fetched) {
    rows_of.push_back(static_cast<std::size_t>(f.rows()));
    n += rows_of.back();
  }
  c.allocate(n);
  double* floats = c.floats.mutable_data();
  std::int64_t* ints = c.ints.mutable_data();
  std::int64_t* index = c.index.mutable_data();
  std::int64_t* trading = c.trading_date.mutable_data();
  {
    py::gil_scoped_release unlocked;
    decode_in_parallel(
        pieces_of(fetched), [&](std::span<const std::byte> bytes, const PieceRef& p) {
          const std::size_t record = files[p.source].layout->size;
          const std::size_t count = bytes.size() / record;
          split_records(bytes.data(), record, count, p.out_row, float_sources[p.source], floats,
                        int_sources[p.source], ints, n);
          const std::byte* at = bytes.data();
          DayClock day;
          for (std::size_t r = 0; r < count; ++r, at += record) {
            // YYYYMMDDHHMMSS, the bar's own time.
            const auto stamp = load<std::int64_t>(at);
            const std::int64_t hhmmss = stamp % 1'000'000;
            index[p.out_row + r] =
                day.at(stamp / 1'000'000) +
                (hhmmss / 10000 * 3600 + hhmmss / 100 % 100 * 60 + hhmmss % 100) * kNsPerSecond;
          }
        });
    // Each day's bars run from its line_no to the next day's; the last day's to the span's end.
    std::size_t offset = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
      const BarFile& f = files[i];
      for (std::size_t d = 0; d < f.days.size(); ++d) {
        const std::size_t from = offset + (f.days[d].line_no - f.begin);
        const std::size_t to = d + 1 < f.days.size() ? offset + (f.days[d + 1].line_no - f.begin)
                                                     : offset + rows_of[i];
        std::fill(trading + from, trading + to, epoch_days(f.days[d].date) * kNsPerDay);
      }
      offset += rows_of[i];
    }
  }
  py::dict d = c.to_dict();
  d["rows"] = rows_of;
  if (by_instrument) {
    py::array_t<std::int32_t> codes(static_cast<py::ssize_t>(n));
    std::int32_t* code = codes.mutable_data();
    std::vector<std::int64_t> level;
    {
      py::gil_scoped_release unlocked;
      time_level(index, rows_of, level, code);
    }
    d["time_level"] =
        py::array_t<std::int64_t>(static_cast<py::ssize_t>(level.size()), level.data());
    d["time_codes"] = codes;
  }
  return d;
}

}  // namespace

void bind_frame_columns(py::module_& m) {
  m.def("_tick_columns", &tick_columns, py::arg("path"), py::arg("first_date"),
        py::arg("last_date"),
        "The ticks of the trading dates first_date..last_date as the columns of read_ticks'\n"
        "frame: dict of index and trading_date (int64 nanoseconds), floats and ints (one 2-D\n"
        "array each, a row per column named by float_names and int_names).");
  m.def("_bar_columns", &bar_columns, py::arg("paths"), py::arg("first_date"), py::arg("last_date"),
        py::arg("by_instrument") = false,
        "The minute bars of the trading dates first_date..last_date of each file, one after the\n"
        "other, as _tick_columns gives them, and rows: how many each file gave; by_instrument:\n"
        "also time_level and time_codes, the datetime level of a (order_book_id, datetime)\n"
        "index.");
}

}  // namespace tessera_plus::python
