#include "setupplacement.h"

#include <algorithm>
#include <cmath>

namespace umbrafold {

std::optional<QPoint> setupWindowOrigin(const std::vector<DisplayInfo>& screens,
                                        const std::optional<DisplayInfo>& main, QPoint pointer,
                                        QSize frame) {
  // QRect::contains on integer points is the half-open test: the minimum
  // edges inside, the maximum edges outside.
  auto target = std::find_if(screens.begin(), screens.end(),
                             [&](const DisplayInfo& s) { return s.frame.contains(pointer); });
  std::optional<QRect> visible;
  if (target != screens.end()) {
    visible = target->visibleFrame;
  } else if (main) {
    visible = main->visibleFrame;
  }
  if (!visible) return std::nullopt;

  const double midX = visible->x() + visible->width() * 0.5;
  const double midY = visible->y() + visible->height() * 0.5;
  const double bottom = visible->y() + visible->height();  // the edge below the last row
  // std::round rounds halves away from zero.
  const double x = std::round(midX - frame.width() * 0.5);
  const double y = std::round(std::min(midY - frame.height() * 0.5, bottom - frame.height()));
  return QPoint(static_cast<int>(x), static_cast<int>(y));
}

}  // namespace umbrafold
