#include "tessera_plus/market/backend.h"

namespace tessera_plus::tallow {

std::vector<Date> Backend::get_trading_dates(const DateArg& start, const DateArg& end,
                                             const std::string& market) {
  using std::chrono::days;
  using std::chrono::sys_days;
  const sys_days last(to_date(end));
  std::vector<Date> dates;
  Date day = get_next_trading_date(Date(sys_days(to_date(start)) - days(1)), market);
  while (sys_days(day) <= last) {
    dates.push_back(day);
    day = get_next_trading_date(day, market);
  }
  return dates;
}

}  // namespace tessera_plus::tallow
