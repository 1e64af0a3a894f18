// How a per-instrument writer ends: with what it did to its file, or with one log line naming the
// file and the cause, so that the other instruments of the update go on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tessera_plus/bundle/update/writer.h"
#include "tessera_plus/h5/journal_driver.h"

namespace tessera_plus::bundle {

// The outcome of a writer that stored `rows` records in `file_path`, which was `before` when the
// writer began: changed when it stored records or the file appeared, vanished or changed size (a
// repair that only cut a tail, a marker), and by how many bytes it grew.
WriteResult outcome_since(const std::string& file_path, const FileState& before,
                          StoredCounts stored);

// Runs `body`, which works on `file_path` and returns what it stored, and answers with
// outcome_since. What `body` throws is logged as one line beginning "更新 {file_path}" with advice
// that fits the cause (a full disk, file permissions or a lock, another I/O error, missing data
// permission, a damaged file), clears the shared flag `sval` (the host's contract) and comes back
// as a kFailed result whose reason is the rest of that line; a request to end the program passes
// through untouched. With `held_comes_back`, a lock that another process holds on the file
// (BlockingIOError) comes back as kHeld instead, unlogged and with the flag left alone. When
// `body` left the file's commit waiting in `group`, the answer is kPending, with `before`, and
// commit_outcome gives the outcome once the group has committed.
WriteResult guard_file_update(const std::string& file_path, const FileState& before,
                              const std::function<StoredCounts()>& body,
                              bool held_comes_back = false, const h5::CommitGroup* group = nullptr);

// The outcome of the kPending `pending` now that its group has committed: as guard_file_update's
// when `failed` (the file's commit failed as `failed` says: logged, the flag cleared, kFailed),
// otherwise outcome_since.
WriteResult commit_outcome(const WriteResult& pending, const h5::CommitGroup::Outcome* failed);

}  // namespace tessera_plus::bundle
