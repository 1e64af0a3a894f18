// For the simulated market's tests: the outcome of a run of data calls as text, so that seeded
// fault sequences can be compared and inspected.
#pragma once

#include <cstdint>
#include <string>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/sim/sim_market.h"

namespace tessera_plus::tallow::sim {

// '.' for each of `calls` calendar calls that was answered, 'x' for each that failed.
inline std::string failure_pattern(SimMarket& market, int calls) {
  std::string out;
  for (int i = 0; i < calls; ++i) {
    try {
      market.get_next_trading_date(std::int64_t{20240628}, "cn");
      out += '.';
    } catch (const Error&) {
      out += 'x';
    }
  }
  return out;
}

}  // namespace tessera_plus::tallow::sim
