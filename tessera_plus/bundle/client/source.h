// Which market-data source the client talks to.
#pragma once

#include <memory>
#include <string_view>

#include "tessera_plus/market/backend.h"

namespace tessera_plus::bundle {

// The source named `name`: "sim", the built-in simulated market configured from TALLOW_SIM_*;
// "python", the Python client library that TALLOW_PYTHON_MODULE names (`tallow` by default),
// imported into an interpreter started here in the main process. Any other name is a ValueError
// naming the known sources.
std::shared_ptr<tallow::Backend> make_source(std::string_view name);

// The source that TALLOW_SOURCE names, "sim" when it is unset or empty.
std::shared_ptr<tallow::Backend> source_from_environment();

}  // namespace tessera_plus::bundle
