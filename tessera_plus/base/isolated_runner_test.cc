// Work on untrusted input in child processes: a crash costs its item only, and results come back
// in item order whatever order the children finish in.
#include "tessera_plus/base/isolated_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tessera_plus/base/stop_request.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

TEST(IsolatedRunner, CrashesAreOutcomesAndResultsKeepTheirOrder) {
  std::vector<std::size_t> order;
  std::vector<IsolatedOutcome> outcomes;
  run_isolated(
      6,
      [](std::size_t i) -> std::string {
        if (i == 1) {
          ::signal(SIGSEGV, SIG_DFL);  // a sanitizer's handler would turn it into an exit
          ::raise(SIGSEGV);
        }
        if (i == 2) throw std::runtime_error("escaped");
        if (i == 3) return std::string(200000, 'x');  // more than a pipe holds
        return "item " + std::to_string(i);
      },
      [&](std::size_t i, IsolatedOutcome&& o) {
        order.push_back(i);
        outcomes.push_back(std::move(o));
        return true;
      },
      {.jobs = 3});
  EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(outcomes[0].reply, "item 0");
  EXPECT_FALSE(outcomes[1].completed);
  EXPECT_EQ(outcomes[1].signal, SIGSEGV);
  EXPECT_NE(outcomes[1].describe().find("signal 11"), std::string::npos);
  EXPECT_FALSE(outcomes[2].completed);
  EXPECT_NE(outcomes[2].exit_status, 0);
  EXPECT_EQ(outcomes[3].reply.size(), 200000u);
  EXPECT_EQ(outcomes[5].reply, "item 5");
}

TEST(IsolatedRunner, StoppingEarlyStartsNothingMore) {
  std::size_t delivered = 0;
  run_isolated(
      50, [](std::size_t) { return std::string("ok"); },
      [&](std::size_t, IsolatedOutcome&&) { return ++delivered < 3; }, {.jobs = 2});
  EXPECT_EQ(delivered, 3u);
}

// A slow first item holds back the items beyond the window behind it: none of them starts before
// the first is handed over, although idle workers could take them.
TEST(IsolatedRunner, AWindowBoundsHowFarItemsRunAheadOfTheFirstNotHandedOver) {
  int log[2];
  ASSERT_EQ(::pipe(log), 0);
  ASSERT_EQ(::fcntl(log[0], F_SETFL, O_NONBLOCK), 0);
  constexpr std::size_t kWindow = 4;
  std::size_t most_started = 0;
  run_isolated(
      24,
      [&](std::size_t i) -> std::string {
        const std::string started = std::to_string(i) + "\n";  // one write: the pipe keeps it whole
        if (::write(log[1], started.data(), started.size()) < 0) ::_exit(4);
        // Time for the other workers to run ahead, were they let.
        if (i == 0) ::poll(nullptr, 0, 300);
        return "";
      },
      [&](std::size_t i, IsolatedOutcome&& o) {
        EXPECT_TRUE(o.completed);
        char buffer[4096];
        std::string lines;
        for (ssize_t n; (n = ::read(log[0], buffer, sizeof buffer)) > 0;) lines.append(buffer, n);
        for (std::size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos;
             at = end + 1) {
          most_started =
              std::max<std::size_t>(most_started, std::stoul(lines.substr(at, end - at)));
        }
        EXPECT_LT(most_started, i + kWindow) << "handing over item " << i;
        return true;
      },
      {.jobs = 3, .window = kWindow});
  EXPECT_EQ(most_started, 23u);
  ::close(log[0]);
  ::close(log[1]);
}

// One worker takes many items: a crash in the middle of its batch costs that item only, and a fresh
// worker answers the rest, in order.
TEST(IsolatedRunner, CrashMidBatchCostsOneItemAndAFreshWorkerTakesTheRest) {
  std::vector<IsolatedOutcome> outcomes;
  run_isolated(
      10,
      [](std::size_t i) -> std::string {
        if (i == 4) {
          ::signal(SIGSEGV, SIG_DFL);
          ::raise(SIGSEGV);
        }
        if (i == 7) throw std::runtime_error("escaped");
        return std::to_string(i) + " " + std::to_string(::getpid());
      },
      [&](std::size_t i, IsolatedOutcome&& o) {
        EXPECT_EQ(i, outcomes.size());
        outcomes.push_back(std::move(o));
        return true;
      },
      {.jobs = 1});
  ASSERT_EQ(outcomes.size(), 10u);
  auto pid_of = [&](std::size_t i) {
    const std::string& reply = outcomes[i].reply;
    EXPECT_EQ(reply.substr(0, reply.find(' ')), std::to_string(i));
    return reply.substr(reply.find(' ') + 1);
  };
  EXPECT_EQ(pid_of(0), pid_of(3));  // one fork served the batch before the crash
  EXPECT_EQ(outcomes[4].signal, SIGSEGV);
  EXPECT_NE(pid_of(5), pid_of(3));
  EXPECT_EQ(pid_of(5), pid_of(9));  // an escaped exception does not cost the worker
  EXPECT_FALSE(outcomes[7].completed);
  EXPECT_NE(outcomes[7].exit_status, 0);
  EXPECT_NE(::getpid(), std::stoi(pid_of(0)));
}

// Items wait in a worker's socket before it takes them. When it dies, the item it was on gets the
// death and those queued behind it run elsewhere: every item runs exactly once, the replies it
// sent before dying are kept, and a crash, an exit and a raised exception each cost one item.
TEST(IsolatedRunner, ItemsQueuedBehindADeathRunOnceElsewhere) {
  int log[2];
  ASSERT_EQ(::pipe(log), 0);
  std::vector<IsolatedOutcome> outcomes;
  const std::set<std::size_t> crash = {1, 2, 9, 10, 11, 29};
  run_isolated(
      30,
      [&](std::size_t i) -> std::string {
        const std::string started = std::to_string(i) + "\n";  // one write: the pipe keeps it whole
        if (::write(log[1], started.data(), started.size()) < 0) ::_exit(4);
        if (crash.count(i) != 0) {
          ::signal(SIGSEGV, SIG_DFL);
          ::raise(SIGSEGV);
        }
        if (i == 5) ::_exit(3);
        if (i == 6) throw std::runtime_error("escaped");
        return std::to_string(i);
      },
      [&](std::size_t i, IsolatedOutcome&& o) {
        EXPECT_EQ(i, outcomes.size());
        outcomes.push_back(std::move(o));
        return true;
      },
      {.jobs = 2});
  ::close(log[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(log[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(log[0]);
  std::map<std::size_t, int> runs;
  for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    ++runs[std::stoul(text.substr(at, end - at))];
  }
  ASSERT_EQ(outcomes.size(), 30u);
  for (std::size_t i = 0; i < 30; ++i) {
    EXPECT_EQ(runs[i], 1) << "item " << i;
    if (crash.count(i) != 0) {
      EXPECT_EQ(outcomes[i].signal, SIGSEGV) << "item " << i;
    } else if (i == 5) {
      EXPECT_EQ(outcomes[i].exit_status, 3);
      EXPECT_EQ(outcomes[i].describe(), "exited with status 3");
    } else if (i == 6) {
      EXPECT_FALSE(outcomes[i].completed);
    } else {
      EXPECT_TRUE(outcomes[i].completed) << "item " << i;
      EXPECT_EQ(outcomes[i].reply, std::to_string(i));
    }
  }
}

TEST(IsolatedRunner, WorkersRetireAfterTheirShare) {
  std::set<std::string> pids;
  run_isolated(
      1000, [](std::size_t) { return std::to_string(::getpid()); },
      [&](std::size_t, IsolatedOutcome&& o) {
        pids.insert(o.reply);
        return true;
      },
      {.jobs = 2});
  EXPECT_GT(pids.size(), 2u);
  EXPECT_LT(pids.size(), 100u);
}

// The workers beyond `jobs` start only while they are wanted: the items handed out at the start
// all go to one worker without them, and spread over every worker allowed with them.
TEST(IsolatedRunner, MoreWorkersStartOnlyWhileTheyAreWanted) {
  for (const bool wanted : {false, true}) {
    std::set<std::string> pids;
    run_isolated(
        4, [](std::size_t) { return std::to_string(::getpid()); },
        [&](std::size_t, IsolatedOutcome&& o) {
          pids.insert(o.reply);
          return true;
        },
        {.jobs = 1, .more_jobs = 3, .more_jobs_wanted = [wanted] { return wanted; }});
    EXPECT_EQ(pids.size(), wanted ? 4u : 1u) << "wanted " << wanted;
  }
}

// Work that a worker keeps back across items (here: the items it did, written out in one go) is
// let out before the worker idles or leaves, whether it leaves because its input ended, because it
// retires after its share, or because its work raised; so by the time the call returns, every item
// a worker finished has been let out, once.
TEST(IsolatedRunner, WorkKeptBackIsLetOutBeforeAWorkerIdlesOrLeaves) {
  constexpr std::size_t kCount = 700;  // more than two workers' shares
  constexpr std::size_t kRaises = 333;
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  std::string kept;  // each worker's own copy, from its fork
  std::size_t batches = 0;
  run_isolated(
      kCount,
      [&](std::size_t i) -> std::string {
        if (i == kRaises) throw std::runtime_error("escaped");
        kept += std::to_string(i) + "\n";
        return {};
      },
      [](std::size_t, IsolatedOutcome&&) { return true; },
      {.jobs = 2, .retire_after_raise = true, .in_order = false, .before_idle = [&] {
         if (kept.empty()) return;
         // Small enough for the pipe, which the caller reads only afterwards.
         std::string batch = "batch\n" + kept;
         ASSERT_EQ(::write(out[1], batch.data(), batch.size()), ssize_t(batch.size()));
         kept.clear();
       }});
  ::close(out[1]);
  std::string written;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) written.append(buffer, n);
  ::close(out[0]);
  std::multiset<std::size_t> items;
  std::size_t at = 0;
  for (std::size_t end; (end = written.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = written.substr(at, end - at);
    if (line == "batch") {
      ++batches;
    } else {
      items.insert(std::stoul(line));
    }
  }
  EXPECT_EQ(items.size(), kCount - 1);
  for (std::size_t i = 0; i < kCount; ++i) EXPECT_EQ(items.count(i), i == kRaises ? 0u : 1u);
  // Some items were let out together, and a worker's end let out what it kept.
  EXPECT_LT(batches, kCount - 1);
  EXPECT_GE(batches, 3u);
}

// Out of order, an outcome reaches the caller while an earlier item is still at work: item 0 waits
// for a byte that the caller sends only on hearing of a later item.
TEST(IsolatedRunner, OutOfOrderOutcomesDoNotWaitForALongItem) {
  int release[2];
  ASSERT_EQ(::pipe(release), 0);
  std::vector<std::size_t> order;
  std::string first_reply;
  run_isolated(
      5,
      [&](std::size_t i) -> std::string {
        if (i != 0) return "ok";
        pollfd wait{release[0], POLLIN, 0};
        // The bound only turns the fault (outcomes held back in order) into a failure, not a hang.
        return ::poll(&wait, 1, 20000) == 1 ? "released" : "never released";
      },
      [&](std::size_t i, IsolatedOutcome&& o) {
        if (order.empty()) {
          EXPECT_EQ(::write(release[1], "x", 1), 1);
        }
        order.push_back(i);
        if (i == 0) first_reply = o.reply;
        return true;
      },
      IsolationOptions{.jobs = 2, .in_order = false});
  ::close(release[0]);
  ::close(release[1]);
  EXPECT_EQ(first_reply, "released");
  ASSERT_EQ(order.size(), 5u);
  EXPECT_NE(order.front(), 0u);
  EXPECT_EQ(std::set<std::size_t>(order.begin(), order.end()).size(), 5u);
}

// Stopping kills a worker stuck in its item instead of waiting for it.
// A caller waiting on a long item hears from the runner meanwhile (a progress bar's heartbeat):
// here the item ends only once the caller's wait has been interrupted, so a runner that never
// calls back would never return.
TEST(IsolatedRunner, ALongWaitCallsBackWhileTheItemIsInFlight) {
  int release[2];
  ASSERT_EQ(::pipe(release), 0);
  int calls = 0;
  std::string reply;
  run_isolated(
      1,
      [&](std::size_t) -> std::string {
        char byte = 0;
        return ::read(release[0], &byte, 1) == 1 ? "released" : "no byte";
      },
      [&](std::size_t, IsolatedOutcome&& o) {
        reply = o.reply;
        return true;
      },
      {.while_waiting =
           [&] {
             if (calls++ == 0) {
               EXPECT_EQ(::write(release[1], "x", 1), 1);
             }
           },
       .wait_interval = std::chrono::milliseconds(1)});
  ::close(release[0]);
  ::close(release[1]);
  EXPECT_EQ(reply, "released");
  EXPECT_GE(calls, 1);
}

TEST(IsolatedRunner, StoppingKillsBusyWorkers) {
  std::vector<std::size_t> delivered;
  run_isolated(
      4,
      [](std::size_t i) -> std::string {
        if (i == 1) ::pause();
        return "ok";
      },
      [&](std::size_t i, IsolatedOutcome&&) {
        delivered.push_back(i);
        return false;
      },
      {.jobs = 2});
  EXPECT_EQ(delivered, std::vector<std::size_t>{0});
}

// A stop request raised in the caller without a signal (as the Python module raises it): the
// item in flight ends and is handed over, nothing more starts, nothing unstarted is handed over,
// and no worker is left.
TEST(IsolatedRunner, AStopRequestEndsTheItemsInFlightAndStartsNoMore) {
  testing::TempDir dir;
  // Item 1 says through `started` that it has begun, then waits at `gate` until the stop is raised.
  int started_pipe[2], gate[2];
  ASSERT_EQ(::pipe(started_pipe), 0);
  ASSERT_EQ(::pipe(gate), 0);
  std::set<std::size_t> delivered;
  bool all_completed = true;
  run_isolated(
      50,
      [&](std::size_t i) -> std::string {
        std::ofstream(dir / std::to_string(i)) << "started";
        char go = 0;
        if (i == 1 && (::write(started_pipe[1], "s", 1) != 1 || ::read(gate[0], &go, 1) != 1)) {
          return "no gate";
        }
        return "ok";
      },
      [&](std::size_t i, IsolatedOutcome&& o) {
        delivered.insert(i);
        all_completed = all_completed && o.completed && o.reply == "ok";
        if (i == 0) {
          char begun = 0;
          EXPECT_EQ(::read(started_pipe[0], &begun, 1), 1);
          request_stop(SIGINT);
          EXPECT_EQ(::write(gate[1], "x", 1), 1);
        }
        return true;
      },
      {.jobs = 2});
  clear_stop();
  for (int fd : {started_pipe[0], started_pipe[1], gate[0], gate[1]}) ::close(fd);
  std::set<std::size_t> started;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    started.insert(std::stoul(entry.path().filename().string()));
  }
  EXPECT_TRUE(delivered.contains(1));
  EXPECT_EQ(delivered, started);
  EXPECT_LT(started.size(), 50u);
  EXPECT_TRUE(all_completed);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace tessera_plus
