#include "agentpoller.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <string>
#include <thread>

#include "testdoubles.h"

namespace umbrafold {
namespace {

using namespace std::chrono_literals;

// A scan that numbers its results and notices any overlap between scans.
struct CountingScan {
  std::atomic<int> started{0};
  std::atomic<int> inFlight{0};
  std::atomic<bool> overlapped{false};
  std::chrono::milliseconds duration{0};

  AgentActivity operator()() {
    if (inFlight.fetch_add(1) != 0) overlapped = true;
    const int n = started.fetch_add(1);
    if (duration.count() > 0) std::this_thread::sleep_for(duration);
    inFlight.fetch_sub(1);
    return AgentActivity({WorkingAgent(std::to_string(n), WorkingAgent::Kind::codex, "Working")});
  }
};

class AgentPollerTest : public ::testing::Test {
 protected:
  void SetUp() override { test::ensureApplication(); }

  AgentPoller::Scan scanner() {
    return [scan = scan] { return (*scan)(); };
  }

  std::shared_ptr<CountingScan> scan = std::make_shared<CountingScan>();
  std::vector<int> delivered;
  AgentPoller::Deliver collect = [this](AgentActivity activity) {
    delivered.push_back(std::stoi(activity.agents.at(0).id));
  };
};

TEST_F(AgentPollerTest, FirstScanComesAtOnce) {
  AgentPoller poller(scanner(), 1h);
  poller.start(collect);
  EXPECT_TRUE(poller.isPolling());
  ASSERT_TRUE(test::waitFor([&] { return delivered.size() == 1; }));
  poller.stop();
  EXPECT_FALSE(poller.isPolling());
  EXPECT_EQ(scan->started, 1);
}

TEST_F(AgentPollerTest, ManyTicksArriveInOrderWithoutOverlap) {
  scan->duration = 2ms;  // longer than the interval: ticks queue up, never overlap
  AgentPoller poller(scanner(), 1ms);
  poller.start(collect);
  ASSERT_TRUE(test::waitFor([&] { return delivered.size() >= 50; }, 20s));
  poller.stop();
  EXPECT_FALSE(scan->overlapped);
  for (std::size_t i = 0; i < delivered.size(); ++i) EXPECT_EQ(delivered[i], static_cast<int>(i));
}

TEST_F(AgentPollerTest, StopDropsResultsInFlight) {
  AgentPoller poller(scanner(), 1ms);
  poller.start(collect);
  ASSERT_TRUE(test::waitFor([&] { return scan->started >= 20; }));
  poller.stop();  // with results posted but not yet delivered
  const std::size_t before = delivered.size();
  const int scans = scan->started;
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(delivered.size(), before);
  EXPECT_EQ(scan->started, scans);  // nothing starts after stop
  poller.stop();                    // a second stop is harmless
}

// Stopping never waits for a scan in progress: a scan that cannot end
// before stop() returns would otherwise deadlock here. Its result, once it
// ends, is dropped.
TEST_F(AgentPollerTest, StopDoesNotWaitForAScanInProgress) {
  std::atomic<bool> inside{false};
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  AgentPoller poller(
      [&] {
        inside = true;
        while (!release) std::this_thread::yield();
        finished = true;
        return AgentActivity({WorkingAgent("late", WorkingAgent::Kind::claude, "Testing")});
      },
      1h);
  bool delivered = false;
  poller.start([&](AgentActivity) { delivered = true; });
  ASSERT_TRUE(test::waitFor([&] { return inside.load(); }));
  poller.stop();
  EXPECT_FALSE(poller.isPolling());
  release = true;
  ASSERT_TRUE(test::waitFor([&] { return finished.load(); }));
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
  EXPECT_FALSE(delivered);
}

TEST_F(AgentPollerTest, DestroyingWhilePollingStops) {
  scan->duration = 5ms;
  {
    AgentPoller poller(scanner(), 1ms);
    poller.start(collect);
    ASSERT_TRUE(test::waitFor([&] { return scan->started >= 3; }));
  }
  const int scans = scan->started;
  QCoreApplication::processEvents();
  EXPECT_EQ(scan->started, scans);
}

}  // namespace
}  // namespace umbrafold
