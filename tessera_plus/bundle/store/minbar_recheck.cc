#include "tessera_plus/bundle/store/minbar_recheck.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace tessera_plus::bundle {
namespace {

// Rows of day `i` of `entries` run to the next day's first row, the last day's to `total`.
std::size_t day_end(const std::vector<IndexEntry>& entries, std::size_t i, std::size_t total) {
  return i + 1 < entries.size() ? entries[i + 1].line_no : total;
}

std::size_t first_after(const std::vector<IndexEntry>& entries, int date) {
  return static_cast<std::size_t>(
      std::find_if(entries.begin(), entries.end(),
                   [date](const IndexEntry& e) { return e.date > date; }) -
      entries.begin());
}

// The window's bars as stored, in the fetched records' layout, so that equal bars are equal bytes.
class StoredBars {
 public:
  StoredBars(const h5::Dataset& data, const RecheckWindow& window, const h5::RecordLayout& layout)
      : first_row_(window.entries.front().line_no),
        row_size_(layout.size),
        rows_(window.data_length - first_row_),
        bytes_(rows_ * row_size_) {
    if (rows_ > 0) data.read(layout, first_row_, rows_, bytes_.data());
  }

  bool day_equals(const RecheckWindow& window, std::size_t i, const MinbarRecords& fetched,
                  std::size_t j) const {
    const std::size_t first = window.entries[i].line_no - first_row_;
    const std::size_t end = day_end(window.entries, i, window.data_length) - first_row_;
    const std::size_t fetched_first = fetched.index[j].line_no;
    const std::size_t fetched_end = day_end(fetched.index, j, fetched.rows);
    if (end < first || end > rows_ || end - first != fetched_end - fetched_first) return false;
    return std::memcmp(bytes_.data() + first * row_size_,
                       fetched.data.data() + fetched_first * row_size_,
                       (end - first) * row_size_) == 0;
  }

 private:
  std::size_t first_row_;
  std::size_t row_size_;
  std::size_t rows_;
  std::vector<std::byte> bytes_;
};

WindowRevision unrevised(const RecheckWindow& window, const MinbarRecords& fetched) {
  return {.keep_entries = window.entries.size(),
          .append_from = first_after(fetched.index, window.entries.back().date)};
}

}  // namespace

RecheckWindow recheck_window(const h5::Dataset& index, const h5::Dataset& data, int days) {
  RecheckWindow window;
  const h5::Size length = index.length();
  const h5::Size count = std::min<h5::Size>(static_cast<h5::Size>(std::max(days, 1)), length);
  if (count == 0) return window;
  window.index_from = length - count;
  window.entries.resize(count);
  index.read(INDEX_DTYPE, window.index_from, count, window.entries.data());
  window.data_length = data.length();
  return window;
}

WindowRevision compare_window(const h5::Dataset& data, const RecheckWindow& window,
                              const MinbarRecords& fetched) {
  if (window.empty()) return {};
  const std::vector<IndexEntry>& stored = window.entries;
  const std::vector<IndexEntry>& got = fetched.index;
  const StoredBars bars(data, window, *fetched.layout);
  // Days the service answers before the window are not the window's to judge.
  std::size_t j = first_after(got, window.first_date() - 1);
  std::optional<WindowRevision> cut;
  std::vector<int> revised;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    for (; j < got.size() && got[j].date < stored[i].date; ++j) {
      revised.push_back(got[j].date);  // a day the file lacks
      if (!cut) cut = WindowRevision{.keep_entries = i, .append_from = j};
    }
    if (j == got.size() || got[j].date != stored[i].date) {
      // No answer for a stored day: keep it, which a cut before it would not.
      if (cut) return unrevised(window, fetched);
      continue;
    }
    if (!bars.day_equals(window, i, fetched, j)) {
      revised.push_back(stored[i].date);
      if (!cut) cut = WindowRevision{.keep_entries = i, .append_from = j};
    }
    ++j;
  }
  if (!cut) return unrevised(window, fetched);
  cut->revised_days = std::move(revised);
  return *cut;
}

MinbarRecords records_from(const MinbarRecords& fetched, std::size_t first_entry) {
  MinbarRecords part;
  part.layout = fetched.layout;
  if (first_entry >= fetched.index.size()) return part;
  const std::size_t first_row = fetched.index[first_entry].line_no;
  const std::size_t row_size = fetched.layout->size;
  part.rows = fetched.rows - first_row;
  part.data.assign(fetched.data.begin() + static_cast<std::ptrdiff_t>(first_row * row_size),
                   fetched.data.end());
  part.index.assign(fetched.index.begin() + static_cast<std::ptrdiff_t>(first_entry),
                    fetched.index.end());
  for (IndexEntry& entry : part.index) entry.line_no -= static_cast<std::uint32_t>(first_row);
  return part;
}

}  // namespace tessera_plus::bundle
