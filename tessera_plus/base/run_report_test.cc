// The run report gathers outcomes from worker processes: what a child records, the parent reads.
#include "tessera_plus/base/run_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/child_process.h"

namespace tessera_plus::tessera {
namespace {

using ::testing::SizeIs;

class RunReportTest : public ::testing::Test {
 protected:
  void TearDown() override { publish_run_report(std::nullopt); }
};

TEST_F(RunReportTest, WorkersRecordsReachTheParentAndOnlyTwentyAreKept) {
  publish_run_report(RunReport::create());
  ASSERT_EQ(testing::exit_code_in_child([] {
              record_updated(true);
              record_updated(false);
              record_retry();
              for (int i = 0; i < 25; ++i)
                record_failure("file" + std::to_string(i), "busy\nstack");
            }),
            0);
  ASSERT_EQ(testing::exit_code_in_child([] { record_updated(true); }), 0);
  RunTotals t = run_totals();
  EXPECT_EQ(t.updated, 2u);
  EXPECT_EQ(t.unchanged, 1u);
  EXPECT_EQ(t.retries, 1u);
  EXPECT_EQ(t.failed, 25u);
  ASSERT_THAT(t.failures, SizeIs(RunReport::kShownFailures));
  EXPECT_EQ(t.failures[0].what, "file0");
  EXPECT_EQ(t.failures[0].reason, "busy");  // one line
  EXPECT_EQ(t.failures[19].what, "file19");
  EXPECT_EQ(failures_recorded_here(), 0u);  // the failures were the child's
}

TEST_F(RunReportTest, WithoutAPublishedReportRecordingOnlyCountsLocally) {
  const std::uint64_t before = failures_recorded_here();
  record_failure("x", "y");
  record_updated(true);
  EXPECT_EQ(failures_recorded_here(), before + 1);
  EXPECT_EQ(run_totals().failed, 0u);
}

TEST(OneLine, CutsAtTheFirstLineEndAndNeverInsideACharacter) {
  EXPECT_EQ(one_line("a\nb", 10), "a");
  EXPECT_EQ(one_line("数据服务", 7), "数据");  // 3 bytes a character: 7 keeps two
  EXPECT_EQ(one_line("数据服务", 6), "数据");
  EXPECT_EQ(one_line("abc", 3), "abc");
}

}  // namespace
}  // namespace tessera_plus::tessera
