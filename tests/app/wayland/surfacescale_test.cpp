#include "surfacescale.h"

#include <gtest/gtest.h>

#include <QRegion>

#include <string>

namespace umbrafold {
namespace {

struct ScaleCase {
  int scale120;
  QSize logical;
  QSize pixels;  // as the compositor expects the buffer
  int step;
};

class SurfaceScaleTest : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(SurfaceScaleTest, SizesStepsAndCoveringRectangles) {
  const ScaleCase& c = GetParam();
  const SurfaceScale scale{c.scale120};
  EXPECT_EQ(scale.pixels(c.logical), c.pixels);
  EXPECT_EQ(scale.step(), c.step);
  // A whole number of pixels per step.
  EXPECT_EQ(c.step * c.scale120 % 120, 0);

  // Rectangles that tile the surface (bands of 7 rows, columns of 13) cover
  // every pixel of its buffer and none outside it.
  QRegion covered;
  for (int y = 0; y < c.logical.height(); y += 7) {
    for (int x = 0; x < c.logical.width(); x += 13) {
      const QRect part = QRect(x, y, 13, 7).intersected(QRect(QPoint(), c.logical));
      const QRect px = scale.pixels(part, c.pixels);
      EXPECT_TRUE(QRect(QPoint(), c.pixels).contains(px));
      covered += px;
    }
  }
  EXPECT_EQ(covered, QRegion(QRect(QPoint(), c.pixels)));
}

INSTANTIATE_TEST_SUITE_P(Scales, SurfaceScaleTest,
                         ::testing::Values(ScaleCase{120, {1280, 720}, {1280, 720}, 1},
                                           ScaleCase{150, {1536, 864}, {1920, 1080}, 4},
                                           ScaleCase{180, {1280, 720}, {1920, 1080}, 2},
                                           // 1920x1080 at 1.75: the logical size is truncated and
                                           // the buffer rounds to a quarter pixel short.
                                           ScaleCase{210, {1097, 617}, {1920, 1080}, 4},
                                           ScaleCase{210, {731, 411}, {1279, 719}, 4},
                                           ScaleCase{240, {960, 540}, {1920, 1080}, 1},
                                           ScaleCase{156, {1477, 831}, {1920, 1080}, 10}),
                         [](const ::testing::TestParamInfo<ScaleCase>& param) {
                           return "Scale" + std::to_string(param.param.scale120) + "On" +
                                  std::to_string(param.param.logical.width());
                         });

}  // namespace
}  // namespace umbrafold
