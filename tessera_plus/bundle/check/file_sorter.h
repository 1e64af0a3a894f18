// Sorting a checker's files into sound, broken and locked, with each file read in a worker process
// of its own: a file that crashes the HDF5 library costs that worker, never the check.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tessera_plus/bundle/check/check_result.h"
#include "tessera_plus/market/types.h"

namespace tessera_plus::bundle::check_detail {

// What reading one file found, before any question to the service.
struct Finding {
  enum Kind { kSound, kBroken, kGaps } kind = kSound;
  // For kGaps: the trading days the file lacks, in calendar order, in the form the service is
  // asked with (integers for minute bars, 8-digit text for ticks).
  std::vector<tallow::DateArg> missing{};
  // For kBroken: one line saying what is wrong, as the reports show it.
  std::string reason{};
  // One line without a newline that the worker learned for the caller to keep (the tick check's
  // cache entry), empty for none; it travels whatever the finding.
  std::string note{};
};

// Runs `inspect` on each of `paths` in a forked worker, at most `jobs` at once, and files each path
// in the order given into `findings`, with a reason each, advancing a progress bar: `broken` when
// the finding says so, when a gap is one for which `day_with_data(path, missing)` names a day with
// data, when the worker fails with an
// operating-system error (not an HDF5 file, truncated, damaged), and when the worker dies (the
// signal is named in the log); `locked` when another process holds the file or permission is
// denied. The service is asked in this process, file by file in order, so its client is never
// used from a worker. `keep_note`, when given, receives each file's non-empty note.
//
// Errors of any other kind (a missing field, an index pointing past `data`, the service's
// failures) stop the sorting: they reach the caller as the same kind, with the files before it
// already filed and nothing filed after it.
void sort_files(const std::vector<std::string>& paths, int jobs,
                const std::function<Finding(const std::string&)>& inspect,
                const std::function<std::optional<tallow::DateArg>(
                    const std::string&, const std::vector<tallow::DateArg>&)>& day_with_data,
                CheckFindings& findings,
                const std::function<void(const std::string&, const std::string&)>& keep_note = {});

}  // namespace tessera_plus::bundle::check_detail
