#include "tessera_plus/bundle/client/source.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "tessera_plus/bundle/client/client_setup.h"
#include "tessera_plus/market/client.h"
#include "tessera_plus/market/retrying_backend.h"
#include "tessera_plus/sim/sim_market.h"
#include "tests/support/child_process.h"
#include "tests/support/env.h"
#include "tests/support/scripted_service.h"

namespace tessera_plus::tallow {
namespace {

class TallowClientTest : public ::testing::Test {
 protected:
  void SetUp() override { install_backend(nullptr); }
  void TearDown() override { install_backend(nullptr); }

  testing::ScopedEnv source_{"TALLOW_SOURCE", std::nullopt};
};

TEST_F(TallowClientTest, DefaultSourceIsTheSimulatedMarketBehindTheRetryLayer) {
  bundle::_init_tallow(false);
  auto* retrying = dynamic_cast<RetryingBackend*>(&backend());
  ASSERT_NE(retrying, nullptr);
  EXPECT_NE(dynamic_cast<sim::SimMarket*>(&retrying->inner()), nullptr);
  EXPECT_FALSE(client::bjse_enabled());
}

TEST_F(TallowClientTest, UnknownSourceIsAClearError) {
  source_.set("bloomberg");
  try {
    bundle::_init_tallow(false);
    ADD_FAILURE() << "no error";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("'bloomberg'"), std::string::npos) << e.what();
  }
}

TEST_F(TallowClientTest, InitSetsTheBeijingSwitch) {
  bundle::_init_tallow(true);
  EXPECT_TRUE(client::bjse_enabled());
  init(false);
  EXPECT_FALSE(client::bjse_enabled());
}

TEST_F(TallowClientTest, WorkerUsesTheClientFromItsStart) {
  bundle::_init_tallow(true);
  const std::size_t parent = all_instruments().size();
  // The child never calls init: it inherits the initialised client, switch included.
  EXPECT_EQ(testing::exit_code_in_child(
                [&] { return client::bjse_enabled() && all_instruments().size() == parent; }),
            0);
}

TEST_F(TallowClientTest, CallsBeforeAnySourceAreAClearError) {
  EXPECT_THROW(all_instruments(), ValueError);
}

TEST_F(TallowClientTest, ProcessWithoutInitGetsTheSwitchOff) {
  install_backend(bundle::source_from_environment());
  EXPECT_EQ(testing::exit_code_in_child(
                [] { return !client::bjse_enabled() && !all_instruments().empty(); }),
            0);
}

TEST_F(TallowClientTest, ScriptedDoubleRecordsEveryArgument) {
  testing::ScopedScriptedService svc;
  svc->on_get_price = [](const std::string&, const PriceArgs&) { return PriceTable{}; };
  PriceArgs args;
  args.start_date = std::int64_t{20240101};
  args.end_date = std::string("20240105");
  args.frequency = "1m";
  args.adjust_type = "none";
  args.expect_df = true;
  args.market = "hk";
  get_price("00700.XHKG", args);
  is_suspended("000001.XSHE", date_from_number(20240101), std::int64_t{20240131});
  all_instruments({.type = "CS", .market = "hk"});
  init(true);

  auto calls = svc->calls_of("get_price");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].order_book_id, "00700.XHKG");
  EXPECT_EQ(std::get<std::int64_t>(*calls[0].price.start_date), 20240101);
  EXPECT_EQ(std::get<std::string>(*calls[0].price.end_date), "20240105");
  EXPECT_EQ(calls[0].price.frequency, "1m");
  EXPECT_EQ(calls[0].price.adjust_type, "none");
  EXPECT_EQ(calls[0].price.expect_df, true);
  EXPECT_EQ(calls[0].price.market, "hk");
  auto suspended = svc->calls_of("is_suspended");
  ASSERT_EQ(suspended.size(), 1u);
  EXPECT_EQ(std::get<Date>(*suspended[0].start), date_from_number(20240101));
  EXPECT_EQ(svc->calls_of("all_instruments")[0].all.market, "hk");
  EXPECT_EQ(svc->calls_of("init").back().enable_bjse, true);  // after the implicit init(false)
  EXPECT_TRUE(client::bjse_enabled());
}

TEST(TallowDates, AcceptEveryFormCallersPass) {
  const Date d = date_from_number(20240628);
  EXPECT_EQ(to_date(std::int64_t{20240628}), d);
  EXPECT_EQ(to_date(std::string("20240628")), d);
  EXPECT_EQ(to_date(std::string("2024-06-28")), d);
  EXPECT_EQ(to_date(d), d);
  EXPECT_EQ(to_date(make_datetime(d, 15, 0)), d);
  EXPECT_THROW(to_date(std::string("2024628")), ValueError);
  EXPECT_THROW(to_date(std::int64_t{20240231}), ValueError);
  EXPECT_EQ(describe(std::int64_t{20240628}), "20240628");
  EXPECT_EQ(describe(std::string("20240628")), "\"20240628\"");
  EXPECT_EQ(describe(d), "2024-06-28");
}

}  // namespace
}  // namespace tessera_plus::tallow
