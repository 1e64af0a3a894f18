#include "tessera_plus/bundle/store/minbar_file.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string_view>
#include <system_error>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/market/bar_time.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;

const h5::Field& field_of(const h5::RecordLayout& layout, std::string_view name) {
  const h5::Field* field = layout.find(name);
  if (!field) throw KeyError("record type has no field '" + std::string(name) + "'");
  return *field;
}

int calendar_date(std::int64_t datetime) {
  return static_cast<int>(tallow::date_of_datetime(datetime));
}

// The leftmost row whose key is >= `min_date` (the length when there is none), over rows whose
// keys ascend. One single-value read per step.
template <typename T, typename KeyOf>
h5::Size leftmost_at_or_after(const h5::Dataset& ds, const h5::Field& field, int min_date,
                              KeyOf key_of) {
  h5::Size lo = 0;
  h5::Size hi = ds.length();
  while (lo < hi) {
    h5::Size mid = lo + (hi - lo) / 2;
    if (key_of(ds.read_field<T>(field, mid, 1)[0]) < min_date) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

}  // namespace

h5::Creation minbar_creation(std::size_t chunk) {
  return h5::Creation{.chunk = chunk, .growable = true, .deflate = 9, .filters = {}};
}

ChunkDeflater minbar_deflater(unsigned threads) {
  return ChunkDeflater(MINBAR_DEFLATE_LEVEL, MINBAR_PARTIAL_CHUNK_LEVEL, threads);
}

void create_minbar_datasets(h5::File& file, const MinbarRecords& records, ChunkDeflater& deflater) {
  h5::Dataset data =
      h5::Dataset::create_empty(file, "data", *records.layout, minbar_creation(MINBAR_DATA_CHUNK));
  append_deflated(data, {records.layout, records.data.data(), records.rows}, deflater);
  h5::Dataset index =
      h5::Dataset::create_empty(file, "index", INDEX_DTYPE, minbar_creation(MINBAR_INDEX_CHUNK));
  append_deflated(index, {&INDEX_DTYPE, records.index.data(), records.index.size()}, deflater);
}

void append_records(h5::Dataset& origin, const RecordRows& rows, ChunkDeflater& deflater) {
  append_deflated(origin, rows, deflater);
}

IndexEntry last_index_entry(const h5::Dataset& index) {
  h5::Size length = index.length();
  if (length == 0) return {MIN_START_DATE, 0};
  IndexEntry last{};
  index.read(INDEX_DTYPE, length - 1, 1, &last);
  return last;
}

int last_data_date(const h5::Dataset& data) {
  h5::Size length = data.length();
  if (length == 0) return MIN_START_DATE;
  return calendar_date(
      data.read_field<std::int64_t>(field_of(EQUITIES_DTYPE, "datetime"), length - 1, 1)[0]);
}

void cut_back(h5::Dataset& index, h5::Dataset& data, int min_date) {
  h5::Size index_len = leftmost_at_or_after<std::int32_t>(
      index, field_of(INDEX_DTYPE, "date"), min_date, [](std::int32_t date) { return date; });
  // Both record types start with the same `datetime` field, so either layout names it.
  h5::Size data_len = leftmost_at_or_after<std::int64_t>(data, field_of(EQUITIES_DTYPE, "datetime"),
                                                         min_date, calendar_date);
  // A night bar belongs to the next trading day but carries the calendar date before it, so the
  // calendar cut alone would keep the night bars of `min_date`, and the refetch would store them
  // twice. The first entry cut from `index` says where that trading day's bars begin; rows that
  // no remaining entry covers go as well.
  if (index_len == 0) {
    data_len = 0;
  } else if (index_len < index.length()) {
    IndexEntry first_cut{};
    index.read(INDEX_DTYPE, index_len, 1, &first_cut);
    data_len = std::min<h5::Size>(data_len, first_cut.line_no);
  }
  data.resize(data_len);
  index.resize(index_len);
}

}  // namespace tessera_plus::bundle
