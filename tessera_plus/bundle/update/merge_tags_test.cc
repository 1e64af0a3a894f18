#include "tessera_plus/bundle/update/merge_tags.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "tessera_plus/market/client.h"
#include "tests/support/scripted_service.h"

namespace tessera_plus::bundle {
namespace {

using tallow::AllInstrumentsArgs;
using tallow::Instrument;
using tallow::InstrumentAnswer;
using ::testing::ElementsAre;
using IdSet = std::set<std::string>;

Instrument row(std::string id, std::string type, std::string underlying = "",
               std::string symbol = "") {
  return Instrument{.order_book_id = std::move(id),
                    .type = std::move(type),
                    .underlying_order_book_id = std::move(underlying),
                    .underlying_symbol = std::move(symbol)};
}

const std::string kKeywords =
    "可选的参数值有 [stock, futures, fund, index, option, convertible] 或 underlying_symbol 或 "
    "order_book_id\n";

// A small market. Every call is traced together with the switch state it saw, so a test can
// assert the whole conversation with the client.
class MergeTagsTest : public ::testing::Test {
 protected:
  void SetUp() override { start_with_switch(false); }

  void start_with_switch(bool on) {
    tallow::init(on);
    svc->calls.clear();
    trace.clear();
    svc->on_init = [this](bool value) { note(value ? "init(true)" : "init(false)"); };
    svc->on_all_instruments = [this](const AllInstrumentsArgs& a) { return table(a); };
    svc->on_convertible_instruments = [this](const std::vector<std::string>& ids) {
      std::string joined;
      for (const std::string& id : ids) joined += (joined.empty() ? "" : ",") + id;
      note("convertible.instruments(" + joined + ")");
      return convertible_answer;
    };
  }

  std::vector<Instrument> table(const AllInstrumentsArgs& a) {
    std::string what = a.type.value_or("") + (a.market ? "," + *a.market : "");
    note("all_instruments(" + what + ")" + (svc->bjse ? " bjse" : ""));
    if (a.market == "hk") return {row("00700.XHKG", "CS"), row("09988.XHKG", "CS")};
    if (a.type == "OPTION")
      return {row("10000001", "OPTION", "510050.XSHG"), row("IO2406C3500", "OPTION", "IF2406"),
              row("OS000001", "OPTION", "000001.XSHE"), row("SO000001", "OPTION", "SF000001")};
    if (a.type == "FUTURE")
      return {row("IF2406", "FUTURE", "000300.XSHG", "IF"),
              row("IF2407", "FUTURE", "000300.XSHG", "IF"), row("CU2407", "FUTURE", "", "CU"),
              row("SF000001", "FUTURE", "000001.XSHE", "SF")};
    if (a.type == "CONVERTIBLE") return {row("113001.XSHG", "CONVERTIBLE")};
    std::vector<Instrument> general = {
        row("000001.XSHE", "CS"),          row("000002.XSHE", "CS"),
        row("510050.XSHG", "ETF"),         row("160105.XSHE", "LOF"),
        row("000300.XSHG", "INDX"),        row("IF2406", "FUTURE", "000300.XSHG", "IF"),
        row("CU2407", "FUTURE", "", "CU"), row("10000001", "OPTION", "510050.XSHG"),
        row("113001.XSHG", "CONVERTIBLE"), row("508000.XSHG", "REITs")};
    // The switch widens the tables to the Beijing exchange, as the real service does.
    if (svc->bjse) general.push_back(row("430047.BJSE", "CS"));
    return general;
  }

  void note(std::string event) {
    if (trace.empty()) switch_queries_before_first_event = svc->calls_of("bjse_enabled").size();
    trace.push_back(std::move(event));
  }

  IdSet merge(const std::vector<std::string>& tags, bool with_derivatives = false,
              bool enable_bjse = false) {
    ::testing::internal::CaptureStdout();
    try {
      IdSet result = _merge_tags(tags, with_derivatives, enable_bjse);
      out = ::testing::internal::GetCapturedStdout();
      return result;
    } catch (...) {
      out = ::testing::internal::GetCapturedStdout();
      throw;
    }
  }

  testing::ScopedScriptedService svc;
  std::vector<std::string> trace;
  std::size_t switch_queries_before_first_event = 0;
  InstrumentAnswer convertible_answer;
  std::string out;
};

TEST_F(MergeTagsTest, AllSelectsEveryKeywordTypeButNothingElse) {
  convertible_answer = Instrument{.order_book_id = "113001.XSHG", .stock_code = "600001.XSHG"};
  IdSet ids = merge({"all"});
  EXPECT_EQ(ids, (IdSet{"000001.XSHE", "000002.XSHE", "430047.BJSE", "510050.XSHG", "160105.XSHE",
                        "000300.XSHG", "IF2406", "CU2407", "10000001", "113001.XSHG",
                        "600001.XSHG"}));  // no REITs: no keyword asks for them
  EXPECT_EQ(out, "");                      // "all" is a keyword, not an unsupported tag
  EXPECT_THAT(trace,
              ElementsAre("init(true)", "all_instruments() bjse", "all_instruments(OPTION) bjse",
                          "all_instruments(FUTURE) bjse", "all_instruments(CONVERTIBLE) bjse",
                          "convertible.instruments(113001.XSHG)", "init(false)"));
  EXPECT_EQ(switch_queries_before_first_event, 1u);
  EXPECT_EQ(svc->calls_of("bjse_enabled").size(), 1u);
}

TEST_F(MergeTagsTest, FundAndIndexBothSelectIndexInstruments) {
  EXPECT_EQ(merge({"fund"}), (IdSet{"510050.XSHG", "160105.XSHE", "000300.XSHG"}));
  EXPECT_EQ(merge({"index"}), (IdSet{"000300.XSHG"}));
  EXPECT_EQ(merge({"index", "fund", "index"}),
            (IdSet{"510050.XSHG", "160105.XSHE", "000300.XSHG"}));
}

TEST_F(MergeTagsTest, StockWithoutBjseKeepsSwitchOffButStillSwitchesOffAtEnd) {
  IdSet ids = merge({"stock"});
  EXPECT_EQ(ids, (IdSet{"000001.XSHE", "000002.XSHE"}));
  EXPECT_THAT(trace,
              ElementsAre("all_instruments()", "all_instruments(OPTION)", "all_instruments(FUTURE)",
                          "all_instruments(CONVERTIBLE)", "init(false)"));
}

TEST_F(MergeTagsTest, StockWithBjseTurnsSwitchOnForTheQueries) {
  IdSet ids = merge({"stock"}, false, true);
  EXPECT_EQ(ids, (IdSet{"000001.XSHE", "000002.XSHE", "430047.BJSE"}));
  EXPECT_EQ(trace.front(), "init(true)");
  EXPECT_EQ(trace.back(), "init(false)");
  EXPECT_FALSE(svc->bjse);
}

TEST_F(MergeTagsTest, OtherTagsTurnSwitchOnWhateverEnableBjseSays) {
  merge({"futures"});
  EXPECT_THAT(trace, ElementsAre("init(true)", "all_instruments() bjse",
                                 "all_instruments(OPTION) bjse", "all_instruments(FUTURE) bjse",
                                 "all_instruments(CONVERTIBLE) bjse", "init(false)"));
  EXPECT_FALSE(svc->bjse);
}

TEST_F(MergeTagsTest, SwitchOnAtEntryIsNeverTouched) {
  for (bool enable_bjse : {false, true}) {
    start_with_switch(true);
    merge({"stock", "futures"}, false, enable_bjse);
    EXPECT_TRUE(svc->calls_of("init").empty());
    EXPECT_TRUE(svc->bjse);
  }
}

TEST_F(MergeTagsTest, UnderlyingSymbolSelectsListedContractsAndReportsTheRest) {
  IdSet ids = merge({"IF"});
  EXPECT_EQ(ids, (IdSet{"IF2406"}));
  // IF2407 is a contract of the symbol that the general table does not list.
  EXPECT_EQ(out, "不支持的参数值:[IF2407]，\n" + kKeywords);
}

TEST_F(MergeTagsTest, OptionIdBringsItsUnderlying) {
  EXPECT_EQ(merge({"10000001"}), (IdSet{"10000001", "510050.XSHG"}));
  EXPECT_EQ(out, "");
  // Not in the general table: only its underlying is selected, the id itself is reported.
  EXPECT_EQ(merge({"IO2406C3500"}), (IdSet{"IF2406"}));
  EXPECT_EQ(out, "不支持的参数值:[IO2406C3500]，\n" + kKeywords);
}

TEST_F(MergeTagsTest, HongKongTableOnlyForHongKongIds) {
  IdSet ids = merge({"00700.XHKG", "000002.XSHE"});
  EXPECT_EQ(ids, (IdSet{"00700.XHKG", "000002.XSHE"}));
  EXPECT_THAT(trace,
              ElementsAre("init(true)", "all_instruments() bjse", "all_instruments(OPTION) bjse",
                          "all_instruments(FUTURE) bjse", "all_instruments(CONVERTIBLE) bjse",
                          "all_instruments(CS,hk) bjse", "init(false)"));
  svc->calls.clear();
  merge({"000001.XSHE"});
  for (const auto& call : svc->calls_of("all_instruments")) EXPECT_NE(call.all.market, "hk");
}

TEST_F(MergeTagsTest, DerivativesIncludeOptionsOnSelectedFutures) {
  EXPECT_EQ(merge({"000001.XSHE"}, true),
            (IdSet{"000001.XSHE", "SF000001", "OS000001", "SO000001"}));
  EXPECT_EQ(merge({"000001.XSHE"}, false), (IdSet{"000001.XSHE"}));
}

TEST_F(MergeTagsTest, ConvertibleAlwaysBringsItsConversionStock) {
  convertible_answer = Instrument{.order_book_id = "113001.XSHG", .stock_code = "600001.XSHG"};
  EXPECT_EQ(merge({"113001.XSHG"}), (IdSet{"113001.XSHG", "600001.XSHG"}));
  convertible_answer = std::vector<Instrument>{
      Instrument{.order_book_id = "113001.XSHG", .stock_code = "600002.XSHG"}};
  EXPECT_EQ(merge({"113001.XSHG"}), (IdSet{"113001.XSHG", "600002.XSHG"}));
  convertible_answer = std::monostate{};
  EXPECT_EQ(merge({"113001.XSHG"}), (IdSet{"113001.XSHG"}));
  // No convertible selected: no request for convertible records at all.
  svc->calls.clear();
  merge({"000001.XSHE"});
  EXPECT_TRUE(svc->calls_of("convertible.instruments").empty());
}

TEST_F(MergeTagsTest, UnknownTagsAreReportedAndTheRestResolved) {
  IdSet ids = merge({"zzz", "000001.XSHE", "nope", "stock"});
  EXPECT_EQ(ids, (IdSet{"000001.XSHE", "000002.XSHE"}));
  EXPECT_EQ(out, "不支持的参数值:[nope, zzz]，\n" + kKeywords);
}

TEST_F(MergeTagsTest, EmptyRequestStillRestoresTheSwitch) {
  EXPECT_TRUE(merge({}).empty());
  EXPECT_EQ(trace.back(), "init(false)");
  EXPECT_EQ(out, "");
}

TEST_F(MergeTagsTest, ServiceErrorPropagatesAndLeavesSwitchOn) {
  svc->on_all_instruments = [](const AllInstrumentsArgs& a) -> std::vector<Instrument> {
    if (a.type == "FUTURE") throw std::runtime_error("service down");
    return {};
  };
  EXPECT_THROW(merge({"futures"}), std::runtime_error);
  EXPECT_TRUE(svc->bjse);  // the switch is not put back on an error
}

}  // namespace
}  // namespace tessera_plus::bundle
