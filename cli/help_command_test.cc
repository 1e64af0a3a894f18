// What the program tells about itself: every subcommand's --help lists the options that
// subcommand takes, and the job count has one name everywhere with the old one still accepted.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
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
    for (const std::string& option : c.options) {
      EXPECT_THAT(run.out, HasSubstr(option)) << name << " lacks " << option;
    }
  }
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
