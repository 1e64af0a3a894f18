#include "tessera_plus/interfaces/tallow/backend.h"

#include <fmt/format.h>

#include "tessera_plus/errors.h"
#include "tessera_plus/interfaces/tallow/sim/sim_market.h"

namespace tessera_plus::tallow {

std::shared_ptr<Backend> make_backend(std::string_view name) {
  if (name == "sim") return std::make_shared<sim::SimMarket>(sim::SimConfig::from_environment());
  throw ValueError(fmt::format(
      "unknown market-data source TALLOW_SOURCE='{}'; the known source is 'sim'", name));
}

}  // namespace tessera_plus::tallow
