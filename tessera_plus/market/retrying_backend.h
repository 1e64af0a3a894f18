// The one place where calls to the market-data service are tried again. Every caller (writers,
// base updater, instrument selection, checkers) goes through the process-wide client, and the
// client's source is wrapped in a RetryingBackend when it is set up, so nothing above retries.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tessera_plus/base/shared_slots.h"
#include "tessera_plus/market/backend.h"
#include "tessera_plus/market/rate_limiter.h"

namespace tessera_plus::tallow {

// Enough to keep two cores busy behind a service some tens of milliseconds away, few enough that
// a service's per-account connection limits are not tested.
inline constexpr int kDefaultRequestsInFlight = 16;
inline constexpr int kMaxRequestsInFlight = 256;

struct RetryPolicy {
  int attempts = 5;                            // calls in all, the first one included
  std::chrono::milliseconds max_wait{30'000};  // total backoff of one call, at most
  std::chrono::milliseconds base_delay{500};   // the first backoff's upper bound
  std::chrono::milliseconds max_delay{8'000};  // one backoff's upper bound
  double requests_per_second = 0;              // for the whole run; 0: no limit
  // Calls waiting for the service at once, all processes of the run together: what hides the
  // service's latency, apart from how many processes compress and write.
  int requests_in_flight = kDefaultRequestsInFlight;

  // The defaults, overridden by TALLOW_RETRY_ATTEMPTS (a whole number from 1 to 1000),
  // TALLOW_RETRY_MAX_WAIT_S (0 to 86400), TALLOW_RETRY_BASE_MS (0 to 3600000) and
  // TALLOW_RATE_LIMIT (requests per second, up to 1e9; 0 is off) and TALLOW_REQUESTS (requests
  // in flight, 1 to kMaxRequestsInFlight). An empty variable counts as
  // unset; any other malformed or out-of-range value is a ValueError naming the variable.
  static RetryPolicy from_environment();
};

// Uniform in [0, 1): the jitter.
using UnitRandom = std::function<double()>;

// Forwards every call to `inner`. A call that fails with ServiceUnavailable is made again after
// a backoff drawn uniformly from [0, min(max_delay, base_delay * 2^(n-1))] ("full jitter", so that
// workers that failed together do not come back together), until it succeeds, `attempts` calls
// have been made or the next backoff would pass `max_wait`; then a ServiceUnavailable naming the
// call, the attempts and the last error propagates. Every
// other error propagates at once: permission, unknown instruments and bad arguments do not change
// by asking again. Each retry is a DEBUG log line and counts in the run report; each give-up is
// one ERROR line. Every call, retried or not, first takes one of `requests_in_flight` request
// slots, then waits for its turn under the rate limit; it gives the slot back when its answer (or
// error) is in, so a backoff holds none.
//
// Made in the main process before workers are forked: the rate limit, the request slots and the
// counters live in shared memory, so they hold for the whole run.
class RetryingBackend : public Backend {
 public:
  struct Counters {
    std::atomic<std::uint64_t> calls{0}, retries{0}, give_ups{0};
    // Calls that kept their caller waiting for the service (base/wait_probe.h): the sign that
    // more requests in flight would hide something.
    std::atomic<std::uint64_t> waited{0};
  };

  RetryingBackend(std::shared_ptr<Backend> inner, RetryPolicy policy,
                  Sleeper sleep = sleep_for_real, UnitRandom random = {},
                  MonotonicClock clock = steady_now);

  void init(bool enable_bjse) override;
  bool bjse_enabled() const override;
  std::vector<Instrument> all_instruments(const AllInstrumentsArgs& args) override;
  InstrumentAnswer instruments(const std::string& order_book_id,
                               const std::optional<std::string>& market) override;
  InstrumentAnswer convertible_instruments(const std::vector<std::string>& ids) override;
  std::optional<PriceTable> get_price(const std::string& order_book_id,
                                      const PriceArgs& args) override;
  Date get_next_trading_date(const DateArg& date, const std::string& market) override;
  SuspensionTable is_suspended(const std::string& order_book_id, const DateArg& start,
                               const DateArg& end) override;
  std::vector<Date> get_trading_dates(const DateArg& start, const DateArg& end,
                                      const std::string& market) override;

  int requests_in_flight() const override { return policy_.requests_in_flight; }
  bool calls_have_waited() const override { return counters_->waited.load() > 0; }
  const RetryPolicy& policy() const { return policy_; }
  Backend& inner() { return *inner_; }
  // Totals of every process sharing this backend.
  const Counters& counters() const { return *counters_; }

 private:
  template <typename Call>
  auto with_retries(std::string_view operation, std::string_view subject, Call call);
  // The backoff before retry number `retry` (1 for the first), before the total-wait cap.
  std::chrono::nanoseconds backoff(int retry);

  std::shared_ptr<Backend> inner_;
  RetryPolicy policy_;
  Sleeper sleep_;
  UnitRandom random_;
  RateLimiter limiter_;
  SharedSlots requests_;
  std::shared_ptr<Counters> counters_;
};

}  // namespace tessera_plus::tallow
