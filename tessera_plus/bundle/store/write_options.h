// How the writers open an existing file for an in-place update.
#pragma once

#include <optional>
#include <string>

#include "tessera_plus/h5/file.h"
#include "tessera_plus/h5/journal_io.h"

namespace tessera_plus::bundle {

#ifndef TESSERA_PLUS_BENCH_NO_JOURNAL
#define TESSERA_PLUS_BENCH_NO_JOURNAL 0
#endif

// Calendar days of bars fetched at once when a minute-bar file is built from its first date
// (minbar_stream.h): about a year, some 60 000 stock bars (3 MB of records), whatever the length
// of the history.
inline constexpr int MINBAR_BATCH_DAYS = 366;

struct WriteOptions {
  // False only to measure what the journal costs (bench/); such an update is not crash-safe. A
  // build configured with TESSERA_PLUS_BENCH_NO_JOURNAL makes it the default everywhere.
  bool journal = !TESSERA_PLUS_BENCH_NO_JOURNAL;
  // Test only: failures or a crash at a chosen system call of the commit; its recorder also hears
  // the publishing of new files.
  std::optional<h5::FaultPlan> faults = std::nullopt;
  // How long opening the file waits for a lock that a reader holds on it (h5/lock_wait.h); no
  // wait when unset.
  h5::LockDeadline lock_deadline{};
  // Threads that compress chunks: more than one only when the cores would otherwise idle (one
  // instrument at a time); the files are the same either way.
  unsigned deflate_threads = 1;
  // Where the journaled update's commit goes, to be made with other files' (h5/journal_driver.h);
  // committed at the update's close when unset. It must outlive the update.
  h5::CommitGroup* commit_group = nullptr;
  // Calendar days of bars a minute-bar file built from its first date fetches and stores at a
  // time; the file is the same whatever the value (tests set a few days).
  int batch_days = MINBAR_BATCH_DAYS;
};

inline IoRecorder* recorder_of(const WriteOptions& options) {
  return options.faults ? options.faults->recorder : nullptr;
}

// Opens the existing file at `path` read-write, through the journal unless `options` say not.
inline h5::File open_for_update(const std::string& path, const WriteOptions& options) {
  if (!options.journal) return h5::File::open(path, h5::Mode::kAppend);
  return h5::File::open_journaled(path, h5::Mode::kAppend, options.faults, options.lock_deadline,
                                  options.commit_group);
}

}  // namespace tessera_plus::bundle
