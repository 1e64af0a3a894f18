#include "tessera_plus/bundle/update/sample_install.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/bundle_layout.h"
#include "tessera_plus/bundle/update/sample_stage.h"
#include "tests/support/check_fixtures.h"
#include "tests/support/tar_writer.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;
using bundle::install_sample_archive;
using bundle::kSampleStagingName;
using bundle::RUN_LOCK_FILE_NAME;
using bundle::SampleLimits;
using testing::TarWriter;
using testing::TempDir;

void write(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string random_bytes(std::size_t size) {
  std::mt19937 generator(15);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

SampleLimits no_margin() {
  SampleLimits limits;
  limits.free_space_margin = 0;
  return limits;
}

// Everything under `root`, links not followed: the type and content (or link target) of each name.
using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(const fs::path& root) {
  Snapshot seen;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    std::string name = fs::relative(it->path(), root).string();
    fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status)) {
      seen[name] = "link " + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      seen[name] = "directory";
    } else if (fs::is_regular_file(status)) {
      seen[name] = "file " + testing::read_file(it->path());
    } else {
      seen[name] = "other";
    }
  }
  return seen;
}

// A bundle with a few precious files, an empty place outside it, and an archive to install.
class SampleInstallTest : public ::testing::Test {
 protected:
  SampleInstallTest() {
    fs::create_directories(bundle_ / "h5/CS");
    fs::create_directories(outside_);
    write(bundle_ / "trading_dates.npy", "old dates");
    write(bundle_ / "instruments.pk", "old instruments");
    write(bundle_ / "h5/CS/000001.XSHE.h5", "old bars");
  }

  // Installs `tar`; returns "" when it went through, else the error's text. Either way no staging
  // directory may be left and nothing may appear outside the bundle.
  std::string install(const TarWriter& tar, const SampleLimits& limits = {}) {
    tar.write_bz2(archive_);
    std::string error;
    try {
      install_sample_archive(archive_, bundle_, limits);
    } catch (const Error& e) {
      error = e.what();
      if (error.empty()) error = "(empty error text)";
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(bundle_ / kSampleStagingName)));
    EXPECT_TRUE(fs::is_empty(outside_));
    EXPECT_FALSE(fs::exists(dir_ / "OUTSIDE"));
    return error;
  }

  // A good member first, so that a refusal must also undo what was already unpacked.
  static TarWriter starting_well() {
    TarWriter tar;
    tar.add_file("trading_dates.npy", "new dates");
    tar.add_directory("h5/");
    tar.add_file("h5/CS/000001.XSHE.h5", "new bars");
    return tar;
  }

  TempDir dir_;
  fs::path bundle_ = dir_ / "root/bundle";
  fs::path outside_ = dir_ / "outside";
  std::string archive_ = dir_ / "twbundle_sample.tar.bz2";
};

// Members a sample bundle has no reason to hold, each after good members: the archive is refused
// with the member named, and the bundle is exactly as before.
TEST_F(SampleInstallTest, RefusedMembersLeaveTheBundleAsItWas) {
  struct Case {
    std::string member;
    std::function<void(TarWriter&)> add;
  };
  std::vector<Case> cases = {
      {"../escaped.txt", [](TarWriter& t) { t.add_file("../escaped.txt", "x"); }},
      {"a/../../escaped.txt", [](TarWriter& t) { t.add_file("a/../../escaped.txt", "x"); }},
      {(outside_ / "abs").string(), [&](TarWriter& t) { t.add_file(outside_ / "abs", "x"); }},
      // The link chain of the report: harmless as text, but on disk it leaves the bundle.
      {"y",
       [](TarWriter& t) {
         t.add_symlink("y", ".");
         t.add_symlink("h5", "y/y/y/../../../../OUTSIDE");
         t.add_file("h5/equities/000001.XSHE.h5", "x");
       }},
      {"h5/CS/latest.h5", [](TarWriter& t) { t.add_symlink("h5/CS/latest.h5", "000001.XSHE.h5"); }},
      {"copy.npy", [](TarWriter& t) { t.add_hardlink("copy.npy", "trading_dates.npy"); }},
      {"instruments.pk", [](TarWriter& t) { t.add_fifo("instruments.pk"); }},
      {"h5/CS/000002.XSHE.h5", [](TarWriter& t) { t.add_fifo("h5/CS/000002.XSHE.h5"); }},
      {"disk", [](TarWriter& t) { t.add_char_device("disk", 8, 0); }},
      {kSampleStagingName, [](TarWriter& t) { t.add_file(kSampleStagingName, "x"); }},
      {RUN_LOCK_FILE_NAME, [](TarWriter& t) { t.add_file(RUN_LOCK_FILE_NAME, "x"); }},
      // Type clashes with the disk are refused, never replaced.
      {"instruments.pk", [](TarWriter& t) { t.add_directory("instruments.pk/"); }},
      {"instruments.pk/x", [](TarWriter& t) { t.add_file("instruments.pk/x", "x"); }},
      {"h5", [](TarWriter& t) { t.add_file("h5", "x"); }},
      {"h5/CS", [](TarWriter& t) { t.add_file("h5/CS", "x"); }},
      // And clashes within the archive.
      {"twice", [](TarWriter& t) {
         t.add_file("twice", "x");
         t.add_directory("twice/");
       }}};
  Snapshot before = snapshot(bundle_);
  for (const Case& c : cases) {
    TarWriter tar = starting_well();
    c.add(tar);
    std::string error = install(tar);
    EXPECT_NE(error.find("\"" + c.member), std::string::npos) << c.member << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(snapshot(bundle_), before) << c.member;
  }
}

TEST_F(SampleInstallTest, FileWhereTheDiskHasAFifoIsRefusedWithoutOpeningIt) {
  ASSERT_EQ(::mkfifo((bundle_ / "h5/CS/000002.XSHE.h5").c_str(), 0644), 0);
  Snapshot before = snapshot(bundle_);
  TarWriter tar = starting_well();
  tar.add_file("h5/CS/000002.XSHE.h5", "bars");  // opening the FIFO would hang here
  EXPECT_NE(install(tar).find("\"h5/CS/000002.XSHE.h5\""), std::string::npos);
  EXPECT_EQ(snapshot(bundle_), before);
}

// Archives that end or break while being read: nothing of them reaches the bundle.
TEST_F(SampleInstallTest, DamagedArchivesLeaveTheBundleAsItWas) {
  Snapshot before = snapshot(bundle_);
  TarWriter big = starting_well();
  big.add_file("h5/CS/000002.XSHE.h5", random_bytes(3 << 20));  // several bzip2 blocks
  big.add_file("instruments.pk", "new instruments");
  big.write_bz2(archive_);
  std::string whole = testing::read_file(archive_);

  for (std::size_t cut : {whole.size() / 2, whole.size() - 100}) {
    write(archive_, whole.substr(0, cut));
    EXPECT_THROW(install_sample_archive(archive_, bundle_), OSError) << cut;
    EXPECT_EQ(snapshot(bundle_), before) << cut;
  }
  std::string flipped = whole;
  flipped[flipped.size() * 3 / 4] ^= 0x55;
  write(archive_, flipped);
  EXPECT_THROW(install_sample_archive(archive_, bundle_), OSError);
  EXPECT_EQ(snapshot(bundle_), before);

  // A header that promises more than the archive holds.
  TarWriter short_member = starting_well();
  short_member.add_truncated_file("instruments.pk", 1 << 20, "new instruments");
  EXPECT_NE(install(short_member), "");
  EXPECT_EQ(snapshot(bundle_), before);
  EXPECT_FALSE(fs::exists(bundle_ / kSampleStagingName));
}

TEST_F(SampleInstallTest, LimitsAreEachAClearError) {
  Snapshot before = snapshot(bundle_);
  TarWriter tar = starting_well();
  tar.add_file("h5/CS/000002.XSHE.h5", std::string(2 << 20, '\0'));  // compresses to almost nothing
  EXPECT_NE(
      install(tar, {.max_unpacked_bytes = 1 << 20}).find("more than the allowed 1048576 bytes"),
      std::string::npos);
  EXPECT_NE(install(tar, {.max_members = 3}).find("more than 3 members"), std::string::npos);
  EXPECT_NE(install(tar, {.max_path_length = 18}).find("name longer than 18 bytes"),
            std::string::npos);
  EXPECT_EQ(snapshot(bundle_), before);
  // A limit is the most allowed: an archive of exactly that many members goes through.
  EXPECT_EQ(install(tar, {.max_members = 4}), "");
  EXPECT_EQ(testing::read_file(bundle_ / "trading_dates.npy"), "new dates");
}

// A write that stops short (here the file-size limit, as a full disk would) fails the install.
TEST_F(SampleInstallTest, FailedWriteLeavesTheBundleAsItWas) {
  TarWriter tar = starting_well();
  tar.add_file("h5/CS/000002.XSHE.h5", random_bytes(1 << 20));
  tar.write_bz2(archive_);
  Snapshot before = snapshot(bundle_);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {256 << 10, 256 << 10};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      install_sample_archive(archive_, bundle_);
    } catch (const OSError& e) {
      ::_exit(e.error_number() == EFBIG ? 0 : 2);
    } catch (...) {
      ::_exit(3);
    }
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: installed anyway, 2: another errno, 3: another error";
  EXPECT_EQ(snapshot(bundle_), before);
}

TEST_F(SampleInstallTest, GoodArchiveReplacesOnlyWhatItHolds) {
  write(bundle_ / "h5/CS/000009.XSHE.h5", "mine");
  struct stat info {};
  ASSERT_EQ(::stat(bundle_.c_str(), &info), 0);
  mode_t bundle_mode = info.st_mode;
  TarWriter tar;
  tar.add_directory("./");
  tar.add_file("./trading_dates.npy", "new dates", 0640);
  tar.add_file("h5//CS/./000001.XSHE.h5", "new bars");
  tar.add_directory("ticks/", 0750);
  tar.add_file("ticks/000001.XSHE/20240506.h5", "ticks");  // its parent only implied
  tar.add_file("instruments.pk", "first");
  tar.add_file("instruments.pk", "second");  // stored twice: the later copy wins, as in tar
  ASSERT_EQ(install(tar), "");

  Snapshot after = snapshot(bundle_);
  EXPECT_EQ(after["trading_dates.npy"], "file new dates");
  EXPECT_EQ(after["h5/CS/000001.XSHE.h5"], "file new bars");
  EXPECT_EQ(after["h5/CS/000009.XSHE.h5"], "file mine");
  EXPECT_EQ(after["instruments.pk"], "file second");
  EXPECT_EQ(after["ticks/000001.XSHE/20240506.h5"], "file ticks");
  EXPECT_EQ(after.size(), 9u);
  ASSERT_EQ(::stat((bundle_ / "trading_dates.npy").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(info.st_mtime, TarWriter::kMtime);
  ASSERT_EQ(::stat((bundle_ / "ticks").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0750u);
  EXPECT_EQ(info.st_mtime, TarWriter::kMtime);
  ASSERT_EQ(::stat(bundle_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode, bundle_mode);  // "./" leaves the bundle directory as the user has it
}

// A read-only file of the bundle is not replaced behind its owner's back by a user who could not
// write it, and nothing else moves either. Root may write anything, so the install runs as
// another user there.
TEST_F(SampleInstallTest, AFileThisUserMayNotWriteRefusesTheWholeArchive) {
  ::chmod((bundle_ / "trading_dates.npy").c_str(), 0444);
  TarWriter tar;
  tar.add_file("instruments.pk", "new instruments");
  tar.add_file("trading_dates.npy", "new dates");
  tar.write_bz2(archive_);
  const Snapshot before = snapshot(bundle_);
  auto attempt = [&] {
    try {
      install_sample_archive(archive_, bundle_);
    } catch (const PermissionError& e) {
      return std::string(e.what()).find("\"trading_dates.npy\"") != std::string::npos ? 0 : 2;
    } catch (...) {
      return 3;
    }
    return 1;
  };
  int code = 0;
  if (::geteuid() == 0) {
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      ::lchown(entry.path().c_str(), 65534, 65534);
    }
    ::chown(dir_.path().c_str(), 65534, 65534);
    code = testing::run_unprivileged(attempt);
  } else {
    code = attempt();
  }
  EXPECT_EQ(code, 0) << "1: installed anyway, 2: another member named, 3: another error";
  EXPECT_EQ(snapshot(bundle_), before);
  EXPECT_FALSE(fs::exists(bundle_ / kSampleStagingName));
}

TEST_F(SampleInstallTest, SetIdBitsAreDropped) {
  TarWriter tar;
  tar.add_file("tool", "#!", 06755);
  ASSERT_EQ(install(tar), "");
  struct stat info {};
  ASSERT_EQ(::stat((bundle_ / "tool").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
}

// The user's links (a class directory on another disk, a file kept elsewhere) are followed when
// the sample moves in and stay links, also when the archive lists the directory itself.
TEST_F(SampleInstallTest, UsersLinksAreFollowedAndKept) {
  fs::path other_disk = dir_ / "other_disk";
  fs::create_directories(other_disk / "h5/CS");
  write(other_disk / "h5/CS/000001.XSHE.h5", "old bars elsewhere");
  write(other_disk / "dates.npy", "old dates elsewhere");
  fs::remove_all(bundle_ / "h5");
  fs::remove(bundle_ / "trading_dates.npy");
  fs::create_directory_symlink(other_disk / "h5", bundle_ / "h5");
  fs::create_symlink(other_disk / "dates.npy", bundle_ / "trading_dates.npy");

  TarWriter tar = starting_well();
  tar.add_directory("./h5/CS/");
  tar.add_file("h5/CS/000002.XSHE.h5", "more bars");
  ASSERT_EQ(install(tar), "");

  EXPECT_EQ(fs::read_symlink(bundle_ / "h5"), other_disk / "h5");
  EXPECT_EQ(fs::read_symlink(bundle_ / "trading_dates.npy"), other_disk / "dates.npy");
  EXPECT_EQ(testing::read_file(other_disk / "dates.npy"), "new dates");
  EXPECT_EQ(testing::read_file(other_disk / "h5/CS/000001.XSHE.h5"), "new bars");
  EXPECT_EQ(testing::read_file(other_disk / "h5/CS/000002.XSHE.h5"), "more bars");
}

TEST_F(SampleInstallTest, DanglingLinkIsRefusedNotReplaced) {
  fs::create_symlink(dir_ / "gone", bundle_ / "ticks");
  Snapshot before = snapshot(bundle_);
  TarWriter tar = starting_well();
  tar.add_file("ticks/000001.XSHE/20240506.h5", "ticks");
  EXPECT_NE(install(tar).find("leads nowhere"), std::string::npos);
  EXPECT_EQ(snapshot(bundle_), before);
}

TEST_F(SampleInstallTest, LeftoverStagingOfAKilledRunIsRemoved) {
  fs::create_directories(bundle_ / kSampleStagingName / "h5/CS");
  write(bundle_ / kSampleStagingName / "h5/CS/000001.XSHE.h5", "half");
  ASSERT_EQ(install(starting_well()), "");
  EXPECT_EQ(testing::read_file(bundle_ / "h5/CS/000001.XSHE.h5"), "new bars");

  fs::create_directories(bundle_ / kSampleStagingName);  // and by a run that fails
  TarWriter bad = starting_well();
  bad.add_fifo("fifo");
  EXPECT_NE(install(bad), "");
}

TEST_F(SampleInstallTest, SecondInstallOnTheSameBundleIsRefusedWhileOneRuns) {
  int fd = ::open(bundle_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // as a running install holds it
  fs::create_directories(bundle_ / kSampleStagingName / "x");
  starting_well().write_bz2(archive_);
  EXPECT_THROW(install_sample_archive(archive_, bundle_), BlockingIOError);
  EXPECT_TRUE(fs::exists(bundle_ / kSampleStagingName / "x"));  // the running install's own
  ::close(fd);
}

// Runs `body` in a child process that has a tmpfs of `size` mounted at `mount_point` (a private
// mount namespace of an unprivileged user namespace). Returns "skip: why" when no tmpfs can be
// mounted here, else what `body` returned ("" for success).
std::string on_small_tmpfs(const fs::path& mount_point, const std::string& size,
                           const std::function<std::string()>& body) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return "pipe failed";
  uid_t uid = ::getuid();
  gid_t gid = ::getgid();
  pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_fds[0]);
    auto reply = [&](const std::string& text) {
      ::write(pipe_fds[1], text.data(), text.size());
      ::_exit(0);
    };
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) reply("skip: no user namespaces here");
    write("/proc/self/setgroups", "deny");
    write("/proc/self/uid_map", fmt::format("{} {} 1", uid, uid));
    write("/proc/self/gid_map", fmt::format("{} {} 1", gid, gid));
    if (::mount("tmpfs", mount_point.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
      reply("skip: cannot mount a tmpfs here");
    }
    try {
      reply(body());
    } catch (const std::exception& e) {
      reply(std::string("exception: ") + e.what());
    }
  }
  ::close(pipe_fds[1]);
  std::string result;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) result.append(buffer, n);
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return result;
}

class SmallDiskTest : public SampleInstallTest {
 protected:
  void run_on_tmpfs(const std::string& size, const std::function<std::string()>& body) {
    fs::create_directories(disk_);
    std::string result = on_small_tmpfs(disk_, size, body);
    if (result.starts_with("skip: ")) GTEST_SKIP() << result.substr(6);
    EXPECT_EQ(result, "");
  }

  // "" when installing the archive into `bundle` fails for want of space (ENOSPC) and leaves the
  // bundle as it was, staging directory gone; else what happened instead.
  std::string refused_for_space(const fs::path& bundle) {
    Snapshot before = snapshot(bundle);
    try {
      install_sample_archive(archive_, bundle, no_margin());
      return "installed";
    } catch (const OSError& e) {
      if (e.error_number() != ENOSPC) return e.what();
    }
    if (fs::exists(bundle / kSampleStagingName)) return "staging left";
    return before == snapshot(bundle) ? "" : "the bundle changed";
  }

  // Installs the archive into `bundle`, keeping `margin` bytes of its disk spare.
  void install_with_margin(const fs::path& bundle, std::uint64_t margin) {
    SampleLimits limits;
    limits.free_space_margin = margin;
    install_sample_archive(archive_, bundle, limits);
  }

  // "" when installing with `margin` is refused for want of space (ENOSPC, `reason` in the
  // message) and leaves `bundle` as it was; else what happened instead.
  std::string refused_for_margin(const fs::path& bundle, std::uint64_t margin,
                                 const std::string& reason) {
    const Snapshot before = snapshot(bundle);
    try {
      install_with_margin(bundle, margin);
      return "installed into the margin";
    } catch (const OSError& e) {
      if (e.error_number() != ENOSPC) return e.what();
      if (std::string(e.what()).find(reason) == std::string::npos) return e.what();
    }
    return before == snapshot(bundle) ? "" : "the bundle changed";
  }

  fs::path disk_ = dir_ / "disk";
};

// A member larger than the disk (the report's 10 MB onto 3 MB, and a header claiming 4 GiB):
// refused before it is written, the old file intact.
TEST_F(SmallDiskTest, MemberLargerThanTheDiskIsRefusedBeforeWriting) {
  TarWriter large = starting_well();
  large.add_file("stocks.h5", random_bytes(10 << 20));
  TarWriter claiming = starting_well();
  claiming.add_truncated_file("stocks.h5", 1L << 32, "");
  for (const TarWriter* tar : {&large, &claiming}) {
    tar->write_bz2(archive_);
    run_on_tmpfs("3m", [&]() -> std::string {
      fs::path bundle = disk_ / "bundle";
      fs::create_directories(bundle);
      write(bundle / "stocks.h5", std::string(1 << 20, 's'));
      return refused_for_space(bundle);
    });
  }
}

// Files that the user's link sends to another file system are copied there; that disk's free
// space is checked before anything moves.
TEST_F(SmallDiskTest, LinkToAnotherFileSystemIsFollowedAndItsSpaceChecked) {
  fs::remove_all(bundle_ / "h5");
  fs::create_directory_symlink(disk_, bundle_ / "h5");
  TarWriter fits = starting_well();
  fits.add_file("h5/CS/000002.XSHE.h5", std::string(100000, 'b'));
  fits.write_bz2(archive_);
  run_on_tmpfs("1m", [&]() -> std::string {
    fs::create_directories(disk_ / "CS");
    write(disk_ / "CS/000001.XSHE.h5", "old bars");
    install_sample_archive(archive_, bundle_, no_margin());
    if (!fs::is_symlink(bundle_ / "h5")) return "link replaced";
    if (testing::read_file(disk_ / "CS/000001.XSHE.h5") != "new bars") return "not updated";
    if (testing::read_file(disk_ / "CS/000002.XSHE.h5").size() != 100000) return "not copied";
    for (const auto& entry : fs::directory_iterator(disk_ / "CS")) {
      if (entry.path().filename().string().starts_with(".")) return "temporary file left";
    }
    return "";
  });
  TarWriter too_big = starting_well();
  too_big.add_file("h5/CS/000003.XSHE.h5", random_bytes(2 << 20));
  too_big.write_bz2(archive_);
  run_on_tmpfs("1m", [&]() -> std::string {
    fs::create_directories(disk_ / "CS");
    write(disk_ / "CS/000001.XSHE.h5", "old bars");
    if (std::string why = refused_for_space(bundle_); !why.empty()) return why;
    if (testing::read_file(disk_ / "CS/000001.XSHE.h5") != "old bars") return "disk changed";
    return "";
  });
}

// The margin is left free on the bundle's disk: an archive that fits the disk but not the disk
// less the margin is refused before anything moves; with room beside the margin it goes in.
TEST_F(SmallDiskTest, TheFreeSpaceMarginIsKeptOnTheBundlesDisk) {
  TarWriter tar = starting_well();
  tar.add_file("stocks.h5", random_bytes(1 << 20));
  tar.write_bz2(archive_);
  run_on_tmpfs("4m", [&]() -> std::string {
    fs::path bundle = disk_ / "bundle";
    fs::create_directories(bundle);
    write(bundle / "stocks.h5", "old stocks");
    const std::uint64_t free = bundle::free_bytes(bundle);
    // Half the member beside the margin.
    std::string refusal = refused_for_margin(bundle, free - (512 << 10), "are kept spare");
    if (!refusal.empty()) return refusal;
    install_with_margin(bundle, free - (3 << 19));  // 1.5 MiB beside the margin
    if (testing::read_file(bundle / "stocks.h5").size() != 1 << 20) return "not installed";
    return "";
  });
}

// The same on the disk a user's link leads to, which gets its own check before anything moves.
TEST_F(SmallDiskTest, TheFreeSpaceMarginIsKeptOnTheDiskALinkLeadsTo) {
  fs::remove_all(bundle_ / "h5");
  fs::create_directory_symlink(disk_, bundle_ / "h5");
  TarWriter tar = starting_well();
  tar.add_file("h5/CS/000002.XSHE.h5", random_bytes(200000));
  tar.write_bz2(archive_);
  run_on_tmpfs("1m", [&]() -> std::string {
    fs::create_directories(disk_ / "CS");
    write(disk_ / "CS/000001.XSHE.h5", "old bars");
    const std::uint64_t free = bundle::free_bytes(disk_);
    std::string refusal = refused_for_margin(bundle_, free - 100000, "go to");
    if (!refusal.empty()) return refusal;
    if (testing::read_file(disk_ / "CS/000001.XSHE.h5") != "old bars") return "disk changed";
    install_with_margin(bundle_, free - 400000);
    if (testing::read_file(disk_ / "CS/000002.XSHE.h5").size() != 200000) return "not copied";
    return "";
  });
}

}  // namespace
}  // namespace tessera_plus
