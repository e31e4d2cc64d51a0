#include "securebuffer.h"

#include <gtest/gtest.h>

#include <QString>

#include <algorithm>

namespace umbrafold {
namespace {

bool tailIsZero(const SecureBuffer& buffer) {
  const auto storage = buffer.storage();
  return std::all_of(storage.begin() + static_cast<std::ptrdiff_t>(buffer.size()), storage.end(),
                     [](char16_t unit) { return unit == 0; });
}

TEST(SecureBufferTest, InsertsAndRemovesInPlace) {
  SecureBuffer buffer(16);
  ASSERT_TRUE(buffer.replace(0, 0, u"held"));
  ASSERT_TRUE(buffer.replace(2, 0, u"XY"));
  EXPECT_EQ(buffer.view(), u"heXYld");
  ASSERT_TRUE(buffer.replace(1, 4, u"e"));
  EXPECT_EQ(buffer.view(), u"hed");
  ASSERT_TRUE(buffer.replace(3, 0, u"!"));
  EXPECT_EQ(buffer.view(), u"hed!");
}

TEST(SecureBufferTest, ShrinkingZeroesTheVacatedUnits) {
  SecureBuffer buffer(32);
  ASSERT_TRUE(buffer.replace(0, 0, u"correct horse"));
  ASSERT_TRUE(buffer.replace(0, 8, {}));
  EXPECT_EQ(buffer.view(), u"horse");
  EXPECT_TRUE(tailIsZero(buffer));
  ASSERT_TRUE(buffer.replace(0, 5, u"ab"));
  EXPECT_EQ(buffer.view(), u"ab");
  EXPECT_TRUE(tailIsZero(buffer));
}

TEST(SecureBufferTest, ClearZeroesEverything) {
  SecureBuffer buffer(8);
  ASSERT_TRUE(buffer.replace(0, 0, u"secret!!"));
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
