#include "tessera_plus/sim/sessions.h"

#include <array>
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
constexpr std::array<Range, 3> kCommodityDay = {{{SlotPart::kDay, hm(9, 0), hm(10, 15)},
                                                 {SlotPart::kDay, hm(10, 30), hm(11, 30)},
                                                 {SlotPart::kDay, hm(13, 30), hm(15, 0)}}};

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
  auto night = [&](int end_after_midnight, int end_evening) {
    add(s, Range{SlotPart::kEvening, hm(21, 0), end_evening});
    if (end_after_midnight > 0) add(s, Range{SlotPart::kSmallHours, 0, end_after_midnight});
    s.night = static_cast<int>(s.slots.size());
  };
  switch (kind) {
    case SessionKind::kEquity:
      for (const Range& r : kEquityRanges) add(s, r);
      return s;
    case SessionKind::kHongKong:
      for (const Range& r : kHongKongRanges) add(s, r);
      return s;
    case SessionKind::kCommodity:
      break;
    case SessionKind::kNight2300:
      night(0, hm(23, 0));
      break;
    case SessionKind::kNight0100:
      night(hm(1, 0), hm(24, 0));
      break;
    case SessionKind::kNight0230:
      night(hm(2, 30), hm(24, 0));
      break;
  }
  for (const Range& r : kCommodityDay) add(s, r);
  return s;
}

const Schedule& schedule(SessionKind kind) {
  static const std::array<Schedule, 6> all = {
      build(SessionKind::kEquity),    build(SessionKind::kHongKong),
      build(SessionKind::kCommodity), build(SessionKind::kNight2300),
      build(SessionKind::kNight0100), build(SessionKind::kNight0230)};
  return all[static_cast<std::size_t>(kind)];
}

}  // namespace

std::span<const BarSlot> bar_slots(SessionKind kind) { return schedule(kind).slots; }

int night_slot_count(SessionKind kind) { return schedule(kind).night; }

bool has_night_session(int index) {
  if (index <= 0) return false;
  const TradingCalendar& cal = TradingCalendar::instance();
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
