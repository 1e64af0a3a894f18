#include "tessera_plus/base/json_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "tessera_plus/base/errors.h"

namespace tessera_plus {
namespace {

TEST(JsonWriter, EscapesQuotesBackslashesAndEveryControlCharacter) {
  EXPECT_EQ(json_quoted("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(json_quoted("\n\r\t\b\f"), R"("\n\r\t\b\f")");
  EXPECT_EQ(json_quoted(std::string("\x00\x01\x1f\x7f", 4)), R"("\u0000\u0001\u001f\u007f")");
  EXPECT_EQ(json_quoted(" /~"), R"(" /~")");
}

TEST(JsonWriter, PassesUtf8Through) {
  EXPECT_EQ(json_quoted("检测完成：数据质量良好！"), "\"检测完成：数据质量良好！\"");
  EXPECT_EQ(json_quoted("\xf0\x9f\x93\x88"), "\"\xf0\x9f\x93\x88\"");
}

TEST(JsonWriter, SeparatesMembersAndNestsContainers) {
  JsonWriter w;
  w.begin_object().key("n").value(std::uint64_t{3}).key("neg").value(std::int64_t{-4});
  w.key("list").value(std::vector<std::string>{"a", "b"});
  w.key("empty").begin_array().end_array();
  w.key("objs").begin_array().begin_object().key("x").value(true).end_object();
  w.begin_object().key("y").null().end_object().end_array();
  w.key("d").value(0.5).key("nan").value(std::numeric_limits<double>::quiet_NaN());
  w.end_object();
  EXPECT_EQ(w.text(),
            R"({"n":3,"neg":-4,"list":["a","b"],"empty":[],"objs":[{"x":true},{"y":null}],)"
            R"("d":0.5,"nan":null})"
            "\n");
}

TEST(JsonWriter, RefusesAnUnfinishedOrSecondDocument) {
  JsonWriter open;
  open.begin_object().key("a");
  EXPECT_THROW(open.text(), ValueError);
  JsonWriter two;
  two.value(1);
  EXPECT_THROW(two.value(2), ValueError);
}

}  // namespace
}  // namespace tessera_plus
