// What the program tells about itself: every subcommand's --help lists the options that
// subcommand takes, and the job count has one name everywhere with the old one still accepted.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using testing::CliResult;
using ::testing::HasSubstr;
using testing::run_cli;

struct HelpCase {
  std::vector<std::string> command;
  std::vector<std::string> options;
};

TEST(Help, EverySubcommandListsItsOwnOptions) {
  const std::vector<std::string> run_options = {
      "--data-bundle-path", "--jobs",     "--concurrency", "--retry-attempts",
      "--rate-limit",       "--requests", "--report",      "--wait",
      "--lock-wait",        "--dry-run",  "--quiet"};
  const std::vector<std::string> check_options = {
      "--data-bundle-path", "--jobs", "--concurrency", "--json", "--yes", "--wait", "--quiet"};
  std::vector<std::string> update_options = run_options;
  update_options.insert(update_options.end(), {"--minbar", "--tick", "--no-base", "--rebuild",
                                               "--with-derivatives", "--enable-bjse"});
  const HelpCase cases[] = {
      {{"update"}, update_options},
      {{"smart-update"}, run_options},
      {{"check"}, check_options},
      {{"check", "minbar"}, check_options},
      {{"check", "tick"}, check_options},
      {{"status"}, {"--data-bundle-path", "--json"}},
      {{"download-sample"}, {"--data-bundle-path", "--file", "--max-members"}},
  };
  for (const HelpCase& c : cases) {
    std::vector<std::string> args = c.command;
    args.push_back("--help");
    const CliResult run = run_cli(args, "");
    const std::string name = ::testing::PrintToString(c.command);
    EXPECT_EQ(run.status, 0) << name << run.err;
    EXPECT_THAT(run.out, HasSubstr("Exit status:")) << name;
    // Ends with how it is used and what it reads from the environment.
    EXPECT_THAT(run.out, HasSubstr("Examples:\n  tessera-plus " + c.command[0])) << name;
    EXPECT_THAT(run.out, HasSubstr("Environment:\n  TESSERA_BUNDLE_ROOT: ")) << name;
    EXPECT_THAT(run.out, HasSubstr("TESSERA_LOG_FILE: ")) << name;
    for (const std::string& option : c.options) {
      EXPECT_THAT(run.out, HasSubstr(option)) << name << " lacks " << option;
    }
  }
}

// The top-level help names the program (not the path it was started by), the log and the exit
// statuses.
TEST(Help, TheProgramsHelpNamesItselfItsLogAndItsStatuses) {
  const CliResult run = run_cli({"--help"}, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.out, ::testing::StartsWith("tessera-plus: keeps"));
  EXPECT_THAT(run.out, HasSubstr("Usage: tessera-plus "));
  EXPECT_THAT(run.out, ::testing::Not(HasSubstr(TESSERA_PLUS_CLI)));
  EXPECT_THAT(run.out, HasSubstr("Log: every run appends to $TESSERA_LOG_FILE"));
  EXPECT_THAT(run.out, HasSubstr("129, 130 or 143"));
  EXPECT_THAT(run.out, HasSubstr("TALLOW_SOURCE: "));
}

TEST(Help, AMistypedNameGetsTheNearestOne) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"updat", "-d", "/nonexistent"}, "did you mean 'update'?"},
      {{"check", "minbars"}, "did you mean 'minbar'?"},
      {{"smart-update", "--dry-rn"}, "did you mean '--dry-run'?"},
      {{"status", "--jsno"}, "did you mean '--json'?"},
  };
  for (const auto& [args, hint] : cases) {
    const CliResult run = run_cli(args, "");
    EXPECT_EQ(run.status, 2) << args[0];
    EXPECT_THAT(run.err, HasSubstr(hint)) << run.err;
    EXPECT_EQ(testing::lines_of(run.err).size(), 1u) << run.err;
  }
  // Nothing near: no guess.
  const CliResult far = run_cli({"frobnicate"}, "");
  EXPECT_THAT(far.err, ::testing::Not(HasSubstr("did you mean"))) << far.err;
}

TEST(Help, TheJobCountTakesEachOfItsSpellings) {
  testing::TempDir dir;
  for (const char* spelling : {"-j", "--jobs", "--concurrency"}) {
    // A run asked to do nothing: the only way to fail is to refuse the spelling (status 2).
    const CliResult update =
        run_cli({"update", "--no-base", spelling, "2", "-d", dir / "root"}, "");
    EXPECT_EQ(update.status, 0) << spelling << update.err;
    // A check of a bundle without minute bars, the spelling after the kind of data.
    const CliResult check = run_cli({"check", "minbar", spelling, "2", "-d", dir / "root"}, "");
    EXPECT_NE(check.status, 2) << spelling << check.err;
    EXPECT_THAT(check.err, ::testing::Not(HasSubstr("usage error"))) << spelling;
  }
}

}  // namespace
}  // namespace tessera_plus
