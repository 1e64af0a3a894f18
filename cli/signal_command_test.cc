// tessera-plus stopped by SIGINT, SIGTERM or SIGHUP sent to its whole process group, as a
// terminal's Ctrl-C, a service manager or a closed session sends them. Each signal goes out when
// the run's console shows it has reached a given step: the run stops there, says so in one line,
// ends with 128 + the signal's number and leaves no worker behind, and one more run builds the
// bundle an uninterrupted run builds.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Stopped {
  int wait_status = -1;
  std::vector<std::string> lines;  // standard output and error
  bool group_empty = false;        // no process of the run's group was left after it
};

// Runs the program in a process group of its own, reading its standard output and error here; once
// a line contains `step`, sends `signals` to the group, in order. The program starts with `ignored`
// signals ignored, as nohup or a shell's background job starts it.
Stopped run_until(const std::vector<std::string>& args, const std::vector<std::string>& env,
                  const std::string& step, const std::vector<int>& signals,
                  const std::vector<int>& ignored = {}) {
  int out[2];
  if (::pipe(out) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(out[1], STDERR_FILENO);  // the stop line's stream, beside standard output
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    // Whatever the test inherited (a background job starts with SIGINT ignored), the program
    // starts as a foreground job or under nohup would.
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) ::signal(signo, SIG_DFL);
    for (int signo : ignored) ::signal(signo, SIG_IGN);
    testing::exec_cli(args, env);
  }
  ::setpgid(pid, pid);  // before the first signal, whichever of the two runs first
  ::close(out[1]);
  Stopped stopped;
  std::FILE* reader = ::fdopen(out[0], "r");
  char* line = nullptr;
  std::size_t capacity = 0;
  bool sent = false;
  for (ssize_t n; (n = ::getline(&line, &capacity, reader)) > 0;) {
    stopped.lines.emplace_back(line, static_cast<std::size_t>(n) - (line[n - 1] == '\n'));
    if (!sent && stopped.lines.back().find(step) != std::string::npos) {
      for (int signo : signals) ::kill(-pid, signo);
      sent = true;
    }
  }
  std::free(line);
  std::fclose(reader);
  ::waitpid(pid, &stopped.wait_status, 0);
  stopped.group_empty = ::kill(-pid, 0) != 0 && errno == ESRCH;
  return stopped;
}

std::size_t count_starting(const std::vector<std::string>& lines, const std::string& prefix) {
  std::size_t n = 0;
  for (const std::string& line : lines) n += line.rfind(prefix, 0) == 0;
  return n;
}

class StopSignal : public ::testing::Test {
 protected:
  std::vector<std::string> env() const {
    return {"TESSERA_NOW=2024-06-28 18:00:00", "TESSERA_LOG_FILE=" + std::string(dir / "log"),
            "TALLOW_RETRY_BASE_MS=0", "TALLOW_SIM_FAULT_RATE=0"};
  }
  std::vector<std::string> update_args(const std::string& root) const {
    return {"update",      "-d",          root, "-j",     "2",          "--minbar",
            "000001.XSHE", "000002.XSHE", "RB", "--tick", "000002.XSHE"};
  }
  const std::string& reference() {
    if (reference_.empty()) {
      const testing::CliResult clean = testing::run_cli(update_args(dir / "reference"), "", env());
      EXPECT_EQ(clean.status, 0) << clean.err;
      reference_ = testing::bundle_digest(dir / "reference");
    }
    return reference_;
  }
  // One more run of the same update on `root`, and the bundle it leaves.
  std::string rerun(const std::string& root) {
    const testing::CliResult again = testing::run_cli(update_args(root), "", env());
    EXPECT_EQ(again.status, 0) << again.err;
    return testing::bundle_digest(root);
  }

  testing::TempDir dir;

 private:
  std::string reference_;
};

TEST_F(StopSignal, EachSignalStopsAtItsStepWithOneLineAndItsStatus) {
  struct Trial {
    int signo;
    const char* name;
    const char* step;  // the console line after which the signal comes
  };
  const Trial trials[] = {{SIGINT, "SIGINT", "开始更新日线及基础数据"},
                          {SIGTERM, "SIGTERM", "分钟线数据"},
                          {SIGHUP, "SIGHUP", "tick数据"}};
  int n = 0;
  for (const Trial& trial : trials) {
    SCOPED_TRACE(trial.name);
    const std::string root = dir / ("run" + std::to_string(n++));
    std::vector<std::string> args = update_args(root);
    args.insert(args.end(), {"--report", root + ".json"});
    const Stopped stopped = run_until(args, env(), trial.step, {trial.signo});
    ASSERT_TRUE(WIFEXITED(stopped.wait_status)) << "killed by " << WTERMSIG(stopped.wait_status);
    EXPECT_EQ(WEXITSTATUS(stopped.wait_status), 128 + trial.signo);
    EXPECT_TRUE(stopped.group_empty);
    const std::string said = std::string("已中断（") + trial.name + "）：";
    EXPECT_EQ(count_starting(stopped.lines, said), 1u);
    ASSERT_FALSE(stopped.lines.empty());
    EXPECT_THAT(stopped.lines.back(), StartsWith(said));
    EXPECT_THAT(stopped.lines.back(), HasSubstr("再次运行即可继续"));
    const std::string report = testing::read_file(root + ".json");
    EXPECT_THAT(report, HasSubstr(std::string("\"error\":\"interrupted by ") + trial.name + "\""));
    EXPECT_THAT(report, HasSubstr("\"exit_status\":" + std::to_string(128 + trial.signo)));
    EXPECT_EQ(rerun(root), reference());
  }
}

// The second signal ends the run at once: no stop line, the workers killed with it, and the
// commit it may cut short left to the journal, which the next run finds.
TEST_F(StopSignal, ASecondSignalEndsTheRunAtOnceAndLeavesNoWorker) {
  const std::string root = dir / "run";
  const Stopped stopped = run_until(update_args(root), env(), "分钟线数据", {SIGINT, SIGTERM});
  ASSERT_TRUE(WIFSIGNALED(stopped.wait_status));
  EXPECT_EQ(WTERMSIG(stopped.wait_status), SIGTERM);
  EXPECT_TRUE(stopped.group_empty);
  EXPECT_EQ(count_starting(stopped.lines, "已中断"), 0u);
  EXPECT_EQ(rerun(root), reference());
}

// Under nohup the closed session's SIGHUP, and in a background job the terminal's SIGINT, pass
// the run by: it ends as an unstopped run ends, with the same bundle.
TEST_F(StopSignal, SignalsInheritedAsIgnoredStayIgnored) {
  for (int signo : {SIGHUP, SIGINT}) {
    SCOPED_TRACE(signo);
    const std::string root = dir / ("ignored" + std::to_string(signo));
    const Stopped run = run_until(update_args(root), env(), "分钟线数据", {signo}, {signo});
    EXPECT_EQ(WIFEXITED(run.wait_status) ? WEXITSTATUS(run.wait_status) : -1, 0);
    EXPECT_EQ(count_starting(run.lines, "已中断"), 0u);
    EXPECT_EQ(testing::bundle_digest(root), reference());
  }
}

// A smart update and a check stopped right after they start leave the bundle as it was.
TEST_F(StopSignal, SmartUpdateAndCheckStoppedEarlyChangeNothing) {
  const std::string root = dir / "run";
  ASSERT_EQ(testing::run_cli(update_args(root), "", env()).status, 0);
  const std::string before = testing::bundle_digest(root);
  const Stopped smart =
      run_until({"smart-update", "-d", root, "-j", "2"}, env(), "开始智能更新已下载数据", {SIGINT});
  EXPECT_EQ(WIFEXITED(smart.wait_status) ? WEXITSTATUS(smart.wait_status) : -1, 130);
  EXPECT_TRUE(smart.group_empty);
  EXPECT_EQ(count_starting(smart.lines, "已中断（SIGINT）："), 1u);
  const Stopped check =
      run_until({"check", "minbar", "-d", root, "-j", "2", "--yes"}, env(), "共有", {SIGHUP});
  EXPECT_EQ(WIFEXITED(check.wait_status) ? WEXITSTATUS(check.wait_status) : -1, 129);
  EXPECT_TRUE(check.group_empty);
  EXPECT_EQ(count_starting(check.lines, "已中断（SIGHUP）："), 1u);
  EXPECT_EQ(testing::bundle_digest(root), before);
}

}  // namespace
}  // namespace tessera_plus
