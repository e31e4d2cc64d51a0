#include "mascotgeometry.h"

#include <gtest/gtest.h>

namespace umbrafold {
namespace {

TEST(MascotGeometry, SideSharesTheStripUpToFortyEight) {
  EXPECT_EQ(mascotSide(1000, 1), 48);
  EXPECT_DOUBLE_EQ(mascotSide(1000, 30), 880.0 / 30);
  EXPECT_EQ(mascotSide(1000, 0), 48);
  EXPECT_EQ(mascotSide(0, 3), 0);
}

TEST(MascotGeometry, ImagesFitTheSquareStandingOnePointUp) {
  EXPECT_EQ(mascotSquare(100, 10, 48), (StripRect{76, 10, 48, 48}));
  EXPECT_EQ(mascotImageRect(100, 10, 48, 100, 100), (StripRect{76, 11, 48, 48}));
  EXPECT_EQ(mascotImageRect(100, 10, 48, 200, 100), (StripRect{76, 11, 48, 24}));
  EXPECT_EQ(mascotImageRect(100, 10, 48, 50, 100), (StripRect{88, 11, 24, 48}));
}

TEST(MascotGeometry, NameTextIsCentredInTheSquare) {
  EXPECT_EQ(nameTextOrigin(100, 10, 48, 40, 14), (StripPoint{80, 27}));
}

TEST(MascotGeometry, FrameIsTheWholeStrideModuloTheFrameCount) {
  EXPECT_EQ(frameIndex(17.9, 8), 1u);
  EXPECT_EQ(frameIndex(17.9, 6), 5u);
  EXPECT_EQ(frameIndex(0, 8), 0u);
  EXPECT_EQ(frameIndex(7.999, 8), 7u);
  EXPECT_EQ(frameIndex(8, 8), 0u);
}

TEST(MascotGeometry, SpeakerRotatesModuloTheAgentCount) {
  EXPECT_EQ(speakerPosition(6, 4), 2u);
  EXPECT_EQ(speakerPosition(6, 3), 0u);
  EXPECT_EQ(speakerPosition(0, 1), 0u);
}

TEST(MascotGeometry, BubbleShowsForThreeSeconds) {
  EXPECT_FALSE(bubbleVisible(10, 9.99));
  EXPECT_TRUE(bubbleVisible(10, 10));
  EXPECT_TRUE(bubbleVisible(10, 12.99));
  EXPECT_FALSE(bubbleVisible(10, 13));
}

TEST(MascotGeometry, FlippingMovesTheTopEdgeIntoADownwardSystem) {
  EXPECT_EQ(flipped(StripRect{445, 63, 110, 21}, 94), (StripRect{445, 10, 110, 21}));
}

TEST(BubbleLayout, CentredOverTheMascot) {
  const BubbleLayout bubble = bubbleLayout(500, 60, 100, 13, 1000);
  EXPECT_EQ(bubble.bubble, (StripRect{443, 63, 114, 21}));
  EXPECT_EQ(bubble.tailX, 500);
  const std::vector<StripRect> black = {
      {445, 63, 110, 21}, {443, 65, 114, 17}, {500, 60, 7, 4}, {500, 58, 3, 3}};
  const std::vector<StripRect> white = {{445, 65, 110, 17}, {502, 62, 3, 4}};
  EXPECT_EQ(bubble.black, black);
  EXPECT_EQ(bubble.white, white);
  EXPECT_EQ(bubble.textOrigin, (StripPoint{450, 67}));
}

TEST(BubbleLayout, KeptTwoPointsInsideTheRightEdge) {
  const BubbleLayout bubble = bubbleLayout(973, 60, 100, 13, 1000);
  EXPECT_EQ(bubble.bubble.x, 884);
  EXPECT_EQ(bubble.bubble.x + bubble.bubble.width, 998);
  EXPECT_EQ(bubble.tailX, 973);
}

TEST(BubbleLayout, TailKeepsAwayFromTheBubbleEnds) {
  EXPECT_EQ(bubbleLayout(3, 60, 100, 13, 1000).tailX, 7);      // bx 2, so bx + 5
  EXPECT_EQ(bubbleLayout(999, 60, 100, 13, 1000).tailX, 989);  // bx 884: bx + bw - 9
}

TEST(BubbleLayout, NoteWiderThanTheViewStartsAtTheLeftMargin) {
  const BubbleLayout bubble = bubbleLayout(150, 60, 400, 13, 300);
  EXPECT_EQ(bubble.bubble.x, 2);
  EXPECT_EQ(bubble.bubble.width, 414);
  EXPECT_EQ(bubble.tailX, 150);
}

TEST(BubbleLayout, RoundsHalvesAwayFromZeroAndMeasuresTextUnrounded) {
  // tw 99.2: bw = 100 + 14 = 114; cx - bw/2 = 443.5 rounds to 444; top 60.5 + 3 to 64.
  const BubbleLayout bubble = bubbleLayout(500.5, 60.5, 99.2, 13.4, 1000);
  EXPECT_EQ(bubble.bubble, (StripRect{444, 64, 114, 21}));
  EXPECT_EQ(bubble.tailX, 501);  // 500.5 rounds up
  EXPECT_DOUBLE_EQ(bubble.textOrigin.x, 444 + 57 - 49.6);
  EXPECT_DOUBLE_EQ(bubble.textOrigin.y, 64 + 10.5 - 6.7);
}

}  // namespace
}  // namespace umbrafold
