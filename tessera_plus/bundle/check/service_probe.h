// Asking the service whether days missing from a file really had data.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tessera_plus/market/types.h"

namespace tessera_plus::bundle::check_detail {

// The first of `days` on which the service has data of `frequency` ("1m" or "tick") for
// `order_book_id`, each asked as a one-day range in the form given; nullopt when none has.
// Asks day by day, in order, and stops at the first day with data; suspended days have none.
// None and an empty table both count as no data.
std::optional<tallow::DateArg> first_day_with_data(const std::string& order_book_id,
                                                   const std::vector<tallow::DateArg>& days,
                                                   const std::string& frequency);

}  // namespace tessera_plus::bundle::check_detail
