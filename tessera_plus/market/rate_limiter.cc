#include "tessera_plus/market/rate_limiter.h"

#include <algorithm>
#include <cstdint>
#include <thread>

#include "tessera_plus/base/shared_memory.h"

namespace tessera_plus::tallow {

void sleep_for_real(std::chrono::nanoseconds duration) { std::this_thread::sleep_for(duration); }

std::chrono::nanoseconds steady_now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
}

struct RateLimiter::Bucket {
  SharedMutex lock;
  // The earliest time the next call may go out. Reserving a turn moves it on by one interval;
  // a time in the past means the bucket is full.
  std::int64_t next_ns = 0;
};

RateLimiter::RateLimiter(double per_second, MonotonicClock clock, Sleeper sleep)
    : per_second_(per_second), clock_(std::move(clock)), sleep_(std::move(sleep)) {
  if (per_second_ > 0) bucket_ = make_shared_mapped<Bucket>();
}

void RateLimiter::acquire() {
  if (!bucket_) return;
  const auto interval = std::int64_t(1e9 / per_second_);
  const std::int64_t now = clock_().count();
  bucket_->lock.lock();
  const std::int64_t turn = std::max(now, bucket_->next_ns);
  bucket_->next_ns = turn + interval;
  bucket_->lock.unlock();
  if (turn > now) sleep_(std::chrono::nanoseconds(turn - now));
}

}  // namespace tessera_plus::tallow
