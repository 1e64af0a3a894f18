// Settings of the simulated market. Read once from the environment when the client picks the
// "sim" source; tests build a SimConfig directly.
//
// Environment variables (all optional):
//   TALLOW_SIM_SCALE         "demo" (default): a few dozen instruments with 60 trading days of
//                            data before today; "bench": 3000 A-share stocks and hundreds of other
//                            instruments with data from 2005-01-04.
//   TALLOW_SIM_STOCKS        number of XSHE/XSHG stocks, overriding the scale's (demo 14, bench
//                            3000).
//   TALLOW_SIM_HISTORY_DAYS  trading days of data up to today, overriding the scale's (demo 60,
//                            bench 0); 0 means all days since 2005-01-04.
//   TALLOW_SIM_SEED          unsigned integer that every price, volume and suspension derives
//                            from (default 20050104).
//   TALLOW_SIM_TICK_SECONDS  seconds between ticks, a divisor of 60 (default 3).
//   TALLOW_SIM_DENY          comma-separated permission rules; `get_price` raises PermissionDenied
//                            for data a rule covers. A rule is SCOPE, FREQUENCY or
//                            SCOPE_FREQUENCY; SCOPE is all, hk, bjse or an instrument type in
//                            lower case (cs, etf, lof, indx, future, option, convertible, reits);
//                            FREQUENCY is tick, 1m or 1d (daily, also the probe without dates).
//                            Example: "hk_tick,bjse".
//   TALLOW_SIM_FAULT_RATE    probability in [0, 1] that a data call (get_price, is_suspended,
//                            get_next_trading_date) fails with the transient error
//                            "simulated transient service failure" (default 0). Seeded: the
//                            same seed and sequence of calls fail the same way.
//   TALLOW_SIM_LATENCY_MS    milliseconds added to a data call (default 0).
//   TALLOW_SIM_LATENCY_RATE  probability in [0, 1] that a data call gets that latency (default 1).
//   TALLOW_SIM_TRADING_DATE  "all" (default): minute-bar tables of every instrument except indexes
//                            carry `trading_date`; "derivatives": only futures and options do.
// A malformed value is a ValueError naming the variable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessera_plus::tallow::sim {

enum class Scale { kDemo, kBench };

// Which data a permission rule covers. Empty `scope` or `frequency` means any.
struct DenyRule {
  std::string scope;      // "hk", "bjse", or an instrument type in lower case ("cs", ...)
  std::string frequency;  // "tick", "1m" or "1d"
  bool operator==(const DenyRule&) const = default;
};

struct SimConfig {
  Scale scale = Scale::kDemo;
  int stocks = 14;
  int history_days = 60;
  std::uint64_t seed = 20050104;
  int tick_seconds = 3;
  std::vector<DenyRule> deny;
  double fault_rate = 0.0;
  int latency_ms = 0;
  double latency_rate = 1.0;
  bool equity_trading_date = true;

  // The defaults of a scale: stock count and history length.
  static SimConfig for_scale(Scale scale);
  static SimConfig from_environment();
};

// "hk_tick,bjse" -> rules; ValueError on an unknown scope or frequency.
std::vector<DenyRule> parse_deny_rules(const std::string& text);

}  // namespace tessera_plus::tallow::sim
