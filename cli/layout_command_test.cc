// Hostile layouts in each class directory: a symbolic-link loop, a FIFO and a directory named like
// instrument files, and a class directory that links to itself. smart-update passes each by with
// one line and updates every other file; status and check name each, and nothing deletes them.
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;
using testing::CliResult;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::run_cli;

constexpr char kDayOne[] = "TESSERA_NOW=2024-06-20 20:00:00";
constexpr char kDayTwo[] = "TESSERA_NOW=2024-06-28 20:00:00";

class Layouts : public ::testing::Test {
 protected:
  std::vector<std::string> env(const char* now) const {
    return {now, "TESSERA_LOG_FILE=" + (dir / "log"), "TALLOW_SIM_FAULT_RATE=0",
            "TESSERA_PROGRESS=0"};
  }
  std::string root() const { return dir / "root"; }
  std::string bundle() const { return root() + "/bundle"; }
  // Each entry that is no instrument file, as a path under the bundle.
  std::vector<std::string> make_odd_entries() const {
    std::vector<std::string> odd;
    for (const std::string& folder : {bundle() + "/h5/equities", bundle() + "/ticks"}) {
      fs::create_symlink("L.XSHE.h5", folder + "/L.XSHE.h5");
      ::mkfifo((folder + "/F.XSHE.h5").c_str(), 0644);
      fs::create_directory(folder + "/D.XSHE.h5");
      odd.insert(odd.end(), {folder + "/L.XSHE.h5", folder + "/F.XSHE.h5", folder + "/D.XSHE.h5"});
    }
    fs::create_directory_symlink("loop", bundle() + "/h5/loop");
    odd.push_back(bundle() + "/h5/loop");
    return odd;
  }

  testing::TempDir dir;
};

TEST_F(Layouts, OddEntriesAreNamedSkippedAndKeptWhileTheRestIsUpdated) {
  ASSERT_EQ(run_cli({"update", "-d", root(), "-j", "2", "--minbar", "000001.XSHE", "RB", "--tick",
                     "000002.XSHE"},
                    "", env(kDayOne))
                .status,
            0);
  const std::vector<std::string> odd = make_odd_entries();

  const CliResult smart = run_cli({"smart-update", "-d", root(), "-j", "2"}, "", env(kDayTwo));
  EXPECT_EQ(smart.status, 0) << smart.err;
  EXPECT_THAT(smart.out, HasSubstr("更新结束：5 个标的已更新，1 个无变化，0 项失败"));
  EXPECT_THAT(smart.err, Not(HasSubstr("filesystem error")));
  for (const std::string& path : odd) {
    EXPECT_THAT(smart.err, HasSubstr("更新 " + path + " 已跳过：")) << smart.err;
  }

  const CliResult status = run_cli({"status", "-d", root(), "--json"}, "", env(kDayTwo));
  EXPECT_EQ(status.status, 1);
  // The equities and ticks files caught up with day two despite their odd neighbours.
  EXPECT_THAT(status.out, HasSubstr("\"last_date\":20240628,\"behind\":0"));
  for (const std::string& path : odd) {
    if (path.ends_with("loop")) continue;  // not a class directory status surveys
    EXPECT_THAT(status.out, HasSubstr("\"path\":\"" + path + "\"")) << status.out;
  }

  for (const char* kind : {"minbar", "tick"}) {
    const CliResult check = run_cli({"check", kind, "-d", root(), "--yes"}, "", env(kDayTwo));
    EXPECT_EQ(check.status, 1) << kind << check.out << check.err;
    for (const char* name : {"'F.XSHE'", "'D.XSHE'", "'L.XSHE'"}) {
      EXPECT_THAT(check.out, HasSubstr(name)) << check.out;
    }
  }
  const CliResult json = run_cli({"check", "tick", "-d", root(), "--json"}, "", env(kDayTwo));
  EXPECT_THAT(json.out, HasSubstr("\"reason\":\"a symbolic-link loop\""));
  EXPECT_THAT(json.out, HasSubstr("\"reason\":\"a FIFO, not a regular file\""));
  for (const std::string& path : odd) {
    EXPECT_TRUE(fs::exists(fs::symlink_status(path))) << path << " was deleted";
  }

  // An update that names the instrument says what stands there, not that the file is damaged.
  fs::remove(bundle() + "/h5/equities/000001.XSHE.h5");
  ::mkfifo((bundle() + "/h5/equities/000001.XSHE.h5").c_str(), 0644);
  const CliResult named =
      run_cli({"update", "-d", root(), "--no-base", "--minbar", "000001.XSHE"}, "", env(kDayTwo));
  EXPECT_EQ(named.status, 1);
  EXPECT_THAT(named.err, HasSubstr("a FIFO, not a regular file；它不是数据文件"));
  EXPECT_THAT(named.err, Not(HasSubstr("删除该文件")));
}

}  // namespace
}  // namespace tessera_plus
