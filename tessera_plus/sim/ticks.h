// The tick table of one simulated instrument over a range of trading days, under the same rules as
// the bar tables (bars.h): listing, suspensions and `cutoff` (now).
#pragma once

#include "tessera_plus/market/types.h"
#include "tessera_plus/sim/universe.h"

namespace tessera_plus::tallow::sim {

// Rows every `tick_seconds` through each session, keyed by tick time, with `trading_date` and
// every tick column of the host's layout except date and time (open_interest for derivatives
// only). Ticks of a minute trace its bar: the first trades at the bar's open, the last at its
// close, and two in between reach its high and low. Volume and turnover are cumulative over the
// trading day.
PriceTable tick_table(const SimInstrument& ins, int first, int last, DateTime cutoff,
                      int tick_seconds);

}  // namespace tessera_plus::tallow::sim
