// The simulated market's trading calendar: every weekday from 2005-01-04 to 2099-12-31 except the
// main Chinese exchange holidays. Holidays follow the exchanges' usual pattern rather than each
// year's official notice: New Year's Day; the Spring Festival from its eve through the sixth day;
// Labour Day (1-7 May until 2007, 1-3 May 2008-2019, 1-5 May since 2020); since 2008 Qingming,
// Dragon Boat and Mid-Autumn, where a one-day holiday on a weekend moves to the Monday and one on a
// Tuesday or Thursday takes the bridging Monday or Friday with it; National Day 1-7 October.
// Lunar dates are tabulated for 2005-2030 and repeat the Metonic cycle (19 years) afterwards.
// The Hong Kong market uses the same calendar in the simulation.
#pragma once

#include <cstdint>
#include <vector>

#include "tessera_plus/base/datetime_func.h"

namespace tessera_plus::tallow::sim {

using tessera::Date;

class TradingCalendar {
 public:
  // The calendar of the whole simulated period, built on first use and never changed.
  static const TradingCalendar& instance();

  int size() const { return static_cast<int>(days_.size()); }
  // Trading day `index` (0 is 2005-01-04) as days since 1970-01-01.
  std::int32_t day(int index) const { return days_[static_cast<std::size_t>(index)]; }
  Date date(int index) const;
  int date_number(int index) const;  // YYYYMMDD
  // Index of the first trading day on or after `date`; size() when there is none.
  int first_on_or_after(Date date) const;
  // Index of the last trading day on or before `date`; -1 when there is none.
  int last_on_or_before(Date date) const;
  bool is_trading_day(Date date) const;

 private:
  TradingCalendar();
  std::int32_t first_day_ = 0;  // 2005-01-01, days since 1970-01-01
  std::vector<std::int32_t> days_;
  // For each calendar day from first_day_: the index of the first trading day on or after it.
  std::vector<std::int32_t> at_or_after_;
};

// The trading days from 2005-01-04 up to and including `last`, as ascending YYYYMMDD numbers.
std::vector<int> trading_calendar(Date last);
// The same up to today (the host clock, TESSERA_NOW honoured).
std::vector<int> trading_calendar();
bool is_trading_day(Date date);
// The first trading day strictly after `date`; ValueError past the simulated period.
Date next_trading_date(Date date);

}  // namespace tessera_plus::tallow::sim
