// Asking the service whether days missing from a file really had data.
#pragma once

#include <string>
#include <vector>

#include "tessera_plus/market/types.h"

namespace tessera_plus::bundle::check_detail {

// True when the service has data of `frequency` ("1m" or "tick") for `order_book_id` on any of
// `days`, each asked as a one-day range in the form given. Asks day by day, in order, and stops at
// the first day with data; suspended days have none. None and an empty table both
// count as no data.
bool service_has_any(const std::string& order_book_id, const std::vector<tallow::DateArg>& days,
                     const std::string& frequency);

}  // namespace tessera_plus::bundle::check_detail
