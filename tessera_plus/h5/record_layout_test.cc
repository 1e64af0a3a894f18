// Storing service values into integer fields: noise snapped, real fractions truncated, values that
// cannot be stored refused.
#include "tessera_plus/h5/record_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>
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

// Products at or near a whole number go through a vectorised lane and anything else through the
// careful one, a batch of a few hundred values at a time. Whatever lane and batch a value lands in,
// it is stored as one value alone would be: the limits of each type exactly, noise snapped beside
// whole values, and a value that cannot be stored refused wherever it sits in the column.
template <typename T>
void expect_column_matches_single_values(Kind kind, std::vector<double> edges) {
  std::vector<double> values(700);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i % 97) - 40;
  if (std::is_unsigned_v<T>) {
    for (double& v : values) v = std::fabs(v);
  }
  values[300] = 0.57 * 10000;  // noise, in the second batch
  std::copy(edges.begin(), edges.end(), values.begin() + 600);
  struct Row {
    T field;
    std::int32_t guard;
  };
  std::vector<Row> rows(values.size(), Row{T{}, 7});
  store_column(reinterpret_cast<std::byte*>(rows.data()), sizeof(Row), Field{"v", kind, 0}, values);
  for (std::size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "row " << i << " value " << values[i]);
    EXPECT_EQ(rows[i].field, stored<T>(kind, values[i]));
    EXPECT_EQ(rows[i].guard, 7);
  }
  EXPECT_EQ(rows[300].field, T{5700});
  // Just past each end of T's range (2^63 itself for the 64-bit type: the double below it is
  // whole and fits).
  const double above = static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
  const double below = std::is_unsigned_v<T> ? -1.0
                       : sizeof(T) < 8 ? static_cast<double>(std::numeric_limits<T>::min()) - 1
                                       : -9.3e18;
  for (double bad : {std::nan(""), -std::numeric_limits<double>::infinity(), above, below}) {
    SCOPED_TRACE(bad);
    std::vector<double> column(values.begin(), values.begin() + 600);
    column[100] = bad;  // a batch of whole values otherwise
    EXPECT_THROW(store_column(reinterpret_cast<std::byte*>(rows.data()), sizeof(Row),
                              Field{"v", kind, 0}, column),
                 ValueError);
  }
}

TEST(StoreColumn, EveryLaneAndBatchStoresAsOneValueAlone) {
  const double two_51 = 2251799813685248.0;
  expect_column_matches_single_values<std::int64_t>(
      Kind::kInt64, {two_51 - 1, -(two_51 - 1), two_51, -two_51, 1152921504606846976.0, -0.0,
                     -9223372036854775808.0, 3.5, -3.5});
  expect_column_matches_single_values<std::int32_t>(
      Kind::kInt32, {2147483647.0, -2147483647.0, -2147483648.0, -0.0, 2147483647.9});
  expect_column_matches_single_values<std::uint32_t>(Kind::kUInt32,
                                                     {4294967295.0, 0.0, -0.0, -0.5, 4294967295.5});
  // Noise is four doubles at most (the spacing around 7 is its ulp), among whole values or alone.
  double below = 7.0;
  for (int steps = 1; steps <= 6; ++steps) {
    below = std::nextafter(below, 0.0);
    SCOPED_TRACE(steps);
    std::vector<double> column(300, 3.0);
    column[10] = below;
    std::vector<std::int64_t> out(column.size());
    store_column(reinterpret_cast<std::byte*>(out.data()), sizeof(std::int64_t),
                 Field{"v", Kind::kInt64, 0}, column);
    EXPECT_EQ(out[10], steps <= 4 ? 7 : 6);
    EXPECT_EQ(out[11], 3);
  }
  // The exact expectations for the edges, not only agreement with the one-value path.
  std::int64_t edge[2] = {};
  const double whole[2] = {two_51 - 1, -(two_51 - 1)};
  store_column(reinterpret_cast<std::byte*>(edge), sizeof(std::int64_t),
               Field{"v", Kind::kInt64, 0}, whole);
  EXPECT_EQ(edge[0], 2251799813685247);
  EXPECT_EQ(edge[1], -2251799813685247);
}

// The conversion as first written, one value at a time with the library's rounding: snap to the
// nearest whole number within 4 ULPs of it, then truncate toward zero.
std::int64_t reference_int64(double value) {
  const double nearest = std::nearbyint(value);
  const double ulp = std::nextafter(std::fabs(nearest), INFINITY) - std::fabs(nearest);
  return static_cast<std::int64_t>(std::fabs(value - nearest) <= 4 * ulp ? nearest : value);
}

// Scaled prices with a few decimals, volumes, zeros and values up to a few doubles either side of
// whole ones; columns differ in how far off their values go and in whether real fractions or
// negative zeros (which take the careful path) are among them, so that batches of every mix meet
// both paths.
TEST(StoreColumn, RandomColumnsMatchTheOneValueReference) {
  std::mt19937_64 rng(20261207);
  std::uniform_int_distribution<int> kind(0, 5);
  std::uniform_int_distribution<std::int64_t> cents(-5'000'000, 5'000'000);
  for (int round = 0; round < 48; ++round) {
    const int reach = round % 8;
    const bool fractions = round % 3 == 0, negative_zeros = round % 5 == 0;
    std::uniform_int_distribution<int> steps(-reach, reach);
    std::vector<double> values(1000);
    for (double& v : values) {
      const double whole = static_cast<double>(cents(rng));
      switch (kind(rng)) {
        case 0:
          v = whole / 100 * 10000;  // a price of 2 decimals, scaled
          break;
        case 1:
          v = fractions ? whole / 1000 * 10000 + 0.3 : whole;
          break;
        case 2:
          v = negative_zeros ? -0.0 : 0.0;
          break;
        default: {
          v = whole;
          for (int k = steps(rng); k != 0; k += k > 0 ? -1 : 1) {
            v = std::nextafter(v, k > 0 ? INFINITY : -INFINITY);
          }
        }
      }
    }
    std::vector<std::int64_t> out(values.size());
    store_column(reinterpret_cast<std::byte*>(out.data()), sizeof(std::int64_t),
                 Field{"v", Kind::kInt64, 0}, values);
    for (std::size_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(out[i], reference_int64(values[i]))
          << "value " << values[i] << " row " << i << " round " << round;
    }
  }
}

}  // namespace
}  // namespace tessera_plus::h5
