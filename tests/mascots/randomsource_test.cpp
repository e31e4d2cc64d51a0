#include "randomsource.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace umbrafold {
namespace {

using testing::ScriptedRandom;

TEST(UniformDraw, ReachesBothEndsAtFiftyThreeBits) {
  ScriptedRandom random;
  random.push(ScriptedRandom::word(0))
      .push(ScriptedRandom::word(ScriptedRandom::kTop))
      .push(ScriptedRandom::word(ScriptedRandom::kTop / 2) | 0x3ff);  // low bits unused
  EXPECT_EQ(uniformDraw(random, 2, 17), 2);
  EXPECT_EQ(uniformDraw(random, 2, 17), 17);
  EXPECT_EQ(uniformDraw(random, 26, 88), 57);
}

TEST(UniformDraw, RejectsWordsAboveTheRangeInsteadOfFoldingThem) {
  ScriptedRandom random;
  random.push(ScriptedRandom::word(ScriptedRandom::kTop + 1))
      .push(~std::uint64_t{0})
      .push(ScriptedRandom::word(3));
  EXPECT_EQ(uniformDraw(random, 0, 0x1p53), 3);
  EXPECT_EQ(random.taken, 3);
}

TEST(SecureRandomSource, DeliversVaryingWords) {
  SecureRandomSource random;
  const std::uint64_t first = random.next64();
  bool varied = false;
  for (int i = 0; i < 4 && !varied; ++i) varied = random.next64() != first;
  EXPECT_TRUE(varied);
}

}  // namespace
}  // namespace umbrafold
