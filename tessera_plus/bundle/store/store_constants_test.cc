#include <gtest/gtest.h>

#include "tessera_plus/bundle/store/constants.h"

TEST(Constants, BloscOptionsCarryLz4AtLevelNine) {
  using tessera_plus::bundle::COMPRESSION_KWARGS;
  ASSERT_EQ(COMPRESSION_KWARGS.filters.size(), 1u);
  EXPECT_EQ(COMPRESSION_KWARGS.filters[0].id, 32001);
  EXPECT_EQ(COMPRESSION_KWARGS.filters[0].cd_values[4], 9u);
  EXPECT_EQ(COMPRESSION_KWARGS.filters[0].cd_values[6], 1u);
}
