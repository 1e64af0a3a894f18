// Trading sessions of the simulated instruments, as one-minute bar slots stamped with the bar's
// END time (the 09:31 bar covers 09:30:00-09:31:00), as the service stamps them and the files store
// them.
//
// A night session belongs to the NEXT trading day: the bars of the evening of trading day P (and
// of the small hours after it) carry the trading date D that follows P. The exchanges hold no night
// session before a day that follows a holiday, so D has one only when nothing but a weekend lies
// between P and D. Each product has traded at night only since its own start (SHFE gold from
// July 2013, copper from December 2013, rebar and DCE soybean meal from December 2014), and no
// exchange held night sessions from the Spring Festival of 2020 until the evening of 6 May 2020.
#pragma once

#include <cstdint>
#include <span>

#include "tessera_plus/base/datetime_func.h"

namespace tessera_plus::tallow::sim {

enum class SessionKind : std::uint8_t {
  kEquity,          // 09:30-11:30, 13:00-15:00: 240 bars (stocks, funds, indexes, index futures)
  kHongKong,        // 09:30-12:00, 13:00-16:00: 330 bars (since 2012-03-05)
  kCommodity,       // 09:00-10:15, 10:30-11:30, 13:30-15:00: 225 bars, no night session
  kNight2300,       // commodity day session plus 21:00-23:00
  kNight0100,       // commodity day session plus 21:00-01:00
  kNight0230,       // commodity day session plus 21:00-02:30
  kHongKong2011,    // 09:30-12:00, 13:30-16:00 (2011-03-07 to 2012-03-02)
  kHongKongOld,     // 10:00-12:30, 14:30-16:00 (until 2011-03-04)
  kIndexFutureOld,  // 09:15-11:30, 13:00-15:15: index futures until 2015
  kIndexFuture,     // index futures: kIndexFutureOld until 2015, kEquity since 2016
};

// The schedule a kind follows on a given date: Hong Kong and the index futures changed hours.
SessionKind session_on(SessionKind kind, Date date);

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
// Whether trading day `index` of the mainland calendar has a night session, for a product whose
// first night was the evening of `night_from` (days since 1970-01-01).
bool has_night_session(int index, std::int32_t night_from);
// The slot's end time on trading day `index` of the mainland calendar.
DateTime slot_time(int index, BarSlot slot);
// The same for a day-only slot on trading day `day` (days since 1970-01-01).
inline DateTime day_slot_time(std::int32_t day, BarSlot slot) {
  return DateTime(std::chrono::days(day) + std::chrono::minutes(slot.end_minute));
}

}  // namespace tessera_plus::tallow::sim
