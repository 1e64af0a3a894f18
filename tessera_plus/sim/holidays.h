// Exchange closures of the simulated markets, by calendar day.
//
// Mainland (Shanghai and Shenzhen, and the futures exchanges, which close with them): the
// published closures of 2005-2026 as a table, and the exchanges' usual pattern from 2027 on.
// Hong Kong: the territory's general holidays as HKEX observes them, with the half-day sessions
// of Christmas Eve, New Year's Eve and Lunar New Year's Eve.
#pragma once

#include <chrono>

namespace tessera_plus::tallow::sim {

// Last year of the published mainland table; later years follow the usual pattern.
inline constexpr int kPublishedClosuresLastYear = 2026;

// Whether the mainland exchanges are closed on a weekday (weekends are always closed).
bool mainland_closed(std::chrono::sys_days day);
// Whether HKEX is closed on a weekday.
bool hong_kong_closed(std::chrono::sys_days day);
// Whether a Hong Kong trading day has a morning session only.
bool hong_kong_half_day(std::chrono::sys_days day);

}  // namespace tessera_plus::tallow::sim
