// Settings refused before any work, through the real program: every bad option value and
// environment value ends the run with one line naming it and status 2, with nothing created and
// the line in the log; and bundle roots that cannot be meant (a file, a path whose parent is
// missing) get the same status from every command.
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
using ::testing::StartsWith;

class Settings : public ::testing::Test {
 protected:
  std::vector<std::string> env(const std::string& extra = "") const {
    std::vector<std::string> e = {"TESSERA_NOW=2024-06-28 20:00:00", "TESSERA_LOG_FILE=" + log(),
                                  "TESSERA_PROGRESS=0"};
    if (!extra.empty()) e.push_back(extra);
    return e;
  }
  std::string log() const { return dir / "tessera.log"; }

  testing::TempDir dir;
};

TEST_F(Settings, EachBadValueIsOneLineNamingItWithStatusTwoBeforeAnyWork) {
  struct Case {
    std::vector<std::string> args;  // after `update -d ROOT --no-base --minbar 000001.XSHE`
    std::string env;
    std::string named;  // what the line must name
  };
  const std::string file = dir / "a-file";
  testing::write_file(file, "");
  const std::vector<Case> cases = {
      {{"-j", "0"}, "", "a whole number from 1 to 1024"},
      {{"-j", "2.5"}, "", "--jobs"},
      {{"-j", "many"}, "", "--jobs"},
      {{"--lock-wait", "nan"}, "", "--lock-wait"},
      {{"--lock-wait", "-1"}, "", "a number from 0 to 86400"},
      {{"--rate-limit", "nan"}, "", "--rate-limit"},
      {{"--rate-limit", "inf"}, "", "a number from 0 to 1000000"},
      {{"--retry-max-wait", "nan"}, "", "--retry-max-wait"},
      {{"--retry-max-wait", "1e999"}, "", "--retry-max-wait"},
      {{"--retry-attempts", "0"}, "", "--retry-attempts"},
      {{"--requests", "257"}, "", "a whole number from 1 to 256"},
      {{"--wait", "nan"}, "", "--wait"},
      {{"--wait", "-3"}, "", "--wait"},
      {{}, "TESSERA_NOW=2024-13-45", "TESSERA_NOW='2024-13-45'"},
      {{}, "TESSERA_NOW=yesterday", "TESSERA_NOW"},
      {{}, "TESSERA_LOG_LEVEL=loud", "TESSERA_LOG_LEVEL='loud' is not one of debug, info"},
      {{}, "TESSERA_LOG_MAX_BYTES=-5", "TESSERA_LOG_MAX_BYTES='-5'"},
      {{}, "TESSERA_LOG_MAX_BYTES=0", "TESSERA_LOG_MAX_BYTES"},
      {{}, "TESSERA_PROGRESS=maybe", "TESSERA_PROGRESS"},
      {{}, "TALLOW_SOURCE=bloomberg", "TALLOW_SOURCE"},
      {{}, "TALLOW_RATE_LIMIT=nan", "TALLOW_RATE_LIMIT"},
      {{}, "TALLOW_REQUESTS=0", "TALLOW_REQUESTS"},
  };
  const std::string root = dir / "root";
  for (const Case& c : cases) {
    std::vector<std::string> args = {"update", "-d", root, "--no-base", "--minbar", "000001.XSHE"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.named + " " + c.env);
    fs::remove(log());
    const CliResult run = testing::run_cli(args, "", env(c.env));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, StartsWith("tessera-plus: "));
    EXPECT_THAT(run.err, HasSubstr(c.named));
    EXPECT_EQ(testing::lines_of(run.err).size(), 1u) << run.err;
    EXPECT_FALSE(fs::exists(root));
    EXPECT_THAT(testing::read_file(log()), HasSubstr(c.named));
  }
  // A log that cannot be written is said once; the run goes on without it.
  const CliResult unlogged =
      testing::run_cli({"update", "-d", root, "--no-base", "--minbar", "000001.XSHE"}, "",
                       {"TESSERA_NOW=2024-06-28 20:00:00", "TESSERA_PROGRESS=0",
                        "TESSERA_LOG_FILE=" + file + "/tessera.log"});
  EXPECT_EQ(unlogged.status, 0) << unlogged.err;
  EXPECT_EQ(unlogged.err, "tessera-plus: warning: the log " + file +
                              "/tessera.log cannot be written (Not a directory); this run is not "
                              "logged (set TESSERA_LOG_FILE to a file this user may write)\n");
  // The other commands check theirs the same way.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"check", "minbar", "-d", root, "-j", "0"},
           {"smart-update", "-d", root, "--retry-max-wait", "nan"},
           {"download-sample", "-d", root, "--max-members", "-1"}}) {
    const CliResult run = testing::run_cli(args, "", env());
    EXPECT_EQ(run.status, 2) << args[0];
    EXPECT_EQ(testing::lines_of(run.err).size(), 1u) << run.err;
    EXPECT_THAT(run.err, Not(HasSubstr("e+"))) << "a range as a person writes it: " << run.err;
  }
}

TEST_F(Settings, AMistypedRootIsNotCreatedAndAFileRootIsBadUsageEverywhere) {
  const std::string typo = dir / "bundel/x";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"update", "-d", typo, "--no-base", "--minbar", "000001.XSHE"},
           {"download-sample", "-d", typo, "--file", dir / "twbundle_sample.tar.bz2"}}) {
    const CliResult run = testing::run_cli(args, "", env());
    EXPECT_EQ(run.status, 2) << args[0] << run.out;
    EXPECT_THAT(run.err, HasSubstr("nor does its parent " + dir / "bundel")) << args[0];
    EXPECT_FALSE(fs::exists(dir / "bundel")) << args[0];
  }
  const std::string file = dir / "root-file";
  testing::write_file(file, "not a directory");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"update", "-d", file, "--no-base", "--minbar", "000001.XSHE"},
           {"smart-update", "-d", file},
           {"check", "minbar", "-d", file},
           {"check", "tick", "-d", file, "--json"},
           {"status", "-d", file},
           {"download-sample", "-d", file}}) {
    const CliResult run = testing::run_cli(args, "", env());
    EXPECT_EQ(run.status, 2) << args[0] << " " << args[1];
    EXPECT_THAT(run.err, HasSubstr("is not a directory")) << args[0];
  }
  // One missing level is what mkdir would make: the root is created and the run goes on.
  const CliResult fresh = testing::run_cli(
      {"update", "-d", dir / "new", "--no-base", "--minbar", "000001.XSHE"}, "", env());
  EXPECT_EQ(fresh.status, 0) << fresh.err;
}

}  // namespace
}  // namespace tessera_plus
