#include "securebuffer.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace umbrafold {
namespace {

bool tailIsZero(const SecureBuffer& buffer) {
  const auto storage = buffer.storage();
  return std::all_of(storage.begin() + static_cast<std::ptrdiff_t>(buffer.size()), storage.end(),
                     [](char16_t unit) { return unit == 0; });
}

TEST(SecureBufferTest, EditsInPlaceAndZeroesWhatItGivesUp) {
  SecureBuffer buffer(16);
  ASSERT_TRUE(buffer.replace(0, 0, u"held"));
  ASSERT_TRUE(buffer.replace(2, 0, u"XY"));
  EXPECT_EQ(buffer.view(), u"heXYld");
  ASSERT_TRUE(buffer.replace(1, 4, u"e"));
  EXPECT_EQ(buffer.view(), u"hed");
  EXPECT_TRUE(tailIsZero(buffer));
  buffer.clear();
  EXPECT_TRUE(buffer.empty());
  EXPECT_TRUE(tailIsZero(buffer));
}

TEST(SecureBufferTest, RefusesChangesBeyondCapacityOrRange) {
  SecureBuffer buffer(4);
  ASSERT_TRUE(buffer.replace(0, 0, u"abc"));
  EXPECT_FALSE(buffer.replace(3, 0, u"de"));
  EXPECT_FALSE(buffer.replace(4, 0, u"d"));
  EXPECT_FALSE(buffer.replace(2, 2, {}));
  EXPECT_EQ(buffer.view(), u"abc");
  EXPECT_TRUE(buffer.replace(0, 3, u"wxyz"));
  EXPECT_EQ(buffer.view(), u"wxyz");
}

}  // namespace
}  // namespace umbrafold
