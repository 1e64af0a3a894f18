// The JSON documents of `check --json`, `update --report` and `status --json`, rendered from
// crafted results: member order, escapes, UTF-8, bytes that are not UTF-8, and the schemas.
#include "cli/reports.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/support/json_check.h"

namespace tessera_plus::cli {
namespace {

using ::testing::HasSubstr;
using testing::json_field;
using testing::schema_errors;

// "\xff" and a cut three-byte character: what a file name or a foreign error text can hold.
const std::string kNotUtf8 = "bad \xff byte \xe6\x95";
const std::string kReplacement = "\xef\xbf\xbd";

CheckReport check_report() {
  CheckReport r;
  r.kind = "minbar";
  r.data_bundle_path = "/data/数据";
  r.findings.checked = true;
  r.findings.files = 3;
  r.findings.add_broken("/data/数据/bundle/h5/equities/000001.XSHE.h5",
                        "缺失交易日 \"20200103\"\\\n\r\t\b\f\x01\x1f end");
  r.findings.add_locked("/data/数据/bundle/h5/equities/600000.XSHG.h5", "held");
  r.deleted = 1;
  r.seconds = 0.5;
  r.exit_status = 1;
  return r;
}

TEST(Reports, CheckReportKeepsMemberOrderEscapesControlsAndWritesUtf8AsIs) {
  const std::string doc = render_check_report(check_report());
  EXPECT_EQ(doc, R"({"kind":"minbar","data_bundle_path":"/data/数据","checked":true,"files":3,)"
                 R"("broken":[{"path":"/data/数据/bundle/h5/equities/000001.XSHE.h5",)"
                 R"("order_book_id":"000001.XSHE",)"
                 R"("reason":"缺失交易日 \"20200103\"\\\n\r\t\b\f\u0001\u001f end"}],)"
                 R"("locked":[{"path":"/data/数据/bundle/h5/equities/600000.XSHG.h5",)"
                 R"("order_book_id":"600000.XSHG","reason":"held"}],)"
                 R"("deleted":1,"duration_seconds":0.5,"exit_status":1})"
                 "\n");
  EXPECT_EQ(schema_errors(doc, "check-report.schema.json"), "") << doc;
  EXPECT_EQ(json_field(doc, "d['broken'][0]['reason']"), check_report().findings.broken_reasons[0]);
}

TEST(Reports, CheckReportWithoutFilesSaysWhyInOneLine) {
  CheckReport r;
  r.kind = "tick";
  r.data_bundle_path = "/d";
  r.message = "没有 tick 数据!\n第二行";
  const std::string doc = render_check_report(r);
  EXPECT_EQ(schema_errors(doc, "check-report.schema.json"), "") << doc;
  EXPECT_EQ(json_field(doc, "[d['checked'], d['message'], d['broken'], d['locked']]"),
            R"([false, "没有 tick 数据!", [], []])");
}

TEST(Reports, BytesThatAreNotUtf8BecomeReplacementCharactersInsteadOfAnError) {
  CheckReport check = check_report();
  check.findings.broken_reasons[0] = kNotUtf8;
  check.findings.broken[0] = "/data/\xff.h5";
  std::string doc;
  ASSERT_NO_THROW(doc = render_check_report(check));
  EXPECT_THAT(doc, HasSubstr("\"reason\":\"bad " + kReplacement + " byte " + kReplacement));
  EXPECT_EQ(schema_errors(doc, "check-report.schema.json"), "") << doc;

  UpdateReport update;
  update.command = "update";
  update.data_bundle_path = "/d";
  update.error = kNotUtf8;
  update.totals.failed = 1;
  update.totals.failures.push_back({"000001.XSHE", kNotUtf8});
  ASSERT_NO_THROW(doc = render_update_report(update));
  EXPECT_EQ(schema_errors(doc, "update-report.schema.json"), "") << doc;
  EXPECT_EQ(
      json_field(doc, "d['error'] == d['failures'][0]['reason'] == 'bad \\ufffd byte \\ufffd'"),
      "true");

  bundle::BundleStatus status{.root = "/d"};
  status.classes.push_back({.name = "ticks", .dir = "/d/bundle/ticks", .present = true});
  status.classes[0].questioned.push_back({"/d/bundle/ticks/A.h5", kNotUtf8});
  ASSERT_NO_THROW(doc = render_status_report(status));
  EXPECT_EQ(schema_errors(doc, "status-report.schema.json"), "") << doc;
}

TEST(Reports, UpdateReportCountsUnlistedFailuresAndShrinkingFiles) {
  UpdateReport r;
  r.command = "smart-update";
  r.data_bundle_path = "/d";
  r.seconds = 2.25;
  r.totals.updated = 4;
  r.totals.unchanged = 5;
  r.totals.failed = 30;
  r.totals.retries = 31;
  r.totals.revised_days = 7;
  r.totals.rows = 5'000'000'000;
  r.totals.bytes = -4096;
  r.totals.failures.push_back({"000001.XSHE", "权限不足"});
  r.exit_status = 1;
  std::string doc = render_update_report(r);
  EXPECT_EQ(doc, R"({"command":"smart-update","data_bundle_path":"/d","updated":4,"unchanged":5,)"
                 R"("failed":30,"failures":[{"what":"000001.XSHE","reason":"权限不足"}],)"
                 R"("failures_not_listed":29,"retries":31,"revised_days":7,)"
                 R"("rows_written":5000000000,)"
                 R"("bytes_added":-4096,"error":null,"duration_seconds":2.25,"exit_status":1})"
                 "\n");
  EXPECT_EQ(schema_errors(doc, "update-report.schema.json"), "") << doc;

  r.totals = {};
  r.error = "is not a directory";
  r.exit_status = 2;
  doc = render_update_report(r);
  EXPECT_EQ(schema_errors(doc, "update-report.schema.json"), "") << doc;
  EXPECT_EQ(json_field(doc, "[d['failures'], d['failures_not_listed'], d['error']]"),
            R"([[], 0, "is not a directory"])");
}

TEST(Reports, StatusReportWritesMissingDatesAsNull) {
  bundle::BundleStatus status{.root = "/d", .has_calendar = true, .last_trading_day = 20200107};
  status.classes.push_back({.name = "equities", .dir = "/d/bundle/h5/equities"});
  status.classes.push_back({.name = "ticks",
                            .dir = "/d/bundle/ticks",
                            .present = true,
                            .files = 2,
                            .bytes = 1 << 20,
                            .first_date = 20200102,
                            .last_date = 20200106,
                            .behind = 1,
                            .with_gaps = 1,
                            .questioned = {{"/d/bundle/ticks/B.h5", "member 'x' is not a date"}}});
  const std::string doc = render_status_report(status);
  EXPECT_EQ(schema_errors(doc, "status-report.schema.json"), "") << doc;
  EXPECT_EQ(json_field(doc,
                       "[d['last_trading_day'], d['classes'][0]['first_date'], "
                       "d['classes'][0]['present'], d['classes'][1]['last_date'], "
                       "d['classes'][1]['questioned'][0]['reason']]"),
            R"([20200107, null, false, 20200106, "member 'x' is not a date"])");
  EXPECT_THAT(doc, HasSubstr(R"({"data_bundle_path":"/d","has_calendar":true,)"
                             R"("last_trading_day":20200107,"calendar_last_date":null,)"
                             R"("classes":[{"name":"equities",)"));
}

}  // namespace
}  // namespace tessera_plus::cli
