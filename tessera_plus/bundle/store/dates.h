// The date range the bundle covers.
#pragma once

#include <string>

namespace tessera_plus::bundle {

inline constexpr int MIN_START_DATE = 20050104;
inline constexpr int MAX_END_DATE = 29991231;

// The last date whose data counts as complete: today once the exchanges' clock (UTC+8, whatever
// the host's time zone) is past 17:30:00.000000, otherwise yesterday. YYYYMMDD.
int _get_end_date();

// Whether `name` can be a tick file's member: eight digits YYYYMMDD forming a real date no later
// than `today` (YYYYMMDD). Anything else (a stray dataset, a date in the future written by a
// clock gone wrong) must not decide where the file's next update starts.
bool is_tick_day_name(const std::string& name, int today);

// Today, YYYYMMDD, by the exchanges' clock (TESSERA_NOW when set).
int today_number();

}  // namespace tessera_plus::bundle
