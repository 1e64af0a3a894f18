// The days and minutes an instrument has no data for, and why.
//
// Suspensions come in blocks, as they do on the exchanges: mostly a few days, some weeks, a few
// many months. A block is drawn per 64-trading-day segment from (instrument, segment), so whether
// a day is suspended is found without walking from 2005. On top come fixed blocks (one still
// running today) and the mass suspension of July 2015, when about half of the listed stocks
// stopped trading for days to weeks.
//
// A halt stops trading for part of a day (until 10:30, or the whole afternoon); the day is not
// suspended. A vendor hole is a traded, unsuspended day whose minute bars and ticks the service
// simply lacks; its daily row is there.
#pragma once

#include <algorithm>
#include <optional>

namespace tessera_plus::tallow::sim {

struct SimInstrument;

bool is_suspended_on(const SimInstrument& ins, int index);

// Whether the instrument traded on day `index`: within its data range and not suspended.
bool trades_on(const SimInstrument& ins, int index);

// Whether the service has the day's minute bars and ticks (a traded day without a vendor hole).
bool has_intraday_data(const SimInstrument& ins, int index);

// Slots [from, to) of the day's schedule during which trading was halted.
struct Halt {
  int from, to;
};
std::optional<Halt> halt_on(const SimInstrument& ins, int index, int slots);

// The longest suspension block drawn, in trading days.
inline constexpr int kLongestBlock = 300;

}  // namespace tessera_plus::tallow::sim
