// Looking again at the last stored days of a minute-bar file: the service may have delivered a
// day short (a run in the last half hour, a late vendor) or corrected it since. The bars fetched
// for an update start at the first day looked at, so the same call that brings the new days tells
// whether the stored ones still hold.
#pragma once

#include <cstddef>
#include <vector>

#include "tessera_plus/bundle/store/minbar_records.h"
#include "tessera_plus/h5/dataset.h"

namespace tessera_plus::bundle {

// The last `days` (at least one) `index` entries of a file and where their bars start. A file
// without entries has an empty window.
struct RecheckWindow {
  h5::Size index_from = 0;
  std::vector<IndexEntry> entries{};
  h5::Size data_length = 0;

  bool empty() const { return entries.empty(); }
  int first_date() const { return entries.front().date; }
};
RecheckWindow recheck_window(const h5::Dataset& index, const h5::Dataset& data, int days);

// What the fetched bars (from the window's first day on) say about the stored ones. The file keeps
// its first `keep_entries` window entries and their bars; the fetched bars from entry
// `append_from` on go after them. Nothing revised: every window day is kept and only the days
// after the last stored one are appended.
// A stored day the service no longer answers for is kept, never cut: when a revision would have
// to drop one, nothing is revised this time.
struct WindowRevision {
  std::size_t keep_entries = 0;
  std::size_t append_from = 0;
  std::vector<int> revised_days{};  // stored days that differ, and days the file lacked in between
};
WindowRevision compare_window(const h5::Dataset& data, const RecheckWindow& window,
                              const MinbarRecords& fetched);

// The fetched records from index entry `first_entry` on, their line numbers counted from their own
// first row; empty (no rows) when `first_entry` is past the end.
MinbarRecords records_from(const MinbarRecords& fetched, std::size_t first_entry);

}  // namespace tessera_plus::bundle
