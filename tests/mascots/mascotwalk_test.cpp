#include "mascotwalk.h"

#include <gtest/gtest.h>
#include <QAccessible>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <memory>

#include "fakes.h"
#include "keptscreen.h"
#include "mascotgeometry.h"
#include "qtapp.h"

namespace umbrafold {
namespace {

using testing::FakeClock;
using testing::ScriptedRandom;
using Kind = WorkingAgent::Kind;

constexpr int kStripHeight = 94;

AgentActivity activityOf(std::initializer_list<WorkingAgent> agents) {
  return AgentActivity(std::vector<WorkingAgent>(agents));
}

// Counts the paint events a widget receives and remembers their rectangles
// and the union of their regions.
class PaintSpy : public QObject {
 public:
  explicit PaintSpy(QWidget* widget) { widget->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      rects.push_back(static_cast<QPaintEvent*>(event)->rect());
      region += static_cast<QPaintEvent*>(event)->region();
    }
    return false;
  }
  std::vector<QRect> rects;
  QRegion region;
};

// The running frame timers, which belong to the application object.
std::vector<QTimer*> frameTimers() {
  std::vector<QTimer*> running;
  for (QTimer* timer : QCoreApplication::instance()->findChildren<QTimer*>()) {
    if (timer->isActive() && timer->timerType() == Qt::PreciseTimer) running.push_back(timer);
  }
  return running;
}

// Takes a strip out of a curtain on the stack before the curtain dies.
struct Unparent {
  QWidget* widget;
  ~Unparent() { widget->setParent(nullptr); }
};

class MascotWalkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // No sheets and no applications anywhere: every mascot is drawn as its name.
    static QTemporaryDir empty;
    setenv("XDG_DATA_HOME", empty.path().toUtf8().constData(), 1);
    setenv("XDG_DATA_DIRS", empty.path().toUtf8().constData(), 1);
    testing::application();
  }

  MascotWalkTest() {
    random->fallback = ScriptedRandom::fraction(0.5);
    walk = std::make_unique<MascotWalk>(
        MascotWalk::Services{random, clock, [this] { return reduce; }});
    walk->resize(900, kStripHeight);
  }

  QImage render() const {
    QImage image(walk->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    walk->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
  }

  // Whether anything but the curtain's white was painted in the strip
  // rectangle (y up) `rect`.
  static bool paintedIn(const QImage& image, const StripRect& rect) {
    const StripRect down = flipped(rect, image.height());
    for (int y = std::max(0, int(down.y)); y < std::min(image.height(), int(down.y + down.height));
         ++y)
      for (int x = std::max(0, int(down.x)); x < std::min(image.width(), int(down.x + down.width));
           ++x)
        if (image.pixel(x, y) != qRgb(255, 255, 255)) return true;
    return false;
  }

  // The pixel at the strip point (x, y) with y counted upwards from the bottom row.
  static QRgb pixelAt(const QImage& image, double x, double y) {
    return image.pixel(int(std::floor(x)), image.height() - 1 - int(std::floor(y)));
  }

  std::shared_ptr<ScriptedRandom> random = std::make_shared<ScriptedRandom>();
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  bool reduce = false;
  std::unique_ptr<MascotWalk> walk;

  const WorkingAgent a{"a", Kind::claude, "Testing"};
  const WorkingAgent b{"b", Kind::codex, "Using terminal"};
  const WorkingAgent c{"c", Kind::claude, "Thinking…"};
  const WorkingAgent e{"e", Kind::codex, "Reading"};
};

TEST_F(MascotWalkTest, MascotsStartAtTheirSlotCentresAndStayUntilTheirAgentLeaves) {
  walk->show(activityOf({a, b, c}));
  ASSERT_EQ(walk->pets().size(), 3u);
  EXPECT_EQ(walk->pets().at("a").x(), 150);
  EXPECT_EQ(walk->pets().at("b").x(), 450);
  EXPECT_EQ(walk->pets().at("c").x(), 750);

  walk->show(activityOf({a, e, b, c}));
  EXPECT_EQ(walk->pets().at("e").x(), 337.5);
  EXPECT_EQ(walk->pets().at("a").x(), 150);
  EXPECT_EQ(walk->pets().at("b").x(), 450);
  EXPECT_EQ(walk->pets().at("c").x(), 750);

  walk->show(activityOf({a, c}));
  EXPECT_EQ(walk->pets().count("b"), 0u);
  EXPECT_EQ(walk->pets().at("c").x(), 750);
  walk->show(activityOf({a, c, b}));
  EXPECT_EQ(walk->pets().at("b").x(), 750);
}

TEST_F(MascotWalkTest, SummaryCountsClaudeAndCodexAgents) {
  walk->QWidget::show();
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(walk.get());
  ASSERT_NE(accessible, nullptr);

  walk->show(activityOf({a, b, c}));
  EXPECT_EQ(walk->accessibleName(), QStringLiteral("2 Claude and 1 Codex working"));
  EXPECT_EQ(accessible->role(), QAccessible::Graphic);
  EXPECT_FALSE(accessible->state().invisible);

  walk->show(activityOf({b, e}));
  EXPECT_EQ(walk->accessibleName(), QStringLiteral("0 Claude and 2 Codex working"));

  walk->show(AgentActivity{});
  EXPECT_TRUE(accessible->state().invisible);
  EXPECT_NE(accessible->role(), QAccessible::Graphic);
}

TEST_F(MascotWalkTest, FrameTimerRunsExactlyWhileAgentsAnimate) {
  EXPECT_FALSE(walk->isAnimating());
  walk->show(activityOf({a, b}));
  ASSERT_TRUE(walk->isAnimating());
  EXPECT_EQ(walk->bubbleAt(), 102);
  ASSERT_EQ(frameTimers().size(), 1u);
  const QTimer* timer = frameTimers().front();
  EXPECT_EQ(timer->timerType(), Qt::PreciseTimer);
  EXPECT_GE(timer->interval(), 16);  // 30 to 60 frames per second, rounded down
  EXPECT_LE(timer->interval(), 33);

  // A second strip shares the running timer, which ticks both.
  MascotWalk other(MascotWalk::Services{random, clock, [] { return false; }});
  other.resize(900, kStripHeight);
  other.show(activityOf({b}));
  EXPECT_EQ(frameTimers().size(), 1u);
  const double rest = walk->pets().at("b").rest();
  const double otherRest = other.pets().at("b").rest();
  clock->time += 0.05;
  EXPECT_TRUE(QTest::qWaitFor([&] {
    return walk->pets().at("b").rest() < rest && other.pets().at("b").rest() < otherRest;
  }));
  other.show(AgentActivity{});
  EXPECT_EQ(frameTimers().size(), 1u);

  clock->time = 101;
  walk->show(activityOf({a}));  // a running timer is left running
  EXPECT_EQ(walk->bubbleAt(), 102);

  walk->show(AgentActivity{});
  EXPECT_FALSE(walk->isAnimating());
  EXPECT_TRUE(walk->pets().empty());
  EXPECT_TRUE(frameTimers().empty());
}

TEST_F(MascotWalkTest, ReduceMotionStopsTheTimerAndKeepsTheMascots) {
  walk->show(activityOf({a, b}));
  reduce = true;
  walk->show(activityOf({a, b}));  // same activity, changed setting
  EXPECT_TRUE(walk->reducedMotion());
  EXPECT_FALSE(walk->isAnimating());
  EXPECT_EQ(walk->pets().at("a").x(), 225);

  reduce = false;
  clock->time = 130;
  walk->show(activityOf({a, b}));
  EXPECT_TRUE(walk->isAnimating());
  EXPECT_EQ(walk->bubbleAt(), 132);
}

TEST_F(MascotWalkTest, UnchangedActivityRequestsNoRepaint) {
  reduce = true;  // no frame timer, so every paint comes from show()
  walk->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(walk.get()));
  QCoreApplication::processEvents();
  PaintSpy paints(walk.get());
  walk->show(activityOf({a, b}));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !paints.rects.empty(); }));
  const std::size_t painted = paints.rects.size();

  const int draws = random->taken;
  walk->show(activityOf({a, b}));
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(paints.rects.size(), painted);
  EXPECT_EQ(random->taken, draws);
}

TEST_F(MascotWalkTest, LeavingTheWindowOrHidingStopsTheAnimation) {
  QWidget curtain;
  Unparent unparent{walk.get()};
  walk->setParent(&curtain);
  walk->show(activityOf({a, b}));
  walk->setParent(nullptr);
  EXPECT_FALSE(walk->isAnimating());
  EXPECT_TRUE(walk->pets().empty());

  walk->QWidget::show();
  walk->show(activityOf({a, b}));
  ASSERT_TRUE(walk->isAnimating());
  walk->hide();
  EXPECT_FALSE(walk->isAnimating());
  EXPECT_TRUE(walk->activity().agents.empty());
}

TEST_F(MascotWalkTest, FrameStepIsCappedAfterAStall) {
  random->fallback = ScriptedRandom::fraction(1.0);  // initial pause 1.1 s
  walk->show(activityOf({a}));
  clock->time += 0.5;
  walk->tick();
  EXPECT_NEAR(walk->pets().at("a").rest(), 1.1 - 0.08, 1e-12);
  clock->time -= 1;  // a clock going backwards steps nothing
  walk->tick();
  EXPECT_NEAR(walk->pets().at("a").rest(), 1.1 - 0.08, 1e-12);
  clock->time += 0.03;
  walk->tick();
  EXPECT_NEAR(walk->pets().at("a").rest(), 1.1 - 0.08 - 0.03, 1e-12);
}

TEST_F(MascotWalkTest, SpeakerRotatesAfterEachBubble) {
  walk->show(activityOf({a, b, c}));
  clock->time = 105;  // the first bubble, 102 to 105, is still on
  walk->tick();
  EXPECT_EQ(walk->speakerIndex(), 0);
  random->push(ScriptedRandom::fraction(0.0)).push(ScriptedRandom::fraction(1.0));
  clock->time = 105.01;
  walk->tick();
  EXPECT_EQ(walk->speakerIndex(), 1);
  EXPECT_DOUBLE_EQ(walk->bubbleAt(), 110.01);  // 5 to 10 s later
  clock->time = 113.02;
  walk->tick();
  EXPECT_EQ(walk->speakerIndex(), 2);
  EXPECT_DOUBLE_EQ(walk->bubbleAt(), 123.02);
}

class MascotDrawingTest : public MascotWalkTest {
 protected:
  // Advances the rotation to `index`, then runs a frame inside that bubble.
  void speakAt(std::int64_t index) {
    while (walk->speakerIndex() < index) {
      clock->time = walk->bubbleAt() + 3.01;
      walk->tick();
    }
    clock->time = walk->bubbleAt() + 1;
    walk->tick();
  }

  // The layout the strip should draw for agent `agent` speaking.
  BubbleLayout expectedBubble(const WorkingAgent& agent) const {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(11);
    font.setWeight(QFont::DemiBold);
    const QFontMetricsF metrics(font);
    const PetMotion& pet = walk->pets().at(agent.id);
    const double side = mascotSide(walk->width(), walk->activity().agents.size());
    const QString note = QString::fromStdString(agent.note);
    return bubbleLayout(pet.x(), pet.y() + side, metrics.horizontalAdvance(note), metrics.height(),
                        walk->width());
  }

  void expectBubble(const QImage& image, const BubbleLayout& bubble) {
    const StripRect& box = bubble.bubble;
    // Outline: the top and left edges and the tail tip are black.
    EXPECT_EQ(pixelAt(image, box.x + box.width / 2, box.y + 20.5), qRgb(0, 0, 0));
    EXPECT_EQ(pixelAt(image, box.x + 0.5, box.y + 10.5), qRgb(0, 0, 0));
    EXPECT_EQ(pixelAt(image, bubble.tailX + 1.5, box.y - 4.5), qRgb(0, 0, 0));
    // Inside and the opening into the tail are white, and so is the notched
    // corner, where the curtain shows.
    EXPECT_EQ(pixelAt(image, box.x + 2.5, box.y + 10.5), qRgb(255, 255, 255));
    EXPECT_EQ(pixelAt(image, bubble.tailX + 3.5, box.y + 0.5), qRgb(255, 255, 255));
    EXPECT_EQ(pixelAt(image, box.x + 0.5, box.y + 20.5), qRgb(255, 255, 255));
    EXPECT_EQ(pixelAt(image, box.x + 0.5, box.y + 18.5), qRgb(0, 0, 0));
  }
};

TEST_F(MascotDrawingTest, NamesStandInForMissingPicturesInsideTheirSquares) {
  reduce = true;
  walk->show(activityOf({a, b}));
  const QImage image = render();
  const double side = mascotSide(900, 2);
  for (const auto& [id, pet] : walk->pets()) {
    EXPECT_TRUE(paintedIn(image, mascotSquare(pet.x(), pet.y(), side))) << id;
  }
  // Nothing outside the two squares.
  const PetMotion& left = walk->pets().at("a");
  const PetMotion& right = walk->pets().at("b");
  EXPECT_FALSE(paintedIn(image, {0, 0, left.x() - side / 2, kStripHeight}));
  EXPECT_FALSE(
      paintedIn(image, {left.x() + side / 2, 0, right.x() - left.x() - side, kStripHeight}));
  EXPECT_FALSE(paintedIn(image, {0, left.y() + side, 900, kStripHeight}));
}

TEST_F(MascotDrawingTest, BubbleHangsOverTheSpeakerAtItsComputedPlace) {
  walk->show(activityOf({a, b, c, e}));
  speakAt(6);
  QImage image = render();
  expectBubble(image, expectedBubble(c));  // 6 mod 4 = 2

  walk->show(activityOf({a, b, c}));
  image = render();
  expectBubble(image, expectedBubble(a));  // 6 mod 3 = 0
  EXPECT_FALSE(paintedIn(image, expectedBubble(c).bubble));
}

TEST_F(MascotDrawingTest, NoBubbleOutsideItsTimeOrUnderReducedMotion) {
  walk->show(activityOf({a}));
  const PetMotion& pet = walk->pets().at("a");
  const StripRect above{0, pet.y() + 48 + 1, 900, kStripHeight};
  clock->time = 101.9;
  walk->tick();
  EXPECT_FALSE(paintedIn(render(), above));
  clock->time = 102;
  walk->tick();
  EXPECT_TRUE(paintedIn(render(), above));
  reduce = true;
  walk->show(activityOf({a}));
  EXPECT_FALSE(paintedIn(render(), above));
}

// Names stand on whole pixels; the note keeps its place in the bubble.
TEST_F(MascotDrawingTest, TextLooksAsIfDrawnAsAStringWithItsFont) {
  walk->show(activityOf({a, b, c, e}));
  clock->time += 0.3;
  walk->tick();  // fractional positions
  speakAt(6);
  const QImage drawn = render();

  QImage expected(walk->size(), QImage::Format_ARGB32_Premultiplied);
  expected.fill(Qt::white);
  QPainter painter(&expected);
  painter.setPen(Qt::black);
  auto font = [](QFontDatabase::SystemFont which, int pixels) {
    QFont f = QFontDatabase::systemFont(which);
    f.setPixelSize(pixels);
    f.setWeight(QFont::DemiBold);
    return f;
  };
  auto drawAt = [&painter](const QFont& f, const QString& text, StripPoint origin, bool whole) {
    const QFontMetricsF metrics(f);
    painter.setFont(f);
    double left = origin.x;
    double top = kStripHeight - (origin.y + metrics.height());
    if (whole) {
      left = std::floor(left + 0.5);
      top = std::floor(top + 0.5);
    }
    painter.drawText(QPointF(left, top + metrics.ascent()), text);
  };
  const QFont name = font(QFontDatabase::GeneralFont, 12);
  const QFontMetricsF nameMetrics(name);
  const double side = mascotSide(900, 4);
  for (const WorkingAgent& agent : {a, b, c, e}) {
    const PetMotion& pet = walk->pets().at(agent.id);
    const QString text = agent.kind == Kind::claude ? "Claude" : "Codex";
    drawAt(name, text,
           nameTextOrigin(pet.x(), pet.y(), side, nameMetrics.horizontalAdvance(text),
                          nameMetrics.height()),
           true);
  }
  const BubbleLayout bubble = expectedBubble(c);
  for (const StripRect& rect : bubble.black)
    painter.fillRect(QRectF(rect.x, kStripHeight - rect.y - rect.height, rect.width, rect.height),
                     Qt::black);
  for (const StripRect& rect : bubble.white)
    painter.fillRect(QRectF(rect.x, kStripHeight - rect.y - rect.height, rect.width, rect.height),
                     Qt::white);
  drawAt(font(QFontDatabase::FixedFont, 11), QString::fromStdString(c.note), bubble.textOrigin,
         false);
  painter.end();
  EXPECT_TRUE(drawn == expected);
}

// Frames on a white curtain shown on the (headless) screen: what each frame
// repaints, and whether the screen then matches a full repaint.
class MascotRepaintTest : public MascotDrawingTest {
 protected:
  static constexpr int kCurtainHeight = 400;

  MascotRepaintTest() {
    QPalette white = curtain.palette();
    white.setColor(QPalette::Window, Qt::white);
    curtain.setPalette(white);
    curtain.setAutoFillBackground(true);
    curtain.resize(900, kCurtainHeight);
    walk->setParent(&curtain);
    walk->setGeometry(0, kCurtainHeight - kStripHeight, 900, kStripHeight);
  }
  ~MascotRepaintTest() override { walk->setParent(nullptr); }

  void showCurtain(std::initializer_list<WorkingAgent> agents) {
    curtain.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&curtain));
    walk->show(activityOf(agents));
    settle();
  }

  // Delivers every pending repaint.
  static void settle() {
    for (int i = 0; i < 3; ++i) {
      QCoreApplication::sendPostedEvents();
      QCoreApplication::processEvents();
    }
  }

  void tickBy(double seconds) {
    clock->time += seconds;
    walk->tick();
  }

  // Strip pixels a mascot's name covers, standing on whole pixels (no
  // pictures here).
  QRect mascotArea(const WorkingAgent& agent) const {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(12);
    font.setWeight(QFont::DemiBold);
    const QFontMetricsF metrics(font);
    const QString name = agent.kind == Kind::claude ? "Claude" : "Codex";
    const PetMotion& pet = walk->pets().at(agent.id);
    const double side = mascotSide(walk->width(), walk->activity().agents.size());
    const double width = metrics.horizontalAdvance(name);
    const StripPoint origin = nameTextOrigin(pet.x(), pet.y(), side, width, metrics.height());
    const StripRect box = flipped({origin.x, origin.y, width, metrics.height()}, kStripHeight);
    return QRectF(wholePixels(box.x, 1), wholePixels(box.y, 1), width, metrics.height())
        .toAlignedRect();
  }
  QRect bubbleArea(const WorkingAgent& speaker) const {
    return pixels(bubbleBounds(expectedBubble(speaker)));
  }
  static QRect pixels(const StripRect& rect) {
    const StripRect down = flipped(rect, kStripHeight);
    return QRectF(down.x, down.y, down.width, down.height).toAlignedRect();
  }

  // `painted` holds all of `must` and nothing beyond the columns of it
  // widened by the margin (frames repaint whole columns of the strip).
  static void expectConfined(const QRegion& painted, const QRegion& must) {
    EXPECT_TRUE(must.subtracted(painted).isEmpty()) << "not repainted: " << rectsOf(must - painted);
    QRegion allowed;
    for (const QRect& rect : must)
      allowed += QRect(rect.left() - 3, 0, rect.width() + 6, kStripHeight);
    EXPECT_TRUE(painted.subtracted(allowed).isEmpty())
        << "repainted too much: " << rectsOf(painted - allowed);
  }
  static std::string rectsOf(const QRegion& region) {
    std::string text;
    for (const QRect& r : region)
      text += QStringLiteral("(%1,%2 %3x%4) ")
                  .arg(r.x())
                  .arg(r.y())
                  .arg(r.width())
                  .arg(r.height())
                  .toStdString();
    return text;
  }

  // The curtain as the screen shows it, against a full repaint of it now.
  void expectScreenMatchesAFullRepaint() {
    settle();
    const QImage screen = curtain.screen()
                              ->grabWindow(curtain.winId())
                              .toImage()
                              .convertToFormat(QImage::Format_RGB32);
    const QImage full = curtain.grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(screen.size(), full.size());
    EXPECT_TRUE(screen == full) << "the screen differs from a full repaint";
  }

  QWidget curtain;
};

TEST_F(MascotRepaintTest, AFrameRepaintsOnlyTheWalkingMascotWhereItWasAndIs) {
  // a rests 0.4 s after its first step, then walks at 50 points/s; b rests 1.1 s.
  random->draw(50, 26, 88).draw(10, 2, 17).draw(0, 0, 1.1);
  random->draw(50, 26, 88).draw(10, 2, 17).draw(1.1, 0, 1.1);
  random->draw(0.4, 0.4, 2.8).push(ScriptedRandom::fraction(1.0)).draw(10, 2, 17);
  random->draw(50, 26, 88);
  showCurtain({a, b});
  for (int i = 0; i < 13; ++i) tickBy(0.08);
  settle();
  ASSERT_EQ(walk->pets().at("a").velocity(), 50);
  const QRect before = mascotArea(a);
  const double resting = walk->pets().at("b").x();

  PaintSpy strip(walk.get());
  PaintSpy below(&curtain);
  tickBy(0.08);  // a step longer than the margins around the drawn area
  settle();
  ASSERT_EQ(walk->pets().at("b").x(), resting);
  expectConfined(strip.region, QRegion(before) + mascotArea(a));
  EXPECT_TRUE(below.rects.empty());  // the strip paints the curtain's white itself
  expectScreenMatchesAFullRepaint();
}

TEST_F(MascotRepaintTest, RestingMascotsRepaintNothing) {
  random->fallback = ScriptedRandom::fraction(1.0);  // every mascot rests 1.1 s
  showCurtain({a, b, c});
  PaintSpy strip(walk.get());
  PaintSpy below(&curtain);
  tickBy(0.016);
  tickBy(0.016);
  settle();
  EXPECT_TRUE(strip.rects.empty());
  EXPECT_TRUE(below.rects.empty());
}

TEST_F(MascotRepaintTest, BubbleRepaintsItsPlaceWhenItComesAndGoes) {
  random->fallback = ScriptedRandom::fraction(1.0);
  showCurtain({a, b});
  const QRect bubble = bubbleArea(a);
  PaintSpy strip(walk.get());
  clock->time = 102;  // the first bubble is due; each step moves 0.08 s at most
  walk->tick();
  settle();
  expectConfined(strip.region, bubble);
  expectScreenMatchesAFullRepaint();

  strip.region = QRegion();
  clock->time = 105.01;  // over: the turn passes to b
  walk->tick();
  settle();
  expectConfined(strip.region, bubble);
  expectScreenMatchesAFullRepaint();
}

TEST_F(MascotRepaintTest, BubbleDueBetweenAFrameAndItsPaintIsDrawnWhole) {
  // a walks from the start, so every frame repaints the place under the
  // bubble's tail.
  random->draw(50, 26, 88).draw(10, 2, 17).draw(0, 0, 1.1);
  random->draw(0.4, 0.4, 2.8).push(ScriptedRandom::fraction(1.0));
  showCurtain({a});
  clock->time = 101.44;
  for (int i = 0; i < 9; ++i) tickBy(0.06);  // to 101.98, walking at the last
  settle();
  ASSERT_GT(walk->pets().at("a").velocity(), 0);
  tickBy(0.019);
  clock->time = 102;  // the paint comes after the bubble's start
  expectScreenMatchesAFullRepaint();
}

// The frame timer skips ticks for as long as a frame foresees no change: a
// frame sooner than that must find nothing to repaint, through walks, rests,
// turns and bubbles.
TEST_F(MascotRepaintTest, NothingChangesSoonerThanAFrameForesees) {
  random->fallback = ScriptedRandom::fraction(0.8);
  showCurtain({a, b, c, e});
  int skipped = 0;
  for (int i = 0; i < 1500; ++i) {
    clock->time += 0.016;
    const double quiet = walk->tick().quietSeconds;
    if (quiet > 0.016) {
      clock->time += std::min(quiet, 0.08) * 0.99;
      ASSERT_FALSE(walk->tick().repainted) << "frame " << i << ", " << quiet << " s foreseen";
      ++skipped;
    }
  }
  EXPECT_GT(skipped, 100);
}

TEST_F(MascotRepaintTest, ScreenMatchesAFullRepaintThroughWalksAndBubbles) {
  random->fallback = ScriptedRandom::fraction(0.8);  // long walks at 76 points/s
  showCurtain({a, b, c, e});
  // A copy of the strip redrawn only where the strip says it changed, as a
  // strip drawn into a surface of its own is, must stay equal to it.
  QImage kept = walk->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QObject scope;  // ends the connection before `kept` goes
  QObject::connect(&*walk, &MascotWalk::areaChanged, &scope, [&](const QRegion& area) {
    QPainter painter(&kept);
    walk->render(&painter, area.boundingRect().topLeft(), area);
  });
  for (int i = 0; i < 400; ++i) {
    tickBy(0.08);  // steps of up to 6 points, more than the margins
    settle();
  }
  expectScreenMatchesAFullRepaint();
  EXPECT_TRUE(kept == walk->grab().toImage().convertToFormat(QImage::Format_RGB32));
  for (const WorkingAgent& agent : {a, b, c, e}) EXPECT_GT(walk->pets().at(agent.id).stride(), 1);
}

// Shown through a screen, the strip is drawn by the screen where it
// changed, and nowhere painted: through walks, rests and bubbles, what the
// screen keeps stays what the strip would paint.
TEST_F(MascotRepaintTest, AScreenKeepsWhatTheStripWouldPaint) {
  random->fallback = ScriptedRandom::fraction(0.8);
  showCurtain({a, b, c, e});
  QImage kept;
  walk->setScreen(std::make_unique<testing::KeptScreen>(&kept));
  settle();  // the curtain's white beneath the strip
  PaintSpy strip(walk.get());
  std::int64_t bubbles = walk->speakerIndex();
  for (int i = 0; i < 400; ++i) {
    tickBy(0.08);
    settle();
  }
  bubbles = walk->speakerIndex() - bubbles;
  EXPECT_GT(bubbles, 1);
  EXPECT_TRUE(strip.rects.empty());
  walk->setScreen(nullptr);
  EXPECT_TRUE(kept == walk->grab().toImage().convertToFormat(QImage::Format_RGB32));
}

// A strip hidden with its curtain takes itself off its screen, and is
// drawn whole there when it comes back.
TEST_F(MascotRepaintTest, AScreenIsLeftWithTheStripAndDrawnWholeOnItsReturn) {
  showCurtain({a, b});
  QImage kept;
  auto screen = std::make_unique<testing::KeptScreen>(&kept);
  const testing::KeptScreen& watched = *screen;
  walk->setScreen(std::move(screen));
  curtain.hide();
  EXPECT_EQ(watched.withdrawals, 1);
  showCurtain({a, b, c});
  walk->setScreen(nullptr);
  EXPECT_TRUE(kept == walk->grab().toImage().convertToFormat(QImage::Format_RGB32));
}

// A screen that lost what it showed gets the strip whole again as soon as
// the loss has been told: once for losses told together, and again for a
// later one.
TEST_F(MascotRepaintTest, AScreenThatLostTheStripGetsItWholeAgain) {
  showCurtain({a, b});
  QImage kept;
  auto screen = std::make_unique<testing::KeptScreen>(&kept);
  testing::KeptScreen& watched = *screen;
  walk->setScreen(std::move(screen));
  watched.lose();
  watched.lose();
  EXPECT_EQ(kept.pixel(0, 0), qRgb(0, 0, 0));
  settle();
  EXPECT_EQ(watched.draws, 2);  // when set, and once after the losses
  watched.lose();
  settle();
  EXPECT_EQ(watched.draws, 3);
  walk->setScreen(nullptr);
  EXPECT_TRUE(kept == walk->grab().toImage().convertToFormat(QImage::Format_RGB32));
}

}  // namespace
}  // namespace umbrafold
