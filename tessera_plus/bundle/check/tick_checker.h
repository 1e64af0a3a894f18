// Verifying that every tick file of a bundle holds every trading day between its first and last.
#pragma once

#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "tessera_plus/bundle/check/check_result.h"

namespace tessera_plus::bundle {

// Checks every file matching bundle/ticks/*.h5 under `request.data_bundle_path`, read-only, by the
// names of its top-level members (one per stored trading day, YYYYMMDD) and by decoding every chunk
// of every day (a day that cannot be read makes the file broken, the day named in the reason), then
// hands the broken and the locked or unreadable files to what `request.findings` names (by default
// deal_with_check_result, which asks on `request.in` whether to delete the broken ones), and
// returns them. Console messages go to `request.out`, the progress bar to standard error.
//
// A missing day is a gap only when it is not a recorded suspension in suspended_days.h5 and the
// market-data service has ticks for it; once any missing day is not a suspension, every missing
// day is asked about, in calendar order, until the first one with data. The suspension file is
// read once, before the first tick file. Errors other than the operating system's inside the
// loop, and every error before it, reach the caller without a summary.
//
// Files are read in worker processes, `request.jobs` at a time, as in check_min_bar_data; members
// that are not real dates up to today are named in the log (the writer ignores them).
//
// Decoding is what a check costs, so a file whose every day decoded cleanly is remembered in a
// per-user cache outside the bundle (VerifiedCache) by its device, inode, size, mtime and ctime,
// and its days are not decoded again while all five stay the same. `request.full` decodes every
// day regardless and refreshes the cache; TESSERA_CHECK_CACHE=0 turns the cache off.
CheckFindings check_tick_data(const CheckRequest& request);

namespace check_detail {
struct Finding;
class VerifiedCache;
// What the per-file part reads of each day: every chunk (the check), or nothing (the names alone,
// as benchmarks compare against).
enum class TickReads { kEveryDay, kNamesOnly };
// The per-file part of the check, without the service: whether every day of the tick file at
// `path` decodes, and what its member names say against the calendar (8-digit texts, ascending)
// and the instrument's suspended days (sorted). Runs in a worker process; exposed for fuzzing.
// With `cache`, days it vouches for are not decoded, and the finding's note is the file's entry
// once every day is known to decode.
Finding inspect_tick_file(const std::string& path, std::span<const std::string> trading_dates,
                          const std::vector<std::string>& suspended_dates,
                          TickReads reads = TickReads::kEveryDay,
                          const VerifiedCache* cache = nullptr);
}  // namespace check_detail

}  // namespace tessera_plus::bundle
