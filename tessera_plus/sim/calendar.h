// The simulated markets' trading calendars, 2005-01-01 to 2099-12-31: every weekday on which the
// market is open (holidays.h). The mainland calendar serves Shanghai, Shenzhen, Beijing and the
// futures exchanges; Hong Kong has its own, with half days.
#pragma once

#include <cstdint>
#include <vector>

#include "tessera_plus/base/datetime_func.h"

namespace tessera_plus::tallow::sim {

using tessera_plus::Date;

class TradingCalendar {
 public:
  // The mainland calendar of the whole simulated period, built on first use and never changed.
  static const TradingCalendar& instance();
  static const TradingCalendar& hong_kong();
  static const TradingCalendar& of(bool hong_kong) {
    return hong_kong ? TradingCalendar::hong_kong() : instance();
  }

  int size() const { return static_cast<int>(days_.size()); }
  // Trading day `index` (0 is the first of 2005) as days since 1970-01-01.
  std::int32_t day(int index) const { return days_[static_cast<std::size_t>(index)]; }
  Date date(int index) const;
  int date_number(int index) const;  // YYYYMMDD
  // Index of the first trading day on or after `date`; size() when there is none.
  int first_on_or_after(Date date) const;
  // Index of the last trading day on or before `date`; -1 when there is none.
  int last_on_or_before(Date date) const;
  bool is_trading_day(Date date) const;
  // A morning-only session (Hong Kong's Christmas Eve, New Year's Eve, Lunar New Year's Eve).
  bool is_half_day(int index) const { return half_days_[static_cast<std::size_t>(index)]; }

 private:
  explicit TradingCalendar(bool hong_kong);
  std::int32_t first_day_ = 0;  // 2005-01-01, days since 1970-01-01
  std::vector<std::int32_t> days_;
  // For each calendar day from first_day_: the index of the first trading day on or after it.
  std::vector<std::int32_t> at_or_after_;
  std::vector<bool> half_days_;
};

// The trading days from 2005-01-04 up to and including `last`, as ascending YYYYMMDD numbers.
std::vector<int> trading_calendar(Date last);
// The same up to today on the exchanges' clock (TESSERA_NOW honoured).
std::vector<int> trading_calendar();
bool is_trading_day(Date date);
// The first trading day strictly after `date`; ValueError past the simulated period.
Date next_trading_date(Date date, bool hong_kong = false);

}  // namespace tessera_plus::tallow::sim
