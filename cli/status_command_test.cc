// `tessera-plus status` on crafted bundles: counts, sizes, date ranges, staleness against the
// calendar and the files it questions, in JSON (validated against its schema) and as text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tessera_plus/h5/signature_guard.h"
#include "tests/support/check_fixtures.h"
#include "tests/support/json_check.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using testing::CliResult;
using ::testing::HasSubstr;
using testing::json_field;
using ::testing::Not;
using testing::run_cli;
using testing::schema_errors;
using testing::TestBundle;

const std::vector<std::string> kNow = {"TESSERA_NOW=2020-01-07 20:00:00"};

std::uint64_t sizes_of(const std::string& dir) {
  std::uint64_t total = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) total += entry.file_size();
  return total;
}

TEST(StatusCommand, CountsDatesStalenessAndQuestionsFromTheIndexAlone) {
  TestBundle b;
  b.write_calendar({20200102, 20200103, 20200106, 20200107, 20200108});
  const std::string eq = b.minbar_dir("equities");
  testing::write_minbar_file(eq + "/A.XSHE.h5", {{20200102, 20200102093100},
                                                 {20200103, 20200103093100},
                                                 {20200106, 20200106093100},
                                                 {20200107, 20200107093100}});
  testing::write_minbar_file(eq + "/B.XSHE.h5", {{20200103, 20200103093100}});  // behind
  testing::write_minbar_file(eq + "/C.XSHE.h5",                                 // a gap, and behind
                             {{20200102, 20200102093100}, {20200106, 20200106093100}});
  testing::write_minbar_file(eq + "/D.XSHE.h5",
                             {{20200106, 20200106093100}, {20200103, 20200103093100}});
  testing::write_minbar_file(eq + "/E.XSHE.h5", {{20200104, 20200104093100}});
  const std::vector<std::int64_t> bars = {20200102093100};
  const std::vector<bundle::IndexEntry> no_rows;
  testing::write_raw_minbar_file(eq + "/F.XSHE.h5", &bars, &no_rows);
  testing::write_raw_minbar_file(eq + "/G.XSHE.h5", &bars, nullptr);
  testing::write_file(eq + "/H.XSHE.h5", "not an HDF5 file");
  testing::write_file(eq + "/.I.XSHE.h5.tmp", "a build in progress");
  testing::write_tick_file(b.tick_dir() + "/A.XSHE.h5", {"20200106", "20200107", "notes"});
  testing::write_tick_file(b.tick_dir() + "/B.XSHE.h5", {});

  CliResult run = run_cli({"status", "-d", b.root(), "--json"}, "", kNow);
  EXPECT_EQ(run.status, 1) << run.err;
  ASSERT_EQ(schema_errors(run.out, "status-report.schema.json"), "") << run.out;
  EXPECT_EQ(json_field(run.out, "d['last_trading_day']"), "20200107");
  EXPECT_EQ(json_field(run.out, "[c['name'] for c in d['classes']]"),
            R"(["equities", "future", "option", "ticks"])");
  const std::string e = "d['classes'][0]";
  EXPECT_EQ(json_field(run.out, "[" + e +
                                    "[k] for k in ('files', 'first_date', 'last_date', "
                                    "'behind', 'with_gaps')]"),
            "[8, 20200102, 20200107, 4, 1]");
  EXPECT_EQ(json_field(run.out, e + "['bytes']"), std::to_string(sizes_of(eq) - 19));
  EXPECT_EQ(json_field(run.out, "[(q['path'].split('/')[-1], q['reason']) for q in " + e +
                                    "['questioned'][:4]]"),
            R"([["D.XSHE.h5", "index not ascending: 20200103 follows 20200106"], )"
            R"(["E.XSHE.h5", "date 20200104 is not a trading day"], )"
            R"(["F.XSHE.h5", "empty index"], ["G.XSHE.h5", "has 'data' but no 'index'"]])");
  EXPECT_EQ(json_field(run.out, e + "['questioned'][4]['path'].split('/')[-1]"), "H.XSHE.h5");
  EXPECT_EQ(json_field(run.out, "d['classes'][1]['present']"), "false");
  const std::string t = "d['classes'][3]";
  EXPECT_EQ(json_field(run.out, "[" + t +
                                    "[k] for k in ('files', 'first_date', 'last_date', "
                                    "'behind')]"),
            "[2, 20200106, 20200107, 0]");
  EXPECT_EQ(json_field(run.out, t + "['questioned'][0]['reason']"),
            "member 'notes' is not a date up to today");
}

TEST(StatusCommand, TextWithoutACalendarJudgesNothingAgainstIt) {
  TestBundle b;
  testing::write_minbar_file(b.minbar_dir("equities") + "/A.XSHE.h5",
                             {{20200102, 20200102093100}, {20200106, 20200106093100}});
  CliResult run = run_cli({"status", "-d", b.root()}, "", kNow);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("当前目录下不存在 trading_dates.npy 文件"));
  EXPECT_THAT(run.out, HasSubstr("equities：1 个文件，"));
  EXPECT_THAT(
      run.out,
      HasSubstr("日期 20200102 至 20200106，0 个落后于最近交易日，0 个有缺失交易日，0 个可疑"));
  EXPECT_THAT(run.out, HasSubstr("future：目录不存在"));
}

// A power cut at the end of a commit can leave a file whole but hidden from plain readers, with no
// record beside it (h5py: "file signature not found"). status shows such files again, class files
// included, where this user may write them, and otherwise names them with what to run; it never
// calls them broken.
TEST(StatusCommand, FilesLeftHiddenAreShownAgainOrNamedWithWhatToRun) {
  TestBundle b;
  b.write_calendar({20200102, 20200103});
  const std::vector<std::string> files = {b.minbar_dir("equities") + "/A.XSHE.h5",
                                          b.base() + "/stocks.h5"};
  std::vector<std::string> whole;
  for (const std::string& file : files) {
    testing::write_minbar_file(file, {{20200103, 20200103093100}});
    whole.push_back(testing::read_file(file));
    const h5::Signature hiding = h5::hidden_signature(7);
    std::fstream(file, std::ios::binary | std::ios::in | std::ios::out)
        .write(reinterpret_cast<const char*>(hiding.data()), h5::kSignatureBytes);
  }
  // Another user, who may read everything and write nothing.
  for (auto p = std::filesystem::path(b.root()); p != p.parent_path(); p = p.parent_path()) {
    if (p.string().size() > 4) ::chmod(p.c_str(), 0755);
  }
  testing::TempDir shared;
  ::chmod(shared.path().c_str(), 0777);
  const std::string out = (shared.path() / "denied.out").string();
  const int denied = testing::run_unprivileged([&] {
    CliResult run = run_cli({"status", "-d", b.root(), "--json"}, "", kNow);
    testing::write_file(out, run.out);
    return run.status;
  });
  EXPECT_EQ(denied, 1);
  const std::string report = testing::read_file(out);
  ASSERT_EQ(schema_errors(report, "status-report.schema.json"), "") << report;
  EXPECT_EQ(json_field(report, "sorted(f['path'].split('/')[-1] for f in d['unfinished'])"),
            R"(["A.XSHE.h5", "stocks.h5"])");
  EXPECT_EQ(json_field(report, "[f['recovered'] for f in d['unfinished']]"), "[false, false]");
  EXPECT_THAT(json_field(report, "d['unfinished'][0]['reason']"), HasSubstr("tessera-plus status"));

  CliResult run = run_cli({"status", "-d", b.root()}, "", kNow);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("被中断的更新留下的文件：2 个"));
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_TRUE(testing::read_file(files[i]) == whole[i]) << files[i];
  }
  run = run_cli({"status", "-d", b.root()}, "", kNow);
  EXPECT_THAT(run.out, Not(HasSubstr("被中断的更新")));
}

// After an update without base data the calendar, not the files, is said to be old; once the
// base data has caught up, the files behind are named, and an expired contract (complete up to its
// last day) is not among them.
TEST(StatusCommand, SaysWhenTheCalendarIsOldNamesTheFilesBehindAndLeavesExpiredContractsOut) {
  testing::TempDir dir;
  const std::string root = dir / "root";
  const auto run = [&](const std::vector<std::string>& args, const char* now) {
    return run_cli(args, "",
                   {std::string("TESSERA_NOW=") + now, "TESSERA_LOG_FILE=" + (dir / "log"),
                    "TALLOW_SIM_FAULT_RATE=0", "TESSERA_PROGRESS=0"});
  };
  const char* day_one = "2024-06-20 20:00:00";
  const char* day_two = "2024-06-28 20:00:00";
  ASSERT_EQ(run({"update", "-d", root, "-j", "2", "--minbar", "000001.XSHE", "RB"}, day_one).status,
            0);
  ASSERT_EQ(run({"update", "-d", root, "--no-base", "--minbar", "000001.XSHE"}, day_two).status, 0);
  const CliResult stale = run({"status", "-d", root}, day_two);
  EXPECT_EQ(stale.status, 0) << stale.out;
  EXPECT_THAT(stale.out, Not(HasSubstr("is not a trading day")));
  EXPECT_THAT(stale.out, HasSubstr("交易日历只到 20240620，早于文件中最新的 20240628"));

  ASSERT_EQ(run({"update", "-d", root}, day_two).status, 0);  // base data only
  const CliResult later = run({"status", "-d", root, "--json"}, day_two);
  EXPECT_EQ(schema_errors(later.out, "status-report.schema.json"), "") << later.out;
  // RB2405 expired in May, its file complete: not behind.
  EXPECT_EQ(json_field(later.out,
                       "[(c['name'], c['behind'], sorted(f.split('/')[-1] for f in "
                       "c['behind_files'])) for c in d['classes'][:2]]"),
            R"([["equities", 0, []], ["future", 3, ["RB2410.h5", "RB2501.h5", "RB2505.h5"]]])");
  const CliResult text = run({"status", "-d", root}, day_two);
  EXPECT_THAT(text.out, HasSubstr("  落后的文件：" + root + "/bundle/h5/future/RB"));
  EXPECT_THAT(text.out, Not(HasSubstr("交易日历只到")));
}

}  // namespace
}  // namespace tessera_plus
