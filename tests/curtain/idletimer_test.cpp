#include "idletimer.h"

#include <gtest/gtest.h>

#include <QTest>

namespace umbrafold {
namespace {

TEST(QtIdleTimerTest, FiresOnceAfterItsPeriodAndStopsCleanly) {
  QtIdleTimer timer;
  int fired = 0;
  timer.onTimeout = [&fired] { ++fired; };
  timer.start(std::chrono::milliseconds(1));
  EXPECT_TRUE(timer.isActive());
  EXPECT_TRUE(QTest::qWaitFor([&fired] { return fired == 1; }));
  EXPECT_FALSE(timer.isActive());

  timer.start(std::chrono::hours(1));
  timer.stop();
  EXPECT_FALSE(timer.isActive());
  EXPECT_EQ(fired, 1);
}

// Whatever the phase of the clock, a period is never cut short: the timer is
// scheduled for the whole period (periods a few milliseconds apart cover every
// phase a coarse timer would round to).
TEST(QtIdleTimerTest, NeverScheduledToFireEarly) {
  QtIdleTimer timer;
  for (auto period = std::chrono::milliseconds(20000); period < std::chrono::milliseconds(21000);
       period += std::chrono::milliseconds(25)) {
    timer.start(period);
    EXPECT_GE(timer.remaining(), period - std::chrono::milliseconds(100)) << period.count();
  }
  timer.stop();
  EXPECT_EQ(timer.remaining(), std::chrono::milliseconds(0));
}

}  // namespace
}  // namespace umbrafold
