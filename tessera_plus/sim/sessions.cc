#include "tessera_plus/sim/sessions.h"

#include <array>
#include <span>
#include <vector>

#include "tessera_plus/sim/calendar.h"

namespace tessera_plus::tallow::sim {
namespace {

struct Range {
  SlotPart part;
  int from, to;  // minutes after midnight; bars end at from+1 .. to
};

constexpr int hm(int h, int m) { return h * 60 + m; }

constexpr std::array<Range, 2> kEquityRanges = {
    {{SlotPart::kDay, hm(9, 30), hm(11, 30)}, {SlotPart::kDay, hm(13, 0), hm(15, 0)}}};
constexpr std::array<Range, 2> kHongKongRanges = {
    {{SlotPart::kDay, hm(9, 30), hm(12, 0)}, {SlotPart::kDay, hm(13, 0), hm(16, 0)}}};
constexpr std::array<Range, 2> kHongKong2011Ranges = {
    {{SlotPart::kDay, hm(9, 30), hm(12, 0)}, {SlotPart::kDay, hm(13, 30), hm(16, 0)}}};
constexpr std::array<Range, 2> kHongKongOldRanges = {
    {{SlotPart::kDay, hm(10, 0), hm(12, 30)}, {SlotPart::kDay, hm(14, 30), hm(16, 0)}}};
constexpr std::array<Range, 2> kIndexFutureOldRanges = {
    {{SlotPart::kDay, hm(9, 15), hm(11, 30)}, {SlotPart::kDay, hm(13, 0), hm(15, 15)}}};
constexpr std::array<Range, 3> kCommodityDay = {{{SlotPart::kDay, hm(9, 0), hm(10, 15)},
                                                 {SlotPart::kDay, hm(10, 30), hm(11, 30)},
                                                 {SlotPart::kDay, hm(13, 30), hm(15, 0)}}};

// The night sessions: the evening and, for the late ones, the small hours after midnight.
constexpr std::array<Range, 1> kNight2300Ranges = {{{SlotPart::kEvening, hm(21, 0), hm(23, 0)}}};
constexpr std::array<Range, 2> kNight0100Ranges = {
    {{SlotPart::kEvening, hm(21, 0), hm(24, 0)}, {SlotPart::kSmallHours, 0, hm(1, 0)}}};
constexpr std::array<Range, 2> kNight0230Ranges = {
    {{SlotPart::kEvening, hm(21, 0), hm(24, 0)}, {SlotPart::kSmallHours, 0, hm(2, 30)}}};

std::span<const Range> night_ranges(SessionKind kind) {
  switch (kind) {
    case SessionKind::kNight2300:
      return kNight2300Ranges;
    case SessionKind::kNight0100:
      return kNight0100Ranges;
    case SessionKind::kNight0230:
      return kNight0230Ranges;
    default:
      return {};
  }
}

// The commodity kinds share one day session, whatever night comes before it.
std::span<const Range> day_ranges(SessionKind kind) {
  switch (kind) {
    case SessionKind::kEquity:
    case SessionKind::kIndexFuture:
      return kEquityRanges;
    case SessionKind::kHongKong:
      return kHongKongRanges;
    case SessionKind::kHongKong2011:
      return kHongKong2011Ranges;
    case SessionKind::kHongKongOld:
      return kHongKongOldRanges;
    case SessionKind::kIndexFutureOld:
      return kIndexFutureOldRanges;
    case SessionKind::kCommodity:
    case SessionKind::kNight2300:
    case SessionKind::kNight0100:
    case SessionKind::kNight0230:
      return kCommodityDay;
  }
  return {};
}

struct Schedule {
  std::vector<BarSlot> slots;
  int night = 0;
};

void add(Schedule& s, const Range& r) {
  for (int m = r.from + 1; m <= r.to; ++m) {
    s.slots.push_back(BarSlot{r.part, static_cast<std::int16_t>(m)});
  }
}

Schedule build(SessionKind kind) {
  Schedule s;
  for (const Range& r : night_ranges(kind)) add(s, r);
  s.night = static_cast<int>(s.slots.size());
  for (const Range& r : day_ranges(kind)) add(s, r);
  return s;
}

const Schedule& schedule(SessionKind kind) {
  static const std::array<Schedule, 10> all = {
      build(SessionKind::kEquity),         build(SessionKind::kHongKong),
      build(SessionKind::kCommodity),      build(SessionKind::kNight2300),
      build(SessionKind::kNight0100),      build(SessionKind::kNight0230),
      build(SessionKind::kHongKong2011),   build(SessionKind::kHongKongOld),
      build(SessionKind::kIndexFutureOld), build(SessionKind::kIndexFuture)};
  return all[static_cast<std::size_t>(kind)];
}

}  // namespace

std::span<const BarSlot> bar_slots(SessionKind kind) { return schedule(kind).slots; }

int night_slot_count(SessionKind kind) { return schedule(kind).night; }

SessionKind session_on(SessionKind kind, tessera::Date date) {
  const int n = tessera::date_to_number(date);
  if (kind == SessionKind::kHongKong) {
    if (n < 20110307) return SessionKind::kHongKongOld;
    if (n < 20120305) return SessionKind::kHongKong2011;
  }
  if (kind == SessionKind::kIndexFuture && n < 20160101) return SessionKind::kIndexFutureOld;
  if (kind == SessionKind::kIndexFuture) return SessionKind::kEquity;
  return kind;
}

bool has_night_session(int index, std::int32_t night_from) {
  if (index <= 0) return false;
  const TradingCalendar& cal = TradingCalendar::instance();
  if (cal.day(index - 1) < night_from) return false;
  // No night sessions from the first trading day after the 2020 Spring Festival (3 February)
  // until the one that the evening of 6 May opened.
  constexpr std::int32_t kPauseFrom = 18295, kPauseTo = 18388;  // 2020-02-03, 2020-05-06
  if (cal.day(index) >= kPauseFrom && cal.day(index) <= kPauseTo) return false;
  // Only a weekend may lie between the two trading days: a gap of 1 day, or Friday to Monday.
  int gap = cal.day(index) - cal.day(index - 1);
  return gap == 1 || (gap == 3 && std::chrono::weekday(cal.date(index)) == std::chrono::Monday);
}

tessera::DateTime slot_time(int index, BarSlot slot) {
  const TradingCalendar& cal = TradingCalendar::instance();
  std::int32_t day = slot.part == SlotPart::kDay ? cal.day(index) : cal.day(index - 1);
  if (slot.part == SlotPart::kSmallHours) ++day;
  return tessera::DateTime(std::chrono::days(day) + std::chrono::minutes(slot.end_minute));
}

}  // namespace tessera_plus::tallow::sim
