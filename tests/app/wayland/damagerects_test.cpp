#include "damagerects.h"

#include <gtest/gtest.h>

#include <QRegion>

#include <vector>

namespace umbrafold {
namespace {

// Two mascots' old and new places, as a strip's frame reports them: each
// pair overlaps, and QRegion cuts the union into bands.
QRegion twoWalkers(int secondLeft) {
  QRegion region;
  region += QRect(100, 40, 48, 48);
  region += QRect(102, 38, 48, 50);
  region += QRect(secondLeft, 60, 40, 18);
  region += QRect(secondLeft + 1, 60, 40, 18);
  return region;
}

TEST(DamageRectsTest, JoinsWhatIsCloseAndCoversEveryDamagedPixel) {
  struct Case {
    QRegion region;
    std::vector<QRect> expected;
  };
  const std::vector<Case> cases = {
      {QRegion(), {}},
      // Far apart: one rectangle per walker, each over its own rows only.
      {twoWalkers(900), {QRect(100, 38, 50, 50), QRect(900, 60, 41, 18)}},
      // Within the gap: one rectangle over both.
      {twoWalkers(170), {QRect(100, 38, 111, 50)}},
      // A part that starts inside a run reaches past its end.
      {QRegion(QRect(0, 0, 10, 10)) + QRect(5, 20, 100, 5), {QRect(0, 0, 105, 25)}},
  };
  for (const Case& c : cases) {
    const std::vector<QRect> rects = damageRects(c.region, 32);
    EXPECT_EQ(rects, c.expected);
    QRegion covered;
    for (const QRect& r : rects) covered += r;
    EXPECT_TRUE((c.region - covered).isEmpty());
  }
}

}  // namespace
}  // namespace umbrafold
