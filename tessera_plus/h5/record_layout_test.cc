// Storing service values into integer fields: noise snapped, real fractions truncated, values that
// cannot be stored refused.
#include "tessera_plus/h5/record_layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

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

}  // namespace
}  // namespace tessera_plus::h5
