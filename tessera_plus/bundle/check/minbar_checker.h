// Verifying every minute-bar file of a bundle against the trading calendar.
#pragma once

#include <cstdint>
#include <iostream>
#include <span>
#include <string>

#include "tessera_plus/bundle/check/check_result.h"

namespace tessera_plus::bundle {

// Checks every file matching bundle/h5/*/*.h5 under `request.data_bundle_path`, read-only, then
// hands the broken and the locked or unreadable files to what `request.findings` names (by default
// deal_with_check_result, which reports them and asks on `request.in` whether to delete the broken
// ones), and returns them. Console messages go to `request.out`, the progress bar to standard
// error. With kReturn only the messages up to the number of files are printed; kReport adds
// the report of the findings.
//
// A file is broken when it has `data` but no `index`, an empty `index`, a day whose first bar
// does not match its index date, a trading day missing between its first and last index date
// for which the market-data service has minute bars, or when the HDF5 layer cannot read it.
// A lock held by another process or missing permission lists the file as unreadable instead.
// Any other error (a missing `data` beside `index`, a missing field, a `line_no` past the end of
// `data`, a service failure) ends the check and reaches the caller without a summary.
//
// Files are read in worker processes, `request.jobs` at a time, so that a file which crashes the
// HDF5 library is listed as broken (the log names the signal) instead of ending the check; the
// service is asked from this process, and files are filed and reported in listing order whatever
// the number of jobs. The calendar is validated first (read_trading_calendar): a damaged calendar
// is an error before any file is judged, so it can never get sound files deleted.
CheckFindings check_min_bar_data(const CheckRequest& request);

namespace check_detail {
struct Finding;
// The per-file part of the check, without the service: what the file at `path` says about itself
// against the (validated, ascending) calendar. Runs in a worker process; exposed for fuzzing.
Finding inspect_minbar_file(const std::string& path, std::span<const std::int64_t> trading_dates);
}  // namespace check_detail

}  // namespace tessera_plus::bundle
