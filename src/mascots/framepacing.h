#pragma once

namespace umbrafold {

// How many ticks a frame timer ticking every `intervalMs` milliseconds (the
// display's rate, 30 to 60 a second) waits before the next animation frame:
// until the first tick at or after `quietSeconds`, the time before anything
// drawn may change; after a frame that repainted something, at least as
// many whole ticks as fit in a thirtieth of a second (so while something
// changes at every tick, frames come at half a 60 Hz display's rate and
// never fewer than 30 a second); and, unless that is longer, at most as
// many ticks as fit in `maxStepSeconds` (the most motion one frame steps)
// less 10 ms for a late timer. At least 1. Pure arithmetic.
int ticksToNextFrame(double quietSeconds, bool repainted, int intervalMs, double maxStepSeconds);

}  // namespace umbrafold
