// Price levels and one-minute bars of a simulated instrument.
//
// The daily close follows a random walk in log price that can be evaluated at any trading day
// without walking from 2005: a Brownian motion built by midpoint displacement (Levy's
// construction) over the calendar indexes, each displacement drawn from a hash of
// (instrument, tree node). A tanh bound keeps twenty years of drift within a sensible band.
// Within a day the price runs as a random-walk bridge from the open (near the previous close) to
// that day's close, on a 0.01 grid and inside the daily price limits, so that each day's bars
// depend only on (instrument, day) and join up with their neighbours.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tessera_plus/sim/universe.h"

namespace tessera_plus::tallow::sim {

// Prices in cents (the 0.01 grid) from here on.
struct DayQuote {
  std::int64_t prev_close, open, close, limit_up, limit_down;
};

// The bars of one full trading day, in slot order.
struct DayBars {
  DayQuote quote{};
  std::span<const BarSlot> slots;
  std::vector<std::int64_t> open, high, low, close, volume, open_interest;
  std::vector<double> total_turnover;
  std::size_t size() const { return slots.size(); }
};

// The unrounded closing price on trading day `index`.
double close_price(const SimInstrument& ins, int index);
DayQuote day_quote(const SimInstrument& ins, int index);
// The slots that trading day `index` has for this instrument (night only when held).
std::span<const BarSlot> day_slots(const SimInstrument& ins, int index);
// Fills `out` with the bars of day `index`; reuses its storage.
void generate_day(const SimInstrument& ins, int index, DayBars& out);

}  // namespace tessera_plus::tallow::sim
