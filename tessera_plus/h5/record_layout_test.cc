// Storing service values into integer fields: noise snapped, real fractions truncated, values that
// cannot be stored refused.
#include "tessera_plus/h5/record_layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::h5 {
namespace {

template <typename T>
T stored(Kind kind, double value) {
  std::byte record[8] = {};
  store_field(record, Field{"v", kind, 0}, value);
  T out;
  std::memcpy(&out, record, sizeof out);
  return out;
}

TEST(StoreField, SnapsOnlyFloatingPointNoise) {
  EXPECT_EQ(stored<std::int64_t>(Kind::kInt64, 0.57 * 10000), 5700);  // 5699.999999999999
  EXPECT_EQ(stored<std::int64_t>(Kind::kInt64, 1.1 * 1e8), 110000000);
  // A real fraction stays a fraction however large the value.
  EXPECT_EQ(stored<std::int64_t>(Kind::kInt64, 600000000.7), 600000000);
  EXPECT_EQ(stored<std::int64_t>(Kind::kInt64, 4e12 + 0.5), 4000000000000);
  EXPECT_EQ(stored<std::int32_t>(Kind::kInt32, -2.9999), -2);
}

TEST(StoreField, ValuesThatCannotBeStoredAreValueErrors) {
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), 5e9, -1.0}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(stored<std::uint32_t>(Kind::kUInt32, bad), ValueError);
  }
  EXPECT_THROW(stored<std::int64_t>(Kind::kInt64, 1e19), ValueError);
  EXPECT_EQ(stored<double>(Kind::kFloat64, std::nan("")) != 0, true);  // floats keep NaN
}

// The edges of the conversion: fractions that truncate into an integer type's range are stored,
// the first values beyond it are refused, and values too large for the quick rounding (2^51 on)
// still snap and truncate exactly.
TEST(StoreField, RangeEdgesAndLargeValuesConvertExactly) {
  EXPECT_EQ(stored<std::int32_t>(Kind::kInt32, 2147483647.9), 2147483647);
  EXPECT_EQ(stored<std::int32_t>(Kind::kInt32, -2147483648.9), -2147483648);
  EXPECT_THROW(stored<std::int32_t>(Kind::kInt32, 2147483648.0), ValueError);
  EXPECT_THROW(stored<std::int32_t>(Kind::kInt32, -2147483649.0), ValueError);
  EXPECT_EQ(stored<std::uint32_t>(Kind::kUInt32, -0.9), 0u);
  EXPECT_EQ(stored<std::uint32_t>(Kind::kUInt32, 4294967295.5), 4294967295u);
  EXPECT_THROW(stored<std::uint32_t>(Kind::kUInt32, 4294967296.0), ValueError);
  EXPECT_EQ(stored<std::int64_t>(Kind::kInt64, -9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(stored<std::int64_t>(Kind::kInt64, 2.5), 2);  // a real half, not noise
  EXPECT_EQ(stored<std::int64_t>(Kind::kInt64, -2.5), -2);
  const double two_51 = 2251799813685248.0;
  EXPECT_EQ(stored<std::int64_t>(Kind::kInt64, two_51 + 0.5), 2251799813685248);
  // Half a unit is within 4 ULPs (0.5 each) here, so it snaps, ties to even, as it always did.
  EXPECT_EQ(stored<std::int64_t>(Kind::kInt64, -(two_51 + 1.5)), -2251799813685250);
  EXPECT_EQ(stored<std::int64_t>(Kind::kInt64, 4503599627370497.0), 4503599627370497);
  EXPECT_EQ(stored<std::int64_t>(Kind::kInt64, std::nextafter(7.0, 0.0)), 7);  // noise below 7
}

// A column goes in with the same conversion and errors as one value at a time.
TEST(StoreColumn, FillsOneFieldOfEveryRecordAndScales) {
  struct Row {
    std::int64_t a;
    std::int32_t b;
  };
  std::vector<Row> rows(3, Row{-1, -1});
  const double values[] = {0.57, 1.0, 10.01};
  store_column(reinterpret_cast<std::byte*>(rows.data()), sizeof(Row), Field{"a", Kind::kInt64, 0},
               values, 10000.0);
  EXPECT_EQ(rows[0].a, 5700);
  EXPECT_EQ(rows[1].a, 10000);
  EXPECT_EQ(rows[2].a, 100100);
  EXPECT_EQ(rows[2].b, -1);  // the other field untouched
  const double bad[] = {1.0, std::nan("")};
  EXPECT_THROW(store_column(reinterpret_cast<std::byte*>(rows.data()), sizeof(Row),
                            Field{"b", Kind::kInt32, 8}, bad),
               ValueError);
}

}  // namespace
}  // namespace tessera_plus::h5
