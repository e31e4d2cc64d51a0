#include "setupplacement.h"

#include <gtest/gtest.h>

namespace umbrafold {
namespace {

const QSize kWindow(412, 296);  // content plus a 28 px title bar

DisplayInfo screen(const char* number, QRect frame, QRect visible) {
  return {QString::fromLatin1(number), frame, visible};
}

// The primary display with a 32 px panel on top, and a secondary display to
// its right with its whole frame usable.
const DisplayInfo kPrimary = screen("A", {0, 0, 1280, 800}, {0, 32, 1280, 768});
const DisplayInfo kSecondary = screen("B", {1280, 0, 1024, 768}, {1280, 0, 1024, 768});

TEST(SetupWindowOrigin, CentresInTheVisibleFrameOfTheDisplayUnderThePointer) {
  // 32 + (768 - 296) / 2 = 268; 640 - 206 = 434.
  EXPECT_EQ(setupWindowOrigin({kPrimary, kSecondary}, kPrimary, {10, 10}, kWindow),
            QPoint(434, 268));
  // The pointer on the secondary display: 1280 + 512 - 206 = 1586; 384 - 148 = 236.
  EXPECT_EQ(setupWindowOrigin({kPrimary, kSecondary}, kPrimary, {1500, 700}, kWindow),
            QPoint(1586, 236));
}

TEST(SetupWindowOrigin, ContainmentIsHalfOpen) {
  // x = 1280 is the secondary display's first column, not the primary's last.
  EXPECT_EQ(setupWindowOrigin({kPrimary, kSecondary}, kPrimary, {1280, 0}, kWindow)->x(), 1586);
  EXPECT_EQ(setupWindowOrigin({kPrimary, kSecondary}, kPrimary, {1279, 799}, kWindow)->x(), 434);
}

TEST(SetupWindowOrigin, BottomEdgeNeverBelowAShortVisibleFrame) {
  // 200 px of usable height: the frame's bottom sits on the visible bottom
  // (100 + 200), its top above the visible frame.
  const DisplayInfo shortOne = screen("C", {0, 0, 800, 400}, {0, 100, 800, 200});
  EXPECT_EQ(setupWindowOrigin({shortOne}, shortOne, {5, 5}, kWindow), QPoint(194, 4));
}

TEST(SetupWindowOrigin, RoundsHalvesAwayFromZero) {
  const DisplayInfo odd = screen("D", {-1001, -601, 1001, 601}, {-1001, -601, 1001, 601});
  // midX = -500.5, minus 206 = -706.5 -> -707; midY = -300.5, minus 148 = -448.5 -> -449.
  EXPECT_EQ(setupWindowOrigin({odd}, odd, {-1, -1}, kWindow), QPoint(-707, -449));
  const DisplayInfo even = screen("E", {0, 0, 1001, 601}, {0, 0, 1001, 601});
  // 500.5 - 206 = 294.5 -> 295; 300.5 - 148 = 152.5 -> 153.
  EXPECT_EQ(setupWindowOrigin({even}, even, {0, 0}, kWindow), QPoint(295, 153));
}

TEST(SetupWindowOrigin, NoDisplayUnderThePointerUsesTheMainDisplay) {
  EXPECT_EQ(setupWindowOrigin({kPrimary, kSecondary}, kSecondary, {-50, -50}, kWindow),
            QPoint(1586, 236));
  EXPECT_EQ(setupWindowOrigin({}, std::nullopt, {0, 0}, kWindow), std::nullopt);
}

}  // namespace
}  // namespace umbrafold
