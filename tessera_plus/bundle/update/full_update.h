// The full update: base data, then minute bars and ticks of the instruments the user names.
#pragma once

#include <iostream>
#include <string>
#include <vector>

namespace tessera_plus::bundle {

// Brings the bundle under `data_bundle_path` up to date from the market-data service, with the
// client as the caller initialised it. Asks on `in` to confirm a rebuild. A refusal, or missing
// Beijing-exchange permission, throws ExitRequest(0): the program ends without any further step.
// True unless a step that ran reported failure; every requested step runs.
bool update_bundle_from_tallow(int concurrency, const std::string& data_bundle_path, bool base,
                               const std::vector<std::string>& minbar,
                               const std::vector<std::string>& tick, bool with_derivatives,
                               bool rebuild = false, bool enable_bjse = false,
                               std::istream& in = std::cin);

}  // namespace tessera_plus::bundle
