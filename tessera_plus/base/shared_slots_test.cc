#include "tessera_plus/base/shared_slots.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <vector>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/shared_memory.h"

namespace tessera_plus {
namespace {

// Runs `body` in a forked child, which exits with its return value.
pid_t fork_child(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

int exit_status(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Tally {
  std::atomic<int> now{0}, most{0}, done{0};
  std::atomic<bool> holder_ready{false};
};

TEST(SharedSlotsTest, NeverMoreHoldersAtOnceThanSlotsAcrossProcesses) {
  constexpr int kSlots = 3, kProcesses = 8, kRounds = 200;
  const SharedSlots slots(kSlots);
  const auto tally = make_shared_mapped<Tally>();
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(fork_child([&] {
      for (int round = 0; round < kRounds; ++round) {
        // Half of the rounds step out of the slot for a moment, as a worker does for a call.
        SharedSlots::Hold hold = slots.take();
        if (round % 2 == 1) {
          const SharedSlots::StepAside aside = slots.step_aside();
          if (slots.held_here()) return 1;
          sched_yield();
        }
        const int now = ++tally->now;
        int most = tally->most.load();
        while (now > most && !tally->most.compare_exchange_weak(most, now)) {
        }
        sched_yield();
        --tally->now;
        ++tally->done;
      }
      return 0;
    }));
  }
  for (pid_t child : children) EXPECT_EQ(exit_status(child), 0);
  EXPECT_EQ(tally->done.load(), kProcesses * kRounds);
  EXPECT_LE(tally->most.load(), kSlots);
  EXPECT_GE(tally->most.load(), 1);
  EXPECT_EQ(slots.held(), 0) << "a slot was not given back";
}

TEST(SharedSlotsTest, KilledHolderGivesItsSlotToTheWaiters) {
  const SharedSlots slots(1);
  const auto tally = make_shared_mapped<Tally>();
  const pid_t holder = fork_child([&]() -> int {
    SharedSlots::Hold hold = slots.take();
    tally->holder_ready = true;
    for (;;) ::pause();
  });
  while (!tally->holder_ready) sched_yield();
  const pid_t waiter = fork_child([&] {
    SharedSlots::Hold hold = slots.take();
    return slots.held() == 1 ? 0 : 1;
  });
  ::kill(holder, SIGKILL);
  EXPECT_EQ(exit_status(holder), 128 + SIGKILL);
  EXPECT_EQ(exit_status(waiter), 0) << "the waiter did not get the dead holder's slot";
  // And the capacity is whole again for this process too.
  SharedSlots::Hold hold = slots.take();
  EXPECT_TRUE(slots.held_here());
}

TEST(SharedSlotsTest, ChildOfAHolderNeitherHoldsNorGivesBackItsParentsSlot) {
  const SharedSlots slots(1);
  SharedSlots::Hold hold = slots.take();
  const pid_t child = fork_child([&] {
    if (slots.held_here()) return 1;
    { const SharedSlots::StepAside aside = slots.step_aside(); }  // nothing to step out of
    hold.release();                                               // not this process's slot
    return slots.held() == 1 ? 0 : 2;
  });
  EXPECT_EQ(exit_status(child), 0);
  EXPECT_TRUE(slots.held_here());
  EXPECT_EQ(slots.held(), 1);
}

TEST(SharedSlotsTest, SteppingAsideLendsTheSlotAndTakesOneBack) {
  const SharedSlots slots(1);
  SharedSlots::Hold hold = slots.take();
  {
    const SharedSlots::StepAside aside = slots.step_aside();
    EXPECT_EQ(slots.held(), 0);
    const pid_t child = fork_child([&] {
      SharedSlots::Hold borrowed = slots.take();
      return slots.held_here() ? 0 : 1;
    });
    EXPECT_EQ(exit_status(child), 0);
  }
  EXPECT_TRUE(slots.held_here());
  hold.release();
  EXPECT_EQ(slots.held(), 0);
}

TEST(SharedSlotsTest, CapacityChangesOnlyFromItsMakerAndWhenNoneIsHeld) {
  EXPECT_THROW(SharedSlots(0), ValueError);
  EXPECT_THROW(SharedSlots(SharedSlots::kMaxCapacity + 1), ValueError);
  SharedSlots slots(2);
  {
    SharedSlots::Hold hold = slots.take();
    EXPECT_THROW(slots.set_capacity(4), ValueError);
  }
  const pid_t child = fork_child([&] {
    try {
      slots.set_capacity(4);
    } catch (const ValueError&) {
      return 0;
    }
    return 1;
  });
  EXPECT_EQ(exit_status(child), 0);
  slots.set_capacity(4);
  EXPECT_EQ(slots.capacity(), 4);
  std::vector<SharedSlots::Hold> holds;
  for (int i = 0; i < 4; ++i) holds.push_back(slots.take());
  EXPECT_EQ(slots.held(), 4);
}

}  // namespace
}  // namespace tessera_plus
