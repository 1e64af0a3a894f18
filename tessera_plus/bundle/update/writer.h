// What a per-instrument writer (_append_h5, _append_h5_tick) is asked to do and what it reports
// back, so that the parallel updater records each instrument's outcome from one answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/h5/lock_wait.h"

namespace tessera_plus::bundle {

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
};

struct WriteResult {
  // kHeld: another process held the file and nothing was written (held_comes_back).
  enum class Outcome { kUnchanged, kChanged, kFailed, kHeld };
  Outcome outcome = Outcome::kUnchanged;
  // The file the writer worked on; empty when it stopped before choosing one (an instrument class
  // without files, one de-listed before the first date).
  std::string file{};
  std::uint64_t rows = 0;  // records the file holds now that it did not before
  std::int64_t bytes = 0;  // how much the file grew; negative when a repair shrank it
  std::string reason{};    // one line, for kFailed and kHeld

  bool failed() const { return outcome == Outcome::kFailed; }
};

}  // namespace tessera_plus::bundle
