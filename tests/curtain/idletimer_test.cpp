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

}  // namespace
}  // namespace umbrafold
