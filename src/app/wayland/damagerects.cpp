#include "damagerects.h"

#include <algorithm>

namespace umbrafold {

std::vector<QRect> damageRects(const QRegion& region, int gap) {
  std::vector<QRect> parts(region.begin(), region.end());
  std::sort(parts.begin(), parts.end(),
            [](const QRect& a, const QRect& b) { return a.left() < b.left(); });
  std::vector<QRect> joined;
  for (const QRect& part : parts) {
    // Sorted by left edge, a part either reaches into the last run or
    // starts a new one to its right.
    if (!joined.empty() && part.left() <= joined.back().right() + gap) {
      joined.back() = joined.back().united(part);
    } else {
      joined.push_back(part);
    }
  }
  return joined;
}

}  // namespace umbrafold
