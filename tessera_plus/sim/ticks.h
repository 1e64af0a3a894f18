// The tick table of one simulated instrument over a range of trading days, under the same rules as
// the bar tables (bars.h): listing, suspensions, vendor holes and `cutoff` (now).
#pragma once

#include <chrono>

#include "tessera_plus/market/types.h"
#include "tessera_plus/sim/universe.h"

namespace tessera_plus::tallow::sim {

// Snapshots keyed by time, with `trading_date` and the service's tick columns (tick_columns.h;
// open_interest for derivatives only), as a level-1 feed publishes them: one per
// `interval` at most (stocks and funds every few seconds, futures and options every 500 ms),
// and only when something changed, so an illiquid name has few. Trades within a minute trace its
// bar: the first trades at the bar's open, the last at its close, and the high and low are
// reached in between; volume and turnover are cumulative over the trading day. The five-level
// book persists from snapshot to snapshot, shifting with the price, and is empty on the far side
// of a limit the price sits at.
//
// Auctions: stocks publish indicative snapshots (no trade yet: last 0, the indicative price in
// a1 and b1) from 09:15 and the opening match at 09:25:00; Shenzhen, and Shanghai since
// 2018-08-20, close with a call auction from 14:57 matched at 15:00:00. Futures publish their
// opening match a minute before the session: 20:59:00 for a night session (on the calendar date
// before the trading date), 08:59:00 or the index futures' 09:29:00 otherwise.
PriceTable tick_table(const SimInstrument& ins, int first, int last, DateTime cutoff,
                      std::chrono::milliseconds interval);

// The snapshot interval of an instrument, given the configured one for stocks and funds.
std::chrono::milliseconds tick_interval(const SimInstrument& ins, int equity_seconds);

}  // namespace tessera_plus::tallow::sim
