#include "tessera_plus/base/publish.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tessera_plus/base/errors.h"
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

TEST(Publish, SweepRemovesOnlyAbandonedBuilds) {
  TempDir dir;
  write(dir.path() / ".a.h5.tmp-111", "abandoned");
  write(dir.path() / ".b.h5.tmp-222", "being built");
  write(dir.path() / "c.h5", "data");
  write(dir.path() / ".hidden", "user's");
  // flock locks belong to an open file description, so this one stands for a live builder.
  int fd = ::open((dir / ".b.h5.tmp-222").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  remove_abandoned_builds(dir.path());
  ::close(fd);
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{".b.h5.tmp-222", "c.h5", ".hidden"}));
  EXPECT_NO_THROW(remove_abandoned_builds(dir.path() / "missing"));
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
