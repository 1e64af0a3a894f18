// The run report gathers outcomes from worker processes: what a child records, the parent reads.
#include "tessera_plus/base/run_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/child_process.h"

namespace tessera_plus {
namespace {

using ::testing::SizeIs;

class RunReportTest : public ::testing::Test {
 protected:
  void TearDown() override { publish_run_report(std::nullopt); }
};

TEST_F(RunReportTest, WorkersRecordsReachTheParentAndOnlyTwentyAreKept) {
  publish_run_report(RunReport::create());
  ASSERT_EQ(testing::exit_code_in_child([] {
              record_written(true, 10, 300);
              record_written(false, 0, 0);
              record_retry();
              for (int i = 0; i < 25; ++i)
                record_failure("file" + std::to_string(i), "busy\nstack");
            }),
            0);
  ASSERT_EQ(testing::exit_code_in_child([] { record_written(true, 5, -100); }), 0);
  RunTotals t = run_totals();
  EXPECT_EQ(t.updated, 2u);
  EXPECT_EQ(t.unchanged, 1u);
  EXPECT_EQ(t.retries, 1u);
  EXPECT_EQ(t.rows, 15u);
  EXPECT_EQ(t.bytes, 200);  // a repair that shrank a file counts against the growth
  EXPECT_EQ(t.failed, 25u);
  EXPECT_EQ(published_run_report().failed(), 25u);
  ASSERT_THAT(t.failures, SizeIs(RunReport::kShownFailures));
  EXPECT_EQ(t.failures[0].what, "file0");
  EXPECT_EQ(t.failures[0].reason, "busy");  // one line
  EXPECT_EQ(t.failures[19].what, "file19");
}

TEST_F(RunReportTest, WithoutAPublishedReportNothingIsRecorded) {
  record_failure("x", "y");
  record_written(true, 1, 1);
  EXPECT_EQ(run_totals().failed, 0u);
  EXPECT_EQ(run_totals().updated, 0u);
}

// An update run without the front end still needs one record that its workers share.
TEST_F(RunReportTest, PublishedRunReportPublishesOnceAndKeepsIt) {
  RunReport report = published_run_report();
  ASSERT_EQ(testing::exit_code_in_child([] { record_failure("x", "y"); }), 0);
  EXPECT_EQ(report.failed(), 1u);
  EXPECT_EQ(published_run_report().failed(), 1u);  // the same report, not a fresh one
  EXPECT_EQ(run_totals().failed, 1u);
}

TEST(OneLine, CutsAtTheFirstLineEndAndNeverInsideACharacter) {
  EXPECT_EQ(one_line("a\nb", 10), "a");
  EXPECT_EQ(one_line("数据服务", 7), "数据");  // 3 bytes a character: 7 keeps two
  EXPECT_EQ(one_line("数据服务", 6), "数据");
  EXPECT_EQ(one_line("abc", 3), "abc");
}

}  // namespace
}  // namespace tessera_plus
