// Settings of the simulated market. Read once from the environment when the client picks the
// "sim" source; tests build a SimConfig directly.
//
// Environment variables (all optional):
//   TALLOW_SIM_SCALE         "demo" (default): a few dozen instruments with data from 2024-05-06;
//                            "bench": 3000 A-share stocks and hundreds of other instruments with
//                            data from 2005-01-04. The first day stays put as today moves on, as
//                            a real service's history does.
//   TALLOW_SIM_STOCKS        number of XSHE/XSHG stocks, overriding the scale's (demo 14, bench
//                            3000).
//   TALLOW_SIM_HISTORY_START first date with data (YYYYMMDD), overriding the scale's.
//   TALLOW_SIM_HISTORY_DAYS  trading days of data up to today, overriding the first date (0, the
//                            default, keeps it); a window that moves with today.
//   TALLOW_SIM_SEED          unsigned integer that every price, volume and suspension derives
//                            from (default 20050104).
//   TALLOW_SIM_TICK_SECONDS  seconds between stock and fund snapshots, a divisor of 60 (default
//                            3); futures and options snapshot every 500 ms.
//   TALLOW_SIM_DENY          comma-separated permission rules; `get_price` raises PermissionDenied
//                            for data a rule covers. A rule is SCOPE, FREQUENCY or
//                            SCOPE_FREQUENCY, optionally followed by @FROM-TO (YYYYMMDD, either
//                            side may be empty) to cover only requests that reach into those
//                            dates; SCOPE is all, hk, bjse or an instrument type in lower case
//                            (cs, etf, lof, indx, future, option, convertible, reits); FREQUENCY
//                            is tick, 1m or 1d (daily, also the probe without dates).
//                            Example: "hk_tick,bjse,tick@-20191231".
//   TALLOW_SIM_NO_DATA       "none" (default): a request without data answers None; "empty": it
//                            answers a table without rows, which callers must accept as well.
//   TALLOW_SIM_HALTS         "pad" (default): the minutes of an intraday halt are flat bars
//                            without volume at the last price, as the service that the host's
//                            checker was written against delivers them (every stock day starts at
//                            09:31); "omit": they have no bars, for tests of how the rest copes.
//   TALLOW_SIM_QUOTA_ROWS    rows of `get_price` the process may receive; the request that passes
//                            it raises "simulated quota exceeded" (default 0: no quota).
//   TALLOW_SIM_OUTAGES       "UP,DOWN": bursty outages, a seeded on/off process over the data calls
//                            with a mean of UP calls between outages and DOWN failing calls in one
//                            (default: none).
//   TALLOW_SIM_LATENCY_PER_1000_ROWS  milliseconds added per 1000 rows of an answer (default 0).
//   TALLOW_SIM_FAULT_RATE    probability in [0, 1] that a data call (get_price, is_suspended,
//                            get_next_trading_date) fails with the transient error
//                            "simulated transient service failure" (default 0). Seeded: the
//                            same seed and sequence of calls fail the same way.
//   TALLOW_SIM_LATENCY_MS    milliseconds added to a data call (default 0).
//   TALLOW_SIM_LATENCY_RATE  probability in [0, 1] that a data call gets that latency (default 1).
//   TALLOW_SIM_CALL_LOG      a file to which every call the service receives appends one line,
//                            "MONOTONIC_NS PID OPERATION" (call_log.h); unset: no record.
//   TALLOW_SIM_REVISED       comma-separated days (YYYYMMDD) that the service has corrected since
//                            it first answered for them (revisions.h); default none.
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
  std::string scope;            // "hk", "bjse", or an instrument type in lower case ("cs", ...)
  std::string frequency;        // "tick", "1m" or "1d"
  int from = 0, to = 99991231;  // the dates covered, YYYYMMDD
  bool operator==(const DenyRule&) const = default;
};

inline constexpr int kDemoHistoryStart = 20240506;
inline constexpr int kBenchHistoryStart = 20050104;

struct SimConfig {
  Scale scale = Scale::kDemo;
  int stocks = 14;
  int history_start = kDemoHistoryStart;  // YYYYMMDD
  int history_days = 0;                   // > 0: a window of this many days up to today instead
  std::uint64_t seed = 20050104;
  int tick_seconds = 3;
  std::vector<DenyRule> deny;
  double fault_rate = 0.0;
  int latency_ms = 0;
  double latency_rate = 1.0;
  bool equity_trading_date = true;
  bool empty_tables = false;
  bool pad_halts = true;
  std::int64_t quota_rows = 0;
  int outage_up = 0, outage_down = 0;  // mean calls; 0: no outages
  int latency_per_1000_rows_ms = 0;
  std::string call_log;           // empty: calls are not recorded
  std::vector<int> revised_days;  // YYYYMMDD

  // The defaults of a scale: stock count and first date.
  static SimConfig for_scale(Scale scale);
  static SimConfig from_environment();
};

// "hk_tick,bjse" -> rules; ValueError on an unknown scope or frequency.
std::vector<DenyRule> parse_deny_rules(const std::string& text);

}  // namespace tessera_plus::tallow::sim
