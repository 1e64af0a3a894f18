// What a per-instrument writer (_append_h5, _append_h5_tick) is asked to do and what it reports
// back, so that the parallel updater records each instrument's outcome from one answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/bundle/store/stored_counts.h"
#include "tessera_plus/bundle/update/update_request.h"
#include "tessera_plus/h5/lock_wait.h"

namespace tessera_plus::h5 {
class CommitGroup;
}

namespace tessera_plus::bundle {

// Whether a file exists and its size. Taken by a writer before it touches the file, so that the
// run reports how much each file grew (a rebuild replaces the file whole). Modification times say
// nothing here: opening a file for writing touches it even when nothing is appended.
struct FileState {
  bool exists = false;
  std::int64_t size = 0;

  static FileState of(const std::string& file_path);
  bool operator==(const FileState&) const = default;
};

struct WriteRequest {
  std::string order_book_id;
  // The minute-bar directory (bundle/h5) or the tick directory (bundle/ticks).
  std::string path;
  // The file's name in its directory; "{order_book_id}.h5" when unset or empty.
  std::optional<std::string> file_name = std::nullopt;
  int min_start_date = MIN_START_DATE;
  // Delete the file first and build it anew from `min_start_date`.
  bool rebuild = false;
  // How long opening the file waits while a reader holds it (h5/lock_wait.h); no wait when unset.
  h5::LockDeadline lock_deadline{};
  // A file still held when the wait is up comes back as kHeld, not logged, for the caller to try
  // again later; otherwise it fails as any other I/O error does.
  bool held_comes_back = false;
  // Where an in-place update's commit goes, to be made with other files' (h5/journal_driver.h);
  // the writer then answers kPending for the file. Committed as the writer closes when unset.
  h5::CommitGroup* commit_group = nullptr;
  // Stored trading days fetched again with the new days, in the same call, and written again when
  // the service now answers them differently. 0: the new days only.
  int recheck_days = kDefaultRecheckDays;
};

struct WriteResult {
  // kHeld: another process held the file and nothing was written (held_comes_back).
  // kPending: the file's commit waits in the request's commit_group; what it came to is known
  // once the group commits (commit_outcome in write_guard.h).
  enum class Outcome { kUnchanged, kChanged, kFailed, kHeld, kPending };
  Outcome outcome = Outcome::kUnchanged;
  // The file the writer worked on; empty when it stopped before choosing one (an instrument class
  // without files, one de-listed before the first date).
  std::string file{};
  std::uint64_t rows = 0;           // records the file holds now that it did not before
  std::int64_t bytes = 0;           // how much the file grew; negative when a repair shrank it
  std::string reason{};             // one line, for kFailed and kHeld
  FileState before{};               // for kPending: the file when the writer began
  std::vector<int> revised_days{};  // stored days (YYYYMMDD) written again with revised records

  bool failed() const { return outcome == Outcome::kFailed; }
};

}  // namespace tessera_plus::bundle
