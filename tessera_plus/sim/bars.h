// Minute and daily bar tables of one simulated instrument over a range of trading days. Days run
// from calendar index `first` to `last` (both included, clipped to the instrument's listing);
// suspended days have no rows, nor have a vendor's holes in the minute tables; nothing stamped
// after `cutoff` (now) is included, and a daily row only once its day's last bar is.
#pragma once

#include "tessera_plus/market/types.h"
#include "tessera_plus/sim/universe.h"

namespace tessera_plus::tallow::sim {

// Rows keyed by bar end time; columns open, high, low, close, volume, total_turnover, plus
// open_interest for derivatives; `trading_date` as the instrument carries it.
PriceTable minute_table(const SimInstrument& ins, int first, int last, DateTime cutoff);
// One row per traded day keyed by the date at 00:00; the minute bars' aggregates.
PriceTable daily_table(const SimInstrument& ins, int first, int last, DateTime cutoff);

}  // namespace tessera_plus::tallow::sim
