// A full disk under the real program, on a small tmpfs: a minute-bar append and a tick update fail
// with a non-zero exit and the disk-full line, and leave the file exactly as it was; once space is
// free, the next run completes it. Needs permission to mount a tmpfs (skipped otherwise).
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tessera_plus/h5/file.h"
#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::bundle {
namespace {

namespace fs = std::filesystem;
using testing::CliResult;
using testing::run_cli;
using testing::TempDir;

class DiskFull : public ::testing::Test {
 protected:
  // False (with the test skipped) where mounting is not permitted.
  bool mount_tmpfs(const std::string& size) {
    fs::create_directories(mount_);
    if (::mount("tmpfs", mount_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
      return false;
    }
    mounted_ = true;
    return true;
  }
  void TearDown() override {
    if (mounted_) ::umount2(mount_.c_str(), MNT_DETACH);
  }

  CliResult update(const char* now, const std::vector<std::string>& what,
                   const char* history_start = "TALLOW_SIM_HISTORY_START=20240502") {
    std::vector<std::string> args = {"update", "-d", bundle_, "--no-base", "-j", "1"};
    args.insert(args.end(), what.begin(), what.end());
    return run_cli(args, "",
                   {std::string("TESSERA_NOW=") + now, history_start, "TESSERA_LOG_FILE=" + log_});
  }

  // Fills the file system but for `slack` bytes.
  void fill(std::size_t slack) {
    int fd = ::open(filler_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::vector<char> block(4096, 'x');
    off_t size = 0;
    while (true) {
      ssize_t n = ::write(fd, block.data(), block.size());
      if (n <= 0) break;
      size += n;
    }
    ASSERT_EQ(::ftruncate(fd, size > static_cast<off_t>(slack) ? size - slack : 0), 0);
    ::close(fd);
  }

  // The disk fills at several points of the update; each time the run fails loudly and the file
  // keeps its bytes. Then, with space again, the update completes.
  void expect_old_file_until_space_is_free(const std::vector<std::string>& what,
                                           const std::string& file) {
    CliResult first = update("2024-05-31 18:00:00", what);
    ASSERT_EQ(first.status, 0) << first.err;
    const std::string before = testing::read_file(file);
    int failures = 0;
    for (std::size_t slack : {0, 4096, 16384, 65536}) {
      SCOPED_TRACE(slack);
      fill(slack);
      fs::remove(log_);
      CliResult later = update("2024-06-28 18:00:00", what);
      if (later.status == 0) continue;  // that much room was enough: not a disk-full point
      ++failures;
      EXPECT_EQ(testing::read_file(file), before);
      EXPECT_FALSE(fs::exists(file + ".rollback"));
      std::string log = testing::read_file(log_);
      EXPECT_NE(log.find("更新 " + file + " 失败，磁盘空间不足，请清理磁盘后重新执行更新命令\n"),
                std::string::npos)
          << log << later.err;
      fs::remove(filler_);
    }
    EXPECT_GE(failures, 2);
    fs::remove(filler_);
    CliResult last = update("2024-06-28 18:00:00", what);
    EXPECT_EQ(last.status, 0) << last.err;
    EXPECT_GT(fs::file_size(file), before.size() / 2);
    h5::File::open(file, h5::Mode::kReadOnly).close();
  }

  TempDir dir_;
  std::string mount_ = dir_ / "mnt";
  std::string bundle_ = mount_ + "/root";
  std::string filler_ = mount_ + "/filler";
  std::string log_ = dir_ / "tessera.log";
  bool mounted_ = false;
};

#define MOUNT_OR_SKIP(size)                                                 \
  if (!mount_tmpfs(size)) {                                                 \
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno)   \
                 << "); the disk-full cases need a real small file system"; \
  }

TEST_F(DiskFull, AMinuteBarAppendFailsLoudlyAndKeepsTheOldRows) {
  MOUNT_OR_SKIP("3m");
  expect_old_file_until_space_is_free({"--minbar", "000001.XSHE"},
                                      bundle_ + "/bundle/h5/equities/000001.XSHE.h5");
}

// A stock's ticks take about 100 KB a day: the file system holds two months of them.
TEST_F(DiskFull, ATickUpdateFailsLoudlyAndKeepsTheOldDays) {
  MOUNT_OR_SKIP("12m");
  expect_old_file_until_space_is_free({"--tick", "000001.XSHE"},
                                      bundle_ + "/bundle/ticks/000001.XSHE.h5");
}

}  // namespace
}  // namespace tessera_plus::bundle
