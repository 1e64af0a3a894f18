// Price levels and one-minute bars of a simulated instrument.
//
// The daily close follows a random walk in log price that can be evaluated at any trading day
// without walking from 2005: a Brownian motion built by midpoint displacement (Levy's
// construction) over the calendar indexes, each displacement drawn from a hash of
// (instrument, tree node). A tanh bound keeps twenty years of drift within a sensible band. An
// option's close is its Black-Scholes value on its underlying's walk.
//
// Within a day the price runs as a random-walk bridge from the open (near the previous close) to
// that day's close, on the instrument's grid and inside the day's price limits, so that each
// day's bars depend only on (instrument, day) and join up with their neighbours. Some days end
// locked at a limit: from some minute on, every bar is the limit price. Illiquid names have runs
// of minutes without a trade (flat bars, no volume); a future's volume and open interest follow
// its share of the underlying's trading, which moves smoothly as the dominant contract rolls.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tessera_plus/sim/universe.h"

namespace tessera_plus::tallow::sim {

// Prices in grid units (grid.h) from here on.
struct DayQuote {
  std::int64_t prev_close, open, close, limit_up, limit_down;
  int locked = 0;  // +1 locked at limit up, -1 at limit down, from bar lock_from on
  int lock_from = 0;
};

// The bars of one full trading day, in slot order; a halted minute has no slot (or, padded, a
// flat bar without volume).
struct DayBars {
  DayQuote quote{};
  std::vector<BarSlot> slots;
  std::vector<std::int64_t> open, high, low, close, volume, open_interest;
  std::vector<double> total_turnover;
  std::vector<double> scratch;
  std::size_t size() const { return slots.size(); }
};

// The unrounded closing price on trading day `index`.
double close_price(const SimInstrument& ins, int index);
// Black-Scholes value of an option at a spot price on day `index`.
double option_value(const OptionTerms& option, double spot, int index);
DayQuote day_quote(const SimInstrument& ins, int index);
// The slots that trading day `index` has for this instrument before halts: night only when
// held, the schedule of the day's date, a morning only on a half day.
std::span<const BarSlot> day_slots(const SimInstrument& ins, int index);
// The share of its underlying's trading a future has on day `index` (1 for everything else).
double liquidity_share(const SimInstrument& ins, int index);
// Open interest at the close of day `index` (derivatives).
std::int64_t closing_interest(const SimInstrument& ins, int index);
// Whether the day closes with a call auction from 14:57 (Shenzhen; Shanghai since 2018-08-20):
// its 14:58 and 14:59 bars are flat without volume and the 15:00 bar is the match at the close.
bool has_closing_auction(const SimInstrument& ins, int index);
// Fills `out` with the bars of day `index`; reuses its storage.
void generate_day(const SimInstrument& ins, int index, DayBars& out);
// The end time of a slot of day `index` on the instrument's calendar.
DateTime bar_time(const SimInstrument& ins, int index, BarSlot slot);

}  // namespace tessera_plus::tallow::sim
