// --quiet as cron runs it: a night with nothing wrong prints nothing at all (so no mail is sent),
// while the log keeps the summary; a night with a failure still says so.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using testing::CliResult;
using ::testing::HasSubstr;

class Quiet : public ::testing::Test {
 protected:
  std::vector<std::string> env(const char* now) const {
    return {now, "TESSERA_LOG_FILE=" + log(), "TALLOW_SIM_FAULT_RATE=0", "TALLOW_RETRY_BASE_MS=0"};
  }
  std::string log() const { return dir / "tessera.log"; }
  std::string root() const { return dir / "root"; }

  testing::TempDir dir;
};

TEST_F(Quiet, AGoodNightPrintsNothingAndABadOneStillSaysWhy) {
  const char* day_one = "TESSERA_NOW=2024-06-20 20:00:00";
  const char* day_two = "TESSERA_NOW=2024-06-28 20:00:00";
  ASSERT_EQ(testing::run_cli({"update", "-d", root(), "-j", "2", "--minbar", "000001.XSHE", "RB",
                              "--tick", "000002.XSHE"},
                             "", env(day_one))
                .status,
            0);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"smart-update", "-d", root(), "-j", "2", "--quiet"},
           {"update", "-d", root(), "--quiet", "--minbar", "000001.XSHE", "--tick", "000002.XSHE"},
           {"check", "minbar", "-d", root(), "--yes", "--quiet"},
           {"check", "--quiet", "tick", "-d", root(), "--yes"}}) {
    const CliResult night = testing::run_cli(args, "", env(day_two));
    EXPECT_EQ(night.status, 0) << args[0] << night.err;
    EXPECT_EQ(night.out, "") << args[0];
    EXPECT_EQ(night.err, "") << args[0];
  }
  // The summaries stay in the log; the update of the same day finds nothing to change.
  EXPECT_THAT(testing::read_file(log()), HasSubstr("INFO 更新结束：0 个标的已更新，2 个无变化"));

  const CliResult bad = testing::run_cli(
      {"update", "-d", root(), "--no-base", "--quiet", "--minbar", "NOPE.XSHE"}, "", env(day_two));
  EXPECT_EQ(bad.status, 1);
  EXPECT_THAT(bad.out, HasSubstr("NOPE.XSHE：没有对应的标的"));
  EXPECT_THAT(bad.out, HasSubstr("更新结束"));
}

}  // namespace
}  // namespace tessera_plus
