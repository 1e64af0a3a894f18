#include "tessera_plus/bundle/store/tick_records.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_set>

#include <fmt/format.h>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/tick_layout.h"
#include "tessera_plus/h5/record_layout.h"

namespace tessera_plus::bundle {
namespace {

// Records are built positionally: column i of COLUMNS, scaled by FIELDS[i], fills field i of
// DTYPES. The three lists must therefore agree name by name.
constexpr bool layouts_agree() {
  if (H5TicksLoader::COLUMNS.size() != H5TicksLoader::FIELDS.size()) return false;
  if (H5TicksLoader::COLUMNS.size() != H5TicksLoader::DTYPES.fields.size()) return false;
  for (std::size_t i = 0; i < H5TicksLoader::COLUMNS.size(); ++i) {
    if (H5TicksLoader::COLUMNS[i] != H5TicksLoader::FIELDS[i].name) return false;
    if (H5TicksLoader::COLUMNS[i] != H5TicksLoader::DTYPES.fields[i].name) return false;
  }
  return true;
}
static_assert(layouts_agree());

struct RowKey {
  std::string_view order_book_id;
  std::int64_t timestamp;
  bool operator==(const RowKey&) const = default;
};

struct RowKeyHash {
  std::size_t operator()(const RowKey& key) const noexcept {
    return std::hash<std::int64_t>{}(key.timestamp) * 31 +
           std::hash<std::string_view>{}(key.order_book_id);
  }
};

RowKey key_of(const tallow::PriceTable& ticks, std::size_t row) {
  // Both arms are views: a "" arm would make the result a temporary std::string.
  std::string_view id = row < ticks.order_book_ids.size()
                            ? std::string_view(ticks.order_book_ids[row])
                            : std::string_view();
  return RowKey{id, ticks.timestamps[row].time_since_epoch().count()};
}

// The service sends ticks in key order as a rule; keys that strictly increase cannot repeat, and
// checking that is far cheaper than hashing every key.
bool keys_strictly_increase(const tallow::PriceTable& ticks) {
  for (std::size_t i = 1; i < ticks.rows(); ++i) {
    RowKey before = key_of(ticks, i - 1), key = key_of(ticks, i);
    if (before.order_book_id != key.order_book_id ? before.order_book_id > key.order_book_id
                                                  : before.timestamp >= key.timestamp) {
      return false;
    }
  }
  return true;
}

// keep[i] is false for a row whose key occurs again further down the table.
std::vector<bool> last_of_each_key(const tallow::PriceTable& ticks) {
  const std::size_t n = ticks.rows();
  if (keys_strictly_increase(ticks)) return std::vector<bool>(n, true);
  std::vector<bool> keep(n, false);
  std::unordered_set<RowKey, RowKeyHash> seen;
  seen.reserve(n);
  for (std::size_t i = n; i-- > 0;) keep[i] = seen.insert(key_of(ticks, i)).second;
  return keep;
}

// Where each stored field's values come from, resolved once per day rather than per row.
struct ColumnSource {
  enum class From { kDate, kTime, kZero, kColumn } from;
  const std::vector<double>* values = nullptr;
};

ColumnSource source_of(const tallow::PriceTable& ticks, std::string_view name) {
  if (name == "date") return {ColumnSource::From::kDate};
  if (name == "time") return {ColumnSource::From::kTime};
  if (name == "open_interest" && !ticks.has_column(name)) return {ColumnSource::From::kZero};
  const std::vector<double>& values = ticks.column(name);
  if (values.size() != ticks.rows()) {
    throw ValueError(fmt::format("the service's tick column '{}' has {} values for {} rows", name,
                                 values.size(), ticks.rows()));
  }
  return {ColumnSource::From::kColumn, &values};
}

// The dates of `rows` as YYYYMMDD numbers. A day's ticks share their date, so the calendar
// conversion runs once per day rather than once per tick.
void gather_dates(const tallow::PriceTable& ticks, std::span<const std::size_t> rows,
                  std::vector<double>& out) {
  std::chrono::local_days day{};
  double number = 0;
  bool known = false;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const DateTime t = ticks.timestamps[rows[r]];
    const auto this_day = std::chrono::floor<std::chrono::days>(t);
    if (!known || this_day != day) {
      day = this_day;
      number = date_to_number(t);
      known = true;
    }
    out[r] = number;
  }
}

// The source's values of `rows`, unscaled, gathered into `out` so that the records are filled one
// field at a time by a tight loop.
void gather(const tallow::PriceTable& ticks, const ColumnSource& source,
            std::span<const std::size_t> rows, std::vector<double>& out) {
  out.resize(rows.size());
  switch (source.from) {
    case ColumnSource::From::kDate:
      return gather_dates(ticks, rows, out);
    case ColumnSource::From::kTime:
      for (std::size_t r = 0; r < rows.size(); ++r) {
        out[r] = time_to_number(ticks.timestamps[rows[r]]);
      }
      return;
    case ColumnSource::From::kZero:
      std::fill(out.begin(), out.end(), 0.0);
      return;
    case ColumnSource::From::kColumn:
      for (std::size_t r = 0; r < rows.size(); ++r) out[r] = (*source.values)[rows[r]];
      return;
  }
}

// The values of one field for `block`: a column's own memory when the block's rows are
// consecutive (the rule: one day's ticks in time order), else gathered into `scratch`.
std::span<const double> field_values(const tallow::PriceTable& ticks, const ColumnSource& source,
                                     std::span<const std::size_t> block,
                                     std::vector<double>& scratch) {
  const bool consecutive = block.back() - block.front() + 1 == block.size();
  if (source.from == ColumnSource::From::kColumn && consecutive) {
    return std::span<const double>(*source.values).subspan(block.front(), block.size());
  }
  gather(ticks, source, block, scratch);
  return scratch;
}

}  // namespace

std::vector<TickDayRows> group_tick_rows(const tallow::PriceTable& ticks) {
  if (!ticks.trading_date) throw KeyError("the service's tick table has no column 'trading_date'");
  const std::vector<DateTime>& trading_date = *ticks.trading_date;
  if (trading_date.size() != ticks.rows()) {
    throw ValueError(
        fmt::format("the service's tick column 'trading_date' has {} values for {} rows",
                    trading_date.size(), ticks.rows()));
  }
  // Grouped by calendar date rather than by exact value: the dataset is named by the date, so two
  // values of one day (midnight and 15:00, say) must not end up as two datasets of one name.
  std::map<Date, std::vector<std::size_t>> days;
  std::vector<bool> keep = last_of_each_key(ticks);
  // Rows of one day come together as a rule, so the day is looked up once per run of rows rather
  // than once per row.
  std::optional<std::chrono::local_days> day;
  std::vector<std::size_t>* day_rows = nullptr;
  for (std::size_t i = 0; i < ticks.rows(); ++i) {
    if (!keep[i]) continue;
    const auto this_day = std::chrono::floor<std::chrono::days>(trading_date[i]);
    if (this_day != day) {
      day = this_day;
      day_rows = &days[Date(this_day)];
    }
    day_rows->push_back(i);
  }
  std::vector<TickDayRows> out;
  out.reserve(days.size());
  for (auto& [date, rows] : days) out.push_back({date, std::move(rows)});
  return out;
}

void build_tick_records(const tallow::PriceTable& ticks, std::span<const std::size_t> rows,
                        std::vector<std::byte>& records) {
  const h5::RecordLayout& layout = H5TicksLoader::DTYPES;
  records.resize(rows.size() * layout.size);
  std::vector<ColumnSource> sources;
  for (std::string_view name : H5TicksLoader::COLUMNS) sources.push_back(source_of(ticks, name));
  // Filled a block of rows at a time, field by field: a block (some 60 KB of records) stays in the
  // cache while its 32 fields go in, where whole-table passes streamed the day 32 times.
  constexpr std::size_t kBlockRows = 256;
  std::vector<double> values;
  for (std::size_t first = 0; first < rows.size(); first += kBlockRows) {
    const auto block = rows.subspan(first, std::min(kBlockRows, rows.size() - first));
    for (std::size_t c = 0; c < layout.fields.size(); ++c) {
      h5::store_column(records.data() + first * layout.size, layout.size, layout.fields[c],
                       field_values(ticks, sources[c], block, values),
                       H5TicksLoader::FIELDS[c].factor);
    }
  }
}

}  // namespace tessera_plus::bundle
