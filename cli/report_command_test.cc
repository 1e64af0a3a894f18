// The machine-readable side of the real program: `check --json` and `--yes`, and the JSON summary
// of `update --report`, each validated against its committed schema.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

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

constexpr char kPrompt[] = "是否删除异常数据(yes/no):";

// Three minute-bar files: one sound, one with bars but no index, one whose index date
// contradicts its first bar.
struct MixedBundle {
  TestBundle bundle;
  std::string sound, no_index, mismatch;
  MixedBundle() {
    bundle.write_calendar({20200102, 20200103});
    const std::string dir = bundle.minbar_dir("equities");
    sound = dir + "/000001.XSHE.h5";
    no_index = dir + "/000002.XSHE.h5";
    mismatch = dir + "/600000.XSHG.h5";
    testing::write_minbar_file(sound, {{20200102, 20200102093100}, {20200103, 20200103093100}});
    const std::vector<std::int64_t> bars = {20200102093100};
    testing::write_raw_minbar_file(no_index, &bars, nullptr);
    testing::write_minbar_file(mismatch, {{20200102, 20200102093100}, {20200103, 20200102093500}});
  }
};

TEST(CheckReport, JsonListsEachBrokenFileWithItsReasonAndNeverAsks) {
  MixedBundle b;
  // Standard input says yes: a JSON run must not read it, so nothing may be deleted.
  CliResult run = run_cli({"check", "minbar", "-d", b.bundle.root(), "--json"}, "yes\n");
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(schema_errors(run.out, "check-report.schema.json"), "") << run.out;
  EXPECT_THAT(run.out, Not(HasSubstr(kPrompt)));
  EXPECT_THAT(run.out, Not(HasSubstr("共有")));
  EXPECT_EQ(json_field(run.out, "[d['files'], d['checked'], d['deleted'], d['locked']]"),
            "[3, true, 0, []]");
  EXPECT_EQ(json_field(run.out, "[f['order_book_id'] for f in d['broken']]"),
            R"(["000002.XSHE", "600000.XSHG"])");
  EXPECT_EQ(json_field(run.out, "d['broken'][0]['reason']"), "has 'data' but no 'index'");
  EXPECT_EQ(json_field(run.out, "d['broken'][1]['reason']"),
            "index date 20200103 does not match its first bar 20200102093500");
  EXPECT_TRUE(std::filesystem::exists(b.no_index));
  EXPECT_TRUE(std::filesystem::exists(b.mismatch));
}

TEST(CheckReport, JsonOfASoundOrAnEmptyBundleExitsZero) {
  TestBundle sound;
  sound.write_calendar({20200102});
  testing::write_minbar_file(sound.minbar_dir("equities") + "/000001.XSHE.h5",
                             {{20200102, 20200102093100}});
  CliResult run = run_cli({"check", "minbar", "-d", sound.root(), "--json"}, "");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(schema_errors(run.out, "check-report.schema.json"), "") << run.out;
  EXPECT_EQ(json_field(run.out, "[d['files'], d['broken']]"), "[1, []]");

  // Nothing to check: the reason is in the document, not on the console.
  TestBundle empty;
  CliResult none = run_cli({"check", "tick", "-d", empty.root(), "--json"}, "");
  EXPECT_EQ(none.status, 0) << none.err;
  EXPECT_EQ(schema_errors(none.out, "check-report.schema.json"), "") << none.out;
  EXPECT_EQ(json_field(none.out, "[d['checked'], d['message']]"),
            "[false, \"当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!\"]");
}

TEST(CheckReport, LockedFilesCarryTheOperatingSystemsReason) {
  TestBundle bundle;
  bundle.write_calendar({20200102});
  const std::string path = bundle.minbar_dir("equities") + "/000001.XSHE.h5";
  testing::write_minbar_file(path, {{20200102, 20200102093100}});
  testing::FileHolder holder(path);
  CliResult run = run_cli({"check", "minbar", "-d", bundle.root(), "--json"}, "");
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(schema_errors(run.out, "check-report.schema.json"), "") << run.out;
  EXPECT_EQ(json_field(run.out, "len(d['locked'])"), "1") << run.out;
  EXPECT_NE(json_field(run.out, "d['locked'][0]['reason']"), "") << run.out;
}

TEST(CheckReport, YesDeletesWithoutAskingAndPrintsWhatTheYesAnswerPrints) {
  MixedBundle b;
  CliResult run = run_cli({"check", "minbar", "-d", b.bundle.root(), "--yes"}, "");
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_THAT(run.out, Not(HasSubstr(kPrompt)));
  EXPECT_THAT(run.out, HasSubstr("数据异常标的如下:\n['000002.XSHE', '600000.XSHG']\n"));
  EXPECT_TRUE(run.out.ends_with("\n准备删除异常数据！\n\n删除完成！共删除2个标的。\n")) << run.out;
  EXPECT_TRUE(std::filesystem::exists(b.sound));
  EXPECT_FALSE(std::filesystem::exists(b.no_index));
  EXPECT_FALSE(std::filesystem::exists(b.mismatch));

  // With --json as well: the document counts what was deleted, the console lines stay out.
  MixedBundle again;
  CliResult json = run_cli({"check", "minbar", "-d", again.bundle.root(), "--json", "--yes"}, "");
  EXPECT_EQ(json.status, 1) << json.err;
  EXPECT_EQ(schema_errors(json.out, "check-report.schema.json"), "") << json.out;
  EXPECT_EQ(json_field(json.out, "d['deleted']"), "2");
  EXPECT_FALSE(std::filesystem::exists(again.no_index));
}

class UpdateReport : public ::testing::Test {
 protected:
  CliResult update(const std::vector<std::string>& extra, const std::vector<std::string>& faults) {
    std::vector<std::string> env = {"TESSERA_NOW=2024-06-28 20:00:00", "TALLOW_RETRY_BASE_MS=0",
                                    "TESSERA_LOG_FILE=" + (dir / "tessera.log"),
                                    "TALLOW_SIM_FAULT_RATE=0"};
    env.insert(env.end(), faults.begin(), faults.end());
    std::vector<std::string> args = {"update",   "-d",          dir / "b",  "-j",    "2",
                                     "--minbar", "000001.XSHE", "--report", report()};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_cli(args, "", env);
  }
  std::string report() const { return dir / "report.json"; }
  testing::TempDir dir;
};

TEST_F(UpdateReport, CleanRunAndFailingRunAreSummarised) {
  CliResult clean = update({}, {});
  EXPECT_EQ(clean.status, 0) << clean.err;
  std::string doc = testing::read_file(report());
  EXPECT_EQ(schema_errors(doc, "update-report.schema.json"), "") << doc;
  EXPECT_EQ(
      json_field(doc, "[d['command'], d['updated'], d['failed'], d['error'], d['exit_status']]"),
      R"(["update", 1, 0, null, 0])");
  // The new file's bars and size: what the run stored and how much the bundle grew by it.
  const std::string file = dir / "b/bundle/h5/equities/000001.XSHE.h5";
  EXPECT_EQ(json_field(doc, "d['rows_written'] == len(__import__('h5py').File('" + file +
                                "', 'r')['data']) > 0"),
            "true");
  EXPECT_EQ(json_field(doc, "d['bytes_added'] == __import__('os').path.getsize('" + file + "')"),
            "true");

  CliResult faulty = update({}, {"TALLOW_SIM_FAULT_RATE=1", "TALLOW_RETRY_ATTEMPTS=2"});
  EXPECT_EQ(faulty.status, 1) << faulty.err;
  doc = testing::read_file(report());
  EXPECT_EQ(schema_errors(doc, "update-report.schema.json"), "") << doc;
  EXPECT_EQ(json_field(doc, "d['exit_status']"), "1");
  EXPECT_EQ(json_field(doc, "d['failed'] == len(d['failures']) + d['failures_not_listed'] > 0"),
            "true");
  EXPECT_EQ(json_field(doc, "d['retries'] >= d['failed']"), "true");
  EXPECT_THAT(json_field(doc, "d['failures'][0]['reason']"),
              HasSubstr("simulated transient service failure"));
}

TEST_F(UpdateReport, AnErrorThatStopsTheRunIsInTheReport) {
  // A root that is a file: bad usage, refused before anything is fetched.
  testing::write_file(dir / "b", "not a directory");
  CliResult run = update({}, {});
  EXPECT_EQ(run.status, 2) << run.err;
  std::string doc = testing::read_file(report());
  EXPECT_EQ(schema_errors(doc, "update-report.schema.json"), "") << doc;
  EXPECT_EQ(json_field(doc, "d['exit_status']"), "2");
  EXPECT_THAT(json_field(doc, "d['error']"), HasSubstr("is not a directory"));
}

}  // namespace
}  // namespace tessera_plus
