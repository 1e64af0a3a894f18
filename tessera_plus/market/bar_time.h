// A minute bar's time as the datetime number YYYYMMDDHHMMSS, and the rules that place a bar on its
// trading day. Writers, checkers and the simulated market all include this header, so the date
// split and the night-session rule cannot drift apart between them.
#pragma once

#include <cstdint>
#include <span>

namespace tessera_plus::tallow {

// YYYYMMDDHHMMSS = YYYYMMDD * DATETIME_DAY_FACTOR + HHMMSS.
inline constexpr std::int64_t DATETIME_DAY_FACTOR = 1000000;

// The calendar date YYYYMMDD of a datetime number: divided by DATETIME_DAY_FACTOR, rounded down.
// Rounding down (not toward zero) keeps a damaged negative value splitting into a date and a time
// of day in [0, 999999], so `datetime_number(date_of_datetime(x), time_of_datetime(x)) == x` for
// every x.
constexpr std::int64_t date_of_datetime(std::int64_t datetime) {
  const std::int64_t q = datetime / DATETIME_DAY_FACTOR;
  return datetime % DATETIME_DAY_FACTOR < 0 ? q - 1 : q;
}

// The time of day HHMMSS of a datetime number, always in [0, 999999].
constexpr std::int64_t time_of_datetime(std::int64_t datetime) {
  return datetime - date_of_datetime(datetime) * DATETIME_DAY_FACTOR;
}

// `date` (YYYYMMDD) at `time` (HHMMSS) as a datetime number. Computed in unsigned arithmetic: a
// damaged date read from a file gives some wrong number to compare against, never an overflow.
constexpr std::int64_t datetime_number(std::int64_t date, std::int64_t time) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(date) *
                                       static_cast<std::uint64_t>(DATETIME_DAY_FACTOR) +
                                   static_cast<std::uint64_t>(time));
}

// Night sessions open at 21:00 and day sessions close by 15:15, so a bar stamped from 18:00 on is a
// night bar: it belongs to the trading day after the one its calendar date names. Night bars from
// midnight to 02:30 carry the calendar date after that day and need no rule of their own: their
// date is already later than the previous trading day's.
inline constexpr std::int64_t NIGHT_SESSION_START = 180000;

// Whether the bar `datetime` is stamped at or after NIGHT_SESSION_START of its calendar date.
constexpr bool is_evening_bar(std::int64_t datetime) {
  return time_of_datetime(datetime) >= NIGHT_SESSION_START;
}

// Whether the bar `datetime` can belong to a trading day after `previous_date` (YYYYMMDD): its
// calendar date is later, or it is an evening bar of `previous_date` itself.
constexpr bool belongs_after(std::int64_t datetime, std::int64_t previous_date) {
  const std::int64_t date = date_of_datetime(datetime);
  return date > previous_date || (date == previous_date && is_evening_bar(datetime));
}

// The trading day that a futures or options bar belongs to, by the ascending calendar of trading
// dates: its calendar date before NIGHT_SESSION_START; from then on, the calendar entry after the
// first one not less than that date, held at the calendar's last entry. Needs the calendar only
// for evening bars; ValueError when one meets an empty calendar.
std::int64_t futures_trading_day(std::int64_t datetime, std::span<const std::int64_t> calendar);

// Stocks, funds and indexes open at 09:30, and a one-minute bar is stamped at its end, so a day's
// first equity bar is stamped 09:31:00.
inline constexpr std::int64_t FIRST_EQUITY_BAR_TIME = 93100;

// The datetime number that the first equity bar of `date` (YYYYMMDD) carries.
constexpr std::int64_t first_equity_bar(std::int64_t date) {
  return datetime_number(date, FIRST_EQUITY_BAR_TIME);
}

}  // namespace tessera_plus::tallow
