#include "tessera_plus/sim/calendar.h"

#include "tessera_plus/sim/holidays.h"

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::tallow::sim {
namespace {

using namespace std::chrono;

constexpr int kFirstYear = 2005;
constexpr int kLastYear = 2099;

sys_days at(int year, unsigned m, unsigned d) {
  return sys_days(Date{std::chrono::year(year), month(m), std::chrono::day(d)});
}

bool is_weekend(sys_days d) {
  auto wd = weekday(d).c_encoding();
  return wd == 0 || wd == 6;
}

}  // namespace

TradingCalendar::TradingCalendar(bool hong_kong) {
  const sys_days first = at(kFirstYear, 1, 1);
  const sys_days last = at(kLastYear, 12, 31);
  first_day_ = static_cast<std::int32_t>(first.time_since_epoch().count());
  for (sys_days d = first; d <= last; d += days(1)) {
    // The trading days before d are counted so far: their count is d's next trading index.
    at_or_after_.push_back(static_cast<std::int32_t>(days_.size()));
    if (is_weekend(d) || (hong_kong ? hong_kong_closed(d) : mainland_closed(d))) continue;
    days_.push_back(static_cast<std::int32_t>(d.time_since_epoch().count()));
    half_days_.push_back(hong_kong && hong_kong_half_day(d));
  }
}

const TradingCalendar& TradingCalendar::instance() {
  static const TradingCalendar calendar(false);
  return calendar;
}

const TradingCalendar& TradingCalendar::hong_kong() {
  static const TradingCalendar calendar(true);
  return calendar;
}

Date TradingCalendar::date(int index) const { return Date(sys_days(days(day(index)))); }

int TradingCalendar::date_number(int index) const { return date_to_number(date(index)); }

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

std::vector<int> trading_calendar() { return trading_calendar(date_of(tessera_plus::now())); }

bool is_trading_day(Date date) { return TradingCalendar::instance().is_trading_day(date); }

Date next_trading_date(Date date, bool hong_kong) {
  const TradingCalendar& cal = TradingCalendar::of(hong_kong);
  int i = cal.first_on_or_after(Date(sys_days(date) + days(1)));
  if (i >= cal.size()) {
    throw ValueError(fmt::format("no simulated trading day after {}", format_dashed(date)));
  }
  return cal.date(i);
}

}  // namespace tessera_plus::tallow::sim
