#include "tessera_plus/bundle/check/check_result.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using bundle::deal_with_check_result;
using testing::TempDir;
using testing::write_file;

constexpr char kPrompt[] = "是否删除异常数据(yes/no):";

bool exists(const std::string& path) { return std::filesystem::exists(path); }

struct Dealt {
  std::string out;
  std::string unread;  // what the answer stream still held afterwards
};

Dealt deal(const std::vector<std::string>& broken, const std::vector<std::string>& locked,
           const std::string& frequency, const std::string& input) {
  std::istringstream in(input);
  std::ostringstream out;
  deal_with_check_result(broken, locked, frequency, in, out);
  std::string rest;
  std::getline(in, rest, '\0');
  return {out.str(), rest};
}

TEST(CheckResult, NothingFoundReportsQualityAndAsksNothing) {
  Dealt run = deal({}, {}, "tick", "yes\n");
  EXPECT_EQ(run.out, "\n检测完成：tick数据质量良好！\n");
  EXPECT_EQ(run.unread, "yes\n");  // no question, so no answer consumed
}

TEST(CheckResult, YesInCapitalsDeletesTheBrokenFile) {
  TempDir dir;
  const std::string path = dir / "000001.XSHE.h5";
  write_file(path, "x");
  Dealt run = deal({path}, {}, "分钟", "Y\n");
  EXPECT_EQ(
      run.out,
      std::string("\n检测完成：共有1个标的分钟数据存在异常，0个文件被其他进程占用或没有权限。\n") +
          "数据异常标的如下:\n['000001.XSHE']\n\n" + kPrompt + "\n准备删除异常数据！\n" +
          "\n删除完成！共删除1个标的。\n");
  EXPECT_FALSE(exists(path));
}

TEST(CheckResult, LockedFilesAreListedAskedAboutAndNeverDeleted) {
  TempDir dir;
  const std::string locked = dir / "600000.XSHG.h5";
  write_file(locked, "x");
  Dealt run = deal({}, {locked}, "分钟", "yes\n");
  EXPECT_EQ(
      run.out,
      std::string("\n检测完成：共有0个标的分钟数据存在异常，1个文件被其他进程占用或没有权限。\n") +
          "被其他进程占用或没有权限的文件如下:\n['600000.XSHG']\n\n" + kPrompt +
          "\n准备删除异常数据！\n" + "\n删除完成！共删除0个标的。\n");
  EXPECT_TRUE(exists(locked));
}

TEST(CheckResult, BothListsInOrderWithTheirNames) {
  TempDir dir;
  const std::vector<std::string> broken = {dir / "000001.XSHE.h5", dir / "600000.XSHG.h5"};
  Dealt run = deal(broken, {dir / "IF2001.h5"}, "tick", "n\n");
  EXPECT_EQ(
      run.out,
      std::string("\n检测完成：共有2个标的tick数据存在异常，1个文件被其他进程占用或没有权限。\n") +
          "数据异常标的如下:\n['000001.XSHE', '600000.XSHG']\n\n" +
          "被其他进程占用或没有权限的文件如下:\n['IF2001']\n\n" + kPrompt + "\n异常数据未删除！\n");
}

TEST(CheckResult, OnlyTheFourAnswersCountAndNothingElseIsTrimmed) {
  struct Case {
    const char* input;
    const char* reply;
    bool deleted;
  };
  const Case cases[] = {
      {"yes\n", "\n准备删除异常数据！", true},
      {"YeS\n", "\n准备删除异常数据！", true},
      {"y", "\n准备删除异常数据！", true},
      {"N\n", "\n异常数据未删除！", false},
      {"no\n", "\n异常数据未删除！", false},
      {" yes\n", "\n输入异常！异常数据未删除!", false},
      {"yes \n", "\n输入异常！异常数据未删除!", false},
      {"\n", "\n输入异常！异常数据未删除!", false},
      {"yes\r\n", "\n输入异常！异常数据未删除!", false},
      {"nope\n", "\n输入异常！异常数据未删除!", false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = dir / "000001.XSHE.h5";
    write_file(path, "x");
    Dealt run = deal({path}, {}, "分钟", c.input);
    const std::string after_prompt = run.out.substr(run.out.find(kPrompt) + strlen(kPrompt));
    EXPECT_EQ(after_prompt.substr(0, after_prompt.find('\n', 1)), c.reply) << c.input;
    EXPECT_EQ(exists(path), !c.deleted) << c.input;
  }
}

TEST(CheckResult, EndOfInputIsAnErrorAndDeletesNothing) {
  TempDir dir;
  const std::string path = dir / "000001.XSHE.h5";
  write_file(path, "x");
  std::istringstream in("");
  std::ostringstream out;
  EXPECT_THROW(deal_with_check_result({path}, {}, "分钟", in, out), bundle::EOFError);
  EXPECT_TRUE(out.str().ends_with(kPrompt));
  EXPECT_TRUE(exists(path));
}

TEST(CheckResult, AFileThatCannotBeDeletedStopsTheDeletionThere) {
  TempDir dir;
  const std::vector<std::string> broken = {dir / "a.h5", dir / "gone.h5", dir / "c.h5"};
  write_file(broken[0], "x");
  write_file(broken[2], "x");
  std::istringstream in("yes\n");
  std::ostringstream out;
  EXPECT_THROW(deal_with_check_result(broken, {}, "分钟", in, out), OSError);
  EXPECT_FALSE(exists(broken[0]));  // deleted before the failure
  EXPECT_TRUE(exists(broken[2]));   // never reached
  EXPECT_EQ(out.str().find("删除完成"), std::string::npos);
}

// The lock is taken after the yes; an update that held it while the question waited may have
// rebuilt a broken file, which is then no longer the file the check judged.
TEST(CheckResult, AFileRebuiltWhileTheQuestionWaitedIsKept) {
  TempDir dir;
  const std::vector<std::string> broken = {dir / "a.h5", dir / "rebuilt.h5"};
  for (const std::string& path : broken) write_file(path, "x");
  std::istringstream in("yes\n");
  std::ostringstream out;
  deal_with_check_result(broken, {}, "分钟", in, out, [&] {
    write_file(broken[1] + ".new", "a whole file");
    std::filesystem::rename(broken[1] + ".new", broken[1]);
  });
  EXPECT_FALSE(exists(broken[0]));
  EXPECT_EQ(testing::read_file(broken[1]), "a whole file");
  EXPECT_NE(out.str().find(broken[1] + " 在检查之后已被其他程序更新，未删除"), std::string::npos);
  EXPECT_TRUE(out.str().ends_with("\n删除完成！共删除1个标的。\n")) << out.str();
}

TEST(CheckResult, CompletionCountsEveryListedFile) {
  TempDir dir;
  std::vector<std::string> broken;
  for (const char* name : {"a.h5", "b.h5", "c.h5"}) {
    broken.push_back(dir / name);
    write_file(broken.back(), "x");
  }
  Dealt run = deal(broken, {}, "tick", "yes\n");
  EXPECT_TRUE(run.out.ends_with("\n删除完成！共删除3个标的。\n"));
  for (const std::string& path : broken) EXPECT_FALSE(exists(path));
}

// What a front end asks decides what becomes of the findings: returned only (--json), reported
// without a question (Python), deleted without a question (--yes), or asked about on the request's
// input.
TEST(CheckResult, TheRequestDecidesWhetherToAskDeleteOrOnlyReturn) {
  TempDir dir;
  const std::string path = dir / "000001.XSHE.h5";
  bundle::CheckFindings findings{.checked = true};
  findings.add_broken(path, "empty index");
  std::istringstream in("n\n");
  std::ostringstream out;
  using Findings = bundle::CheckRequest::Findings;

  write_file(path, "x");
  bundle::handle_check_findings(findings, "分钟", {.findings = Findings::kReturn, .out = &out});
  EXPECT_EQ(out.str(), "");
  EXPECT_TRUE(exists(path));

  // Python's checks: the report the question follows, and no question.
  bundle::handle_check_findings(findings, "分钟", {.findings = Findings::kReport, .out = &out});
  EXPECT_EQ(out.str(),
            "\n检测完成：共有1个标的分钟数据存在异常，0个文件被其他进程占用或没有权限。\n"
            "数据异常标的如下:\n['000001.XSHE']\n\n");
  EXPECT_TRUE(exists(path));
  out.str("");

  bundle::handle_check_findings(findings, "分钟",
                                {.findings = Findings::kAsk, .out = &out, .in = &in});
  EXPECT_NE(out.str().find(std::string(kPrompt) + "\n异常数据未删除！\n"), std::string::npos)
      << out.str();
  EXPECT_TRUE(exists(path));

  out.str("");
  bundle::handle_check_findings(findings, "分钟", {.findings = Findings::kDelete, .out = &out});
  EXPECT_EQ(out.str().find(kPrompt), std::string::npos);
  EXPECT_FALSE(exists(path));

  // A check that looked at no file has nothing to report.
  out.str("");
  bundle::handle_check_findings({}, "分钟", {.findings = Findings::kDelete, .out = &out});
  EXPECT_EQ(out.str(), "");
}

TEST(CheckResult, NamesAreCutBeforeTheFirstH5AndQuotedSafely) {
  Dealt run = deal({"/x/bundle/h5/equities/000001.XSHE.h5", "/x/a.h5.h5", "/x/noext", "/x/it's.h5",
                    "/x/back\\slash.h5"},
                   {}, "分钟", "n\n");
  EXPECT_NE(run.out.find("['000001.XSHE', 'a', 'noext', \"it's\", 'back\\\\slash']"),
            std::string::npos)
      << run.out;
}

}  // namespace
}  // namespace tessera_plus
