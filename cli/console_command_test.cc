// tessera-plus with a console that goes away under it: standard output or standard error closed,
// a pipe whose reader is gone, a device that is full. A run goes on to its end with the exit
// status a run with a console gets, leaves the bundle a run with a console leaves, and says once
// in the log which stream it lost.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;

enum class Loss { kClosed, kReaderGone, kFull };

struct Console {
  int fd;  // STDOUT_FILENO or STDERR_FILENO
  Loss loss;
  std::string name() const {
    const char* how = loss == Loss::kClosed       ? "closed"
                      : loss == Loss::kReaderGone ? "pipe"
                                                  : "full";
    return std::string(fd == STDOUT_FILENO ? "stdout " : "stderr ") + how;
  }
};

// Runs the real program with `console` broken and the other stream on /dev/null; the wait status.
int run_without(const Console& console, const std::vector<std::string>& args,
                const std::vector<std::string>& env) {
  int pipe_fds[2] = {-1, -1};
  if (console.loss == Loss::kReaderGone) {
    if (::pipe(pipe_fds) != 0) return -1;
    ::close(pipe_fds[0]);  // the reader is gone before the first line
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, console.fd == STDOUT_FILENO ? STDERR_FILENO : STDOUT_FILENO);
    if (console.loss == Loss::kClosed) ::close(console.fd);
    if (console.loss == Loss::kReaderGone) ::dup2(pipe_fds[1], console.fd);
    if (console.loss == Loss::kFull) ::dup2(::open("/dev/full", O_WRONLY), console.fd);
    testing::exec_cli(args, env);
  }
  if (pipe_fds[1] >= 0) ::close(pipe_fds[1]);
  int status = -1;
  ::waitpid(pid, &status, 0);
  return status;
}

std::size_t lines_with(const std::string& text, const std::string& part) {
  std::istringstream lines(text);
  std::size_t n = 0;
  for (std::string line; std::getline(lines, line);) n += line.find(part) != std::string::npos;
  return n;
}

class LostConsole : public ::testing::Test {
 protected:
  std::vector<std::string> env(const std::string& now) const {
    return {"TESSERA_NOW=" + now, "TESSERA_LOG_FILE=" + log_path(), "TALLOW_RETRY_BASE_MS=0",
            "TALLOW_SIM_FAULT_RATE=0"};
  }
  std::string log_path() const { return dir / "tessera.log"; }

  // A bundle a week behind the day the runs take place, to extend.
  void SetUpStale(const std::string& root) {
    const testing::CliResult made =
        testing::run_cli({"update", "-d", root, "-j", "2", "--minbar", "000001.XSHE", "000002.XSHE",
                          "--tick", "000002.XSHE"},
                         "", env("2024-06-20 18:00:00"));
    ASSERT_EQ(made.status, 0) << made.err;
  }

  testing::TempDir dir;
};

const std::vector<Console> kConsoles = {
    {STDOUT_FILENO, Loss::kClosed},     {STDOUT_FILENO, Loss::kReaderGone},
    {STDOUT_FILENO, Loss::kFull},       {STDERR_FILENO, Loss::kClosed},
    {STDERR_FILENO, Loss::kReaderGone}, {STDERR_FILENO, Loss::kFull}};

// The smart update is the run that went furthest on a console before losing it: base data, then
// minute bars and ticks, each with its console lines and progress bars.
TEST_F(LostConsole, SmartUpdateEndsAsWithAConsoleAndTheLogSaysOnce) {
  SetUpStale(dir / "stale");
  const std::string today = "2024-06-28 18:00:00";
  fs::copy(dir / "stale", dir / "reference", fs::copy_options::recursive);
  const testing::CliResult clean =
      testing::run_cli({"smart-update", "-d", dir / "reference", "-j", "2"}, "", env(today));
  ASSERT_EQ(clean.status, 0) << clean.err;
  const std::string reference = testing::bundle_digest(dir / "reference");
  int n = 0;
  for (const Console& console : kConsoles) {
    SCOPED_TRACE(console.name());
    const std::string root = dir / ("run" + std::to_string(n++));
    fs::copy(dir / "stale", root, fs::copy_options::recursive);
    fs::remove(log_path());
    const int status = run_without(console, {"smart-update", "-d", root, "-j", "2"}, env(today));
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(testing::bundle_digest(root), reference);
    const std::string stream = console.fd == STDOUT_FILENO ? "标准输出" : "标准错误";
    EXPECT_EQ(lines_with(testing::read_file(log_path()), stream), 1u)
        << testing::read_file(log_path());
  }
}

// A check that finds damage and deletes it, and a status survey, say what they found on the
// console; without one they still end with the status that reports it.
TEST_F(LostConsole, CheckAndStatusKeepTheirExitStatus) {
  SetUpStale(dir / "b");
  const std::string damaged = dir / "b/bundle/h5/equities/000001.XSHE.h5";
  ASSERT_TRUE(fs::exists(damaged));
  fs::resize_file(damaged, fs::file_size(damaged) / 2);
  for (const Console& console : kConsoles) {
    SCOPED_TRACE(console.name());
    const int status =
        run_without(console, {"status", "-d", dir / "b"}, env("2024-06-20 18:00:00"));
    ASSERT_TRUE(WIFEXITED(status)) << "status ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);  // the damaged file is questioned
  }
  const int status = run_without(kConsoles[1], {"check", "minbar", "-d", dir / "b", "--yes"},
                                 env("2024-06-20 18:00:00"));
  ASSERT_TRUE(WIFEXITED(status)) << "check ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 1);  // found and deleted
  EXPECT_FALSE(fs::exists(damaged));
}

}  // namespace
}  // namespace tessera_plus
