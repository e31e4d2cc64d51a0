// Drawing with sprite sheets installed. The sheets are put in place before
// the first frame is drawn, since the process loads them only once.
#include <gtest/gtest.h>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <memory>

#include "fakes.h"
#include "keptscreen.h"
#include "mascotgeometry.h"
#include "mascotimages.h"
#include "mascotwalk.h"
#include "qtapp.h"

namespace umbrafold {
namespace {

using testing::FakeClock;
using testing::ScriptedRandom;
using Kind = WorkingAgent::Kind;

constexpr int kFrameWidth = 10;
constexpr int kFrameHeight = 20;

// Eight frames 10 x 20: frame i has green = 30 * i, its left half red = 255
// and its right half blue = 255, so frame and mirroring can be read back.
QImage testSheet() {
  QImage image(8 * kFrameWidth, kFrameHeight, QImage::Format_ARGB32);
  for (int x = 0; x < image.width(); ++x) {
    const bool left = x % kFrameWidth < kFrameWidth / 2;
    for (int y = 0; y < kFrameHeight; ++y)
      image.setPixel(x, y, qRgb(left ? 255 : 0, 30 * (x / kFrameWidth), left ? 0 : 255));
  }
  return image;
}

class MascotSpriteTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static QTemporaryDir data;
    setenv("XDG_DATA_HOME", data.path().toUtf8().constData(), 1);
    setenv("XDG_DATA_DIRS", data.path().toUtf8().constData(), 1);
    testing::application();
    QDir().mkpath(data.filePath(QStringLiteral("Umbrafold/Characters")));
    testSheet().save(mascotimages::sheetPath(QStringLiteral("Claude")));
    testSheet().save(mascotimages::sheetPath(QStringLiteral("Codex")));
    // No "Codex-left": left-walking Codex mascots use the "Codex" frames.
  }

  MascotSpriteTest() {
    walk = std::make_unique<MascotWalk>(MascotWalk::Services{random, clock, [] { return false; }});
    walk->resize(900, 94);
  }

  QImage render() const {
    QImage image(walk->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    walk->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
  }

  // Samples the drawn frame of `pet` a quarter of its width left and right
  // of its centre line, halfway up.
  static std::pair<QRgb, QRgb> sides(const QImage& image, const PetMotion& pet, double side) {
    const StripRect rect = mascotImageRect(pet.x(), pet.y(), side, kFrameWidth, kFrameHeight);
    const StripRect down = flipped(rect, image.height());
    const int y = int(down.y + down.height / 2);
    return {image.pixel(int(pet.x() - rect.width / 4), y),
            image.pixel(int(pet.x() + rect.width / 4), y)};
  }

  std::shared_ptr<ScriptedRandom> random = std::make_shared<ScriptedRandom>();
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  std::unique_ptr<MascotWalk> walk;
};

TEST_F(MascotSpriteTest, FramesAreDrawnUprightWhileFacingRight) {
  walk->show(AgentActivity({{"a", Kind::claude, "Testing"}, {"b", Kind::codex, "Reading"}}));
  const QImage image = render();
  for (const auto& [id, pet] : walk->pets()) {
    const auto [left, right] = sides(image, pet, 48);
    EXPECT_EQ(left, qRgb(255, 0, 0)) << id;  // frame 0, not mirrored
    EXPECT_EQ(right, qRgb(0, 0, 255)) << id;
  }
}

TEST_F(MascotSpriteTest, WalkingLeftMirrorsClaudeButNotCodexWithoutItsLeftSheet) {
  // Every draw at its lower end: no initial pause, then a target at the left
  // end of the reach and the shortest pause.
  walk->show(AgentActivity({{"a", Kind::claude, "Testing"}, {"b", Kind::codex, "Reading"}}));
  for (int i = 0; i < 40; ++i) {
    clock->time += 0.05;
    walk->tick();
  }
  const PetMotion& claude = walk->pets().at("a");
  const PetMotion& codex = walk->pets().at("b");
  ASSERT_TRUE(claude.facesLeft());
  ASSERT_TRUE(codex.facesLeft());
  ASSERT_GT(claude.stride(), 1);
  ASSERT_TRUE(mascotimages::codexLeft().empty());

  const QImage image = render();
  const int claudeGreen = 30 * int(frameIndex(claude.stride(), 8));
  const auto [claudeLeft, claudeRight] = sides(image, claude, 48);
  EXPECT_EQ(claudeLeft, qRgb(0, claudeGreen, 255));
  EXPECT_EQ(claudeRight, qRgb(255, claudeGreen, 0));
  const int codexGreen = 30 * int(frameIndex(codex.stride(), 8));
  const auto [codexLeft, codexRight] = sides(image, codex, 48);
  EXPECT_EQ(codexLeft, qRgb(255, codexGreen, 0));
  EXPECT_EQ(codexRight, qRgb(0, codexGreen, 255));
}

// The strip copies pictures scaled once; that gives the same pixels as
// drawing each frame smoothly scaled into its rectangle, mirrored about its
// centre line for Claude walking left, with the rectangle's corner on whole
// pixels: enlarged (side 48) and shrunk to a fractional size (100 mascots).
TEST_F(MascotSpriteTest, CopiedPicturesMatchSmoothDrawingAtWholePixels) {
  for (const int count : {2, 100}) {
    std::vector<WorkingAgent> agents;
    for (int i = 0; i < count; ++i) {  // Claude in the middle, away from the ends
      agents.emplace_back("m" + std::to_string(i), (i - count / 2) % 2 ? Kind::codex : Kind::claude,
                          "Note");
    }
    walk->show(AgentActivity(agents));
    for (int i = 0; i < 40; ++i) {  // walking left, at fractional positions
      clock->time += 0.037;
      walk->tick();
    }
    const PetMotion& walker = walk->pets().at("m" + std::to_string(count / 2));
    ASSERT_TRUE(walker.facesLeft() && walker.x() != std::floor(walker.x())) << count;

    QImage expected(walk->size(), QImage::Format_ARGB32_Premultiplied);
    expected.fill(Qt::white);
    QPainter painter(&expected);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    const double side = mascotSide(walk->width(), agents.size());
    for (const WorkingAgent& agent : agents) {
      const PetMotion& pet = walk->pets().at(agent.id);
      const bool claude = agent.kind == Kind::claude;
      const QImage& frame =
          (claude ? mascotimages::clawd() : mascotimages::codexPet())[frameIndex(pet.stride(), 8)];
      const StripRect rect = flipped(
          mascotImageRect(pet.x(), pet.y(), side, kFrameWidth, kFrameHeight), walk->height());
      const QRectF target(std::floor(rect.x + 0.5), std::floor(rect.y + 0.5), rect.width,
                          rect.height);
      painter.save();
      if (claude && pet.facesLeft()) {
        painter.translate(2 * target.center().x(), 0);
        painter.scale(-1, 1);
      }
      painter.drawImage(target, frame);
      painter.restore();
    }
    painter.end();
    const QImage drawn = render();
    int differing = 0;
    for (int y = 0; y < drawn.height(); ++y)
      for (int x = 0; x < drawn.width(); ++x)
        differing += drawn.pixel(x, y) != expected.pixel(x, y);
    EXPECT_EQ(differing, 0) << count << " mascots";
    walk->show(AgentActivity{});
  }
}

// Pictures shown through a screen: the same pixels as the strip paints,
// mirrored frames and strides included.
TEST_F(MascotSpriteTest, AScreenShowsThePicturesTheStripPaints) {
  walk->show(AgentActivity({{"a", Kind::claude, "Testing"}, {"b", Kind::codex, "Reading"}}));
  QImage kept;
  walk->setScreen(std::make_unique<testing::KeptScreen>(&kept));
  walk->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(walk.get()));
  for (int i = 0; i < 60; ++i) {
    clock->time += 0.05;
    walk->tick();
  }
  ASSERT_GT(walk->pets().at("a").stride(), 1);
  walk->setScreen(nullptr);
  EXPECT_TRUE(kept == render().convertToFormat(QImage::Format_RGB32));
}

}  // namespace
}  // namespace umbrafold
