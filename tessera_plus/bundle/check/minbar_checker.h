// Verifying every minute-bar file of a bundle against the trading calendar.
#pragma once

#include <iostream>
#include <string>

#include "tessera_plus/bundle/check/check_result.h"

namespace tessera_plus::bundle {

// Checks every file matching bundle/h5/*/*.h5 under `data_bundle_path`, read-only, one at a time,
// in the main process, then hands the broken and the locked or unreadable files to
// deal_with_check_result, which reports them and asks on `in` whether to delete the broken ones.
// Console messages go to `out`, the progress bar to standard error.
//
// A file is broken when it has `data` but no `index`, an empty `index`, a day whose first bar
// does not match its index date, a trading day missing between its first and last index date
// for which the market-data service has minute bars, or when the HDF5 layer cannot read it.
// A lock held by another process or missing permission lists the file as unreadable instead.
// Any other error (a missing `data` beside `index`, a missing field, a `line_no` past the end of
// `data`, a service failure) ends the check and reaches the caller without a summary.
// The same check, without the handling: the findings are returned, nothing is asked or deleted.
// Messages up to the number of files go to `out`.
CheckFindings find_min_bar_problems(const std::string& data_bundle_path,
                                    std::ostream& out = std::cout);

void check_min_bar_data(const std::string& data_bundle_path, std::istream& in = std::cin,
                        std::ostream& out = std::cout);

}  // namespace tessera_plus::bundle
