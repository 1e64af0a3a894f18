// Verifying that every tick file of a bundle holds every trading day between its first and last.
#pragma once

#include <iostream>
#include <string>

#include "tessera_plus/bundle/check/check_result.h"

namespace tessera_plus::bundle {

// Checks every file matching bundle/ticks/*.h5 under `data_bundle_path`, read-only, one at a time,
// looking only at the names of its top-level members (one per stored trading day, YYYYMMDD), then
// hands the broken and the locked or unreadable files to deal_with_check_result, which asks on
// `in` whether to delete the broken ones. Console messages go to `out`, the progress bar to
// standard error.
//
// A missing day is a gap only when it is not a recorded suspension in suspended_days.h5 and the
// market-data service has ticks for it; once any missing day is not a suspension, every missing
// day is asked about, in calendar order, until the first one with data. The suspension file is
// read once, before the first tick file. Errors other than the operating system's inside the
// loop, and every error before it, reach the caller without a summary.
// The same check, without the handling: the findings are returned, nothing is asked or deleted.
// Messages up to the number of files go to `out`.
CheckFindings find_tick_problems(const std::string& data_bundle_path,
                                 std::ostream& out = std::cout);

void check_tick_data(const std::string& data_bundle_path, std::istream& in = std::cin,
                     std::ostream& out = std::cout);

}  // namespace tessera_plus::bundle
