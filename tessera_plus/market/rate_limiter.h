// A request rate for the whole run, shared by the main process and every worker forked after the
// limiter was made: a real service counts an account's calls, not a process's.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace tessera_plus::tallow {

// How callers wait and tell the time; tests pass fakes so that nothing really sleeps.
using Sleeper = std::function<void(std::chrono::nanoseconds)>;
using MonotonicClock = std::function<std::chrono::nanoseconds()>;

void sleep_for_real(std::chrono::nanoseconds duration);
std::chrono::nanoseconds steady_now();

// A token bucket of one token in shared memory: at most `per_second` calls per second across all
// processes, spaced evenly, with no burst beyond one call. Each caller reserves its slot under
// the lock and sleeps outside it, so waiting callers never hold the others up beyond their turn.
class RateLimiter {
 public:
  // `per_second` <= 0: no limit, and acquire() returns at once.
  explicit RateLimiter(double per_second, MonotonicClock clock = steady_now,
                       Sleeper sleep = sleep_for_real);

  // Waits for this call's turn.
  void acquire();
  double per_second() const { return per_second_; }

 private:
  struct Bucket;
  double per_second_;
  MonotonicClock clock_;
  Sleeper sleep_;
  std::shared_ptr<Bucket> bucket_;
};

}  // namespace tessera_plus::tallow
