#pragma once

#include <QRect>
#include <QSize>

namespace umbrafold {

// How a surface's logical pixels map onto its buffer's pixels at a scale
// given in 120ths (wp_fractional_scale_v1's unit; 120 is 1, 180 is 1.5).
struct SurfaceScale {
  int scale120 = 120;

  double ratio() const { return scale120 / 120.0; }
  // The buffer of a surface `logical` in size: each side times the scale,
  // rounded half away from zero, as the compositor expects.
  QSize pixels(QSize logical) const;
  // The buffer pixels that `logical` touches, within a buffer of `bounds`:
  // its edges rounded outwards, so rectangles that cover a surface cover
  // every pixel of its buffer.
  QRect pixels(const QRect& logical, QSize bounds) const;
  // The smallest number of logical pixels that is a whole number of buffer
  // pixels: a surface placed on a multiple of it starts on a whole pixel.
  int step() const;
};

}  // namespace umbrafold
