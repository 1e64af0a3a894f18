#include "tessera_plus/interfaces/tallow/backend.h"

#include <fmt/format.h>

#include "tessera_plus/errors.h"
#include "tessera_plus/interfaces/tallow/sim/sim_market.h"

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

std::shared_ptr<Backend> make_backend(std::string_view name) {
  if (name == "sim") return std::make_shared<sim::SimMarket>(sim::SimConfig::from_environment());
  throw ValueError(fmt::format(
      "unknown market-data source TALLOW_SOURCE='{}'; the known source is 'sim'", name));
}

}  // namespace tessera_plus::tallow
