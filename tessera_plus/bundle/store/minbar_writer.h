// Creating, extending and repairing one minute-bar file. The bars come from a function the caller
// hands in, so this layer never talks to the service: it only stores what it is given.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "tessera_plus/bundle/store/minbar_records.h"
#include "tessera_plus/bundle/store/minbar_stream.h"
#include "tessera_plus/bundle/store/records.h"
#include "tessera_plus/bundle/store/stored_counts.h"
#include "tessera_plus/bundle/store/write_options.h"
#include "tessera_plus/h5/dataset.h"

namespace tessera_plus::bundle {

// The bars from `start_date` (YYYYMMDD) to the caller's end date, as file records; nullopt when
// there are none.
using FetchBars = std::function<std::optional<MinbarRecords>(int start_date)>;
// The trading date after `date` (both YYYYMMDD).
using NextTradingDate = std::function<int(int date)>;

// Creates `h5_file` holding `records`. It is built under a temporary name and published only once
// both datasets are complete: a run killed half-way leaves no half-built file under the real name.
// Only `options.deflate_threads` applies: a new file is not journaled.
void create_minbar_file(const std::filesystem::path& h5_file, const MinbarRecords& records,
                        const WriteOptions& options = {});

// Where the bars of an update come from, and what the instrument's listing says about them.
struct MinbarSource {
  // The first date of a file built anew.
  int min_start_date = 0;
  // The date the instrument was de-listed; 0 while it is listed.
  int de_listed_date = 0;
  FetchBars fetch;
  NextTradingDate next_trading_date;
  // When set, a file built anew fetches its history through it in ranges of `batch_days`
  // calendar days from `min_start_date` to `end_date` (the last date wanted), and stores each
  // before it fetches the next (minbar_stream.h), instead of through one `fetch`.
  FetchRange fetch_range{};
  int end_date = 0;
  int batch_days = MINBAR_BATCH_DAYS;
  // Stored trading days fetched again with the new ones and written again when the service now
  // answers them differently (minbar_recheck.h); 0 only appends. Stored days are asked for only in
  // the call that brings new days, never in a call of their own.
  int recheck_days = 0;
};

// How an existing file ends, read without the write lock: what decides whether an update extends
// it, repairs its tail first, or builds it anew in place.
struct MinbarEnd {
  enum class State {
    kNoIndex,   // no `index`: both datasets are built anew from the first date
    kToRepair,  // a tail that cannot be right, or `index` and `data` ending on different days
    kSound,     // ends with a sound day, `last_entry.date`, in both datasets
  };
  State state = State::kNoIndex;
  IndexEntry last_entry{};  // kSound only
  h5::Size index_length = 0;
  h5::Size data_length = 0;
};

// OSError when the file cannot be opened or read.
MinbarEnd read_minbar_end(const std::string& h5_file);
MinbarEnd read_minbar_end(const h5::File& file);

// Brings an existing file up to date, in one journaled update: whatever stops it, the file is its
// old or its new self (see h5/journal_driver.h). A file that is a link, or whose datasets point
// outside it, is refused before anything is written (write_safety.h).
// - Without `index` (an interrupted build by other means): the file is built anew from
//   `source.min_start_date` on, in batches when `source.fetch_range` is set, under a temporary
//   name as a new file is (MinbarBuild), and renamed over the old one once complete; the old file
//   stays as it was until then, and also when there are no bars at all.
// - Otherwise a tail that cannot be right (minbar_tail.h) is cut back to its last sound day,
//   `index` and `data` are cut back to the same last date, and the bars from the
//   next trading date on are appended, unless the instrument was de-listed on or before the last
//   stored date. With `source.recheck_days`, stored days the service now answers differently are
//   replaced in the same commit.
// - A sound file with nothing to add or revise is never opened for writing.
// The file's last day is read and the bars after it fetched before the file is opened for writing,
// so that its lock is held only while it is written; when the write session finds the file ending
// elsewhere by then (another writer, a repair to make), it fetches again under its lock. Returns
// the bars stored and the days revised.
StoredCounts update_minbar_file(const std::string& h5_file, const MinbarSource& source,
                                const WriteOptions& options = {});

}  // namespace tessera_plus::bundle
