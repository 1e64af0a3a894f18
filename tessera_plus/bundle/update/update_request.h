// What the front ends (the command line, Python) ask of an update, as one value handed from the
// entry point down to the worker pool.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tessera_plus/bundle/store/stored_counts.h"

namespace tessera_plus::bundle {

// How long an update waits, by default, for files that readers hold (UpdateRequest::lock_wait).
inline constexpr std::chrono::seconds kDefaultLockWait{180};

// The user's answer to the rebuild question.
enum class RebuildDecision { kConfirmed, kDeclined };
using ConfirmRebuild = std::function<RebuildDecision()>;

struct UpdateRequest {
  // Worker processes, for the base update and for each pool.
  int concurrency = 1;
  // The bundle root (holding bundle/).
  std::string data_bundle_path{};
  // Update daily bars and base data first.
  bool base = true;
  // Tags of the instruments whose minute bars and ticks are updated; empty skips that update.
  std::vector<std::string> minbar{};
  std::vector<std::string> tick{};
  // Also the futures and options on the instruments selected.
  bool with_derivatives = false;
  // Rewrite the selected files from their first date, once `confirm_rebuild` agrees.
  bool rebuild = false;
  // Include Beijing Stock Exchange stocks; the permission for them is tested first.
  bool enable_bjse = false;
  // How long the minute-bar and tick passes wait for files that readers hold (a shared lock, as
  // HDF5's read-only opens take): the first held file starts the wait, every held file is waited
  // for until it is up, and those still held are tried once more at the end of their pass before
  // they count as failed (held_files.h).
  std::chrono::duration<double> lock_wait = kDefaultLockWait;
  // Stored trading days of each file fetched again with its new days, in the same service call,
  // and written again when the service now answers them differently; 0 only appends.
  int recheck_days = kDefaultRecheckDays;
  // Asked once before anything is written when `rebuild` is set; kDeclined ends the program
  // (ExitRequest(0)). Unset: the question is asked on standard input (ask_rebuild_confirmation).
  ConfirmRebuild confirm_rebuild{};
  // A tag that selects no instrument counts as a failure of the run: the user named something
  // that is not there. The smart update, whose tags are the ids of the files it finds, clears it.
  bool unmatched_tags_fail = true;
};

}  // namespace tessera_plus::bundle
