// Runs that overlap, with the real program on the simulated market: one writing run holds the
// bundle, a second exits 1 with one line naming the holder or, with --wait, proceeds once the
// first ends; reading runs are not held up; and two smart updates started together leave the
// bundle that one uninterrupted run leaves.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/check_fixtures.h"
#include "tests/support/running_cli.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr char kDayOne[] = "TESSERA_NOW=2024-06-20 20:00:00";
constexpr char kDayTwo[] = "TESSERA_NOW=2024-06-28 20:00:00";

using testing::Running;

class OverlappingRuns : public ::testing::Test {
 protected:
  std::vector<std::string> env(const char* now) const {
    return {now, "TESSERA_LOG_FILE=" + (dir / "tessera.log"), "TALLOW_SIM_FAULT_RATE=0",
            "TALLOW_SIM_HISTORY_START=20240401", "TESSERA_PROGRESS=0"};
  }
  std::string root() const { return dir / "b"; }
  // An update that holds the bundle while it asks whether to rebuild, until answered. The bundle
  // directory exists, so that the holder does not remove it again when it ends.
  std::unique_ptr<Running> holder() {
    fs::create_directories(root() + "/bundle");
    auto first =
        std::make_unique<Running>(std::vector<std::string>{"update", "-d", root(), "--no-base",
                                                           "--minbar", "000001.XSHE", "--rebuild"},
                                  env(kDayTwo));
    first->read_until("是否确认?[Y/n]");
    return first;
  }

  testing::TempDir dir;
};

TEST_F(OverlappingRuns, WritingRunsExitOneWithALineNamingTheHolderAndReadingRunsGoOn) {
  std::unique_ptr<Running> first = holder();
  const std::string held = "数据包 " + root() + "/bundle 正被另一个任务使用（进程 " +
                           std::to_string(first->pid()) + "，开始于 ";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"smart-update", "-d", root()},
           {"update", "-d", root(), "--no-base", "--minbar", "000002.XSHE"},
           {"check", "minbar", "-d", root(), "--yes"},
           {"download-sample", "-d", root(), "--file", dir / "twbundle_sample.tar.bz2"}}) {
    testing::CliResult second = testing::run_cli(args, "", env(kDayTwo));
    EXPECT_EQ(second.status, 1) << args[0] << second.err;
    // Like every line that ends a run: on standard error, where a cron job's mail looks.
    EXPECT_THAT(second.err, StartsWith("tessera-plus: error: " + held)) << args[0];
    EXPECT_THAT(second.err, HasSubstr("，命令 " TESSERA_PLUS_CLI " update -d " + root()));
    EXPECT_EQ(std::count(second.err.begin(), second.err.end(), '\n'), 1) << second.err;
    EXPECT_THAT(second.out, Not(HasSubstr("正被另一个任务使用"))) << args[0];
  }
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"status", "-d", root()}, {"check", "minbar", "-d", root(), "--json"}}) {
    testing::CliResult reader = testing::run_cli(args, "", env(kDayTwo));
    EXPECT_THAT(reader.out, Not(HasSubstr("正被另一个任务使用"))) << args[0];
  }
  first->answer("n\n");
  EXPECT_EQ(first->finish(), 0) << first->output();
}

// The question is asked without the lock; a yes needs it, and with another run holding the bundle
// nothing is deleted.
TEST_F(OverlappingRuns, AnInteractiveCheckDeletesOnlyUnderTheLock) {
  std::unique_ptr<Running> first = holder();
  testing::write_file(root() + "/bundle/trading_dates.npy",
                      testing::npy_image({20240620, 20240621, 20240624}));
  const std::string broken = root() + "/bundle/h5/equities/000009.XSHE.h5";
  fs::create_directories(fs::path(broken).parent_path());
  testing::write_file(broken, "not an HDF5 file");
  testing::CliResult check =
      testing::run_cli({"check", "minbar", "-d", root()}, "y\n", env(kDayTwo));
  EXPECT_EQ(check.status, 1) << check.out << check.err;
  EXPECT_THAT(check.out, HasSubstr("是否删除异常数据(yes/no):"));
  EXPECT_THAT(check.err, HasSubstr("正被另一个任务使用（进程 " + std::to_string(first->pid())));
  EXPECT_TRUE(fs::exists(broken));
  first->answer("n\n");
  EXPECT_EQ(first->finish(), 0);
  check = testing::run_cli({"check", "minbar", "-d", root()}, "y\n", env(kDayTwo));
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  EXPECT_FALSE(fs::exists(broken));
}

TEST_F(OverlappingRuns, WithWaitTheSecondRunProceedsOnceTheFirstEnds) {
  std::unique_ptr<Running> first = holder();
  Running second({"smart-update", "-d", root(), "--wait", "600"}, env(kDayTwo));
  // It says that it waits; only then does the first run end.
  EXPECT_THAT(second.read_until("最多等待 600 秒"),
              HasSubstr("正被另一个任务使用（进程 " + std::to_string(first->pid())));
  first->answer("n\n");
  EXPECT_EQ(first->finish(), 0);
  EXPECT_EQ(second.finish(), 0) << second.output();
  EXPECT_THAT(second.output(), HasSubstr("开始智能更新已下载数据"));
  EXPECT_TRUE(fs::exists(dir.path() / "b/bundle/trading_dates.npy"));
}

// A cron job of another user: each writing command says in one line that it may not write the
// bundle, at once; a run that spun or waited for ever would run into the timeout and fail.
TEST_F(OverlappingRuns, AUserWhoMayNotWriteTheBundleGetsOneLineAndStatusOne) {
  fs::create_directories(root() + "/bundle");
  fs::permissions(dir.path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  for (const std::string& args :
       {"check minbar -d " + root() + " --yes",
        "download-sample -d " + root() + " --file " + (dir / "s.tar.bz2")}) {
    const std::string command =
        "timeout 20 setpriv --reuid=65534 --regid=65534 --clear-groups env "
        "TESSERA_LOG_FILE=/dev/null TESSERA_PROGRESS=0 " TESSERA_PLUS_CLI " " +
        args + " >" + (dir / "out") + " 2>" + (dir / "err");
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << args << " " << status;
    EXPECT_EQ(testing::read_file(dir / "out"), "") << args;
    EXPECT_THAT(testing::lines_of(testing::read_file(dir / "err")),
                ::testing::ElementsAre(HasSubstr("this user may not write it")))
        << args;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(root() + "/bundle"), {}), 0);
}

// A supervisor kills a run's whole process group and starts it again at once: the new run waits
// the moment it takes for the killed workers, which hold the lock with their run, to be torn down,
// then does its work.
TEST_F(OverlappingRuns, ARunStartedAsTheLastOnesKilledGroupIsTornDownDoesItsWork) {
  const std::vector<std::string> update = {"update", "-d",       root(),        "-j",
                                           "2",      "--minbar", "000001.XSHE", "600000.XSHG",
                                           "RB",     "--tick",   "000001.XSHE"};
  Running first(update, env(kDayTwo), /*own_group=*/true);
  first.read_until("的分钟线数据");
  first.kill_group();
  testing::CliResult again = testing::run_cli(update, "", env(kDayTwo));
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_THAT(again.out, HasSubstr("更新结束"));
}

TEST_F(OverlappingRuns, TwoSmartUpdatesStartedTogetherLeaveTheBundleOfOneRun) {
  const std::vector<std::string> update = {"update", "-d",         dir / "one",   "-j",
                                           "2",      "--minbar",   "000001.XSHE", "RB",
                                           "--tick", "000002.XSHE"};
  ASSERT_EQ(testing::run_cli(update, "", env(kDayOne)).status, 0);
  fs::copy(dir.path() / "one", dir.path() / "two", fs::copy_options::recursive);
  const std::string day_one = testing::bundle_digest(dir / "one");

  ASSERT_EQ(
      testing::run_cli({"smart-update", "-d", dir / "one", "-j", "2"}, "", env(kDayTwo)).status, 0);
  Running a({"smart-update", "-d", dir / "two", "-j", "2", "--wait", "600"}, env(kDayTwo));
  Running b({"smart-update", "-d", dir / "two", "-j", "2", "--wait", "600"}, env(kDayTwo));
  EXPECT_EQ(a.finish(), 0) << a.output();
  EXPECT_EQ(b.finish(), 0) << b.output();
  const std::string one_run = testing::bundle_digest(dir / "one");
  EXPECT_NE(one_run, day_one);  // the smart update did extend the files
  EXPECT_EQ(testing::bundle_digest(dir / "two"), one_run);
}

}  // namespace
}  // namespace tessera_plus
