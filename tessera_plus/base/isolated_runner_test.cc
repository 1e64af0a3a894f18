// Work on untrusted input in child processes: a crash costs its item only, and results come back
// in item order whatever order the children finish in.
#include "tessera_plus/base/isolated_runner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace tessera_plus {
namespace {

TEST(IsolatedRunner, CrashesAreOutcomesAndResultsKeepTheirOrder) {
  std::vector<std::size_t> order;
  std::vector<IsolatedOutcome> outcomes;
  run_isolated(
      6, 3,
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
      });
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
      50, 2, [](std::size_t) { return std::string("ok"); },
      [&](std::size_t, IsolatedOutcome&&) { return ++delivered < 3; });
  EXPECT_EQ(delivered, 3u);
}

}  // namespace
}  // namespace tessera_plus
