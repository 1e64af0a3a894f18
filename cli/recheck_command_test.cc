// Data that stays right over time, through the real program on the simulated market: a day stored
// short and a day the service corrected afterwards are made right by the next smart update (the
// bundle then equals one built from the service that day, dataset by dataset), and a second run
// with nothing new leaves every file's bytes and modification time as they were.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/check_fixtures.h"
#include "tests/support/json_check.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;
using testing::CliResult;
using ::testing::HasSubstr;

constexpr char kDay1[] = "2024-06-26 20:00:00";
constexpr char kDay2[] = "2024-06-27 20:00:00";
constexpr char kDay3[] = "2024-06-28 20:00:00";
constexpr char kStock[] = "bundle/h5/equities/000001.XSHE.h5";

// The lines of two bundle digests that differ, each marked with the bundle it is from. A stock the
// simulated market lists a fixed number of days before today is left out: its first day moves
// with the clock, so bundles built on different days differ there by design.
std::string digest_difference(const std::string& root, const std::string& other) {
  const auto lines = [](const std::string& bundle) {
    std::set<std::string> kept;
    for (std::string& line : testing::lines_of(testing::bundle_digest(bundle))) {
      if (line.find("301999.XSHE") == std::string::npos) kept.insert(std::move(line));
    }
    return kept;
  };
  const std::set<std::string> a = lines(root), b = lines(other);
  std::string difference;
  for (const std::string& line : a) {
    if (!b.contains(line)) difference += "updated: " + line.substr(0, 80) + "\n";
  }
  for (const std::string& line : b) {
    if (!a.contains(line)) difference += "fresh:   " + line.substr(0, 80) + "\n";
  }
  return difference;
}

class DaysOverTime : public ::testing::Test {
 protected:
  std::vector<std::string> env(const char* now, const std::string& revised = "") const {
    std::vector<std::string> vars = {std::string("TESSERA_NOW=") + now, "TALLOW_SIM_FAULT_RATE=0",
                                     "TESSERA_LOG_FILE=" + dir / "tessera.log"};
    if (!revised.empty()) vars.push_back("TALLOW_SIM_REVISED=" + revised);
    return vars;
  }
  // A stock (day session), a gold contract (night sessions) and a stock's ticks.
  CliResult update(const std::string& root, const char* now, const std::string& revised = "") {
    return testing::run_cli({"update", "-d", root, "-j", "2", "--minbar", "000001.XSHE", "AU2408",
                             "--tick", "000002.XSHE"},
                            "", env(now, revised));
  }
  CliResult smart_update(const char* now, const std::string& revised = "",
                         const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"smart-update", "-d", root(), "-j", "2", "--report", report()};
    args.insert(args.end(), extra.begin(), extra.end());
    return testing::run_cli(args, "", env(now, revised));
  }
  // Cuts the stock file's last day short by its last half hour, as a run that stored the day
  // before the service had its last bars would have left it.
  void cut_last_day_short() const {
    ASSERT_EQ(testing::run_python("import sys, h5py\n"
                                  "with h5py.File(sys.argv[1], 'r+') as f:\n"
                                  "    d = f['data']; d.resize((len(d) - 30,))\n",
                                  root() + "/" + kStock),
              0);
  }
  void build_fresh(const char* now, const std::string& revised = "") {
    ASSERT_EQ(update(fresh(), now, revised).status, 0);
  }
  std::string fresh() const { return dir / "fresh"; }
  std::string root() const { return dir / "root"; }
  std::string report() const { return dir / "report.json"; }
  std::string log() const { return testing::read_file(dir / "tessera.log"); }

  testing::TempDir dir;
};

TEST_F(DaysOverTime, AShortDayAndARevisedDayAreMadeRightByTheNextSmartUpdate) {
  // The stock's 20240626 is stored short and stays so through a run that only appends; then the
  // service corrects 20240627 (closes, tick prices and volumes) for every instrument.
  ASSERT_EQ(update(root(), kDay1).status, 0);
  cut_last_day_short();
  ASSERT_EQ(smart_update(kDay2, "", {"--recheck-days", "0"}).status, 0);
  const CliResult run = smart_update(kDay3, "20240627", {"--recheck-days", "2"});
  ASSERT_EQ(run.status, 0) << run.err << run.out;
  build_fresh(kDay3, "20240627");
  EXPECT_EQ(digest_difference(root(), fresh()), "");

  EXPECT_THAT(run.out, HasSubstr("，修订 "));
  EXPECT_THAT(log(),
              HasSubstr("修订 " + root() + "/" + kStock + " 的 2 个交易日：20240626, 20240627"));
  EXPECT_THAT(log(), HasSubstr("AU2408.h5 的 1 个交易日：20240627"));
  EXPECT_THAT(log(), HasSubstr("000002.XSHE.h5 的 1 个交易日：20240627"));
  // Each file names its days once; the daily bars count their instruments' days too.
  const std::string revised =
      testing::json_field(testing::read_file(report()), "d['revised_days']");
  EXPECT_GT(std::stoi(revised), 4) << revised;
}

// The default looks at the last stored day; 0 keeps the old behaviour of only appending. Status
// names the short day until it is whole.
TEST_F(DaysOverTime, TheDefaultCompletesTheLastDayAndZeroOnlyAppends) {
  ASSERT_EQ(update(root(), kDay2).status, 0);
  cut_last_day_short();
  const CliResult status = testing::run_cli({"status", "-d", root(), "--json"}, "", env(kDay2));
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_EQ(testing::schema_errors(status.out, "status-report.schema.json"), "");
  EXPECT_EQ(testing::json_field(status.out,
                                "[(f['path'].split('/')[-1], f['days']) for c in "
                                "d['classes'] for f in c['short_days']]"),
            R"([["000001.XSHE.h5", [{"date": 20240627, "bars": 210}]]])");
  EXPECT_THAT(testing::run_cli({"status", "-d", root()}, "", env(kDay2)).out,
              HasSubstr("000001.XSHE.h5：分钟线不足 240 根的交易日 20240627（210 根）"));
  const std::string kept = dir / "kept";
  fs::copy(root(), kept, fs::copy_options::recursive);
  build_fresh(kDay3);

  const CliResult run = smart_update(kDay3);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("，修订 1 个交易日\n"));
  EXPECT_EQ(digest_difference(root(), fresh()), "");
  EXPECT_EQ(
      testing::json_field(testing::run_cli({"status", "-d", root(), "--json"}, "", env(kDay3)).out,
                          "sum(len(c['short_days']) for c in d['classes'])"),
      "0");

  const CliResult only_appending = testing::run_cli(
      {"smart-update", "-d", kept, "-j", "2", "--recheck-days", "0"}, "", env(kDay3));
  ASSERT_EQ(only_appending.status, 0) << only_appending.err;
  EXPECT_NE(digest_difference(kept, fresh()), "");
}

struct Stamp {
  std::string bytes;
  std::int64_t mtime_ns;
  bool operator==(const Stamp&) const = default;
};

// Every regular file under `root` but the run lock's holder line, which each run writes anew.
std::map<std::string, Stamp> stamps(const std::string& root) {
  std::map<std::string, Stamp> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file() || entry.path().filename() == ".tessera_plus-run.lock") continue;
    struct stat st {};
    ::stat(entry.path().c_str(), &st);
    files[entry.path().string()] = {testing::read_file(entry.path()),
                                    st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec};
  }
  return files;
}

TEST_F(DaysOverTime, ASecondRunWithNothingNewTouchesNoFile) {
  ASSERT_EQ(update(root(), kDay2).status, 0);
  ASSERT_EQ(smart_update(kDay3).status, 0);
  const auto before = stamps(root());
  const CliResult again = smart_update(kDay3, "", {"--recheck-days", "5"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_THAT(again.out, HasSubstr("更新结束：0 个标的已更新，3 个无变化"));
  const auto after = stamps(root());
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [path, stamp] : before) {
    EXPECT_TRUE(after.at(path) == stamp) << path << " changed";
  }
}

}  // namespace
}  // namespace tessera_plus
