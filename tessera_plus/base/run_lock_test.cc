// The run lock between real processes: a holder in another process keeps it, names itself, and
// lets go when it ends, however it ends.
#include "tessera_plus/base/run_lock.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using std::chrono::milliseconds;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Another process that takes the lock at `path` and holds it until released or killed; with
// `worker`, it has forked a worker that holds it with it until released.
class Holder {
 public:
  explicit Holder(const std::string& path, bool worker = false) {
    int ready[2], release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      std::optional<RunLock> lock = RunLock::acquire(path, milliseconds(0));
      char byte = lock ? 'y' : 'n';
      if (worker && ::fork() == 0) {
        [[maybe_unused]] ssize_t n = ::read(release[0], &byte, 1);
        ::_exit(0);
      }
      [[maybe_unused]] ssize_t n = ::write(ready[1], &byte, 1);
      n = ::read(release[0], &byte, 1);  // returns when the test writes or closes its end
      lock.reset();  // as a run that ends does: the file goes, under a waiter that opened it
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char byte = 'n';
    holds_ = ::read(ready[0], &byte, 1) == 1 && byte == 'y';
    ::close(ready[0]);
  }
  ~Holder() {
    release();
    ::waitpid(pid_, nullptr, 0);
  }
  bool holds() const { return holds_; }
  pid_t pid() const { return pid_; }
  void release() {
    if (release_ >= 0) ::close(release_);
    release_ = -1;
  }
  void kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool holds_ = false;
};

TEST(RunLock, AHeldLockIsRefusedAndNamesItsHolderUntilTheHolderIsKilled) {
  testing::TempDir dir;
  const std::string path = dir / ".lock";
  Holder holder(path);
  ASSERT_TRUE(holder.holds());
  std::string line;
  EXPECT_FALSE(RunLock::acquire(path, milliseconds(0), nullptr, &line));
  EXPECT_FALSE(RunLock::acquire(path, milliseconds(30)));  // a short wait runs out too
  EXPECT_EQ(line, RunLock::holder(path));
  EXPECT_THAT(line, StartsWith("进程 " + std::to_string(holder.pid()) + "，开始于 "));
  EXPECT_THAT(line, HasSubstr("，命令 "));
  EXPECT_THAT(line, HasSubstr("run_lock_test"));  // the holder's command line
  // No clean-up: the kernel lets go of a killed holder's lock.
  holder.kill();
  std::optional<RunLock> mine = RunLock::acquire(path, milliseconds(0));
  ASSERT_TRUE(mine);
  EXPECT_THAT(RunLock::holder(path), StartsWith("进程 " + std::to_string(::getpid()) + "，"));
}

TEST(RunLock, AWaitingRunTakesTheLockWhenTheHolderLetsGo) {
  testing::TempDir dir;
  const std::string path = dir / ".lock";
  Holder holder(path);
  ASSERT_TRUE(holder.holds());
  std::string told;
  int calls = 0;
  // The holder lets go only once this run has said it waits, so the wait is real.
  std::optional<RunLock> mine =
      RunLock::acquire(path, std::chrono::minutes(10), [&](const std::string& line) {
        told = line;
        ++calls;
        holder.release();
      });
  EXPECT_TRUE(mine);
  EXPECT_EQ(calls, 1);
  EXPECT_THAT(told, StartsWith("进程 " + std::to_string(holder.pid()) + "，"));
}

TEST(RunLock, OneProcessTakesItOnceAndTheNextRunAfterIt) {
  testing::TempDir dir;
  const std::string path = dir / ".lock";
  {
    std::optional<RunLock> first = RunLock::acquire(path, milliseconds(0));
    ASSERT_TRUE(first);
    // flock locks belong to an open file description: a second taking in one process is refused.
    EXPECT_FALSE(RunLock::acquire(path, milliseconds(0)));
    EXPECT_TRUE(std::filesystem::exists(path));  // the refused taking removed nothing
  }
  EXPECT_FALSE(std::filesystem::exists(path));  // nothing is left between runs
  EXPECT_TRUE(RunLock::acquire(path, milliseconds(0)));
}

// The lock is on the directory, not on the file, and a killed run's workers hold it as long as the
// last of them lives; a run started once they end takes it, though the file names the killed one.
TEST(RunLock, ARemovedFileOrAKilledHoldersLiveWorkerKeepsItTaken) {
  testing::TempDir dir;
  const std::string path = dir / ".lock";
  Holder holder(path, /*worker=*/true);
  ASSERT_TRUE(holder.holds());
  const std::string named = RunLock::holder(path);
  std::filesystem::remove(path);
  std::string line;
  EXPECT_FALSE(RunLock::acquire(path, milliseconds(0), nullptr, &line));
  EXPECT_EQ(line, "进程未知");
  std::ofstream(path) << named << "\n";  // as the killed holder leaves it
  holder.kill();
  EXPECT_FALSE(RunLock::acquire(path, milliseconds(0), nullptr, &line));
  EXPECT_EQ(line, named);
  holder.release();  // the worker ends while the next run starts
  EXPECT_TRUE(RunLock::acquire(path, milliseconds(0)));
}

// A forked child shares the lock; when it lets go of its copy the lock and its file stay with the
// process that took it.
TEST(RunLock, AForkedChildLettingGoLeavesTheLockToItsTaker) {
  testing::TempDir dir;
  const std::string path = dir / ".lock";
  std::optional<RunLock> mine = RunLock::acquire(path, milliseconds(0));
  ASSERT_TRUE(mine);
  EXPECT_EQ(testing::exit_code_in_child([&] { mine.reset(); }), 0);
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(testing::exit_code_in_child([&] { return !RunLock::acquire(path, milliseconds(0)); }),
            0);
}

}  // namespace
}  // namespace tessera_plus
