// Trading sessions of the simulated instruments, as one-minute bar slots stamped with the bar's
// END time (the 09:31 bar covers 09:30:00-09:31:00), the host's convention.
//
// A night session belongs to the NEXT trading day: the bars of the evening of trading day P (and
// of the small hours after it) carry the trading date D that follows P. The exchanges hold no night
// session before a day that follows a holiday, so D has one only when nothing but a weekend lies
// between P and D.
#pragma once

#include <cstdint>
#include <span>

#include "tessera_plus/base/datetime_func.h"

namespace tessera_plus::tallow::sim {

enum class SessionKind : std::uint8_t {
  kEquity,     // 09:30-11:30, 13:00-15:00: 240 bars (stocks, funds, indexes, index futures)
  kHongKong,   // 09:30-12:00, 13:00-16:00: 330 bars
  kCommodity,  // 09:00-10:15, 10:30-11:30, 13:30-15:00: 225 bars, no night session
  kNight2300,  // commodity day session plus 21:00-23:00
  kNight0100,  // commodity day session plus 21:00-01:00
  kNight0230,  // commodity day session plus 21:00-02:30
};

enum class SlotPart : std::uint8_t {
  kEvening,     // on the calendar date of the previous trading day
  kSmallHours,  // on the calendar day after the previous trading day
  kDay,         // on the trading day itself
};

struct BarSlot {
  SlotPart part;
  std::int16_t end_minute;  // minutes after midnight of the slot's calendar date
};

// Every slot of a full trading day, night first, in time order.
std::span<const BarSlot> bar_slots(SessionKind kind);
// The number of night slots at the front of bar_slots(kind).
int night_slot_count(SessionKind kind);
// Whether trading day `index` of the calendar has a night session (for kinds that have one).
bool has_night_session(int index);
// The slot's end time on trading day `index`.
tessera::DateTime slot_time(int index, BarSlot slot);

}  // namespace tessera_plus::tallow::sim
