// The client's pacing of calls: a worker that holds a work slot lends it out for each call it
// makes through the client and has one again when the call returns, also when the call fails;
// other processes call as they are, and the pacing ends with its scope.
#include "tessera_plus/market/client.h"

#include <gtest/gtest.h>

#include <vector>

#include "tessera_plus/base/errors.h"
#include "tests/support/child_process.h"
#include "tests/support/scripted_service.h"

namespace tessera_plus::tallow {
namespace {

class PacedCallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install_backend(service);
    service->on_get_price = [this](const std::string&, const PriceArgs&) {
      held_during_calls.push_back(work_slots.held());
      if (fail) throw ServiceUnavailable("down");
      return std::optional<PriceTable>(testing::one_row_table());
    };
  }
  void TearDown() override { install_backend(nullptr); }

  std::shared_ptr<testing::ScriptedService> service = std::make_shared<testing::ScriptedService>();
  SharedSlots work_slots{1};
  std::vector<int> held_during_calls;
  bool fail = false;
};

TEST_F(PacedCallsTest, AHolderLendsItsSlotForEachCallAndHasItBackAfterwards) {
  const client::PacedCalls paced(work_slots);
  SharedSlots::Hold working = work_slots.take();
  get_price("000001.XSHE");
  EXPECT_TRUE(work_slots.held_here());
  fail = true;
  EXPECT_THROW(get_price("000001.XSHE"), ServiceUnavailable);
  EXPECT_TRUE(work_slots.held_here()) << "a failed call kept the slot away";
  EXPECT_EQ(held_during_calls, (std::vector<int>{0, 0}));
}

TEST_F(PacedCallsTest, OthersCallAsTheyAreAndThePacingEndsWithItsScope) {
  SharedSlots::Hold working = work_slots.take();
  {
    const client::PacedCalls paced(work_slots);
    // A forked child holds no slot of its own: its call lends nothing and takes nothing.
    EXPECT_EQ(testing::exit_code_in_child([&] {
                get_price("000001.XSHE");
                return work_slots.held() == 1 && !work_slots.held_here();
              }),
              0);
  }
  get_price("000001.XSHE");  // no pacing any more: the slot stays held through the call
  EXPECT_EQ(held_during_calls, (std::vector<int>{1}));
  EXPECT_TRUE(work_slots.held_here());
}

}  // namespace
}  // namespace tessera_plus::tallow
