// The retry layer over a scripted service: which errors are tried again, how long it waits, when
// it gives up, and that its limit and counters hold across worker processes. Nothing really
// sleeps: the sleeper and the clock are fakes.
#include "tessera_plus/market/retrying_backend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/base/shared_memory.h"
#include "tests/support/child_process.h"
#include "tests/support/env.h"
#include "tests/support/scripted_service.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::tallow {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::SizeIs;

class RetryingBackendTest : public ::testing::Test {
 protected:
  void TearDown() override { publish_run_report(std::nullopt); }

  // A backend whose jitter always draws `draw` and whose sleeps are recorded in `slept`.
  std::shared_ptr<RetryingBackend> retrying(RetryPolicy policy, double draw = 0.5) {
    return std::make_shared<RetryingBackend>(
        service, policy, [this](nanoseconds d) { slept.push_back(d); }, [draw] { return draw; },
        [this] { return now; });
  }
  // get_price fails with `error` for the first `failures` calls, then answers one row.
  template <typename E>
  void fail_first(int failures) {
    service->on_get_price = [this, failures](const std::string&, const PriceArgs&) {
      if (++price_calls <= failures) throw E("busy");
      return std::optional<PriceTable>(testing::one_row_table());
    };
  }
  std::vector<std::string> log() const { return testing::read_lines(dir / "log"); }

  testing::TempDir dir;
  std::shared_ptr<testing::ScriptedService> service = std::make_shared<testing::ScriptedService>();
  std::vector<nanoseconds> slept;
  nanoseconds now{0};
  int price_calls = 0;
  testing::ScopedEnv log_{"TESSERA_LOG_FILE", dir / "log"};
  testing::ScopedEnv level_{"TESSERA_LOG_LEVEL", std::nullopt};
};

TEST_F(RetryingBackendTest, TransientFailuresAreRetriedWithGrowingJitteredBackoff) {
  fail_first<ServiceUnavailable>(3);
  auto backend = retrying({.attempts = 5, .base_delay = milliseconds(100)}, 0.5);
  auto table = backend->get_price("000001.XSHE", {});
  ASSERT_TRUE(table);
  EXPECT_EQ(table->rows(), 1u);
  EXPECT_EQ(price_calls, 4);
  // Half (the draw) of 100, 200, 400 ms.
  EXPECT_THAT(slept, ElementsAre(milliseconds(50), milliseconds(100), milliseconds(200)));
  EXPECT_EQ(backend->counters().retries, 3u);
  EXPECT_EQ(backend->counters().give_ups, 0u);
  EXPECT_TRUE(log().empty());  // retries are debug lines, off by default
}

TEST_F(RetryingBackendTest, BackoffNeverExceedsItsCapAndDebugLinesNameTheCall) {
  level_.set("debug");
  fail_first<ServiceUnavailable>(6);
  auto backend = retrying(
      {.attempts = 7, .base_delay = milliseconds(100), .max_delay = milliseconds(300)}, 1.0);
  backend->get_price("000001.XSHE", {});
  EXPECT_THAT(slept, ElementsAre(milliseconds(100), milliseconds(200), milliseconds(300),
                                 milliseconds(300), milliseconds(300), milliseconds(300)));
  auto lines = log();
  ASSERT_THAT(lines, SizeIs(6));
  EXPECT_THAT(lines[0], HasSubstr("DEBUG 重试 get_price(000001.XSHE)：第 1 次调用失败"));
  EXPECT_THAT(lines[0], HasSubstr("busy"));
}

TEST_F(RetryingBackendTest, GivesUpAfterTheLastAttemptWithOneErrorLine) {
  fail_first<ServiceUnavailable>(100);
  auto backend = retrying({.attempts = 3});
  EXPECT_THROW(backend->get_price("000002.XSHE", {}), ServiceUnavailable);
  EXPECT_EQ(price_calls, 3);
  EXPECT_THAT(slept, SizeIs(2));
  EXPECT_EQ(backend->counters().give_ups, 1u);
  EXPECT_THAT(log(),
              ElementsAre(HasSubstr("ERROR 放弃 get_price(000002.XSHE) 调用 3 次均未成功：busy")));
  try {
    backend->get_price("000002.XSHE", {});
  } catch (const ServiceUnavailable& e) {
    EXPECT_STREQ(e.what(), "get_price(000002.XSHE) 调用 3 次均未成功：busy");
  }
}

TEST_F(RetryingBackendTest, GivesUpBeforeTheTotalWaitWouldPassItsCap) {
  fail_first<ServiceUnavailable>(100);
  // Waits of 100 and 200 ms fit in 350 ms; the third (400 ms) would not.
  auto backend = retrying(
      {.attempts = 10, .max_wait = milliseconds(350), .base_delay = milliseconds(100)}, 1.0);
  EXPECT_THROW(backend->get_price("000001.XSHE", {}), ServiceUnavailable);
  EXPECT_EQ(price_calls, 3);
  EXPECT_THAT(slept, ElementsAre(milliseconds(100), milliseconds(200)));
}

TEST_F(RetryingBackendTest, TheWaitCapCountsEveryWaitSoFar) {
  fail_first<ServiceUnavailable>(100);
  // Each wait is at most 200 ms and fits the 350 ms cap alone; 100 + 200 + 200 would not.
  auto backend = retrying({.attempts = 10,
                           .max_wait = milliseconds(350),
                           .base_delay = milliseconds(100),
                           .max_delay = milliseconds(200)},
                          1.0);
  EXPECT_THROW(backend->get_price("000001.XSHE", {}), ServiceUnavailable);
  EXPECT_EQ(price_calls, 3);
  EXPECT_THAT(slept, ElementsAre(milliseconds(100), milliseconds(200)));
}

TEST_F(RetryingBackendTest, PermissionUnknownInstrumentsAndBadArgumentsAreNeverRetried) {
  auto backend = retrying({.attempts = 5});
  fail_first<PermissionDenied>(1);
  EXPECT_THROW(backend->get_price("000001.XSHE", {}), PermissionDenied);
  price_calls = 0;
  fail_first<ValueError>(1);
  EXPECT_THROW(backend->get_price("000001.XSHE", {}), ValueError);
  price_calls = 0;
  fail_first<KeyError>(1);
  EXPECT_THROW(backend->get_price("000001.XSHE", {}), KeyError);
  // A plain service error (a quota, say) is not known to be transient either.
  price_calls = 0;
  fail_first<Error>(1);
  EXPECT_THROW(backend->get_price("000001.XSHE", {}), Error);
  EXPECT_EQ(price_calls, 1);
  EXPECT_TRUE(slept.empty());
  EXPECT_EQ(backend->counters().retries, 0u);
}

TEST_F(RetryingBackendTest, EveryDataCallIsCoveredButInitIsPassedThrough) {
  // Each operation fails on its first call only.
  std::map<std::string, int> calls;
  auto first_fails = [&](const std::string& op) {
    if (calls[op]++ == 0) throw ServiceUnavailable("timeout");
  };
  service->on_is_suspended = [&](const std::string& id, const DateArg&, const DateArg&) {
    first_fails("is_suspended");
    return SuspensionTable{.dates = {}, .columns = {{id, {}}}};
  };
  service->on_all_instruments = [&](const AllInstrumentsArgs&) {
    first_fails("all_instruments");
    return std::vector<Instrument>{};
  };
  service->on_instruments = [&](const std::string&, const std::optional<std::string>&) {
    first_fails("instruments");
    return InstrumentAnswer{};
  };
  service->on_get_next_trading_date = [&](const DateArg&, const std::string&) {
    first_fails("get_next_trading_date");
    return Date(std::chrono::year(2024) / 7 / 1);
  };
  auto backend = retrying({.attempts = 2});
  backend->is_suspended("000001.XSHE", std::int64_t{20240101}, std::int64_t{20240105});
  backend->all_instruments({});
  backend->instruments("000001.XSHE", std::nullopt);
  backend->get_next_trading_date(std::int64_t{20240628}, "cn");
  EXPECT_EQ(backend->counters().retries, 4u);
  service->on_init = [](bool) { throw ServiceUnavailable("down"); };
  EXPECT_THROW(backend->init(true), ServiceUnavailable);
  EXPECT_THAT(service->calls_of("init"), SizeIs(1));
}

// The counters and the rate limit live in shared memory: a worker's calls count for the parent.
TEST_F(RetryingBackendTest, WorkersShareCountersRunReportAndRateLimit) {
  publish_run_report(RunReport::create());
  fail_first<ServiceUnavailable>(1);
  auto backend = retrying({.attempts = 3, .requests_per_second = 10});
  // The call fails once: two calls, one retry.
  ASSERT_EQ(testing::exit_code_in_child([&] { backend->get_price("000001.XSHE", {}); }), 0);
  EXPECT_EQ(backend->counters().calls, 2u);
  EXPECT_EQ(backend->counters().retries, 1u);
  EXPECT_EQ(run_totals().retries, 1u);
  // The clock has not moved: the child's two calls took the turns at 0 and 100 ms, so the
  // parent's first call waits for the one at 200 ms.
  slept.clear();
  price_calls = 1;  // the child's failure happened in the child's copy of the script
  backend->get_price("000001.XSHE", {});
  EXPECT_THAT(slept, ElementsAre(milliseconds(200)));
}

struct InFlight {
  std::atomic<int> now{0}, most{0};
};

// Request slots are shared memory too: the workers' calls together never have more than
// requests_in_flight waiting for the service, and a call sleeping out its backoff holds none.
TEST_F(RetryingBackendTest, RequestsInFlightBoundTheWorkersTogetherAndBackoffsHoldNoSlot) {
  const auto in_flight = make_shared_mapped<InFlight>();
  service->on_get_price = [in_flight](const std::string&, const PriceArgs&) {
    const int calls = ++in_flight->now;
    int most = in_flight->most.load();
    while (calls > most && !in_flight->most.compare_exchange_weak(most, calls)) {
    }
    for (int i = 0; i < 20; ++i) sched_yield();
    --in_flight->now;
    return std::optional<PriceTable>(testing::one_row_table());
  };
  auto backend = retrying({.requests_in_flight = 2});
  std::vector<pid_t> workers;
  for (int w = 0; w < 6; ++w) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (int call = 0; call < 50; ++call) backend->get_price("000001.XSHE", {});
      ::_exit(0);
    }
    workers.push_back(pid);
  }
  for (pid_t pid : workers) {
    int status = 1;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(backend->counters().calls, 300u);
  EXPECT_LE(in_flight->most.load(), 2);

  // One slot only, and a call that fails once: during its backoff another process's call goes
  // through (an alarm ends that process if it waits for the slot instead).
  std::shared_ptr<RetryingBackend> single;
  single = std::make_shared<RetryingBackend>(
      service, RetryPolicy{.attempts = 2, .requests_in_flight = 1},
      [&](nanoseconds) {
        const int code = testing::exit_code_in_child([&] {
          ::alarm(10);
          single->get_price("000001.XSHE", {});
        });
        EXPECT_EQ(code, 0) << "the backoff kept the only request slot";
      },
      [] { return 0.5; }, [this] { return now; });
  fail_first<ServiceUnavailable>(1);
  ASSERT_TRUE(single->get_price("000001.XSHE", {}));
  EXPECT_EQ(single->counters().calls, 3u);
}

// Only a call that kept its caller waiting on the service says that overlapping calls is worth
// more processes; a busy answer of the same length (work, not waiting) does not, and every process
// of the run sees what one of them found.
TEST_F(RetryingBackendTest, OnlyACallThatWaitedForTheServiceCountsAsWaiting) {
  const auto backend = retrying(RetryPolicy{});
  service->on_get_price = [](const std::string&, const PriceArgs&) {
    const auto until = std::chrono::steady_clock::now() + milliseconds(5);
    while (std::chrono::steady_clock::now() < until) {
    }
    return std::optional<PriceTable>(testing::one_row_table());
  };
  backend->get_price("000001.XSHE", {});
  EXPECT_FALSE(backend->calls_have_waited());

  service->on_get_price = [](const std::string&, const PriceArgs&) {
    // The service's answer takes a while to arrive: the caller blocks, using no processor.
    ::usleep(5000);
    return std::optional<PriceTable>(testing::one_row_table());
  };
  EXPECT_EQ(testing::exit_code_in_child([&] { backend->get_price("000001.XSHE", {}); }), 0);
  EXPECT_TRUE(backend->calls_have_waited());
}

TEST(RateLimiter, SpacesCallsEvenlyAndRefillsWhileIdle) {
  nanoseconds now{0};
  std::vector<nanoseconds> slept;
  RateLimiter limiter(
      4, [&] { return now; }, [&](nanoseconds d) { slept.push_back(d); });
  limiter.acquire();
  limiter.acquire();
  limiter.acquire();
  EXPECT_THAT(slept, ElementsAre(milliseconds(250), milliseconds(500)));
  now = milliseconds(2000);  // idle long enough: no wait, and no burst saved up either
  slept.clear();
  limiter.acquire();
  limiter.acquire();
  EXPECT_THAT(slept, ElementsAre(milliseconds(250)));

  RateLimiter off(
      0, [&] { return now; }, [&](nanoseconds d) { slept.push_back(d); });
  slept.clear();
  for (int i = 0; i < 100; ++i) off.acquire();
  EXPECT_TRUE(slept.empty());
}

// Sets the policy's variables for one case and clears them all afterwards, so that no case
// sees another's settings.
class RetryPolicyEnvironment : public ::testing::Test {
 protected:
  static constexpr const char* kNames[] = {"TALLOW_RETRY_ATTEMPTS", "TALLOW_RETRY_MAX_WAIT_S",
                                           "TALLOW_RETRY_BASE_MS", "TALLOW_RATE_LIMIT"};
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  static void clear() {
    for (const char* name : kNames) ::unsetenv(name);
  }
  static RetryPolicy with(const char* name, const char* value) {
    clear();
    ::setenv(name, value, 1);
    return RetryPolicy::from_environment();
  }
  // The ValueError's text, or "accepted".
  static std::string refusal(const char* name, const char* value) {
    try {
      with(name, value);
      return "accepted";
    } catch (const ValueError& e) {
      return e.what();
    }
  }
};

TEST_F(RetryPolicyEnvironment, UnsetOrEmptyVariablesKeepTheDefaults) {
  RetryPolicy p = RetryPolicy::from_environment();
  EXPECT_EQ(p.attempts, 5);
  EXPECT_EQ(p.max_wait, milliseconds(30'000));
  EXPECT_EQ(p.base_delay, milliseconds(500));
  EXPECT_EQ(p.requests_per_second, 0);
  for (const char* name : kNames) ::setenv(name, "", 1);
  p = RetryPolicy::from_environment();
  EXPECT_EQ(p.attempts, 5);
  EXPECT_EQ(p.max_wait, milliseconds(30'000));
  EXPECT_EQ(p.base_delay, milliseconds(500));
  EXPECT_EQ(p.requests_per_second, 0);
}

TEST_F(RetryPolicyEnvironment, EachVariableSetsItsOwnSettingDownToItsLowestValue) {
  ::setenv("TALLOW_RETRY_ATTEMPTS", "2", 1);
  ::setenv("TALLOW_RETRY_MAX_WAIT_S", "1.5", 1);
  ::setenv("TALLOW_RETRY_BASE_MS", "250", 1);
  ::setenv("TALLOW_RATE_LIMIT", "20", 1);
  RetryPolicy p = RetryPolicy::from_environment();
  EXPECT_EQ(p.attempts, 2);
  EXPECT_EQ(p.max_wait, milliseconds(1500));
  EXPECT_EQ(p.base_delay, milliseconds(250));
  EXPECT_EQ(p.requests_per_second, 20);
  EXPECT_EQ(p.max_delay, milliseconds(8'000));  // not configurable

  // The lowest value each accepts: one attempt (no retry), no waiting, no rate limit.
  EXPECT_EQ(with("TALLOW_RETRY_ATTEMPTS", "1").attempts, 1);
  EXPECT_EQ(with("TALLOW_RETRY_MAX_WAIT_S", "0").max_wait, milliseconds(0));
  EXPECT_EQ(with("TALLOW_RETRY_MAX_WAIT_S", "0.25").max_wait, milliseconds(250));
  EXPECT_EQ(with("TALLOW_RETRY_BASE_MS", "0").base_delay, milliseconds(0));
  EXPECT_EQ(with("TALLOW_RATE_LIMIT", "0").requests_per_second, 0);
  EXPECT_EQ(with("TALLOW_RATE_LIMIT", "0.5").requests_per_second, 0.5);
  EXPECT_EQ(with("TALLOW_RETRY_ATTEMPTS", "1000").attempts, 1000);
}

TEST_F(RetryPolicyEnvironment, MalformedOrOutOfRangeValuesAreRefusedNamingTheVariable) {
  const std::pair<const char*, const char*> bad[] = {
      {"TALLOW_RETRY_ATTEMPTS", "0"},     {"TALLOW_RETRY_ATTEMPTS", "five"},
      {"TALLOW_RETRY_ATTEMPTS", "3x"},    {"TALLOW_RETRY_ATTEMPTS", "2.5"},
      {"TALLOW_RETRY_ATTEMPTS", "1e12"},  {"TALLOW_RETRY_ATTEMPTS", "nan"},
      {"TALLOW_RETRY_MAX_WAIT_S", "-1"},  {"TALLOW_RETRY_MAX_WAIT_S", "inf"},
      {"TALLOW_RETRY_MAX_WAIT_S", "nan"}, {"TALLOW_RETRY_MAX_WAIT_S", "1e300"},
      {"TALLOW_RETRY_MAX_WAIT_S", "10s"}, {"TALLOW_RETRY_BASE_MS", "-0.5"},
      {"TALLOW_RETRY_BASE_MS", "1e300"},  {"TALLOW_RATE_LIMIT", "-1"},
      {"TALLOW_RATE_LIMIT", "infinity"},  {"TALLOW_RATE_LIMIT", "20/s"},
  };
  for (const auto& [name, value] : bad) {
    SCOPED_TRACE(std::string(name) + "=" + value);
    EXPECT_THAT(refusal(name, value), HasSubstr(std::string(name) + "='" + value + "'"));
  }
}

}  // namespace
}  // namespace tessera_plus::tallow
