#include "tessera_plus/bundle/store/minbar_range.h"

#include <fmt/format.h>

#include <algorithm>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::bundle {
namespace {

void require_ordered(const std::vector<IndexEntry>& entries, h5::Size data_length) {
  h5::Size previous = 0;
  for (const IndexEntry& e : entries) {
    if (e.line_no < previous || e.line_no > data_length) {
      throw OSError(
          0, fmt::format("minute-bar index entry {} points at row {} of {} (after row {})", e.date,
                         e.line_no, data_length, previous));
    }
    previous = e.line_no;
  }
}

}  // namespace

MinbarRange minbar_range(const h5::Dataset& index, h5::Size data_length, int first_date,
                         int last_date) {
  const h5::Size length = index.readable_length();
  std::vector<IndexEntry> entries(length);
  if (length > 0) index.read(INDEX_DTYPE, 0, length, entries.data());
  require_ordered(entries, data_length);
  auto by_date = [](const IndexEntry& e, int date) { return e.date < date; };
  auto first = std::lower_bound(entries.begin(), entries.end(), first_date, by_date);
  auto last = std::lower_bound(first, entries.end(), last_date + 1, by_date);
  MinbarRange range;
  range.days.assign(first, last);
  if (first == last) return range;
  range.begin = first->line_no;
  range.end = last == entries.end() ? data_length : last->line_no;
  return range;
}

}  // namespace tessera_plus::bundle
