// `tessera-plus update` against the simulated market with injected service faults: what the run
// keeps, how it ends (summary, failure list, exit status), and that one more run converges on
// the bundle a fault-free run builds. Retries wait 0 ms, so nothing really sleeps.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using testing::CliResult;
using ::testing::HasSubstr;
using testing::lines_of;
using ::testing::Not;

std::size_t occurrences(const std::string& text, const std::string& word) {
  std::size_t n = 0;
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    ++n;
  }
  return n;
}

class UpdateCommand : public ::testing::Test {
 protected:
  // Base data, minute bars of two stocks and ticks of a stock with suspended days, at a fixed
  // "now" in the simulated market's demo history.
  CliResult update(const std::string& root, const std::vector<std::string>& faults) {
    std::vector<std::string> env = {"TESSERA_NOW=2024-06-28 20:00:00", "TALLOW_RETRY_BASE_MS=0",
                                    "TESSERA_LOG_FILE=" + log_path(), "TALLOW_SIM_FAULT_RATE=0",
                                    "TALLOW_RETRY_ATTEMPTS=5"};
    env.insert(env.end(), faults.begin(), faults.end());
    return testing::run_cli({"update", "-d", root, "-j", "2", "--minbar", "000001.XSHE",
                             "000002.XSHE", "--tick", "000002.XSHE"},
                            "", env);
  }
  std::string log_path() const { return dir / "tessera.log"; }
  std::string log() const { return testing::read_file(log_path()); }
  // A fault-free run into its own root, once per test.
  const std::string& reference() {
    if (reference_.empty()) {
      CliResult clean = update(dir / "reference", {});
      EXPECT_EQ(clean.status, 0) << clean.err;
      reference_ = testing::bundle_digest(dir / "reference");
    }
    return reference_;
  }

  testing::TempDir dir;

 private:
  std::string reference_;
};

TEST_F(UpdateCommand, CleanRunEndsWithItsTotalsAndStatusZero) {
  CliResult run = update(dir / "b", {});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(lines_of(run.out).back(), "更新结束：3 个标的已更新，0 个无变化，0 项失败，重试 0 次");
  // Off a terminal each pass's bar is one final line that says what it counted.
  const std::vector<std::string> bars = lines_of(run.err);
  ASSERT_EQ(bars.size(), 3u) << run.err;
  EXPECT_TRUE(bars[0].starts_with("日线及基础数据文件: 100%|")) << bars[0];
  EXPECT_TRUE(bars[1].starts_with("分钟线文件: 100%|")) << bars[1];
  EXPECT_THAT(bars[1], HasSubstr("| 2/2 [")) << bars[1];
  EXPECT_TRUE(bars[2].starts_with("tick文件: 100%|")) << bars[2];
}

TEST_F(UpdateCommand, RetriesAbsorbOccasionalFaultsAndTheBundleIsTheFaultFreeOne) {
  CliResult run = update(dir / "b", {"TALLOW_SIM_FAULT_RATE=0.05"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("0 项失败"));
  EXPECT_THAT(run.out, Not(HasSubstr("重试 0 次")));  // some calls did fail and were retried
  EXPECT_EQ(testing::bundle_digest(dir / "b"), reference());
}

TEST_F(UpdateCommand, FailuresAreListedThenOneMoreRunConverges) {
  // No retries at a high fault rate: something fails for sure, and what succeeded must stay.
  CliResult faulty = update(dir / "b", {"TALLOW_SIM_FAULT_RATE=0.3", "TALLOW_RETRY_ATTEMPTS=1"});
  EXPECT_EQ(faulty.status, 1) << faulty.err;
  EXPECT_THAT(faulty.out, HasSubstr("失败的标的及原因：\n"));
  EXPECT_THAT(log(), HasSubstr("数据服务暂时不可用"));
  EXPECT_THAT(log(), Not(HasSubstr("该文件可能已经损坏")));
  // The base files exist although some of their instruments failed.
  for (const char* name : {"stocks.h5", "suspended_days.h5", "instruments.pk"}) {
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "b/bundle" / name)) << name;
  }

  CliResult again = update(dir / "b", {});
  EXPECT_EQ(again.status, 0) << again.err << again.out;
  EXPECT_EQ(testing::bundle_digest(dir / "b"), reference());
}

TEST_F(UpdateCommand, AtMostTwentyFailuresAreShownThenTheCountOfTheRest) {
  CliResult run = update(dir / "b", {"TALLOW_SIM_FAULT_RATE=1", "TALLOW_RETRY_ATTEMPTS=2"});
  EXPECT_EQ(run.status, 1) << run.err;
  std::vector<std::string> lines = lines_of(run.out);
  auto header = std::find(lines.begin(), lines.end(), "失败的标的及原因：");
  ASSERT_NE(header, lines.end()) << run.out;
  ASSERT_EQ(lines.end() - header, 22) << run.out;  // the header, 20 failures, the rest's count
  EXPECT_THAT(header[1], HasSubstr("调用 2 次均未成功：simulated transient service failure"));
  // Each failure says "失败" once, however many layers passed its reason on.
  for (auto line = header + 1; line != lines.end(); ++line) {
    EXPECT_LE(occurrences(*line, "失败"), 1u) << *line;
  }
  EXPECT_THAT(lines.back(), ::testing::MatchesRegex("  另有 [0-9]+ 项失败未列出"));
  EXPECT_THAT(header[-1], ::testing::MatchesRegex("更新结束：0 个标的已更新，0 个无变化，[0-9]+ "
                                                  "项失败，重试 [0-9]+ 次"));
}

}  // namespace
}  // namespace tessera_plus
