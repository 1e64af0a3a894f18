// The market-data requests that tests of the simulated market make over and over: a day by its
// YYYYMMDD number, and the bars of a window of days.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tessera_plus/base/datetime_func.h"
#include "tessera_plus/market/types.h"

namespace tessera_plus::testing {

inline tallow::Date ymd(int number) { return date_from_number(number); }

// Bars of [start, end] (YYYYMMDD) at `frequency` ("1m", "tick"; daily when absent), unadjusted and
// as a table, the way the writers ask for them.
inline tallow::PriceArgs window(std::int64_t start, std::int64_t end,
                                std::optional<std::string> frequency) {
  tallow::PriceArgs args;
  args.start_date = start;
  args.end_date = end;
  args.frequency = std::move(frequency);
  args.adjust_type = "none";
  args.expect_df = true;
  return args;
}

}  // namespace tessera_plus::testing
