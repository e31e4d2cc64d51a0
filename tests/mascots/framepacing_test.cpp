#include "framepacing.h"

#include <gtest/gtest.h>

#include <limits>

namespace umbrafold {
namespace {

constexpr double kMaxStep = 0.08;
constexpr double kNever = std::numeric_limits<double>::infinity();

TEST(FramePacing, WaitsForTheFirstTickAtWhichSomethingMayChange) {
  struct Row {
    double quiet;
    bool repainted;
    int interval;
    int ticks;
  };
  const Row rows[] = {
      {0, false, 16, 1},       // a change due now: the next tick
      {0.03, false, 16, 2},    // 30 ms: the tick at 32 ms
      {0.032, false, 16, 2},   // exactly on a tick
      {0.05, false, 16, 4},    //
      {kNever, false, 16, 4},  // 0.08 s of motion less 10 ms: 64 ms
      {0, true, 16, 2},        // after a repaint, every other tick at 60 Hz: 31 a second
      {0.05, true, 16, 4},     //
      {0, true, 20, 1},        // at 50 Hz two ticks would be below 30 a second
      {0, true, 33, 1},        // at 30 Hz, every tick
      {kNever, true, 33, 2},   // 66 ms
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ticksToNextFrame(row.quiet, row.repainted, row.interval, kMaxStep), row.ticks)
        << row.quiet << " " << row.repainted << " " << row.interval;
  }
}

}  // namespace
}  // namespace umbrafold
