#include "framepacing.h"

#include <algorithm>
#include <cmath>

namespace umbrafold {

namespace {

constexpr double kSlowestFrameRate = 30;
// How late a timer may fire: a wait never comes closer than this to the
// most motion one frame steps, so a late frame still steps its whole time.
constexpr double kLateness = 0.01;

}  // namespace

int ticksToNextFrame(double quietSeconds, bool repainted, int intervalMs, double maxStepSeconds) {
  const double tick = intervalMs / 1000.0;
  const int most = std::max(1, static_cast<int>((maxStepSeconds - kLateness) / tick));
  const int least = repainted ? std::max(1, static_cast<int>(1 / kSlowestFrameRate / tick)) : 1;
  const int longest = std::max(most, least);
  if (!(quietSeconds < longest * tick)) return longest;
  // A hair less, so a time that is a whole number of ticks stays one.
  const int due = static_cast<int>(std::ceil(quietSeconds / tick - 1e-9));
  return std::clamp(due, least, longest);
}

}  // namespace umbrafold
