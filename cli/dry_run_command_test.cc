// `update --dry-run` and `smart-update --dry-run` against the simulated market: the plan leaves
// the bundle exactly as it was, and the files it lists are the files the real run then changes,
// on a new bundle, a one-day extension, a file without its index, and a file a check deleted; and
// the last day planned follows the exchanges' clock whatever the host's time zone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
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

using Paths = std::set<std::string>;

constexpr char kDay1[] = "2024-06-27 20:00:00";
constexpr char kDay2[] = "2024-06-28 20:00:00";

// Every file under `root`, hidden ones (the run lock, the check's record) included, with its bytes.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  if (!fs::exists(root)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string rel = entry.path().lexically_relative(root).string();
    files[rel] = entry.is_regular_file() ? testing::read_file(entry.path()) : "<directory>";
  }
  return files;
}

// The data files whose content differs between two bundle digests (appeared, vanished, changed),
// by path relative to the root. Dataset lines are grouped by their file.
Paths touched(const std::string& before, const std::string& after) {
  const auto by_file = [](const std::string& digest) {
    std::map<std::string, std::string> files;
    std::istringstream lines(digest);
    for (std::string line; std::getline(lines, line);) {
      files[line.substr(0, line.find(' '))] += line + "\n";
    }
    return files;
  };
  const auto a = by_file(before), b = by_file(after);
  Paths changed;
  for (const auto& [path, text] : a) {
    if (!b.contains(path) || b.at(path) != text) changed.insert(path);
  }
  for (const auto& [path, text] : b) {
    if (!a.contains(path)) changed.insert(path);
  }
  return changed;
}

Paths words(const std::string& text) {
  Paths paths;
  std::istringstream in(text);
  for (std::string word; in >> word;) paths.insert(word);
  return paths;
}

class DryRun : public ::testing::Test {
 protected:
  std::vector<std::string> env(const char* now) const {
    return {std::string("TESSERA_NOW=") + now, "TALLOW_SIM_FAULT_RATE=0", "TALLOW_RETRY_BASE_MS=0",
            "TESSERA_LOG_FILE=" + dir / "tessera.log"};
  }
  CliResult update(const char* now, const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> args = {"update", "-d",         root(),        "-j",
                                     "2",      "--minbar",   "000001.XSHE", "000002.XSHE",
                                     "--tick", "000002.XSHE"};
    args.insert(args.end(), extra.begin(), extra.end());
    return testing::run_cli(args, "", env(now));
  }
  CliResult smart_update(const char* now, const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> args = {"smart-update", "-d", root(), "-j", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    return testing::run_cli(args, "", env(now));
  }
  std::string root() const { return dir / "root"; }
  std::string digest() const { return fs::exists(root()) ? testing::bundle_digest(root()) : ""; }

  struct Plan {
    Paths instrument_files{};  // to create, extend, repair or rebuild
    Paths base_files{};
    std::string report{};
  };

  // Runs the dry run, checks that it changed no byte under the root and that its JSON plan is
  // valid, and returns what the plan says the real run will touch.
  Plan dry_run(const std::function<CliResult(const std::vector<std::string>&)>& run) {
    const auto before = snapshot(root());
    const std::string report = dir / "plan.json";
    const CliResult result = run({"--dry-run", "--report", report});
    EXPECT_EQ(result.status, 0) << result.err << result.out;
    EXPECT_THAT(result.out, HasSubstr("nothing was written")) << result.out;
    EXPECT_EQ(snapshot(root()), before) << "the dry run changed the bundle";
    Plan plan{.report = testing::read_file(report)};
    EXPECT_EQ(testing::schema_errors(plan.report, "update-plan.schema.json"), "");
    plan.instrument_files = words(testing::json_field(
        plan.report,
        "' '.join(f['path'] for f in d['files'] if f['action'] not in ('up to date', 'fail'))"));
    plan.base_files = words(testing::json_field(plan.report, "' '.join(d['base_data']['files'])"));
    return plan;
  }

  // The files the real run changed, split as the plan is.
  void expect_real_run_touches(const Plan& plan, const std::string& before, const CliResult& run) {
    EXPECT_EQ(run.status, 0) << run.err << run.out;
    Paths instrument_files, base_files;
    for (const std::string& path : touched(before, digest())) {
      (path.starts_with("bundle/h5/") || path.starts_with("bundle/ticks/") ? instrument_files
                                                                           : base_files)
          .insert(path);
    }
    EXPECT_EQ(instrument_files, plan.instrument_files);
    // Base data is rewritten whole or extended; a part the service did not change keeps its
    // content, so the plan lists what may change, and nothing else changes.
    // The check's record forgets the files once they are back.
    const bool rebuilds_deleted = plan.report.find("deleted by a check") != std::string::npos;
    for (const std::string& path : base_files) {
      EXPECT_TRUE(plan.base_files.contains(path) ||
                  (path == "bundle/.deleted_files" && rebuilds_deleted))
          << path << " changed outside the plan";
    }
  }

  testing::TempDir dir;
};

TEST_F(DryRun, ANewBundleIsPlannedWithoutCreatingItAndTheRunCreatesWhatWasPlanned) {
  const Plan plan = dry_run([&](const auto& extra) { return update(kDay1, extra); });
  EXPECT_FALSE(fs::exists(root()));
  EXPECT_EQ(plan.instrument_files,
            (Paths{"bundle/h5/equities/000001.XSHE.h5", "bundle/h5/equities/000002.XSHE.h5",
                   "bundle/ticks/000002.XSHE.h5"}));
  EXPECT_EQ(testing::json_field(plan.report, "d['totals']['create']"), "3");
  EXPECT_EQ(testing::json_field(plan.report, "d['base_data']['created']"), "true");
  const CliResult real = update(kDay1);
  expect_real_run_touches(plan, "", real);
  // A new bundle gets every base file the plan names.
  for (const std::string& file : plan.base_files) {
    EXPECT_TRUE(fs::exists(fs::path(root()) / file)) << file;
  }
}

// A contract listed long after the earliest date is planned from its listing, as the service
// answers it, not from the earliest date the writer asks for.
TEST_F(DryRun, ANewContractIsPlannedFromItsListing) {
  const std::string report = dir / "contract.json";
  const CliResult plan = testing::run_cli(
      {"update", "-d", root(), "--no-base", "--minbar", "RB2501", "--dry-run", "--report", report},
      "", env(kDay1));
  ASSERT_EQ(plan.status, 0) << plan.err;
  const std::string first =
      testing::json_field(testing::read_file(report), "d['files'][0]['first_date']");
  EXPECT_GT(std::stoi(first), 20230101) << plan.out;
  EXPECT_THAT(plan.out, HasSubstr("  " + first + "..20240627")) << plan.out;
}

TEST_F(DryRun, AOneDayExtensionListsTheFilesTheNextRunExtends) {
  ASSERT_EQ(update(kDay1).status, 0);
  const std::string day1 = digest();
  const Plan smart = dry_run([&](const auto& extra) { return smart_update(kDay2, extra); });
  const Plan plan = dry_run([&](const auto& extra) { return update(kDay2, extra); });
  EXPECT_EQ(smart.instrument_files, plan.instrument_files);
  EXPECT_EQ(testing::json_field(plan.report, "d['totals']['extend']"), "3");
  // The tick file from its newest stored day, which its writer fetches and writes again.
  EXPECT_EQ(testing::json_field(plan.report,
                                "sorted({(f['path'].split('/')[1], f['first_date']) for f in "
                                "d['files']})"),
            "[[\"h5\", 20240628], [\"ticks\", 20240627]]");
  expect_real_run_touches(plan, day1, update(kDay2));
  // Once run, the same day has nothing left to do.
  const Plan again = dry_run([&](const auto& extra) { return smart_update(kDay2, extra); });
  EXPECT_EQ(again.instrument_files, Paths{});
  EXPECT_EQ(testing::json_field(again.report, "d['totals']['up_to_date']"), "3");
}

// One file lost its index (built anew in place), another's last bars were zeroed (cut back to its
// last sound day, then extended).
TEST_F(DryRun, DamagedFilesArePlannedAsTheRebuildAndTheRepairTheRunMakes) {
  ASSERT_EQ(update(kDay1).status, 0);
  const std::string no_index = root() + "/bundle/h5/equities/000001.XSHE.h5";
  const std::vector<std::int64_t> bars = {20240627093100};
  fs::remove(no_index);
  testing::write_raw_minbar_file(no_index, &bars, nullptr);
  ASSERT_EQ(testing::run_python("import sys, h5py, numpy as np\n"
                                "with h5py.File(sys.argv[1], 'r+') as f:\n"
                                "    d = f['data']; d[len(d)-3:] = np.zeros(3, d.dtype)\n",
                                root() + "/bundle/h5/equities/000002.XSHE.h5"),
            0);
  const std::string before = digest();
  const Plan plan = dry_run([&](const auto& extra) { return update(kDay1, extra); });
  EXPECT_EQ(plan.instrument_files,
            (Paths{"bundle/h5/equities/000001.XSHE.h5", "bundle/h5/equities/000002.XSHE.h5"}));
  EXPECT_EQ(testing::json_field(plan.report,
                                "' '.join(f['action'] for f in d['files'] if "
                                "f['kind'] == 'minbar')"),
            "rebuild repair");
  expect_real_run_touches(plan, before, update(kDay1));
}

TEST_F(DryRun, AFileACheckDeletedIsPlannedAsTheRebuildTheSmartUpdateMakes) {
  ASSERT_EQ(update(kDay1).status, 0);
  const std::vector<std::int64_t> bars = {20240627093100};
  const std::string broken = root() + "/bundle/h5/equities/000002.XSHE.h5";
  fs::remove(broken);
  testing::write_raw_minbar_file(broken, &bars, nullptr);
  ASSERT_EQ(testing::run_cli({"check", "minbar", "-d", root(), "--yes"}, "", env(kDay1)).status, 1);
  const std::string before = digest();
  const Plan plan = dry_run([&](const auto& extra) { return smart_update(kDay1, extra); });
  EXPECT_EQ(plan.instrument_files, Paths{"bundle/h5/equities/000002.XSHE.h5"});
  EXPECT_EQ(testing::json_field(plan.report,
                                "'|'.join(f['note'] for f in d['files'] if "
                                "f['action'] == 'rebuild')"),
            "deleted by a check");
  expect_real_run_touches(plan, before, smart_update(kDay1));
}

// The real clock, faked, with TESSERA_NOW unset: at 07:45 UTC it is 15:45 in Beijing, the market
// still trading, and 17:45 in Sydney; at 09:45 UTC, 17:45 in Beijing and 05:45 in New York. Every
// host plans what Beijing plans: the day before, then that day.
TEST(DryRunClock, EveryTimeZonePlansTheExchangesLastDay) {
  testing::TempDir dir;
  const std::string report = dir / "plan.json", err = dir / "err";
  for (const auto& [instant, end_date] :
       {std::pair{"2024-06-28 07:45:00", "20240627"}, {"2024-06-28 09:45:00", "20240628"}}) {
    for (const char* zone : {"Asia/Shanghai", "UTC", "America/New_York", "Australia/Sydney"}) {
      const std::string command =
          // faketime's preload comes before the sanitizer build's runtime, which ASan allows only
          // when told.
          std::string("ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 ") +
          "env -u TESSERA_NOW TZ=" + zone +
          " TALLOW_SIM_FAULT_RATE=0 TESSERA_PROGRESS=0 TESSERA_LOG_FILE=" + (dir / "log") +
          " faketime '" + instant + " UTC' " TESSERA_PLUS_CLI " update -d " + (dir / "root") +
          " --minbar 000001.XSHE --dry-run --report " + report + " >/dev/null 2>" + err;
      ASSERT_EQ(std::system(command.c_str()), 0) << zone << ": " << testing::read_file(err);
      EXPECT_EQ(testing::json_field(testing::read_file(report), "d['end_date']"), end_date)
          << zone << " at " << instant << " UTC";
    }
  }
}

}  // namespace
}  // namespace tessera_plus
