#include "mascotgeometry.h"

#include <gtest/gtest.h>

namespace umbrafold {
namespace {

TEST(MascotGeometry, SideSharesTheStripUpToFortyEight) {
  EXPECT_EQ(mascotSide(1000, 1), 48);
  EXPECT_DOUBLE_EQ(mascotSide(1000, 30), 880.0 / 30);
  EXPECT_EQ(mascotSide(1000, 0), 48);
}

TEST(MascotGeometry, ImagesFitTheSquareStandingOnePointUp) {
  EXPECT_EQ(mascotImageRect(100, 10, 48, 100, 100), (StripRect{76, 11, 48, 48}));
  EXPECT_EQ(mascotImageRect(100, 10, 48, 200, 100), (StripRect{76, 11, 48, 24}));
  EXPECT_EQ(mascotImageRect(100, 10, 48, 50, 100), (StripRect{88, 11, 24, 48}));
}

TEST(MascotGeometry, BoundsHoldTheLiftedSquareAndAWiderName) {
  EXPECT_EQ(united({0, 0, 2, 2}, {5, -1, 1, 1}), (StripRect{0, -1, 6, 3}));
  EXPECT_EQ(united({0, 0, 0, 0}, {5, 5, 1, 1}), (StripRect{5, 5, 1, 1}));
  EXPECT_EQ(united({5, 5, 1, 1}, {0, 0, 3, 0}), (StripRect{5, 5, 1, 1}));
  // Side 48: the square raised one point; a narrow name lies inside it.
  EXPECT_EQ(mascotBounds(100, 10, 48, 40, 14), (StripRect{76, 10, 48, 49}));
  // Side 16: the name sticks out on both sides.
  EXPECT_EQ(mascotBounds(100, 10, 16, 40, 14), (StripRect{80, 10, 40, 17}));
}

TEST(MascotGeometry, DrawingsStandOnWholeDevicePixels) {
  EXPECT_EQ(wholePixels(10.49, 1), 10);
  EXPECT_EQ(wholePixels(10.5, 1), 11);
  EXPECT_EQ(wholePixels(10.3, 2), 10.5);
  EXPECT_EQ(wholePixels(10.2, 1.25), 10.4);
  // 10.2 stays at 10 up to 10.5, and down to 9.5 (any step below changes it).
  EXPECT_NEAR(distanceToNextPixel(10.2, 1, true), 0.3, 1e-12);
  EXPECT_NEAR(distanceToNextPixel(10.2, 1, false), 0.7, 1e-12);
  EXPECT_EQ(distanceToNextPixel(10.5, 1, false), 0);
  EXPECT_NEAR(distanceToNextPixel(10.3, 2, true), 0.45, 1e-12);
}

TEST(MascotGeometry, SpansAreSortedAndJoinedWhereTheyOverlapOrTouch) {
  struct Row {
    std::vector<Span> spans;
    std::vector<Span> merged;
  };
  const Row rows[] = {
      {{}, {}},
      {{{30, 40}, {0, 10}}, {{0, 10}, {30, 40}}},                     // sorted, kept apart
      {{{0, 10}, {10, 20}}, {{0, 20}}},                               // touching
      {{{5, 50}, {0, 10}, {20, 30}, {60, 70}}, {{0, 50}, {60, 70}}},  // overlapping, inside
      {{{8, 8}, {3, 1}, {0, 2}}, {{0, 2}}},                           // empty ones dropped
  };
  for (const Row& row : rows) {
    std::vector<Span> spans = row.spans;
    mergeSpans(spans);
    EXPECT_EQ(spans, row.merged) << row.spans.size();
  }
}

TEST(MascotGeometry, FrameIsTheWholeStrideModuloTheFrameCount) {
  EXPECT_EQ(frameIndex(17.9, 8), 1u);
  EXPECT_EQ(frameIndex(17.9, 6), 5u);
  EXPECT_EQ(frameIndex(7.999, 8), 7u);
}

TEST(BubbleLayout, CentredOverTheMascot) {
  const BubbleLayout bubble = bubbleLayout(500, 60, 100, 13, 1000);
  EXPECT_EQ(bubble.bubble, (StripRect{443, 63, 114, 21}));
  EXPECT_EQ(bubble.tailX, 500);
  const std::array<StripRect, 4> black = {
      {{445, 63, 110, 21}, {443, 65, 114, 17}, {500, 60, 7, 4}, {500, 58, 3, 3}}};
  const std::array<StripRect, 2> white = {{{445, 65, 110, 17}, {502, 62, 3, 4}}};
  EXPECT_EQ(bubble.black, black);
  EXPECT_EQ(bubble.white, white);
  EXPECT_EQ(bubble.textOrigin, (StripPoint{450, 67}));
}

TEST(BubbleLayout, BoundsReachDownToTheTailTip) {
  EXPECT_EQ(bubbleBounds(bubbleLayout(500, 60, 100, 13, 1000)), (StripRect{443, 58, 114, 26}));
  // A note taller than the bubble sticks out above and below it.
  EXPECT_EQ(bubbleBounds(bubbleLayout(500, 60, 100, 25, 1000)), (StripRect{443, 58, 114, 28}));
}

TEST(BubbleLayout, StaysInsideTheEdgesWithTheTailUnderTheMascot) {
  const BubbleLayout right = bubbleLayout(973, 60, 100, 13, 1000);
  EXPECT_EQ(right.bubble.x, 884);  // ends 2 points from the right edge
  EXPECT_EQ(right.tailX, 973);
  EXPECT_EQ(bubbleLayout(999, 60, 100, 13, 1000).tailX, 989);  // 9 from the bubble's end
  EXPECT_EQ(bubbleLayout(3, 60, 100, 13, 1000).tailX, 7);      // bx 2, 5 from its start
}

TEST(BubbleLayout, NoteWiderThanTheViewStartsAtTheLeftMargin) {
  const BubbleLayout bubble = bubbleLayout(150, 60, 400, 13, 300);
  EXPECT_EQ(bubble.bubble.x, 2);
  EXPECT_EQ(bubble.bubble.width, 414);
}

TEST(BubbleLayout, RoundsHalvesAwayFromZeroAndCentresTheUnroundedText) {
  // bw = 100 + 14; cx - bw/2 = 443.5 rounds to 444; 60.5 + 3 rounds to 64.
  const BubbleLayout bubble = bubbleLayout(500.5, 60.5, 99.2, 13.4, 1000);
  EXPECT_EQ(bubble.bubble, (StripRect{444, 64, 114, 21}));
  EXPECT_EQ(bubble.tailX, 501);
  EXPECT_DOUBLE_EQ(bubble.textOrigin.x, 444 + 57 - 49.6);
  EXPECT_DOUBLE_EQ(bubble.textOrigin.y, 64 + 10.5 - 6.7);
}

}  // namespace
}  // namespace umbrafold
