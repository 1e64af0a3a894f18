#include "tessera_plus/sim/calendar.h"

#include <array>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::tallow::sim {
namespace {

using namespace std::chrono;

constexpr int kFirstYear = 2005;
constexpr int kLastYear = 2099;
constexpr int kTabulatedLast = 2030;

// Gregorian (month * 100 + day) of the lunar holidays, 2005-2030.
struct LunarHolidays {
  int spring_festival, dragon_boat, mid_autumn;
};
constexpr std::array<LunarHolidays, kTabulatedLast - kFirstYear + 1> kLunar = {{
    {209, 611, 918},  {129, 531, 1006}, {218, 619, 925},  {207, 608, 914},  {126, 528, 1003},
    {214, 616, 922},  {203, 606, 912},  {123, 623, 930},  {210, 612, 919},  {131, 602, 908},
    {219, 620, 927},  {208, 609, 915},  {128, 530, 1004}, {216, 618, 924},  {205, 607, 913},
    {125, 625, 1001}, {212, 614, 921},  {201, 603, 910},  {122, 622, 929},  {210, 610, 917},
    {129, 531, 1006}, {217, 619, 925},  {206, 609, 915},  {126, 528, 1003}, {213, 616, 922},
    {203, 605, 912},
}};

const LunarHolidays& lunar(int year) {
  while (year > kTabulatedLast) year -= 19;
  return kLunar[static_cast<std::size_t>(year - kFirstYear)];
}

sys_days at(int year, int month_day) {
  return sys_days(Date{std::chrono::year(year), month(static_cast<unsigned>(month_day / 100)),
                       std::chrono::day(static_cast<unsigned>(month_day % 100))});
}

bool is_weekend(sys_days d) {
  auto wd = weekday(d).c_encoding();
  return wd == 0 || wd == 6;
}

class HolidaySet {
 public:
  explicit HolidaySet(sys_days first) : first_(first) {}
  void close(sys_days d) {
    auto i = static_cast<std::size_t>((d - first_).count());
    if (i >= closed_.size()) closed_.resize(i + 1, false);
    closed_[i] = true;
  }
  void close_range(sys_days from, sys_days to) {
    for (sys_days d = from; d <= to; d += days(1)) close(d);
  }
  // A one-day holiday: a weekend holiday moves to Monday; Tuesday and Thursday bridge.
  void close_one_day(sys_days d) {
    auto wd = weekday(d).c_encoding();
    close(d);
    if (wd == 6) close(d + days(2));
    if (wd == 0) close(d + days(1));
    if (wd == 2) close(d - days(1));
    if (wd == 4) close(d + days(1));
  }
  bool closed(sys_days d) const {
    auto i = static_cast<std::size_t>((d - first_).count());
    return i < closed_.size() && closed_[i];
  }

 private:
  sys_days first_;
  std::vector<bool> closed_;
};

HolidaySet holidays(sys_days first) {
  HolidaySet set(first);
  for (int y = kFirstYear; y <= kLastYear; ++y) {
    const LunarHolidays& l = lunar(y);
    set.close_one_day(at(y, 101));
    set.close_range(at(y, l.spring_festival) - days(1), at(y, l.spring_festival) + days(6));
    set.close_range(at(y, 501), at(y, y < 2008 ? 507 : y < 2020 ? 503 : 505));
    set.close_range(at(y, 1001), at(y, 1007));
    if (y >= 2008) {
      set.close_one_day(at(y, y % 4 <= 1 ? 404 : 405));
      set.close_one_day(at(y, l.dragon_boat));
      set.close_one_day(at(y, l.mid_autumn));
    }
  }
  return set;
}

}  // namespace

TradingCalendar::TradingCalendar() {
  const sys_days first = at(kFirstYear, 101);
  const sys_days last = at(kLastYear, 1231);
  HolidaySet closed = holidays(first);
  first_day_ = static_cast<std::int32_t>(first.time_since_epoch().count());
  for (sys_days d = first; d <= last; d += days(1)) {
    // The trading days before d are counted so far: their count is d's next trading index.
    at_or_after_.push_back(static_cast<std::int32_t>(days_.size()));
    if (!is_weekend(d) && !closed.closed(d)) {
      days_.push_back(static_cast<std::int32_t>(d.time_since_epoch().count()));
    }
  }
}

const TradingCalendar& TradingCalendar::instance() {
  static const TradingCalendar calendar;
  return calendar;
}

Date TradingCalendar::date(int index) const { return Date(sys_days(days(day(index)))); }

int TradingCalendar::date_number(int index) const { return tessera::date_to_number(date(index)); }

int TradingCalendar::first_on_or_after(Date date) const {
  auto offset = sys_days(date).time_since_epoch().count() - first_day_;
  if (offset < 0) return 0;
  if (offset >= static_cast<long>(at_or_after_.size())) return size();
  return at_or_after_[static_cast<std::size_t>(offset)];
}

int TradingCalendar::last_on_or_before(Date date) const {
  int i = first_on_or_after(date);
  if (i < size() && day(i) == sys_days(date).time_since_epoch().count()) return i;
  return i - 1;
}

bool TradingCalendar::is_trading_day(Date date) const {
  int i = first_on_or_after(date);
  return i < size() && day(i) == sys_days(date).time_since_epoch().count();
}

std::vector<int> trading_calendar(Date last) {
  const TradingCalendar& cal = TradingCalendar::instance();
  std::vector<int> out;
  int end = cal.last_on_or_before(last);
  out.reserve(static_cast<std::size_t>(end + 1));
  for (int i = 0; i <= end; ++i) out.push_back(cal.date_number(i));
  return out;
}

std::vector<int> trading_calendar() { return trading_calendar(tessera::date_of(tessera::now())); }

bool is_trading_day(Date date) { return TradingCalendar::instance().is_trading_day(date); }

Date next_trading_date(Date date) {
  const TradingCalendar& cal = TradingCalendar::instance();
  int i = cal.first_on_or_after(Date(sys_days(date) + days(1)));
  if (i >= cal.size()) {
    throw ValueError(
        fmt::format("no simulated trading day after {}", tessera::format_dashed(date)));
  }
  return cal.date(i);
}

}  // namespace tessera_plus::tallow::sim
