// How a per-instrument writer ends: with what it did to its file, or with one log line naming the
// file and the cause, so that the other instruments of the update go on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tessera_plus/bundle/update/writer.h"

namespace tessera_plus::bundle {

// Whether a file exists and its size. Taken by a writer before it touches the file, so that the
// run reports how much each file grew (a rebuild deletes the file first). Modification times say
// nothing here: opening a file for writing touches it even when nothing is appended.
struct FileState {
  bool exists = false;
  std::int64_t size = 0;

  static FileState of(const std::string& file_path);
  bool operator==(const FileState&) const = default;
};

// The outcome of a writer that stored `rows` records in `file_path`, which was `before` when the
// writer began: changed when it stored records or the file appeared, vanished or changed size (a
// repair that only cut a tail, a marker), and by how many bytes it grew.
WriteResult outcome_since(const std::string& file_path, const FileState& before,
                          std::uint64_t rows);

// Runs `body`, which works on `file_path` and returns the records it stored, and answers with
// outcome_since. What `body` throws is logged as one line beginning "更新 {file_path}" with advice
// that fits the cause (a full disk, file permissions or a lock, another I/O error, missing data
// permission, a damaged file), clears the shared flag `sval` (the host's contract) and comes back
// as a kFailed result whose reason is the rest of that line; a request to end the program passes
// through untouched. With `held_comes_back`, a lock that another process holds on the file
// (BlockingIOError) comes back as kHeld instead, unlogged and with the flag left alone.
WriteResult guard_file_update(const std::string& file_path, const FileState& before,
                              const std::function<std::uint64_t()>& body,
                              bool held_comes_back = false);

}  // namespace tessera_plus::bundle
