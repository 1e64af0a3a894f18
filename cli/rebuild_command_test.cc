// `update --rebuild` against the real program: the new file is built beside the old one and takes
// its place only once complete, so a run killed half-way (SIGKILL of its whole process group while
// the service is slow to answer a batch) costs the rebuild, never the instrument, and a finished
// rebuild keeps the file's mode and owner.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

constexpr char kId[] = "000001.XSHE";
constexpr char kDayOne[] = "TESSERA_NOW=2024-06-20 20:00:00";
constexpr char kDayTwo[] = "TESSERA_NOW=2024-06-28 20:00:00";

// Runs the program in a process group of its own with "Y" as its answer to the rebuild question,
// and kills the whole group with SIGKILL as soon as a file whose name begins with `prefix` appears
// in `dir`: the rebuild's temporary file, there once its first batch has come. Returns the wait
// status, once no process of the group is left; the run may also end before any such file
// appears.
int kill_once_created(const std::vector<std::string>& args, const std::vector<std::string>& env,
                      const std::string& dir, std::string_view prefix) {
  const int watch = ::inotify_init1(IN_CLOEXEC);
  if (watch < 0 || ::inotify_add_watch(watch, dir.c_str(), IN_CREATE) < 0) return -1;
  int in[2];
  if (::pipe(in) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(in[0], STDIN_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::close(in[1]);
    testing::exec_cli(args, env);
  }
  ::setpgid(pid, pid);
  ::close(in[0]);
  [[maybe_unused]] ssize_t n = ::write(in[1], "Y\n", 2);
  ::close(in[1]);
  const int exited = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  for (bool killed = false; !killed;) {
    pollfd fds[2] = {{watch, POLLIN, 0}, {exited, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) break;
    alignas(inotify_event) char events[4096];
    const ssize_t got = ::read(watch, events, sizeof events);
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      if (event->len > 0 && std::string_view(event->name).starts_with(prefix)) {
        ::kill(-pid, SIGKILL);
        killed = true;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  int status = -1;
  ::waitpid(pid, &status, 0);
  // The workers die of the same signal, but not at once: until the last is gone, its build counts
  // as live and no sweep would remove it.
  while (::kill(-pid, SIGKILL) == 0) ::poll(nullptr, 0, 1);
  ::close(exited);
  ::close(watch);
  return status;
}

// The digest lines of `digest` under `prefix`.
std::vector<std::string> lines_under(const std::string& digest, const std::string& prefix) {
  std::vector<std::string> lines;
  for (const std::string& line : testing::lines_of(digest)) {
    if (line.starts_with(prefix)) lines.push_back(line);
  }
  return lines;
}

class Rebuild : public ::testing::Test {
 protected:
  // Three years of history: a minute-bar rebuild fetches three batches, a tick rebuild seven.
  std::vector<std::string> env(const char* now) const {
    return {now,
            "TESSERA_LOG_FILE=" + (dir / "log"),
            "TALLOW_SIM_HISTORY_START=20220104",
            "TALLOW_SIM_TICK_SECONDS=60",
            "TALLOW_SIM_FAULT_RATE=0",
            "TESSERA_PROGRESS=0"};
  }
  std::string update(const std::string& at, const char* now) {
    const testing::CliResult r = testing::run_cli(
        {"update", "-d", at, "-j", "1", "--minbar", kId, "--tick", kId}, "", env(now));
    EXPECT_EQ(r.status, 0) << r.err;
    return testing::bundle_digest(at);
  }
  std::string minbar_file() const { return root + "/bundle/h5/equities/000001.XSHE.h5"; }
  std::string tick_file() const { return root + "/bundle/ticks/000001.XSHE.h5"; }

  testing::TempDir dir;
  std::string root = dir / "b";
};

TEST_F(Rebuild, AKilledRebuildKeepsTheOldFileAndAFinishedOneItsModeAndOwner) {
  const std::string day_one = update(root, kDayOne);
  // Every answer of the service waits: each batch of the rebuild is long in flight, so the kill
  // that follows its temporary file's appearance lands before the rebuild could be complete.
  std::vector<std::string> slow = env(kDayTwo);
  slow.push_back("TALLOW_SIM_LATENCY_MS=300");
  for (const auto& [flag, file] : {std::pair{"--tick", tick_file()}, {"--minbar", minbar_file()}}) {
    SCOPED_TRACE(flag);
    const int status =
        kill_once_created({"update", "-d", root, "-j", "1", "--no-base", "--rebuild", flag, kId},
                          slow, std::filesystem::path(file).parent_path(), ".000001.XSHE.h5.tmp-");
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  }
  // The old files, read by h5py, are what they were; the builds they were to be replaced by
  // are left over, hidden.
  const std::string killed = testing::bundle_digest(root);
  EXPECT_EQ(lines_under(killed, "bundle/h5/equities/000001"), lines_under(day_one, "bundle/h5"));
  EXPECT_EQ(lines_under(killed, "bundle/ticks/000001"), lines_under(day_one, "bundle/ticks"));
  EXPECT_EQ(lines_under(killed, "bundle/h5/equities/.").size(), 1u) << killed;
  EXPECT_EQ(lines_under(killed, "bundle/ticks/.").size(), 1u) << killed;

  // The next smart update extends both files and sweeps the leftovers: the instrument is what a
  // run that was never killed gives.
  const testing::CliResult smart = testing::run_cli({"smart-update", "-d", root}, "", env(kDayTwo));
  ASSERT_EQ(smart.status, 0) << smart.err;
  const std::string reference = update(dir / "reference", kDayTwo);
  const std::string extended = testing::bundle_digest(root);
  EXPECT_EQ(lines_under(extended, "bundle/h5/"), lines_under(reference, "bundle/h5/"));
  EXPECT_EQ(lines_under(extended, "bundle/ticks/"), lines_under(reference, "bundle/ticks/"));

  // A rebuild that completes replaces both files whole, keeping what their owner made of them.
  for (const std::string& file : {minbar_file(), tick_file()}) {
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  }
  const testing::CliResult rebuilt = testing::run_cli(
      {"update", "-d", root, "-j", "1", "--no-base", "--rebuild", "--minbar", kId, "--tick", kId},
      "Y\n", env(kDayTwo));
  ASSERT_EQ(rebuilt.status, 0) << rebuilt.err;
  for (const std::string& file : {minbar_file(), tick_file()}) {
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << file;
    EXPECT_EQ(st.st_uid, 65534u) << file;
    EXPECT_EQ(st.st_gid, 65534u) << file;
  }
  EXPECT_EQ(lines_under(testing::bundle_digest(root), "bundle/h5/"),
            lines_under(reference, "bundle/h5/"));
}

}  // namespace
}  // namespace tessera_plus
