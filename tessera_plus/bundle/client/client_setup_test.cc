#include "tessera_plus/bundle/client/client_setup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tessera_plus/base/warnings.h"
#include "tessera_plus/market/client.h"
#include "tests/support/scripted_service.h"

namespace tessera_plus::bundle {
namespace {

using ::testing::ElementsAre;

// Routes warnings into `shown` for the test's duration, standing for the console.
class ClientSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = set_warning_handler([this](std::string_view text) { shown.emplace_back(text); });
  }
  void TearDown() override { set_warning_handler(std::move(previous_)); }

  std::vector<bool> init_values() {
    std::vector<bool> values;
    for (const auto& call : svc->calls_of("init")) values.push_back(call.enable_bjse.value());
    return values;
  }

  testing::ScopedScriptedService svc;
  std::vector<std::string> shown;

 private:
  WarningHandler previous_;
};

TEST_F(ClientSetupTest, InitTallowDefaultsToSwitchOff) {
  svc->bjse = true;
  _init_tallow();
  EXPECT_THAT(init_values(), ElementsAre(false));
  EXPECT_FALSE(tallow::client::bjse_enabled());
}

TEST_F(ClientSetupTest, EachCallInitialisesOnceWithItsValue) {
  _switch_of_bjse(true);
  EXPECT_TRUE(tallow::client::bjse_enabled());
  _switch_of_bjse(true);  // no comparison with the current state: initialises again
  _switch_of_bjse(false);
  _init_tallow(true);
  EXPECT_THAT(init_values(), ElementsAre(true, true, false, true));
}

TEST_F(ClientSetupTest, WarningsWhileInitialisingAreDiscardedOnly) {
  svc->on_init = [](bool) { warn("client configuration is deprecated"); };
  _switch_of_bjse(true);
  _switch_of_bjse(false);
  EXPECT_TRUE(shown.empty());
  warn("later warning");
  EXPECT_THAT(shown, ElementsAre("later warning"));
}

TEST_F(ClientSetupTest, InitFailureReachesCallerWithHandlingRestored) {
  svc->on_init = [](bool) {
    warn("retrying");
    throw tallow::PermissionDenied("account disabled");
  };
  try {
    _init_tallow(true);
    FAIL() << "the client's error was swallowed";
  } catch (const tallow::PermissionDenied& e) {
    EXPECT_STREQ(e.what(), "account disabled");
  }
  EXPECT_TRUE(shown.empty());
  warn("after the failure");
  EXPECT_THAT(shown, ElementsAre("after the failure"));
}

}  // namespace
}  // namespace tessera_plus::bundle
