#include "tessera_plus/market/bar_time.h"

#include <algorithm>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::tallow {

std::int64_t futures_trading_day(std::int64_t datetime, std::span<const std::int64_t> calendar) {
  const std::int64_t date = date_of_datetime(datetime);
  if (!is_evening_bar(datetime)) return date;
  if (calendar.empty()) {
    throw ValueError("the trading calendar is empty; cannot place a night-session bar");
  }
  const auto search = std::lower_bound(calendar.begin(), calendar.end(), date);
  const std::size_t next = std::min<std::size_t>(
      static_cast<std::size_t>(search - calendar.begin()) + 1, calendar.size() - 1);
  return calendar[next];
}

}  // namespace tessera_plus::tallow
