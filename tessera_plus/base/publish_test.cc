#include "tessera_plus/base/publish.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tessera_plus/base/errors.h"
#include "tests/support/check_fixtures.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

void write(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

TEST(Publish, ReplacesWholeAndLeavesNoTemporaryFile) {
  TempDir dir;
  write(dir.path() / "a.npy", "old");
  write_file_atomically(dir.path() / "a.npy", "new content");
  EXPECT_EQ(read_file(dir / "a.npy"), "new content");
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"a.npy"});
}

TEST(Publish, AFailedBuildKeepsTheOldFileAndRemovesItsTemporary) {
  TempDir dir;
  write(dir.path() / "a.h5", "old");
  std::string seen;
  EXPECT_THROW(publish_file(dir.path() / "a.h5",
                            [&](const std::string& temp) {
                              seen = temp;
                              write(temp, "half");
                              throw ValueError("stopped half-way");
                            }),
               ValueError);
  EXPECT_TRUE(fs::path(seen).filename().string().starts_with(".a.h5.tmp-")) << seen;
  EXPECT_EQ(read_file(dir / "a.h5"), "old");
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"a.h5"});
}

TEST(Publish, AFailedRenameIsAnErrorAndRemovesTheTemporary) {
  TempDir dir;
  fs::create_directories(dir.path() / "a.h5" / "inside");  // a non-empty directory in the way
  EXPECT_THROW(write_file_atomically(dir.path() / "a.h5", "data"), OSError);
  EXPECT_TRUE(fs::is_directory(dir.path() / "a.h5" / "inside"));
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"a.h5"});
}

// A write that the file system refuses half-way (here: the file-size limit, with SIGXFSZ ignored
// so that write() fails with EFBIG instead of killing the process) is reported, and the file that
// was there stays as it was.
TEST(Publish, AShortWriteIsReportedAndTheOldFileStays) {
  TempDir dir;
  write(dir.path() / "a.pk", "old");
  const int code = testing::exit_code_in_child([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      write_file_atomically(dir.path() / "a.pk", std::string(100000, 'x'));
    } catch (const OSError& e) {
      return e.error_number() == EFBIG ? 0 : 2;
    }
    return 1;
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(read_file(dir / "a.pk"), "old");
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"a.pk"});
}

struct stat stat_of(const fs::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info;
}

// A file replaced whole is still what its owner made it. Root may replace a read-only file (its
// write access check passes), so there the mode and owner must be carried over.
TEST(Publish, AFileReplacedWholeKeepsItsModeAndOwner) {
  TempDir dir;
  write(dir.path() / "a.npy", "old");
  ::chmod((dir / "a.npy").c_str(), 0640);
  write_file_atomically(dir.path() / "a.npy", "new");
  EXPECT_EQ(stat_of(dir / "a.npy").st_mode & 07777, 0640u);
  if (::geteuid() != 0) GTEST_SKIP() << "the read-only case needs root";
  write(dir.path() / "b.npy", "old");
  ASSERT_EQ(::chown((dir / "b.npy").c_str(), 65534, 65534), 0);
  ::chmod((dir / "b.npy").c_str(), 0444);
  write_file_atomically(dir.path() / "b.npy", "new");
  EXPECT_EQ(read_file(dir / "b.npy"), "new");
  const struct stat kept = stat_of(dir / "b.npy");
  EXPECT_EQ(kept.st_mode & 07777, 0444u);
  EXPECT_EQ(kept.st_uid, 65534u);
  EXPECT_EQ(kept.st_gid, 65534u);
}

// A user who could not write a file in place may not swap it either (the directory's permission
// would allow the rename): refused as a read-only .h5 file is, the old file and no leftover kept.
TEST(Publish, AFileThisUserMayNotWriteIsRefusedAndKept) {
  TempDir dir;
  write(dir.path() / "a.npy", "old");
  ::chmod((dir / "a.npy").c_str(), 0444);
  auto attempt = [&] {
    try {
      write_file_atomically(dir.path() / "a.npy", "new");
    } catch (const PermissionError& e) {
      return std::string(e.what()).find("0444") != std::string::npos ? 0 : 2;
    }
    return 1;
  };
  int code = 0;
  if (::geteuid() == 0) {
    ::chmod(dir.path().c_str(), 0777);
    ASSERT_EQ(::chown((dir / "a.npy").c_str(), 65534, 65534), 0);
    code = testing::run_unprivileged(attempt);
  } else {
    code = attempt();
  }
  EXPECT_EQ(code, 0);
  EXPECT_EQ(read_file(dir / "a.npy"), "old");
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"a.npy"});
}

// A process id that no process has: a child's, once it has ended and been reaped.
pid_t gone_pid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

TEST(Publish, SweepRemovesOnlyAbandonedBuilds) {
  TempDir dir;
  const std::string gone = std::to_string(gone_pid());
  write(dir.path() / (".a.h5.tmp-" + gone), "abandoned");
  write(dir.path() / (".b.h5.tmp-" + gone), "being built");
  write(dir.path() / "c.h5", "data");
  write(dir.path() / ".hidden", "user's");
  // flock locks belong to an open file description, so this one stands for a live builder.
  int fd = ::open((dir / (".b.h5.tmp-" + gone)).c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  // Unlocked, but its owner runs: it is between its build and its publish.
  write(dir.path() / (".d.npy.tmp-" + std::to_string(::getppid())), "between");
  remove_abandoned_builds(dir.path());
  ::close(fd);
  EXPECT_EQ(names_in(dir.path()),
            (std::set<std::string>{".b.h5.tmp-" + gone, ".d.npy.tmp-" + std::to_string(::getppid()),
                                   "c.h5", ".hidden"}));
  EXPECT_NO_THROW(remove_abandoned_builds(dir.path() / "missing"));

  // A builder killed with nobody to reap it (a container without an init) stays a zombie: its
  // build is abandoned all the same.
  const pid_t zombie = ::fork();
  if (zombie == 0) ::_exit(0);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT), 0);
  write(dir.path() / (".e.h5.tmp-" + std::to_string(zombie)), "killed");
  remove_abandoned_builds(dir.path());
  EXPECT_FALSE(fs::exists(dir.path() / (".e.h5.tmp-" + std::to_string(zombie))));
  ::waitpid(zombie, nullptr, 0);
}

// Processes that publish the same files and sweep the same directory at once, as overlapping base
// updates do: no build of one is ever swept away by another, so every publish succeeds.
TEST(Publish, OverlappingPublishersAndSweepsNeverLoseABuild) {
  TempDir dir;
  constexpr int kRounds = 150;
  auto publisher = [&] {
    for (int round = 0; round < kRounds; ++round) {
      remove_abandoned_builds(dir.path());
      write_file_atomically(dir.path() / "a.npy", std::string(4096, 'a'));
      // A builder that locks while it writes and closes before the publish, as HDF5 does.
      publish_file(dir.path() / "b.h5", [](const std::string& temp) {
        int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (out < 0 || ::flock(out, LOCK_EX) != 0) throw_os_error(errno, temp);
        std::string bytes(4096, 'b');
        bool written = ::write(out, bytes.data(), bytes.size()) == ssize_t(bytes.size());
        ::close(out);
        if (!written) throw OSError(EIO, "short write");
      });
    }
  };
  pid_t children[2];
  for (pid_t& child : children) {
    child = ::fork();
    if (child == 0) {
      int code = 0;
      try {
        publisher();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        code = 1;
      }
      ::_exit(code);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(read_file(dir / "b.h5"), std::string(4096, 'b'));
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"a.npy", "b.h5"}));
}

TEST(ErrnoMap, EachErrnoHasItsKindAndTheTextStays) {
  auto kind_of = [](int error_number) -> std::string {
    try {
      raise_os_error(error_number, "the text");
    } catch (const BlockingIOError& e) {
      return std::string("lock:") + e.what();
    } catch (const PermissionError& e) {
      return std::string("permission:") + e.what();
    } catch (const OSError& e) {
      return "os" + std::to_string(e.error_number()) + ":" + e.what();
    }
    return "none";
  };
  EXPECT_EQ(kind_of(EAGAIN), "lock:the text");
  EXPECT_EQ(kind_of(EWOULDBLOCK), "lock:the text");
  EXPECT_EQ(kind_of(EACCES), "permission:the text");
  EXPECT_EQ(kind_of(EPERM), "permission:the text");
  EXPECT_EQ(kind_of(ENOSPC), "os28:the text");
  EXPECT_EQ(kind_of(0), "os0:the text");
  try {
    throw_os_error(ENOENT, "cannot open x");
  } catch (const OSError& e) {
    EXPECT_STREQ(e.what(), "cannot open x: No such file or directory");
  }
}

}  // namespace
}  // namespace tessera_plus
