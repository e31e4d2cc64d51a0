#include "surfacescale.h"

#include <cmath>
#include <cstdint>
#include <numeric>

namespace umbrafold {

namespace {

// x times the scale, rounded down (or up) to a whole pixel, exactly.
int scaledDown(int x, int scale120) {
  const std::int64_t n = static_cast<std::int64_t>(x) * scale120;
  return static_cast<int>(n >= 0 ? n / 120 : -((-n + 119) / 120));
}
int scaledUp(int x, int scale120) { return -scaledDown(-x, scale120); }
int scaledRound(int x, int scale120) {
  const std::int64_t n = static_cast<std::int64_t>(x) * scale120;
  return static_cast<int>(n >= 0 ? (n + 60) / 120 : -((-n + 60) / 120));
}

}  // namespace

QSize SurfaceScale::pixels(QSize logical) const {
  return {scaledRound(logical.width(), scale120), scaledRound(logical.height(), scale120)};
}

QRect SurfaceScale::pixels(const QRect& logical, QSize bounds) const {
  if (logical.isEmpty()) return {};
  const QRect out(QPoint(scaledDown(logical.left(), scale120), scaledDown(logical.top(), scale120)),
                  QPoint(scaledUp(logical.right() + 1, scale120) - 1,
                         scaledUp(logical.bottom() + 1, scale120) - 1));
  return out.intersected(QRect(QPoint(), bounds));
}

int SurfaceScale::step() const { return 120 / std::gcd(120, scale120 > 0 ? scale120 : 120); }

}  // namespace umbrafold
