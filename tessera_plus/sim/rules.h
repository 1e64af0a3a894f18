// What the simulated account may not see, and the simulated service's unreliability.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "tessera_plus/sim/config.h"
#include "tessera_plus/sim/universe.h"

namespace tessera_plus::tallow::sim {

// PermissionDenied when a rule covers `frequency` ("tick", "1m" or "1d") data of `ins` on a date
// of [first, last] (YYYYMMDD).
void check_permission(const std::vector<DenyRule>& rules, const SimInstrument& ins,
                      std::string_view frequency, int first, int last);

// Seeded transient failures, outages, quota and latency of data calls. Each call draws from
// (seed, number of the call in this process, operation, order book id), so a run repeats its
// failures exactly; a forked worker continues from its parent's count and state and draws its
// own failures for its own requests.
class FaultInjector {
 public:
  explicit FaultInjector(const SimConfig& config);
  // Sleeps and/or throws ServiceUnavailable("simulated transient service failure") as drawn;
  // throws it for every call of an outage.
  void on_data_call(std::string_view operation, std::string_view order_book_id);
  // After an answer of `rows` rows: the latency that grows with its size, and the quota, which
  // raises Error("simulated quota exceeded") once the process has received more rows than it.
  void on_answer(std::size_t rows);

 private:
  bool in_outage();

  std::uint64_t seed_;
  double fault_rate_, latency_rate_;
  int latency_ms_, latency_per_1000_rows_ms_;
  std::int64_t quota_rows_, rows_ = 0;
  int outage_up_, outage_down_;
  std::int64_t outage_left_ = 0;  // calls left in the current run (up or down)
  bool down_ = false;
  std::uint64_t calls_ = 0;
};

}  // namespace tessera_plus::tallow::sim
