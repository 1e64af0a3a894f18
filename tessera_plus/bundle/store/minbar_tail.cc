#include "tessera_plus/bundle/store/minbar_tail.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tessera_plus/bundle/store/records.h"
#include "tessera_plus/market/bar_time.h"

namespace tessera_plus::bundle {
namespace {

// The last entries read on the quick path: the last two are checked, each against the one before
// it. A repair reads the whole index (8 bytes a day).
constexpr h5::Size kQuickEntries = 3;

using tallow::belongs_after;
using tallow::date_of_datetime;

class TailReader {
 public:
  TailReader(const h5::Dataset& index, const h5::Dataset& data)
      : index_(index), data_(data), rows_(data.length()) {}

  h5::Size rows() const { return rows_; }

  std::vector<IndexEntry> entries(h5::Size first, h5::Size count) const {
    std::vector<IndexEntry> out(count);
    if (count > 0) index_.read(INDEX_DTYPE, first, count, out.data());
    return out;
  }

  std::vector<std::int64_t> datetimes(h5::Size first, h5::Size count) const {
    if (count == 0) return {};
    return data_.read_field<std::int64_t>(*EQUITIES_DTYPE.find("datetime"), first, count);
  }

  // `entry` against the one before it (`previous`, null for the first entry).
  bool entry_is_sound(const IndexEntry& entry, const IndexEntry* previous) const {
    if (entry.date <= 0 || entry.line_no >= rows_) return false;
    if (previous && (entry.date <= previous->date || entry.line_no <= previous->line_no)) {
      return false;
    }
    if (!previous && entry.line_no != 0) return false;
    // The entry's bar opens its day: it belongs to this day, and the row before it does not.
    h5::Size first = entry.line_no > 0 ? entry.line_no - 1 : 0;
    std::vector<std::int64_t> around = datetimes(first, entry.line_no - first + 1);
    const int previous_date = previous ? previous->date : 0;
    std::int64_t bar = around.back();
    if (bar <= 0 || date_of_datetime(bar) > entry.date || !belongs_after(bar, previous_date))
      return false;
    if (around.size() == 1) return true;
    return around.front() > 0 && around.front() < bar &&
           !belongs_after(around.front(), previous_date);
  }

  // The bars of the last day, from `entry.line_no` to the end of `data`.
  bool last_day_is_sound(const IndexEntry& entry, const IndexEntry* previous) const {
    std::vector<std::int64_t> bars = datetimes(entry.line_no, rows_ - entry.line_no);
    const int previous_date = previous ? previous->date : 0;
    for (std::size_t i = 0; i < bars.size(); ++i) {
      if (bars[i] <= 0 || date_of_datetime(bars[i]) > entry.date ||
          !belongs_after(bars[i], previous_date)) {
        return false;
      }
      if (i > 0 && bars[i] <= bars[i - 1]) return false;
    }
    return true;
  }

 private:
  const h5::Dataset& index_;
  const h5::Dataset& data_;
  h5::Size rows_;
};

}  // namespace

std::optional<SoundPrefix> unsound_tail(const h5::Dataset& index, const h5::Dataset& data) {
  const h5::Size length = index.length();
  if (length == 0) return std::nullopt;
  TailReader reader(index, data);
  const h5::Size first = length - std::min(length, kQuickEntries);
  std::vector<IndexEntry> tail = reader.entries(first, length - first);
  const std::size_t n = tail.size();
  const IndexEntry* previous = n > 1 ? &tail[n - 2] : nullptr;
  // Fewer than three entries read means the first of them is the file's first.
  const bool before_last_sound =
      n < 2 || reader.entry_is_sound(tail[n - 2], n > 2 ? &tail[n - 3] : nullptr);
  if (before_last_sound && reader.entry_is_sound(tail.back(), previous) &&
      reader.last_day_is_sound(tail.back(), previous)) {
    return std::nullopt;
  }
  std::vector<IndexEntry> all = reader.entries(0, length);
  // The cut lands on a sound entry; when the entry before the last is unsound, at or below it, so
  // that it is not kept.
  const h5::Size top = before_last_sound ? length - 1 : length - 2;
  for (h5::Size i = top + 1; i-- > 0;) {
    if (reader.entry_is_sound(all[i], i > 0 ? &all[i - 1] : nullptr)) {
      return SoundPrefix{i, all[i].line_no};
    }
  }
  return SoundPrefix{0, 0};
}

}  // namespace tessera_plus::bundle
