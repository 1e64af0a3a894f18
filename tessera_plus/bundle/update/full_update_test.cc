// The full and smart updates, driven through the real program on the simulated market, with the
// user's answers on standard input.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;
using testing::CliResult;
using testing::run_cli;
using testing::TempDir;

const std::string kQuestion =
    "本次会将指定的[合约分钟]和[合约tick]的h5文件从头进行更新，是否确认?[Y/n]\n";
const std::string kStartLine = "开始更新 1 只标的的分钟线数据：{'000001.XSHE'}\n";

class FullUpdate : public ::testing::Test {
 protected:
  CliResult update(std::vector<std::string> args, const std::string& input = "",
                   std::vector<std::string> env = {}) {
    args.insert(args.begin(), {"update", "-d", root(), "-j", "2"});
    env.push_back("TESSERA_NOW=2024-06-28 18:00:00");
    env.push_back("TESSERA_LOG_FILE=" + dir_ / "log.txt");
    return run_cli(args, input, env);
  }
  std::string root() const { return dir_ / "root"; }
  std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  TempDir dir_;
};

TEST_F(FullUpdate, RebuildQuestionIsAskedUpToThreeTimesAndOnlyExactYGoesOn) {
  CliResult r = update({"--no-base", "--rebuild", "--minbar", "000001.XSHE"}, "y\nyes\nY\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count(r.out, kQuestion), 3u);
  EXPECT_NE(r.out.find(kStartLine), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(root() + "/bundle/h5/equities/000001.XSHE.h5"));

  r = update({"--no-base", "--rebuild", "--minbar", "000001.XSHE"}, "N\nY \nyes\nY\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kQuestion + kQuestion + kQuestion);  // ends after the third, Y never read

  r = update({"--no-base", "--rebuild", "--minbar", "000001.XSHE"}, "n\nY\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kQuestion);
}

TEST_F(FullUpdate, ClosedInputAtTheQuestionIsAnError) {
  CliResult r = update({"--no-base", "--rebuild"}, "");
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, kQuestion);
  EXPECT_NE(r.err.find("standard input"), std::string::npos) << r.err;
}

TEST_F(FullUpdate, MissingBeijingPermissionEndsBeforeAnyQuestionOrWrite) {
  CliResult r = update({"--enable-bjse", "--rebuild", "--minbar", "stock"}, "Y\n",
                       {"TALLOW_SIM_DENY=bjse", "TESSERA_SUPPORT_PHONE=400-000-0000"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "没有 enable_bjse 参数，详情可联系Larkspur：400-000-0000\n");
  EXPECT_FALSE(fs::exists(root() + "/bundle"));
}

TEST_F(FullUpdate, NothingRequestedDoesNothing) {
  CliResult r = update({"--no-base"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(root() + "/bundle"));
}

TEST_F(FullUpdate, FailedBaseUpdateStillRunsTheMinuteBarsAndReportsFailure) {
  fs::create_directories(root() + "/bundle/trading_dates.npy");  // a directory: cannot be replaced
  CliResult r = update({"--minbar", "000001.XSHE"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("开始更新日线及基础数据\n"), std::string::npos);
  EXPECT_NE(r.out.find(kStartLine), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(root() + "/bundle/h5/equities/000001.XSHE.h5"));
}

TEST_F(FullUpdate, BadInputGetsOneLineAndAUsageStatus) {
  std::ofstream(dir_ / "file") << "x";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"update", "-d", dir_ / "file", "--minbar", "stock"},
        std::vector<std::string>{"update", "-d", root(), "-j", "0"},
        std::vector<std::string>{"update", "-d", root(), "-j", "-3"},
        std::vector<std::string>{"smart-update", "-d", dir_ / "file"}}) {
    CliResult r = run_cli(args, "");
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(fs::exists(root()));
}

TEST_F(FullUpdate, SmartUpdateExtendsExactlyTheFilesPresent) {
  ASSERT_EQ(update({"--minbar", "000001.XSHE", "600000.XSHG", "--tick", "000001.XSHE"}).status, 0);
  const std::string h5 = root() + "/bundle/h5";
  std::ofstream(h5 + "/equities/000002.XSHE-sample.h5") << "x";
  fs::create_directories(h5 + "/ticks");
  std::ofstream(h5 + "/ticks/600519.XSHG.h5") << "x";
  std::ofstream(h5 + "/equities/000858.XSHE.H5") << "x";
  CliResult r = run_cli({"smart-update", "-d", root(), "-j", "2"}, "",
                        {"TESSERA_NOW=2024-07-03 18:00:00", "TESSERA_LOG_FILE=" + dir_ / "log"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("开始智能更新已下载数据\n开始更新日线及基础数据\n"), std::string::npos);
  EXPECT_NE(r.out.find("开始更新 2 只标的的分钟线数据：{'000001.XSHE', '600000.XSHG'}"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("开始更新 1 只标的的tick数据：{'000001.XSHE'}"), std::string::npos) << r.out;
}

TEST_F(FullUpdate, CorruptInstrumentListStopsTheSmartUpdateBeforeWriting) {
  fs::create_directories(root() + "/bundle");
  std::ofstream(root() + "/bundle/instruments.pk") << "\x80\x02garbage";
  CliResult r = run_cli({"smart-update", "-d", root()}, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("instruments.pk"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(root() + "/bundle/trading_dates.npy"));
}

std::string digest(const std::string& root) {
  std::string script =
      testing::read_file(std::string(TESSERA_PLUS_SOURCE_DIR) + "/tests/support/bundle_digest.py");
  std::string out;
  EXPECT_EQ(testing::run_python(script, root, &out), 0) << out;
  return out;
}

TEST_F(FullUpdate, RepeatedRunsLeaveByteIdenticalData) {
  std::vector<std::string> args = {"--minbar", "000001.XSHE", "RB", "--tick", "600519.XSHG"};
  ASSERT_EQ(update(args).status, 0);
  std::string first = digest(root());
  ASSERT_NE(first.find("bundle/h5/future/"), std::string::npos) << first;
  ASSERT_EQ(update(args).status, 0);
  EXPECT_EQ(digest(root()), first);
  EXPECT_EQ(first.find("UNREADABLE"), std::string::npos);
}

TEST_F(FullUpdate, SmartUpdateLaterEqualsABundleBuiltInOneGoThen) {
  // The simulated market keeps a window of trading days up to "now"; widening it by the five
  // trading days that pass keeps its first day fixed, as a real service's history would be.
  auto run = [&](const std::string& root, std::vector<std::string> args, const char* now,
                 const char* days) {
    args.insert(args.begin() + 1, {"-d", root, "-j", "2"});
    return run_cli(
        args, "",
        {std::string("TESSERA_NOW=") + now, std::string("TALLOW_SIM_HISTORY_DAYS=") + days,
         "TESSERA_LOG_FILE=" + dir_ / "log"});
  };
  const std::vector<std::string> update = {"update", "--minbar", "000001.XSHE", "000002.XSHE",
                                           "IF",     "--tick",   "600519.XSHG"};
  const std::string kept = dir_ / "kept", fresh = dir_ / "fresh";
  ASSERT_EQ(run(kept, update, "2024-06-21 18:00:00", "20").status, 0);
  ASSERT_EQ(run(kept, {"smart-update"}, "2024-06-28 18:00:00", "25").status, 0);
  ASSERT_EQ(run(fresh, update, "2024-06-28 18:00:00", "25").status, 0);
  std::string extended = digest(kept);
  ASSERT_NE(extended.find("bundle/ticks/600519.XSHG.h5 20240628"), std::string::npos) << extended;
  // Contracts listed in between are in the fresh bundle only: the smart update extends what the
  // bundle holds. Every file the kept bundle has must equal its fresh twin.
  std::string one_go = digest(fresh);
  std::istringstream lines(extended);
  for (std::string line; std::getline(lines, line);) {
    // The simulated market lists one stock and de-lists another a fixed number of trading days
    // before "now", so their histories move with it.
    if (line.find("301999.XSHE") != std::string::npos ||
        line.find("000005.XSHE") != std::string::npos) {
      continue;
    }
    EXPECT_NE(one_go.find(line + "\n"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace tessera_plus
