// Dates, timestamps and the integer forms that the bundle's files store them in. All timestamps are
// wall-clock time on the exchanges' clock (China Standard Time, UTC+8), never UTC nor the host's.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessera_plus {

using Date = std::chrono::year_month_day;
// Exchange wall-clock time with microsecond resolution (the 17:30 cut-off is decided to the
// microsecond).
using DateTime = std::chrono::local_time<std::chrono::microseconds>;

// YYYYMMDD.
int date_to_number(Date date);
int date_to_number(DateTime timestamp);
// HHMMSSmmm: milliseconds kept, so 09:30:03.500 is 93003500.
int time_to_number(DateTime timestamp);
// YYYYMMDDHHMMSS.
std::int64_t convert_dt_to_int(DateTime timestamp);

// YYYYMMDD to a date; ValueError when it is not a valid calendar date.
Date date_from_number(std::int64_t number);
// Eight-digit text YYYYMMDD to a date; ValueError otherwise.
Date date_from_text(std::string_view text);
// The service's date text "YYYY-MM-DD" as YYYYMMDD, with every '-' dropped; "0000-00-00" (still
// listed) gives 0. ValueError when what remains is not one to eight digits.
int dashed_date_number(std::string_view text);
DateTime make_datetime(Date date, int hour = 0, int minute = 0, int second = 0,
                       int microsecond = 0);
Date date_of(DateTime timestamp);

// "%Y%m%d" and "%Y-%m-%d".
std::string format_compact(Date date);
std::string format_dashed(Date date);

// The exchanges' wall-clock time at an instant: UTC+8 all year (China keeps no summer time), so a
// fixed offset needs no time-zone database.
DateTime exchange_time(std::chrono::sys_time<std::chrono::microseconds> instant);

// The current date and time on the exchanges' clock, whatever time zone the host is set to: a
// server in UTC or New York must plan the same days as one in Beijing. TESSERA_NOW
// ("YYYY-MM-DD HH:MM:SS[.ffffff]" or "YYYY-MM-DD", read as exchange time) fixes it, so that runs
// and tests are reproducible; a malformed value is a ValueError.
DateTime now();

// The same instant as now(), on the host's own clock: for the log, read beside the host's other
// logs. The only reader of the host's time zone besides the run lock's holder line.
DateTime local_now();

// Parses "YYYY-MM-DD[ HH:MM:SS[.ffffff]]".
DateTime parse_datetime(std::string_view text);

}  // namespace tessera_plus
