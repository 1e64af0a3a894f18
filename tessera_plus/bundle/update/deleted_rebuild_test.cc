// Files that a check deletes come back with the next update: the real program checks with --yes,
// updates and checks again on the simulated market, and the bundle's record of deleted files says
// what is still to be rebuilt.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;
using testing::CliResult;
using testing::run_cli;

constexpr char kRecordHeader[] = "# files deleted by a check; the next update rebuilds them\n";

class DeletedRebuild : public ::testing::Test {
 protected:
  CliResult run(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin() + (args[0] == "check" ? 2 : 1), {"-d", root(), "-j", "2"});
    env.push_back("TESSERA_NOW=2024-06-28 18:00:00");
    env.push_back("TESSERA_LOG_FILE=" + dir_ / "log.txt");
    return run_cli(args, "", env);
  }
  std::string root() const { return dir_ / "root"; }
  std::string bundle(const std::string& relative) const { return root() + "/bundle/" + relative; }
  std::string record() const { return testing::read_file(bundle(".deleted_files")); }
  // Damages a file beyond repair: the check can no longer open it and deletes it.
  void damage(const std::string& relative) const {
    std::ofstream(bundle(relative), std::ios::trunc) << "not an HDF5 file";
  }
  // Zeroes 4 KiB inside the first chunk of the file's second day: the file opens and lists its
  // days, but h5py cannot read that one.
  void damage_a_day(const std::string& relative) const {
    ASSERT_EQ(testing::run_python(R"(
import sys, h5py
with h5py.File(sys.argv[1], 'r') as f:
    chunk = f[sorted(f)[1]].id.get_chunk_info(0)
with open(sys.argv[1], 'r+b') as out:
    out.seek(chunk.byte_offset + chunk.size // 2 - 2048)
    out.write(bytes(4096))
)",
                                  bundle(relative)),
              0);
  }
  std::string digest() const {
    std::string script = testing::read_file(std::string(TESSERA_PLUS_SOURCE_DIR) +
                                            "/tests/support/bundle_digest.py");
    std::string out;
    EXPECT_EQ(testing::run_python(script, root(), &out), 0) << out;
    return out;
  }

  testing::TempDir dir_;
};

TEST_F(DeletedRebuild, CheckYesThenSmartUpdateThenCheckLosesNoInstrument) {
  ASSERT_EQ(run({"update", "--minbar", "000001.XSHE", "600000.XSHG", "--tick", "000001.XSHE",
                 "600519.XSHG"})
                .status,
            0);
  const std::string whole = digest();
  damage("h5/equities/600000.XSHG.h5");
  damage_a_day("ticks/600519.XSHG.h5");

  CliResult r = run({"check", "minbar", "--yes"});
  EXPECT_EQ(r.status, 1);  // broken files were found
  EXPECT_NE(r.out.find("删除完成！共删除1个标的。"), std::string::npos) << r.out;
  ASSERT_EQ(run({"check", "tick", "--yes"}).status, 1);
  EXPECT_FALSE(fs::exists(bundle("h5/equities/600000.XSHG.h5")));
  EXPECT_FALSE(fs::exists(bundle("ticks/600519.XSHG.h5")));
  EXPECT_EQ(record(),
            std::string(kRecordHeader) + "h5/equities/600000.XSHG.h5\nticks/600519.XSHG.h5\n");

  r = run({"smart-update"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("开始更新 2 只标的的分钟线数据：{'000001.XSHE', '600000.XSHG'}\n"
                       "已重建检查时删除的 1 个分钟线数据文件\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("已重建检查时删除的 1 个tick数据文件\n"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(bundle(".deleted_files")));
  // Re-created from the instrument's first date: the bundle is the one the first update built.
  EXPECT_EQ(digest(), whole);

  r = run({"check", "minbar", "--yes"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("检测完成：分钟数据质量良好！"), std::string::npos) << r.out;
  r = run({"check", "tick", "--yes"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("检测完成：tick数据质量良好！"), std::string::npos) << r.out;

  // Nothing left to rebuild: the next run says nothing about it.
  r = run({"smart-update"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("已重建"), std::string::npos) << r.out;
}

TEST_F(DeletedRebuild, AFailedRebuildKeepsItsEntryForTheNextRun) {
  ASSERT_EQ(run({"update", "--minbar", "000001.XSHE", "600000.XSHG"}).status, 0);
  damage("h5/equities/600000.XSHG.h5");
  ASSERT_EQ(run({"check", "minbar", "--yes"}).status, 1);

  // The service refuses minute bars: the rebuild fails, and so does the run.
  CliResult r = run({"smart-update"}, {"TALLOW_SIM_DENY=1m"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("已重建检查时删除的 0 个分钟线数据文件，1 个未能重建，留待下次更新\n"),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(fs::exists(bundle("h5/equities/600000.XSHG.h5")));
  EXPECT_EQ(record(), std::string(kRecordHeader) + "h5/equities/600000.XSHG.h5\n");

  r = run({"smart-update"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("已重建检查时删除的 1 个分钟线数据文件\n"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(bundle("h5/equities/600000.XSHG.h5")));
  EXPECT_FALSE(fs::exists(bundle(".deleted_files")));
}

TEST_F(DeletedRebuild, AnUpdateRebuildsTheDeletedFilesItsTagsCoverAndKeepsTheRest) {
  ASSERT_EQ(run({"update", "--minbar", "000001.XSHE", "600000.XSHG"}).status, 0);
  damage("h5/equities/000001.XSHE.h5");
  damage("h5/equities/600000.XSHG.h5");
  ASSERT_EQ(run({"check", "minbar", "--yes"}).status, 1);

  CliResult r = run({"update", "--no-base", "--minbar", "000001.XSHE"});
  EXPECT_EQ(r.status, 0) << r.err;
  // 600000.XSHG was not asked for, so it counts as neither rebuilt nor failed.
  EXPECT_NE(r.out.find("已重建检查时删除的 1 个分钟线数据文件\n"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(bundle("h5/equities/000001.XSHE.h5")));
  EXPECT_EQ(record(), std::string(kRecordHeader) + "h5/equities/600000.XSHG.h5\n");
}

TEST_F(DeletedRebuild, ACheckThatCannotRecordItsDeletionsDeletesNothing) {
  ASSERT_EQ(run({"update", "--minbar", "600000.XSHG"}).status, 0);
  damage("h5/equities/600000.XSHG.h5");
  fs::create_directories(bundle(".deleted_files"));  // a directory: no record can be written
  CliResult r = run({"check", "minbar", "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(".deleted_files"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("删除完成"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(bundle("h5/equities/600000.XSHG.h5")));
}

TEST_F(DeletedRebuild, AFreshBundleOfTheDefaultMarketPassesTheCheckWithHaltDays) {
  // 300750.XSHE has intraday halts, some at the open; the default market delivers their minutes.
  ASSERT_EQ(run({"update", "--minbar", "stock"}).status, 0);
  ASSERT_TRUE(fs::exists(bundle("h5/equities/300750.XSHE.h5")));
  CliResult r = run({"check", "minbar", "--yes"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("检测完成：分钟数据质量良好！"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(bundle(".deleted_files")));
}

}  // namespace
}  // namespace tessera_plus
