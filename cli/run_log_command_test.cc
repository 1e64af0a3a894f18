// What the morning-after operator finds: the exit status and the system log of the real program.
// Every mistake ends with its documented status, one line on standard error and the same line in
// the log; a successful run leaves its start and its summary there; workers' lines stay whole;
// rotation keeps the file bounded without splitting a run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

namespace fs = std::filesystem;
using testing::CliResult;
using ::testing::HasSubstr;
using testing::lines_of;
using ::testing::Not;
using testing::run_cli;
using testing::TempDir;
using testing::TestBundle;

const std::string kNow = "TESSERA_NOW=2024-06-28 20:00:00";

// A mistake: what is run, and what the operator must learn from it.
struct Mistake {
  std::string name;
  std::vector<std::string> args;
  int status;
  std::string says;  // on the one line of standard error
};

TEST(Mistakes, EachEndsWithItsStatusOneLineOnStandardErrorAndTheSameLineInTheLog) {
  TempDir dir;
  TestBundle b;
  b.write_calendar({20240627, 20240628});
  const std::string log = dir / "tessera.log";
  const std::vector<Mistake> mistakes = {
      {"the bundle itself given as the root", {"status", "-d", b.base()}, 1, "try -d " + b.root()},
      {"status of no bundle", {"status", "-d", dir / "none"}, 1, "does not exist"},
      {"check of no bundle",
       {"check", "minbar", "-d", dir / "none", "--json"},
       1,
       "does not exist"},
      {"check --yes of no bundle",
       {"check", "tick", "-d", dir / "none", "--yes"},
       1,
       "none/bundle does not exist"},
      {"a tag that selects nothing",
       {"update", "-d", b.root(), "--no-base", "--minbar", "NOPE.XSHE"},
       1,
       "NOPE.XSHE"},
      {"a report into a missing directory",
       {"update", "-d", dir / "new", "--report", dir / "no/such/report.json"},
       2,
       dir / "no/such"},
      {"no bundle root at all", {"status"}, 2, "HOME is not set"},
      {"an unknown option", {"status", "--frobnicate"}, 2, "--frobnicate"},
  };
  for (const Mistake& m : mistakes) {
    SCOPED_TRACE(m.name);
    CliResult run =
        run_cli(m.args, "",
                {kNow, "TESSERA_LOG_FILE=" + log,
                 "HOME=", "TESSERA_BUNDLE_ROOT=", "TESSERA_PROGRESS=0", "TALLOW_SIM_FAULT_RATE=0"});
    EXPECT_EQ(run.status, m.status) << run.err;
    const std::vector<std::string> err = lines_of(run.err);
    ASSERT_EQ(err.size(), 1u) << run.err;
    EXPECT_THAT(err[0], HasSubstr(m.says));
    EXPECT_THAT(testing::read_file(log), HasSubstr(err[0] + "\n"));
  }
  // Nothing was made where no bundle was asked for or before a mistake was found.
  EXPECT_FALSE(fs::exists(dir / "none"));
  EXPECT_FALSE(fs::exists(dir / "new"));
  EXPECT_FALSE(fs::exists(".tessera"));
}

TEST(Mistakes, JsonOfACheckOfNoBundleSaysWhyAndCarriesTheStatus) {
  TempDir dir;
  CliResult run = run_cli({"check", "minbar", "-d", dir / "none", "--json"}, "",
                          {"TESSERA_LOG_FILE=" + (dir / "log")});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, HasSubstr(R"("checked":false)"));
  EXPECT_THAT(run.out, HasSubstr(R"("exit_status":1)"));
  EXPECT_THAT(run.out, HasSubstr("does not exist"));
}

// A bundle written by another user, as an unprivileged run finds it. Not bad usage: the same
// command works once the permissions are right, so the status is 1.
class Permissions : public ::testing::Test {
 protected:
  void SetUp() override {
    CliResult made = run_cli({"update", "-d", root(), "--minbar", "000001.XSHE"}, "",
                             {kNow, "TESSERA_LOG_FILE=" + (dir / "setup.log"),
                              "TALLOW_SIM_FAULT_RATE=0", "TESSERA_PROGRESS=0"});
    ASSERT_EQ(made.status, 0) << made.err;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
      ::chmod(entry.path().c_str(), entry.is_directory() ? 0777 : 0444);
    }
    ::chmod(dir.path().c_str(), 0777);
  }
  // A smart update a few days later as user 65534; its standard error and log are kept.
  int smart_update(const std::vector<std::string>& more_args = {}) {
    const std::string err = dir / "err";
    std::vector<std::string> args = {"smart-update", "-d", root()};
    args.insert(args.end(), more_args.begin(), more_args.end());
    return testing::run_unprivileged([&] {
      CliResult run = run_cli(args, "",
                              {"TESSERA_NOW=2024-07-03 20:00:00", "TESSERA_LOG_FILE=" + log(),
                               "TALLOW_SIM_FAULT_RATE=0", "TESSERA_PROGRESS=0"});
      testing::write_file(err, run.err);
      testing::write_file(dir / "out", run.out);
      return run.status;
    });
  }
  std::string root() const { return dir / "root"; }
  std::string log() const { return dir / "tessera.log"; }
  std::vector<std::string> err_lines() const { return lines_of(testing::read_file(dir / "err")); }

  TempDir dir;
};

TEST_F(Permissions, UnwritableFilesAreOneLineFirstAndTheirFailuresGoToTheLog) {
  EXPECT_EQ(smart_update(), 1);
  const std::vector<std::string> err = err_lines();
  ASSERT_EQ(err.size(), 1u) << testing::read_file(dir / "err");
  EXPECT_THAT(err[0], ::testing::StartsWith("tessera-plus: warning: "));
  EXPECT_THAT(err[0], HasSubstr("are not writable by this user"));
  const std::string log_text = testing::read_file(log());
  EXPECT_THAT(log_text, HasSubstr(err[0] + "\n"));
  EXPECT_THAT(log_text, HasSubstr(" ERROR 更新 " + root() + "/bundle/h5/equities/000001.XSHE.h5"));
  EXPECT_THAT(testing::read_file(dir / "out"), HasSubstr("项失败"));
}

TEST_F(Permissions, AReadOnlyBundleFailsWithOneLineBeforeAnyWork) {
  ::chmod((root() + "/bundle").c_str(), 0555);
  EXPECT_EQ(smart_update(), 1);
  ::chmod((root() + "/bundle").c_str(), 0777);
  const std::vector<std::string> err = err_lines();
  ASSERT_EQ(err.size(), 1u) << testing::read_file(dir / "err");
  EXPECT_THAT(err[0], HasSubstr("is not writable"));
  EXPECT_THAT(testing::read_file(log()), HasSubstr(err[0] + "\n"));
  EXPECT_EQ(testing::read_file(dir / "out"), "");
}

TEST_F(Permissions, AReportDirectoryThisUserCannotWriteIsRefusedBeforeAnyWork) {
  TempDir closed;  // the owner's alone
  ::chmod(closed.path().c_str(), 0755);
  EXPECT_EQ(smart_update({"--report", closed / "report.json"}), 1);
  const std::vector<std::string> err = err_lines();
  ASSERT_EQ(err.size(), 1u) << testing::read_file(dir / "err");
  EXPECT_THAT(err[0], HasSubstr("is not writable"));
  EXPECT_THAT(testing::read_file(log()), HasSubstr(err[0] + "\n"));
  EXPECT_EQ(testing::read_file(dir / "out"), "");
}

class RunLog : public ::testing::Test {
 protected:
  CliResult update(const std::vector<std::string>& more_env) {
    std::vector<std::string> env = {kNow, "TALLOW_RETRY_BASE_MS=0", "TALLOW_SIM_FAULT_RATE=0",
                                    "TESSERA_PROGRESS=0"};
    env.insert(env.end(), more_env.begin(), more_env.end());
    return run_cli({"update", "-d", dir / "b", "-j", "2", "--minbar", "000001.XSHE", "000002.XSHE",
                    "--tick", "000002.XSHE"},
                   "", env);
  }

  TempDir dir;
};

TEST_F(RunLog, ASuccessfulRunLeavesItsStartItsSummaryAndItsEnd) {
  // No log file named: the user's state directory holds it.
  // The host in UTC: the lines carry its time, the run's "now" stays the exchanges' 20:00.
  CliResult run =
      update({"TESSERA_LOG_FILE=", "XDG_STATE_HOME=", "HOME=" + (dir / "home"), "TZ=UTC"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string log =
      testing::read_file(dir / "home/.local/state/tessera_plus/tessera_plus.log");
  const std::vector<std::string> lines = lines_of(log);
  ASSERT_GE(lines.size(), 3u) << log;

  CliResult version = run_cli({"--version"}, "");
  EXPECT_EQ(version.status, 0);
  EXPECT_THAT(version.out, ::testing::MatchesRegex("tessera-plus [0-9]+\\.[0-9]+\\.[0-9]+ "
                                                   "\\(commit ([0-9a-f]+|unknown)\\)\n"));
  const std::string bundle = (dir.path() / "b/bundle").lexically_normal().string();
  EXPECT_EQ(lines.front(), "2024-06-28 12:00:00.000 INFO start: " + lines_of(version.out)[0] +
                               "; command: tessera-plus update -d " + (dir / "b") +
                               " -j 2 --minbar 000001.XSHE 000002.XSHE --tick 000002.XSHE; "
                               "bundle: " +
                               bundle + "; now: 2024-06-28 20:00:00");
  // The console's summary, line for line, then the status.
  const std::string summary = lines_of(run.out).back();
  EXPECT_EQ(lines[lines.size() - 2], "2024-06-28 12:00:00.000 INFO " + summary);
  EXPECT_EQ(lines.back(), "2024-06-28 12:00:00.000 INFO end: exit status 0");

  // At the error level the run's own lines are left out.
  const std::string quiet = dir / "quiet.log";
  ASSERT_EQ(update({"TESSERA_LOG_FILE=" + quiet, "TESSERA_LOG_LEVEL=error"}).status, 0);
  EXPECT_FALSE(fs::exists(quiet)) << testing::read_file(quiet);
}

TEST_F(RunLog, LinesOfParallelWorkersAreWholeAndEveryFailureIsThere) {
  const std::string log = dir / "tessera.log";
  CliResult run = update({"TESSERA_LOG_FILE=" + log, "TESSERA_LOG_LEVEL=debug",
                          "TALLOW_SIM_FAULT_RATE=0.5", "TALLOW_RETRY_ATTEMPTS=3"});
  EXPECT_EQ(run.status, 1) << run.out;
  // A message may go on over lines of its own (an error's text after its reason), but every
  // line that begins a record begins with the time and a level, and no record runs into another.
  const std::regex start(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (ERROR|WARN|INFO|DEBUG) .*)");
  const std::regex inner(R"(.*\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (ERROR|WARN|INFO|DEBUG) .*)");
  int retries = 0, errors = 0;
  for (const std::string& line : lines_of(testing::read_file(log))) {
    if (!std::regex_match(line, start)) {
      EXPECT_FALSE(std::regex_match(line, inner)) << line;
      continue;
    }
    EXPECT_FALSE(std::regex_match(line.substr(1), inner)) << line;
    retries += line.find(" DEBUG 重试 ") != std::string::npos;
    errors += line.find(" ERROR ") != std::string::npos;
  }
  EXPECT_GT(retries, 0);
  EXPECT_GT(errors, 0);
  for (const std::string& line : lines_of(run.out)) {
    if (line.starts_with("更新结束：")) {
      EXPECT_THAT(testing::read_file(log), HasSubstr(" INFO " + line + "\n"));
    }
  }
}

TEST(LogRotation, KeepsTheFileBoundedAndFiveOldOnesEachHoldingWholeRuns) {
  TempDir dir;
  TestBundle b;
  const std::string log = dir / "tessera.log";
  constexpr std::uintmax_t kBound = 1500;
  std::uintmax_t largest_run = 0;
  for (int i = 0; i < 40; ++i) {
    const std::uintmax_t before = fs::exists(log) ? fs::file_size(log) : 0;
    CliResult run =
        run_cli({"status", "-d", b.root()}, "",
                {"TESSERA_LOG_FILE=" + log, "TESSERA_LOG_MAX_BYTES=" + std::to_string(kBound)});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::uintmax_t after = fs::file_size(log);
    largest_run = std::max(largest_run, after > before ? after - before : after);
    EXPECT_LE(after, kBound + largest_run);
  }
  EXPECT_FALSE(fs::exists(log + ".6"));
  for (const std::string& name : {log, log + ".1", log + ".5"}) {
    SCOPED_TRACE(name);
    const std::vector<std::string> lines = lines_of(testing::read_file(name));
    ASSERT_FALSE(lines.empty());
    EXPECT_THAT(lines.front(), HasSubstr(" INFO start: "));
    EXPECT_THAT(lines.back(), HasSubstr(" INFO end: exit status 0"));
  }
}

}  // namespace
}  // namespace tessera_plus
