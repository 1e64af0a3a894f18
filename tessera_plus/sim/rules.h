// What the simulated account may not see, and the simulated service's unreliability.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "tessera_plus/sim/config.h"
#include "tessera_plus/sim/universe.h"

namespace tessera_plus::tallow::sim {

// PermissionDenied when a rule covers `frequency` ("tick", "1m" or "1d") data of `ins`.
void check_permission(const std::vector<DenyRule>& rules, const SimInstrument& ins,
                      std::string_view frequency);

// Seeded transient failures and latency of data calls. Each call draws from (seed, number of
// the call in this process, operation, order book id), so a run repeats its failures exactly;
// a forked worker continues from its parent's count and draws its own failures for its own
// requests.
class FaultInjector {
 public:
  explicit FaultInjector(const SimConfig& config);
  // Sleeps and/or throws Error("simulated transient service failure") as drawn.
  void on_data_call(std::string_view operation, std::string_view order_book_id);

 private:
  std::uint64_t seed_;
  double fault_rate_, latency_rate_;
  int latency_ms_;
  std::uint64_t calls_ = 0;
};

}  // namespace tessera_plus::tallow::sim
