// The program's two questions, answered by Ctrl-C: the check's "delete?" and the rebuild's
// "confirm?". The stop ends the run at once with 130, with nothing deleted or rebuilt, its line
// on a line of its own and the end of the run in the log.
#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/check_fixtures.h"
#include "tests/support/running_cli.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class Questions : public ::testing::Test {
 protected:
  std::vector<std::string> env() const {
    return {"TESSERA_NOW=2024-06-28 20:00:00", "TESSERA_LOG_FILE=" + log(), "TESSERA_PROGRESS=0",
            "TALLOW_SIM_FAULT_RATE=0"};
  }
  std::string log() const { return dir / "tessera.log"; }

  // Waits for `prompt`, sends SIGINT to the program alone (as a terminal's Ctrl-C reaches it,
  // the workers having ended with the work before the question) and checks how it ends.
  void interrupt_at(testing::Running& run, const std::string& prompt) {
    ASSERT_THAT(run.read_until(prompt), HasSubstr(prompt));
    ::kill(run.pid(), SIGINT);
    EXPECT_EQ(run.finish(), 130) << run.output();
    const std::string after = run.output().substr(run.output().find(prompt) + prompt.size());
    // The prompt's own line is ended first; the stop line stands alone.
    EXPECT_THAT(after, StartsWith("\n"));
    const std::vector<std::string> lines = testing::lines_of(run.output());
    ASSERT_FALSE(lines.empty());
    EXPECT_THAT(lines.back(), StartsWith("已中断（SIGINT）："));
    EXPECT_THAT(testing::read_file(log()), HasSubstr("INFO end: exit status 130"));
  }

  testing::TempDir dir;
};

TEST_F(Questions, CtrlCAtTheCheckQuestionDeletesNothing) {
  testing::TestBundle bundle;
  bundle.write_calendar({20200102, 20200103});
  const std::string broken = bundle.minbar_dir("equities") + "/000001.XSHE.h5";
  const std::vector<std::int64_t> bars = {20200102093100};
  testing::write_raw_minbar_file(broken, &bars, nullptr);
  testing::Running run({"check", "minbar", "-d", bundle.root()}, env(), false, true);
  interrupt_at(run, "是否删除异常数据(yes/no):");
  EXPECT_THAT(testing::lines_of(run.output()),
              Contains("已中断（SIGINT）：检查已完成，未删除任何文件"));
  EXPECT_TRUE(fs::exists(broken));
}

TEST_F(Questions, CtrlCAtTheRebuildQuestionRebuildsNothing) {
  const std::string root = dir / "root";
  testing::Running run({"update", "-d", root, "--no-base", "--minbar", "000001.XSHE", "--rebuild"},
                       env(), false, true);
  interrupt_at(run, "是否确认?[Y/n]\n");
  EXPECT_FALSE(fs::exists(root + "/bundle/h5"));
}

}  // namespace
}  // namespace tessera_plus
