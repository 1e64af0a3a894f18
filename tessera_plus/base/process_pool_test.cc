#include "tessera_plus/base/process_pool.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "tessera_plus/base/errors.h"
#include "tests/support/env.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using ::testing::HasSubstr;
using ::testing::SizeIs;

// Work done in a worker is visible to the test only through files (and shared memory): calls it
// makes are recorded in the worker's copy of the process.
class ProcessPoolTest : public ::testing::Test {
 protected:
  std::string log_path() const { return dir / "pool.log"; }
  std::string marker(const std::string& name) const { return dir / name; }
  void touch(const std::string& name, const std::string& text = "") const {
    std::ofstream(marker(name)) << text;
  }
  bool exists(const std::string& name) const { return std::filesystem::exists(marker(name)); }
  std::string read(const std::string& name) const { return testing::read_file(marker(name)); }
  std::vector<std::string> log_lines() const { return testing::read_lines(log_path()); }

  testing::TempDir dir;

 private:
  testing::ScopedEnv log_{"TESSERA_LOG_FILE", log_path()};
};

TEST_F(ProcessPoolTest, RunsEveryTaskOnceInWorkersThatTakeTaskAfterTask) {
  {
    ProgressedProcessPoolExecutor pool(2);
    for (int i = 0; i < 6; ++i) {
      std::string name = "task" + std::to_string(i);
      pool.submit(
          name, [this, name] { std::ofstream(marker(name), std::ios::app) << ::getpid() << "\n"; });
    }
  }  // leaving the scope waits for every task
  std::set<int> workers;
  for (int i = 0; i < 6; ++i) {
    std::string pid = read("task" + std::to_string(i));
    EXPECT_EQ(std::count(pid.begin(), pid.end(), '\n'), 1) << "ran more or less than once";
    EXPECT_NE(std::stoi(pid), ::getpid()) << "ran in the caller's process";
    workers.insert(std::stoi(pid));
  }
  EXPECT_LE(workers.size(), 2u) << "a worker per task, not per worker";
}

TEST_F(ProcessPoolTest, AWorkerWhoseTaskFailedTakesNoOtherTask) {
  ProgressedProcessPoolExecutor pool(1);
  pool.submit("first", [this] { touch("first", std::to_string(::getpid())); });
  pool.submit("fails", [this] {
    touch("fails", std::to_string(::getpid()));
    throw ValueError("half done");
  });
  pool.submit("after", [this] { touch("after", std::to_string(::getpid())); });
  pool.close();
  EXPECT_EQ(pool.failed(), 1u);
  EXPECT_EQ(read("first"), read("fails")) << "one worker took both";
  EXPECT_NE(read("after"), read("fails")) << "the failed worker's process went on working";
}

// Set only by the initializer, in the worker's own copy of the process.
bool initialised_here = false;

TEST_F(ProcessPoolTest, EveryWorkerRunsTheInitializerBeforeItsTask) {
  ProgressedProcessPoolExecutor pool(2, [] { initialised_here = true; });
  for (int i = 0; i < 6; ++i) {
    std::string name = "task" + std::to_string(i);
    pool.submit(name, [this, name] { touch(name, initialised_here ? "initialised" : "bare"); });
  }
  pool.close();
  for (int i = 0; i < 6; ++i) EXPECT_EQ(read("task" + std::to_string(i)), "initialised");
  EXPECT_FALSE(initialised_here);  // never in the caller
}

TEST_F(ProcessPoolTest, ProcessInitSharesTheFlagWithEveryWorker) {
  SharedFlag flag = SharedFlag::create(true);
  // One worker at a time: the reader runs before the writer.
  ProgressedProcessPoolExecutor pool(1, process_init, std::tuple{flag});
  pool.submit("reader", [this] { touch("seen", sval().value() ? "true" : "false"); });
  pool.submit("writer", [] { sval().set_value(false); });
  pool.close();
  EXPECT_EQ(read("seen"), "true");
  EXPECT_FALSE(flag.value());
  EXPECT_EQ(pool.failed(), 0u);
}

TEST_F(ProcessPoolTest, EscapingErrorIsLoggedOnceAndCountedAsFailure) {
  ProgressedProcessPoolExecutor pool(2);
  pool.submit("000001.XSHE", [this] { touch("000001.XSHE"); });
  pool.submit("000002.XSHE", [] { throw ValueError("标的 000002.XSHE 不存在"); });
  pool.submit("000003.XSHE", [this] { touch("000003.XSHE"); });
  pool.close();
  EXPECT_EQ(pool.failed(), 1u);
  EXPECT_TRUE(exists("000001.XSHE"));
  EXPECT_TRUE(exists("000003.XSHE"));
  auto lines = log_lines();
  ASSERT_THAT(lines, SizeIs(1));
  EXPECT_THAT(lines[0], HasSubstr("ERROR 更新 000002.XSHE 失败：标的 000002.XSHE 不存在"));
}

TEST_F(ProcessPoolTest, DeadWorkersCountAsFailedAndTheRestStillRun) {
  ProgressedProcessPoolExecutor pool(2);
  pool.submit("aborts", [] {
    rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    std::abort();
  });
  pool.submit("killed", [] { ::kill(::getpid(), SIGKILL); });
  pool.submit("exits", [] { std::_Exit(7); });
  for (int i = 0; i < 4; ++i) {
    std::string name = "ok" + std::to_string(i);
    pool.submit(name, [this, name] { touch(name); });
  }
  pool.close();  // returns: a dead worker must not leave the pool waiting for its task
  EXPECT_EQ(pool.failed(), 3u);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(exists("ok" + std::to_string(i)));
  std::string log;
  for (const auto& line : log_lines()) log += line + "\n";
  EXPECT_THAT(log, HasSubstr("更新 aborts 失败：工作进程被信号 6"));
  EXPECT_THAT(log, HasSubstr("更新 killed 失败：工作进程被信号 9"));
  EXPECT_THAT(log, HasSubstr("更新 exits 失败：工作进程以状态 7 退出"));
  EXPECT_THAT(log_lines(), SizeIs(3));
}

TEST_F(ProcessPoolTest, NeverMoreWorkersAliveThanAllowed) {
  struct Gauge {
    std::atomic<int> alive;
    std::atomic<int> peak;
  };
  void* mem =
      ::mmap(nullptr, sizeof(Gauge), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  auto* gauge = new (mem) Gauge{{0}, {0}};
  {
    ProgressedProcessPoolExecutor pool(2);
    for (int i = 0; i < 12; ++i) {
      pool.submit("t", [gauge] {
        int now = ++gauge->alive;
        for (int seen = gauge->peak; now > seen && !gauge->peak.compare_exchange_weak(seen, now);) {
        }
        volatile double x = 0;
        for (int k = 0; k < 2'000'000; ++k) x = x + k;
        --gauge->alive;
      });
    }
  }
  EXPECT_LE(gauge->peak.load(), 2);
  EXPECT_GE(gauge->peak.load(), 1);
  ::munmap(mem, sizeof(Gauge));
}

TEST_F(ProcessPoolTest, OutputBufferedBeforeTheForkIsWrittenOnce) {
  ::testing::internal::CaptureStdout();
  std::fputs("before the pool", stdout);  // still in the caller's buffer when workers fork
  {
    ProgressedProcessPoolExecutor pool(2);
    pool.submit("a", [] {});
    pool.submit("b", [] { std::fputs("|from b", stdout); });
  }
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "before the pool|from b");
}

TEST_F(ProcessPoolTest, UsageErrors) {
  EXPECT_THROW(ProgressedProcessPoolExecutor(0), ValueError);
  ProgressedProcessPoolExecutor pool(1);
  pool.close();
  EXPECT_EQ(pool.failed(), 0u);  // an empty pool closes at once
  EXPECT_THROW(pool.submit("late", [] {}), Error);
  pool.close();  // closing twice is harmless
}

}  // namespace
}  // namespace tessera_plus
