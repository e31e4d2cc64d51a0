#include "framepacing.h"

#include <algorithm>
#include <cmath>

namespace umbrafold {

namespace {

constexpr double kSlowestFrameRate = 30;

}  // namespace

int ticksToNextFrame(double quietSeconds, bool repainted, int intervalMs, double maxStepSeconds) {
  const double tick = intervalMs / 1000.0;
  const int most = std::max(1, static_cast<int>(maxStepSeconds / tick));
  // A millisecond of slack: intervals are whole milliseconds (17 at 60 Hz).
  const int least =
      repainted ? std::max(1, static_cast<int>((1000 / kSlowestFrameRate + 1) / intervalMs)) : 1;
  if (!(quietSeconds < most * tick)) return std::max(most, least);
  // A hair less, so a time that is a whole number of ticks stays one.
  const int due = static_cast<int>(std::ceil(quietSeconds / tick - 1e-9));
  return std::clamp(due, least, std::max(most, least));
}

}  // namespace umbrafold
