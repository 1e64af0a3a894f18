#include "tessera_plus/bundle/store/minbar_records.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <set>
#include <string_view>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/errors.h"

namespace tessera_plus::bundle {
namespace {

using tallow::PriceTable;

std::string_view id_of(const PriceTable& table, std::size_t row) {
  return table.order_book_ids.empty() ? std::string_view{} : table.order_book_ids[row];
}

void check_shape(const PriceTable& table) {
  std::size_t rows = table.rows();
  bool ids_ok = table.order_book_ids.empty() || table.order_book_ids.size() == rows;
  bool dates_ok = !table.trading_date || table.trading_date->size() == rows;
  if (!ids_ok || !dates_ok) {
    throw ValueError("the service's minute-bar table has key levels or columns of unequal length");
  }
  for (const auto& [name, values] : table.columns()) {
    if (values.size() != rows) {
      throw ValueError(fmt::format("the service's column '{}' does not match the row count", name));
    }
  }
}

// Rows to keep: the first of every (order book id, timestamp) key, in table order.
std::vector<std::size_t> first_of_each_key(const PriceTable& table) {
  const auto& ts = table.timestamps;
  std::vector<std::size_t> kept;
  kept.reserve(ts.size());
  if (std::is_sorted(ts.begin(), ts.end())) {
    // Rows of equal timestamp are adjacent, so a repeat can only be among the kept rows of the
    // current timestamp.
    for (std::size_t r = 0; r < ts.size(); ++r) {
      bool repeat = false;
      for (auto k = kept.rbegin(); k != kept.rend() && ts[*k] == ts[r] && !repeat; ++k) {
        repeat = id_of(table, *k) == id_of(table, r);
      }
      if (!repeat) kept.push_back(r);
    }
    return kept;
  }
  std::set<std::pair<DateTime, std::string_view>> seen;
  for (std::size_t r = 0; r < ts.size(); ++r) {
    if (seen.emplace(ts[r], id_of(table, r)).second) kept.push_back(r);
  }
  return kept;
}

// Each stored bar is paired with the k-th distinct timestamp, which is the bar's own timestamp
// only when the kept rows are strictly ascending; anything else would stamp bars with another
// bar's time, so it is refused instead.
void require_ascending(const PriceTable& table, const std::vector<std::size_t>& kept) {
  for (std::size_t k = 1; k < kept.size(); ++k) {
    if (!(table.timestamps[kept[k - 1]] < table.timestamps[kept[k]])) {
      throw ValueError(fmt::format(
          "the service's minute bars are not in ascending time order (row {} of the table)",
          kept[k]));
    }
  }
}

std::int64_t to_integer(double value, std::string_view field) {
  // 2^63 is exactly representable; anything at or above it (or NaN) does not fit an int64.
  constexpr double kLimit = 9223372036854775808.0;
  double truncated = std::trunc(value);
  if (!(truncated >= -kLimit && truncated < kLimit)) {
    throw ValueError(fmt::format("value {} does not fit the integer field '{}'", value, field));
  }
  return static_cast<std::int64_t>(truncated);
}

// Where each record field comes from: a table column, or the computed `datetime`.
struct Source {
  const h5::Field* field;
  const std::vector<double>* column;  // null for `datetime`
};

std::vector<Source> sources_of(const PriceTable& table, const h5::RecordLayout& dtypes) {
  std::vector<Source> sources;
  for (const h5::Field& f : dtypes.fields) {
    sources.push_back({&f, f.name == "datetime" ? nullptr : &table.column(f.name)});
  }
  return sources;
}

void store(std::byte* record, const Source& source, std::size_t row, std::int64_t datetime) {
  const h5::Field& f = *source.field;
  std::byte* at = record + f.offset;
  if (!source.column) {
    std::memcpy(at, &datetime, sizeof datetime);
    return;
  }
  double value = (*source.column)[row];
  switch (f.kind) {
    case h5::Kind::kFloat64:
      std::memcpy(at, &value, sizeof value);
      return;
    case h5::Kind::kInt64: {
      std::int64_t v = to_integer(value, f.name);
      std::memcpy(at, &v, sizeof v);
      return;
    }
    case h5::Kind::kInt32:
    case h5::Kind::kUInt32:
      break;
  }
  throw ValueError(fmt::format("minute-bar field '{}' has an unexpected type", f.name));
}

int trading_date_of(const PriceTable& table, std::size_t row) {
  if (table.trading_date) return date_to_number((*table.trading_date)[row]);
  return date_to_number(table.timestamps[row]);
}

std::vector<IndexEntry> index_of(const PriceTable& table, const std::vector<std::size_t>& kept) {
  std::vector<IndexEntry> index;
  std::unordered_set<int> seen;
  for (std::size_t k = 0; k < kept.size(); ++k) {
    int date = trading_date_of(table, kept[k]);
    if (!index.empty() && index.back().date == date) continue;
    if (seen.insert(date).second) index.push_back({date, static_cast<std::uint32_t>(k)});
  }
  return index;
}

}  // namespace

MinbarRecords to_minbar_records(const PriceTable& table, const h5::RecordLayout& dtypes) {
  check_shape(table);
  std::vector<std::size_t> kept = first_of_each_key(table);
  require_ascending(table, kept);
  if (kept.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw ValueError("more minute bars than an index entry can address");
  }
  std::vector<Source> sources = sources_of(table, dtypes);
  MinbarRecords out{.layout = &dtypes, .data = {}, .rows = kept.size(), .index = {}};
  out.data.resize(kept.size() * dtypes.size);
  for (std::size_t k = 0; k < kept.size(); ++k) {
    std::size_t row = kept[k];
    std::int64_t datetime = convert_dt_to_int(table.timestamps[row]);
    std::byte* record = out.data.data() + k * dtypes.size;
    for (const Source& source : sources) store(record, source, row, datetime);
  }
  out.index = index_of(table, kept);
  return out;
}

}  // namespace tessera_plus::bundle
