// The last stored days of an instrument's daily bars, looked at again: the bars fetched for an
// update start at the first of them, and days the service now answers differently (a corrected
// close, a day stored short of its last trades) are written again with the new days.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "tessera_plus/bundle/store/records.h"
#include "tessera_plus/h5/dataset.h"

namespace tessera_plus::bundle {

// The dataset keeps its first `keep_rows` rows and gets `bars` from `append_from` on after them.
struct DaybarRevision {
  h5::Size keep_rows = 0;
  std::size_t append_from = 0;
  std::vector<int> revised_days{};  // YYYYMMDD, ascending
};

// `bars` were fetched from the date of row `stored_from` on (from the day after the last row when
// `stored_from` is the length). A stored day the service no longer answers for is kept: when a
// revision would have to drop one, nothing is revised this time.
DaybarRevision revise_daybars(const h5::Dataset& ds, h5::Size stored_from,
                              const std::vector<EquityBar>& bars);

// One log line naming `what` and each revised day, and the days counted in the run report.
void log_revised(std::string_view what, const std::vector<int>& days);

}  // namespace tessera_plus::bundle
