#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/run_report.h"
#include "tessera_plus/base/shared_flag.h"
#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/bundle/update/parallel_updater.h"
#include "tessera_plus/bundle/update/parallel_updater_internal.h"
#include "tessera_plus/market/client.h"
#include "tests/support/env.h"
#include "tests/support/scripted_service.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::bundle::internal {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::SizeIs;

const char* const kMinbarLine = "开始更新 {} 只标的的分钟线数据：{}";

// The writers run in worker processes, so the fake writer leaves a file per call for the test
// to read: "<path>|<file name>|<first date>|<rebuild>".
class ParallelUpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir / "written");
    svc->on_all_instruments = [this](const tallow::AllInstrumentsArgs& a) {
      std::vector<tallow::Instrument> rows;
      if (a.type || a.market) return rows;
      for (const std::string& id : listed) rows.push_back({.order_book_id = id, .type = "CS"});
      return rows;
    };
  }
  void TearDown() override { publish_run_report(std::nullopt); }

  // Reports the instruments of `unchanged` as unchanged, the others as changed with 10 rows and
  // 100 bytes each.
  Writer fake_writer() {
    return [this](const WriteRequest& r) -> WriteResult {
      const std::string& id = r.order_book_id;
      if (id == failing) {
        sval().set_value(false);  // as a real writer reports its own failure
        return {.outcome = WriteResult::Outcome::kFailed, .file = id + ".h5", .reason = "磁盘已满"};
      }
      if (id == raising) throw ValueError("标的 " + id + " 不存在");
      if (id == dying) ::kill(::getpid(), SIGKILL);
      std::ofstream(dir / ("written/" + id)) << r.path << "|" << r.file_name.value_or("-") << "|"
                                             << r.min_start_date << "|" << r.rebuild;
      if (unchanged.count(id)) return {.file = id + ".h5"};
      return {
          .outcome = WriteResult::Outcome::kChanged, .file = id + ".h5", .rows = 10, .bytes = 100};
    };
  }

  bool update(const std::vector<std::string>& tags, int concurrency = 2, bool rebuild = false,
              bool creates_path = false, const std::string& path = "/bundle/h5") {
    UpdateKind kind{fake_writer(), kMinbarLine, creates_path};
    ::testing::internal::CaptureStdout();
    try {
      bool ok =
          run_parallel_update(kind, path, tags, {.concurrency = concurrency, .rebuild = rebuild});
      out = ::testing::internal::GetCapturedStdout();
      return ok;
    } catch (...) {
      out = ::testing::internal::GetCapturedStdout();
      throw;
    }
  }

  std::set<std::string> written() const {
    std::set<std::string> ids;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "written"))
      ids.insert(entry.path().filename().string());
    return ids;
  }
  std::string written_args(const std::string& id) const {
    return testing::read_file(dir / ("written/" + id));
  }
  std::string log_path() const { return dir / "update.log"; }
  std::vector<std::string> log_lines() const { return testing::read_lines(log_path()); }

  testing::TempDir dir;
  testing::ScopedScriptedService svc;
  std::vector<std::string> listed = {"000001.XSHE", "000002.XSHE", "000003.XSHE", "000004.XSHE",
                                     "000005.XSHE", "000006.XSHE", "000007.XSHE"};
  std::string failing, raising, dying;
  std::set<std::string> unchanged;
  std::string out;

 private:
  testing::ScopedEnv log_{"TESSERA_LOG_FILE", log_path()};
};

TEST_F(ParallelUpdaterTest, RendersTheSetSortedAndShort) {
  EXPECT_EQ(render_id_set({}), "set()");
  EXPECT_EQ(render_id_set({"000002.XSHE", "000001.XSHE"}), "{'000001.XSHE', '000002.XSHE'}");
  EXPECT_EQ(render_id_set({"f", "e", "d", "c", "b", "a"}), "{'a', 'b', 'c', 'd', 'e', 'f'}");
  EXPECT_EQ(render_id_set({"g", "f", "e", "d", "c", "b", "a"}),
            "{'a', 'b', 'c', 'd', 'e', 'f', ...}");
}

TEST_F(ParallelUpdaterTest, EmptySelectionSucceedsWithoutTasks) {
  EXPECT_TRUE(update({"nothing-listed"}));
  EXPECT_THAT(out, HasSubstr("开始更新 0 只标的的分钟线数据：set()\n"));
  EXPECT_TRUE(written().empty());
}

TEST_F(ParallelUpdaterTest, WritesEveryInstrumentOnceWithTheWriterDefaults) {
  EXPECT_TRUE(update({"000007.XSHE", "000006.XSHE", "000005.XSHE", "000004.XSHE", "000003.XSHE",
                      "000002.XSHE", "000001.XSHE"},
                     2, true));
  EXPECT_EQ(out,
            "开始更新 7 只标的的分钟线数据：{'000001.XSHE', '000002.XSHE', '000003.XSHE', "
            "'000004.XSHE', '000005.XSHE', '000006.XSHE', ...}\n");
  EXPECT_THAT(written(), SizeIs(7));
  EXPECT_EQ(written_args("000007.XSHE"), "/bundle/h5|-|" + std::to_string(MIN_START_DATE) + "|1");
}

TEST_F(ParallelUpdaterTest, OneFailingWriterFailsTheUpdateOnly) {
  failing = "000002.XSHE";
  EXPECT_FALSE(update({"000001.XSHE", "000002.XSHE", "000003.XSHE"}));
  EXPECT_EQ(written(), (std::set<std::string>{"000001.XSHE", "000003.XSHE"}));
}

TEST_F(ParallelUpdaterTest, EscapedErrorAndDeadWorkerAreFailuresToo) {
  raising = "000002.XSHE";
  dying = "000004.XSHE";
  EXPECT_FALSE(update({"000001.XSHE", "000002.XSHE", "000003.XSHE", "000004.XSHE"}, 1));
  EXPECT_EQ(written(), (std::set<std::string>{"000001.XSHE", "000003.XSHE"}));
  auto lines = log_lines();
  ASSERT_THAT(lines, SizeIs(2));
  std::string log = lines[0] + "\n" + lines[1];
  EXPECT_THAT(log, HasSubstr("更新 000002.XSHE 失败：标的 000002.XSHE 不存在"));
  EXPECT_THAT(log, HasSubstr("更新 000004.XSHE 失败：工作进程被信号 9"));
}

// The run report is the one record of what happened in the workers: the writers' answers and the
// pool's failures land there, and the update's result is read from it.
TEST_F(ParallelUpdaterTest, EveryOutcomeIsCountedInTheRunReport) {
  publish_run_report(RunReport::create());
  unchanged = {"000002.XSHE"};
  failing = "000003.XSHE";
  raising = "000004.XSHE";
  EXPECT_FALSE(update({"000001.XSHE", "000002.XSHE", "000003.XSHE", "000004.XSHE", "000005.XSHE"}));
  const RunTotals t = run_totals();
  EXPECT_EQ(t.updated, 2u);
  EXPECT_EQ(t.unchanged, 1u);
  EXPECT_EQ(t.failed, 2u);
  EXPECT_EQ(t.rows, 20u);
  EXPECT_EQ(t.bytes, 200);
  ASSERT_THAT(t.failures, SizeIs(2));
  EXPECT_THAT(t.failures[0].what + t.failures[1].what, HasSubstr("000003.XSHE.h5"));
}

// Failures recorded before this update (an earlier step of the run) do not fail it.
TEST_F(ParallelUpdaterTest, OnlyThisUpdatesFailuresDecideItsResult) {
  publish_run_report(RunReport::create());
  record_failure("instruments.pk", "earlier step");
  EXPECT_TRUE(update({"000001.XSHE"}));
  failing = "000001.XSHE";
  EXPECT_FALSE(update({"000001.XSHE"}));
}

// Without the front end there is no report yet; the update publishes one so that a failure in a
// worker still reaches the result.
TEST_F(ParallelUpdaterTest, FailureIsSeenWithoutAReportPublishedBefore) {
  publish_run_report(std::nullopt);
  failing = "000002.XSHE";
  EXPECT_FALSE(update({"000001.XSHE", "000002.XSHE"}));
  EXPECT_EQ(run_totals().failed, 1u);
}

TEST_F(ParallelUpdaterTest, PathCreatedOnlyWhenTheKindAsksForIt) {
  std::string nested = dir / "bundle/ticks";
  EXPECT_TRUE(update({}, 2, false, false, nested));
  EXPECT_FALSE(std::filesystem::exists(nested));
  EXPECT_TRUE(update({}, 2, false, true, nested));
  EXPECT_TRUE(std::filesystem::is_directory(nested));
  EXPECT_TRUE(update({}, 2, false, true, nested));  // an existing directory is fine
}

TEST_F(ParallelUpdaterTest, BadConcurrencyFailsBeforeAnyWriter) {
  EXPECT_THROW(update({"000001.XSHE"}, 0), ValueError);
  EXPECT_TRUE(written().empty());
}

TEST_F(ParallelUpdaterTest, SelectionSwitchesReachMergeTags) {
  tallow::init(false);
  svc->calls.clear();
  UpdateKind kind{fake_writer(), kMinbarLine, false};
  ::testing::internal::CaptureStdout();
  run_parallel_update(kind, "/bundle/h5", {"stock"}, {.concurrency = 1, .enable_bjse = true});
  ::testing::internal::GetCapturedStdout();
  // enable_bjse reached the selection: "stock" switched the exchange on for the queries.
  ASSERT_THAT(svc->calls_of("init"), SizeIs(2));
  EXPECT_EQ(svc->calls_of("init")[0].enable_bjse, true);
}

// The entry points with an empty selection, so that their real writers never run.
TEST_F(ParallelUpdaterTest, EntryPointsDifferInStartLineAndDirectory) {
  std::string h5 = dir / "bundle/h5";
  std::string ticks = dir / "bundle/ticks";
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(update_minbar(h5, {.concurrency = 2}));
  EXPECT_TRUE(update_tick(
      ticks, {.concurrency = 2, .with_derivatives = true, .rebuild = true, .enable_bjse = true}));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "开始更新 0 只标的的分钟线数据：set()\n开始更新 0 只标的的tick数据：set()\n");
  EXPECT_FALSE(std::filesystem::exists(h5));  // the minute-bar writer creates its directories
  EXPECT_TRUE(std::filesystem::is_directory(ticks));
}

// The real writer raises for an instrument the service does not know: the update must not report
// success when nothing was written.
TEST_F(ParallelUpdaterTest, RealWriterErrorMakesTheUpdateFail) {
  ::testing::internal::CaptureStdout();
  bool ok = update_minbar(dir / "bundle/h5", {.concurrency = 1, .minbar = {"000001.XSHE"}});
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(ok);
  EXPECT_THAT(log_lines(),
              ElementsAre(HasSubstr("更新 000001.XSHE 失败：标的 000001.XSHE 不存在")));
}

}  // namespace
}  // namespace tessera_plus::bundle::internal
