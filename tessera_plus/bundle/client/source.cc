#include "tessera_plus/bundle/client/source.h"

#include <cstdlib>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/pysource/python_source.h"
#include "tessera_plus/sim/sim_market.h"

namespace tessera_plus::bundle {

std::shared_ptr<tallow::Backend> make_source(std::string_view name) {
  if (name == "sim") {
    return std::make_shared<tallow::sim::SimMarket>(tallow::sim::SimConfig::from_environment());
  }
  if (name == "python") return pysource::make_python_source(pysource::module_from_environment());
  throw ValueError(fmt::format(
      "unknown market-data source TALLOW_SOURCE='{}'; the known sources are 'sim' and 'python'",
      name));
}

std::shared_ptr<tallow::Backend> source_from_environment() {
  const char* name = std::getenv("TALLOW_SOURCE");
  return make_source(name && *name ? name : "sim");
}

}  // namespace tessera_plus::bundle
