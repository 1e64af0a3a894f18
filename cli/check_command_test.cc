// The `check` subcommands of the real program, answered through its standard input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "tests/support/check_fixtures.h"

namespace tessera_plus {
namespace {

using testing::CliResult;
using testing::run_cli;
using testing::TestBundle;

constexpr char kPrompt[] = "是否删除异常数据(yes/no):";

// A bundle holding one broken minute-bar file (bars without an index): no service question is
// needed to find it.
struct BrokenBundle {
  TestBundle bundle;
  std::string broken;
  BrokenBundle() {
    bundle.write_calendar({20200102, 20200103});
    broken = bundle.minbar_dir("equities") + "/000001.XSHE.h5";
    const std::vector<std::int64_t> bars = {20200102093100};
    testing::write_raw_minbar_file(broken, &bars, nullptr);
  }
  CliResult check(const std::string& answer) const {
    return run_cli({"check", "minbar", "-d", bundle.root()}, answer);
  }
};

std::string after_prompt(const CliResult& run) {
  std::size_t at = run.out.find(kPrompt);
  return at == std::string::npos ? "<no prompt>" : run.out.substr(at + strlen(kPrompt));
}

TEST(CheckCommand, YesAndYDeleteTheBrokenFile) {
  for (const char* answer : {"yes\n", "Y\n"}) {
    BrokenBundle b;
    CliResult run = b.check(answer);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with("共有1个分钟数据文件!\n")) << run.out;
    EXPECT_EQ(after_prompt(run), "\n准备删除异常数据！\n\n删除完成！共删除1个标的。\n") << answer;
    EXPECT_FALSE(std::filesystem::exists(b.broken)) << answer;
  }
}

TEST(CheckCommand, NoAndBlankPrefixedYesKeepTheFile) {
  const std::pair<const char*, const char*> cases[] = {{"N\n", "\n异常数据未删除！\n"},
                                                       {" yes\n", "\n输入异常！异常数据未删除!\n"}};
  for (const auto& [answer, reply] : cases) {
    BrokenBundle b;
    CliResult run = b.check(answer);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(after_prompt(run), reply) << answer;
    EXPECT_TRUE(std::filesystem::exists(b.broken)) << answer;
  }
}

TEST(CheckCommand, EndOfInputAtThePromptFailsWithOneLine) {
  BrokenBundle b;
  CliResult run = b.check("");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(after_prompt(run), "");
  // The progress bar shares standard error; the failure is its one last line.
  std::string last_line = run.err.substr(run.err.rfind('\n', run.err.size() - 2) + 1);
  // Cron's empty input: the line says how such a run should have been started.
  EXPECT_EQ(last_line,
            "tessera-plus: error: no answer on standard input: use --yes to delete or --json to "
            "only report\n")
      << run.err;
  EXPECT_TRUE(std::filesystem::exists(b.broken));
}

TEST(CheckCommand, TickUsesTheDefaultBundleRootAndTheOptionAfterCheck) {
  TestBundle bundle;
  bundle.write_calendar({20200102});
  CliResult by_default = run_cli({"check", "tick"}, "", {"TESSERA_BUNDLE_ROOT=" + bundle.root()});
  EXPECT_EQ(by_default.status, 0) << by_default.err;
  EXPECT_EQ(by_default.out, "当前目录下不存在 suspended_days.h5 文件，请先下载 base 数据!\n");
  CliResult before = run_cli({"check", "-d", bundle.root(), "minbar"}, "");
  EXPECT_EQ(before.status, 0) << before.err;
  EXPECT_EQ(before.out, "当前目录下不存在分钟数据!\n");
}

TEST(CheckCommand, BarsLogOneFinalLineOffATerminalAndQuietSilencesThem) {
  BrokenBundle b;
  CliResult loud = b.check("no\n");
  EXPECT_EQ(loud.status, 0) << loud.err;
  // A short check logs its bar once, at the end, not once per tenth of the way, saying what it
  // counts.
  EXPECT_TRUE(loud.err.starts_with("检查的文件: 100%|##############################| 1/1 ["))
      << loud.err;
  EXPECT_EQ(std::count(loud.err.begin(), loud.err.end(), '\n'), 1) << loud.err;
  for (const auto& args :
       {std::vector<std::string>{"check", "minbar", "-d", b.bundle.root(), "--quiet"},
        std::vector<std::string>{"check", "--quiet", "-d", b.bundle.root(), "minbar"}}) {
    CliResult quiet = run_cli(args, "no\n");
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(after_prompt(quiet), "\n异常数据未删除！\n");
  }
  CliResult by_env =
      run_cli({"check", "minbar", "-d", b.bundle.root()}, "no\n", {"TESSERA_PROGRESS=0"});
  EXPECT_EQ(by_env.err, "");
}

TEST(CheckCommand, CheckWithoutKindIsAUsageError) {
  CliResult run = run_cli({"check"}, "");
  EXPECT_EQ(run.status, 2);
}

}  // namespace
}  // namespace tessera_plus
