#include "tessera_plus/market/retrying_backend.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/logger.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/base/shared_memory.h"
#include "tessera_plus/base/wait_probe.h"

namespace tessera_plus::tallow {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

struct Range {
  double minimum;
  double maximum;
  bool whole = false;  // a count: no fractions
};

// The value of the variable `name`, or `fallback` when it is unset or empty. Anything else outside
// `range` is refused rather than cut or converted into a duration or a count it does not fit.
double env_number(const char* name, double fallback, Range range) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (*end != '\0' || !std::isfinite(value) || value < range.minimum || value > range.maximum ||
      (range.whole && value != std::floor(value))) {
    throw ValueError(fmt::format("{}='{}' is not a {} from {} to {}", name, text,
                                 range.whole ? "whole number" : "number", range.minimum,
                                 range.maximum));
  }
  return value;
}

// A generator per process: workers forked from one parent must not draw the same jitter, or
// they would all come back at the same moment.
UnitRandom per_process_random() {
  struct State {
    pid_t pid = 0;
    std::mt19937_64 engine;
  };
  return [state = std::make_shared<State>()] {
    if (state->pid != ::getpid()) {
      state->pid = ::getpid();
      std::random_device device;
      state->engine.seed((std::uint64_t(device()) << 32) ^ std::uint64_t(state->pid));
    }
    return std::uniform_real_distribution<double>(0.0, 1.0)(state->engine);
  };
}

int checked_requests_in_flight(int requests) {
  if (requests < 1 || requests > kMaxRequestsInFlight) {
    throw ValueError(fmt::format("requests in flight must be from 1 to {}, not {}",
                                 kMaxRequestsInFlight, requests));
  }
  return requests;
}

// A call that kept its caller this long beyond the CPU time it used: a service far enough away
// that calls are worth overlapping. A simulated or local service answers well within it.
constexpr std::chrono::microseconds kCallThatWaited{1000};

std::string seconds_text(nanoseconds d) { return fmt::format("{:.3f}s", d.count() / 1e9); }

}  // namespace

RetryPolicy RetryPolicy::from_environment() {
  RetryPolicy p;
  p.attempts = int(env_number("TALLOW_RETRY_ATTEMPTS", p.attempts, {1, 1000, true}));
  p.max_wait = milliseconds(std::int64_t(
      env_number("TALLOW_RETRY_MAX_WAIT_S", p.max_wait.count() / 1000.0, {0, 86'400, false}) *
      1000));
  p.base_delay = milliseconds(std::int64_t(
      env_number("TALLOW_RETRY_BASE_MS", double(p.base_delay.count()), {0, 3'600'000, false})));
  p.requests_per_second = env_number("TALLOW_RATE_LIMIT", p.requests_per_second, {0, 1e9, false});
  p.requests_in_flight =
      int(env_number("TALLOW_REQUESTS", p.requests_in_flight, {1, kMaxRequestsInFlight, true}));
  return p;
}

RetryingBackend::RetryingBackend(std::shared_ptr<Backend> inner, RetryPolicy policy, Sleeper sleep,
                                 UnitRandom random, MonotonicClock clock)
    : inner_(std::move(inner)),
      policy_(policy),
      sleep_(std::move(sleep)),
      random_(random ? std::move(random) : per_process_random()),
      limiter_(policy.requests_per_second, std::move(clock), sleep_),
      requests_(checked_requests_in_flight(policy.requests_in_flight)),
      counters_(make_shared_mapped<Counters>()) {
  if (policy_.attempts < 1) throw ValueError("a call needs at least one attempt");
}

nanoseconds RetryingBackend::backoff(int retry) {
  const double ceiling =
      std::min(double(nanoseconds(policy_.max_delay).count()),
               double(nanoseconds(policy_.base_delay).count()) * std::ldexp(1.0, retry - 1));
  return nanoseconds(std::int64_t(random_() * ceiling));
}

template <typename Call>
auto RetryingBackend::with_retries(std::string_view operation, std::string_view subject,
                                   Call call) {
  nanoseconds waited{0};
  for (int attempt = 1;; ++attempt) {
    try {
      // The slot first: a call then starts at its turn, so that calls that waited for a slot do
      // not start closer together than the rate limit spaces them.
      const SharedSlots::Hold request = requests_.take();
      limiter_.acquire();
      ++counters_->calls;
      const WaitProbe probe;
      auto answer = call();
      if (probe.waited(kCallThatWaited)) ++counters_->waited;
      return answer;
    } catch (const ServiceUnavailable& e) {
      const nanoseconds delay = backoff(attempt);
      if (attempt >= policy_.attempts || waited + delay > policy_.max_wait) {
        ++counters_->give_ups;
        const std::string what = fmt::format("{}({}) 调用 {} 次均未成功：{}", operation, subject,
                                             attempt, one_line(e.what(), 300));
        system_log::error(fmt::format("放弃 {}，共等待 {}", what, seconds_text(waited)));
        // Whoever reports the failure names the call and that it was tried in vain.
        throw ServiceUnavailable(what);
      }
      ++counters_->retries;
      record_retry();
      if (system_log::debug_enabled()) {
        system_log::debug(fmt::format("重试 {}({})：第 {} 次调用失败，{} 后再试：{}", operation,
                                      subject, attempt, seconds_text(delay),
                                      one_line(e.what(), 300)));
      }
      sleep_(delay);
      waited += delay;
    }
  }
}

void RetryingBackend::init(bool enable_bjse) { inner_->init(enable_bjse); }

bool RetryingBackend::bjse_enabled() const { return inner_->bjse_enabled(); }

std::vector<Instrument> RetryingBackend::all_instruments(const AllInstrumentsArgs& args) {
  return with_retries("all_instruments", args.type.value_or(""),
                      [&] { return inner_->all_instruments(args); });
}

InstrumentAnswer RetryingBackend::instruments(const std::string& order_book_id,
                                              const std::optional<std::string>& market) {
  return with_retries("instruments", order_book_id,
                      [&] { return inner_->instruments(order_book_id, market); });
}

InstrumentAnswer RetryingBackend::convertible_instruments(const std::vector<std::string>& ids) {
  return with_retries("convertible.instruments", ids.empty() ? "" : ids.front(),
                      [&] { return inner_->convertible_instruments(ids); });
}

std::optional<PriceTable> RetryingBackend::get_price(const std::string& order_book_id,
                                                     const PriceArgs& args) {
  return with_retries("get_price", order_book_id,
                      [&] { return inner_->get_price(order_book_id, args); });
}

Date RetryingBackend::get_next_trading_date(const DateArg& date, const std::string& market) {
  return with_retries("get_next_trading_date", describe(date),
                      [&] { return inner_->get_next_trading_date(date, market); });
}

SuspensionTable RetryingBackend::is_suspended(const std::string& order_book_id,
                                              const DateArg& start, const DateArg& end) {
  return with_retries("is_suspended", order_book_id,
                      [&] { return inner_->is_suspended(order_book_id, start, end); });
}

std::vector<Date> RetryingBackend::get_trading_dates(const DateArg& start, const DateArg& end,
                                                     const std::string& market) {
  return with_retries("get_trading_dates", market,
                      [&] { return inner_->get_trading_dates(start, end, market); });
}

}  // namespace tessera_plus::tallow
