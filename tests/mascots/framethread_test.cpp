// Strips shown through a screen that draws from any thread are stepped on a
// frame thread; run with the unit tests and again under ThreadSanitizer.
#include <gtest/gtest.h>
#include <QImage>
#include <QTest>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "keptscreen.h"
#include "mascotwalk.h"
#include "qtapp.h"

namespace umbrafold {
namespace {

using Kind = WorkingAgent::Kind;

// Milliseconds to wait for what the frame thread does: generous, for
// sanitizer builds on a busy machine; waits end as soon as it is done.
constexpr int kPatience = 20000;

// Kept like KeptScreen, drawable from any thread; counts the draws made off
// the main thread and can be made to fail them.
class ThreadedScreen final : public testing::KeptScreen {
 public:
  ThreadedScreen(QImage* kept, std::atomic<bool>* gone) : KeptScreen(kept), gone_(gone) {}
  ~ThreadedScreen() override { *gone_ = true; }
  ThreadedScreen(const ThreadedScreen&) = delete;
  ThreadedScreen& operator=(const ThreadedScreen&) = delete;

  bool draw(WId window, const QRect& place, std::span<const QRect> area,
            std::span<const Layer> layers) override {
    if (std::this_thread::get_id() != main_) ++offMain;
    return !failing && KeptScreen::draw(window, place, area, layers);
  }
  bool drawsFromAnyThread() const override { return true; }
  bool wantsFrame() const override { return wanting; }
  // The display takes frames again.
  void want() {
    wanting = true;
    frameWanted();
  }

  std::atomic<int> offMain = 0;
  std::atomic<bool> failing = false;
  std::atomic<bool> wanting = true;

 private:
  std::thread::id main_ = std::this_thread::get_id();
  std::atomic<bool>* gone_;
};

// Media time that runs ahead by a tenth of a second at every reading, so
// that mascots walk and bubbles come within a few frames.
class RunningClock final : public MediaClock {
 public:
  double now() const override { return time_.fetch_add(0.1); }

 private:
  mutable std::atomic<double> time_ = 100;
};

class FrameThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::application();
    walk = std::make_unique<MascotWalk>(MascotWalk::Services{std::make_shared<SecureRandomSource>(),
                                                             std::make_shared<RunningClock>(),
                                                             [] { return false; }});
    walk->resize(640, 94);
    walk->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(walk.get()));
  }

  // A screen drawing into `kept`, set for the strip.
  ThreadedScreen& useScreen() {
    auto owned = std::make_unique<ThreadedScreen>(&kept, &gone);
    ThreadedScreen& screen = *owned;
    walk->setScreen(std::move(owned));
    return screen;
  }

  // Waits for the frame thread to draw `frames` more frames.
  static bool framesDrawn(const ThreadedScreen& screen, int frames) {
    const int seen = screen.offMain;
    return QTest::qWaitFor([&] { return screen.offMain >= seen + frames; }, kPatience);
  }

  const WorkingAgent a{"a", Kind::claude, "Testing"};
  const WorkingAgent b{"b", Kind::codex, "Using terminal"};
  const WorkingAgent c{"c", Kind::claude, "Thinking…"};
  std::unique_ptr<MascotWalk> walk;
  QImage kept;
  std::atomic<bool> gone = false;  // the screen was dropped
};

// While the main thread hands the strip new activity, frames go on off it,
// bubbles come and go there, and the screen ends up with what the strip
// would paint.
TEST_F(FrameThreadTest, AStripIsSteppedAndDrawnOffTheMainThread) {
  ThreadedScreen& screen = useScreen();
  for (int i = 0; i < 8; ++i) {
    WorkingAgent moved = c;
    moved.note = "Step " + std::to_string(i);
    walk->show(AgentActivity(i % 2 == 0 ? std::vector{a, b, moved} : std::vector{a, moved}));
    ASSERT_TRUE(framesDrawn(screen, 2));
  }
  const std::int64_t spoken = walk->speakerIndex();
  EXPECT_TRUE(QTest::qWaitFor([&] { return walk->speakerIndex() > spoken; }, kPatience));
  walk->setScreen(nullptr);  // painted from here on, where the last frame left it
  EXPECT_TRUE(gone);
  EXPECT_TRUE(kept == walk->grab().toImage().convertToFormat(QImage::Format_RGB32));
}

// A screen that cannot draw on the frame thread is dropped on the main
// thread, and the strip animates on, painted.
TEST_F(FrameThreadTest, AScreenThatFailsOnTheFrameThreadIsReplacedByPainting) {
  ThreadedScreen& screen = useScreen();
  walk->show(AgentActivity({a, b}));
  ASSERT_TRUE(framesDrawn(screen, 2));
  screen.failing = true;
  EXPECT_TRUE(QTest::qWaitFor([&] { return gone.load(); }, kPatience));
  EXPECT_TRUE(walk->isAnimating());
}

// A strip whose screen wants no frame (its display is off) is not stepped
// until the screen wants one again.
TEST_F(FrameThreadTest, AStripRestsWhileItsScreenWantsNoFrame) {
  ThreadedScreen& screen = useScreen();
  walk->show(AgentActivity({a, b}));
  ASSERT_TRUE(framesDrawn(screen, 2));
  screen.wanting = false;
  const int before = screen.offMain;
  QTest::qWait(500);  // some fifteen frame intervals, at most one frame already under way
  EXPECT_LE(screen.offMain, before + 1);
  screen.want();
  EXPECT_TRUE(framesDrawn(screen, 2));
}

}  // namespace
}  // namespace umbrafold
