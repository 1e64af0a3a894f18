// The date range the bundle covers.
#pragma once

namespace tessera_plus::bundle {

inline constexpr int MIN_START_DATE = 20050104;
inline constexpr int MAX_END_DATE = 29991231;

// The last date whose data counts as complete: today once the local time is past 17:30:00.000000,
// otherwise yesterday. YYYYMMDD.
int _get_end_date();

}  // namespace tessera_plus::bundle
