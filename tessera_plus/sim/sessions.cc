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

// Each kind's night ranges (none for a day-only kind) and day ranges; the commodity kinds share
// one day session whatever night comes before it.
struct KindRanges {
  SessionKind kind;
  std::span<const Range> night, day;
};
constexpr KindRanges kKinds[] = {
    {SessionKind::kEquity, {}, kEquityRanges},
    {SessionKind::kHongKong, {}, kHongKongRanges},
    {SessionKind::kCommodity, {}, kCommodityDay},
    {SessionKind::kNight2300, kNight2300Ranges, kCommodityDay},
    {SessionKind::kNight0100, kNight0100Ranges, kCommodityDay},
    {SessionKind::kNight0230, kNight0230Ranges, kCommodityDay},
    {SessionKind::kHongKong2011, {}, kHongKong2011Ranges},
    {SessionKind::kHongKongOld, {}, kHongKongOldRanges},
    {SessionKind::kIndexFutureOld, {}, kIndexFutureOldRanges},
    {SessionKind::kIndexFuture, {}, kEquityRanges},
};

struct Schedule {
  std::vector<BarSlot> slots;
  int night = 0;
};

void add(Schedule& s, std::span<const Range> ranges) {
  for (const Range& r : ranges) {
    for (int m = r.from + 1; m <= r.to; ++m) {
      s.slots.push_back(BarSlot{r.part, static_cast<std::int16_t>(m)});
    }
  }
}

const Schedule& schedule(SessionKind kind) {
  static const auto all = [] {
    std::array<Schedule, std::size(kKinds)> built;
    for (const KindRanges& k : kKinds) {
      Schedule& s = built[static_cast<std::size_t>(k.kind)];
      add(s, k.night);
      s.night = static_cast<int>(s.slots.size());
      add(s, k.day);
    }
    return built;
  }();
  return all[static_cast<std::size_t>(kind)];
}

}  // namespace

std::span<const BarSlot> bar_slots(SessionKind kind) { return schedule(kind).slots; }

int night_slot_count(SessionKind kind) { return schedule(kind).night; }

SessionKind session_on(SessionKind kind, Date date) {
  const int n = date_to_number(date);
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

DateTime slot_time(int index, BarSlot slot) {
  const TradingCalendar& cal = TradingCalendar::instance();
  std::int32_t day = slot.part == SlotPart::kDay ? cal.day(index) : cal.day(index - 1);
  if (slot.part == SlotPart::kSmallHours) ++day;
  return DateTime(std::chrono::days(day) + std::chrono::minutes(slot.end_minute));
}

}  // namespace tessera_plus::tallow::sim
