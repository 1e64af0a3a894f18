// `--requests`: how many service requests a run keeps waiting at once, apart from how many
// workers write (--jobs). Through the real program on the simulated market with latency, faults
// and outages: many requests in flight build the very bundle one request at a time builds, the
// rate limit holds over the whole run, and a bad value is a usage error.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using testing::CliResult;
using ::testing::HasSubstr;
using testing::lines_of;

constexpr const char* kThursday = "TESSERA_NOW=2024-06-27 20:00:00";
constexpr const char* kFriday = "TESSERA_NOW=2024-06-28 20:00:00";

class RequestsCommand : public ::testing::Test {
 protected:
  CliResult run(const std::vector<std::string>& args, std::vector<std::string> env) const {
    env.insert(env.end(),
               {"TESSERA_LOG_FILE=" + log_path(), "TALLOW_RETRY_BASE_MS=0", "TESSERA_PROGRESS=0"});
    return testing::run_cli(args, "", env);
  }
  // Thursday's bundle of every demo stock's minute bars and one stock's ticks, brought to Friday
  // by smart-update, each run with `requests` in flight and `service` conditions.
  std::string build(const std::string& name, const std::string& requests,
                    const std::vector<std::string>& service) const {
    const std::string root = dir / name;
    std::vector<std::string> env = service;
    env.push_back(kThursday);
    const CliResult first = run({"update", "-d", root, "-j", "2", "--requests", requests,
                                 "--minbar", "stock", "--tick", "000002.XSHE"},
                                env);
    EXPECT_EQ(first.status, 0) << first.err << first.out;
    env.back() = kFriday;
    const CliResult second =
        run({"smart-update", "-d", root, "-j", "2", "--requests", requests}, env);
    EXPECT_EQ(second.status, 0) << second.err << second.out;
    EXPECT_THAT(second.out, HasSubstr("0 项失败"));
    return testing::bundle_digest(root);
  }
  std::string log_path() const { return dir / "tessera.log"; }
  // The calls of the last run, as its closing log line counts them.
  long logged_calls() const {
    const std::string log = testing::read_file(log_path());
    const std::regex line("数据服务调用 ([0-9]+) 次");
    long calls = -1;
    for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
      calls = std::stol((*it)[1]);
    }
    return calls;
  }

  testing::TempDir dir;
};

TEST_F(RequestsCommand, ManyRequestsOverASlowFaultyServiceBuildTheOneRequestBundle) {
  const std::string one_at_a_time = build("one", "1", {"TALLOW_SIM_FAULT_RATE=0"});
  const std::string many =
      build("many", "16",
            {"TALLOW_SIM_LATENCY_MS=2", "TALLOW_SIM_FAULT_RATE=0.05", "TALLOW_SIM_OUTAGES=40,3",
             "TALLOW_RETRY_ATTEMPTS=12", "TALLOW_SIM_CALL_LOG=" + dir / "calls"});
  EXPECT_EQ(many, one_at_a_time);
  EXPECT_THAT(testing::read_file(log_path()), HasSubstr("同时至多 16 个请求"));
  // The calls really overlapped: far more processes asked for prices than the two writers and
  // the base data's two workers would have been.
  std::set<std::string> askers;
  for (const std::string& line : testing::read_lines(dir / "calls")) {
    const std::size_t pid = line.find(' ') + 1;
    if (line.ends_with(" get_price")) askers.insert(line.substr(pid, line.find(' ', pid) - pid));
  }
  EXPECT_GE(askers.size(), 8u);
}

TEST_F(RequestsCommand, TheRateLimitHoldsOverTheWholeRunWithManyRequestsInFlight) {
  constexpr double kPerSecond = 40;
  const auto start = std::chrono::steady_clock::now();
  const CliResult update = run({"update", "-d", dir / "b", "-j", "2", "--requests", "16",
                                "--rate-limit", "40", "--minbar", "stock"},
                               {kFriday, "TALLOW_SIM_LATENCY_MS=2", "TALLOW_SIM_FAULT_RATE=0"});
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(update.status, 0) << update.err;
  const long calls = logged_calls();
  ASSERT_GT(calls, 20) << "too few calls for the limit to show";
  // Calls are spaced by the limit, the first at once: the last cannot start before this.
  EXPECT_GE(elapsed.count(), (calls - 1) / kPerSecond) << calls << " calls";
}

TEST_F(RequestsCommand, ABadCountIsAUsageErrorOnOneLine) {
  for (const char* command : {"update", "smart-update"}) {
    for (const char* value : {"0", "257", "many"}) {
      const CliResult bad = run({command, "-d", dir / "b", "--requests", value}, {kFriday});
      EXPECT_EQ(bad.status, 2) << command << " " << value;
      EXPECT_EQ(lines_of(bad.err).size(), 1u) << bad.err;
      EXPECT_THAT(bad.err, HasSubstr("--requests")) << bad.err;
    }
  }
}

}  // namespace
}  // namespace tessera_plus
