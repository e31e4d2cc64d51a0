#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QImage>
#include <QSignalSpy>

#include <functional>
#include <optional>
#include <vector>

#include "curtainsurface.h"
#include "curtainwindow.h"

namespace umbrafold {
namespace {

const QColor kMagenta(255, 0, 255);

// A curtain as the Wayland presentation holds it: shown for Qt, never as
// a window.
class CurtainSurfaceTest : public ::testing::Test {
 public:
  CurtainSurfaceTest() : curtain(QRect(0, 0, 800, 600)) {
    curtain.setAttribute(Qt::WA_DontShowOnScreen);
    curtain.show();
    curtain.onSubmit = [this](const QString& text) { submitted.push_back(text); };
  }

  void type(const QString& text) {
    for (const QChar c : text) {
      const int key = c.toUpper().unicode();
      curtainsurface::sendKey(&curtain, QEvent::KeyPress, key, Qt::NoModifier, c, false);
      curtainsurface::sendKey(&curtain, QEvent::KeyRelease, key, Qt::NoModifier, c, false);
    }
  }
  void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {}) {
    curtainsurface::sendKey(&curtain, QEvent::KeyPress, key, modifiers, text, false);
  }
  void click(const QPointF& at) {
    QWidget* target = curtainsurface::pressTarget(&curtain, at);
    curtainsurface::sendButton(&curtain, target, at, Qt::LeftButton, Qt::LeftButton, true);
    curtainsurface::sendButton(&curtain, target, at, Qt::LeftButton, Qt::NoButton, false);
  }

  // Pixels of `image` inside `area` that are not white.
  static int inked(const QImage& image, const QRect& area) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
      for (int x = area.left(); x <= area.right(); ++x) count += image.pixel(x, y) != 0xffffffff;
    }
    return count;
  }

  QImage drawn(const QRegion& region) {
    QImage image(curtain.size(), QImage::Format_RGB32);
    image.fill(kMagenta);
    curtainsurface::draw(&curtain, image, region);
    return image;
  }

  CurtainWindow curtain;
  std::vector<QString> submitted;
};

TEST_F(CurtainSurfaceTest, KeysReachTheFieldAndItsRules) {
  struct Row {
    const char* name;
    std::function<void(CurtainSurfaceTest&)> act;
    QString text;                      // the field afterwards
    std::optional<QString> submitted;  // what reached onSubmit, if anything
  };
  const std::vector<Row> rows = {
      {"typing", [](CurtainSurfaceTest& t) { t.type("abc"); }, "abc", std::nullopt},
      {"escape clears",
       [](CurtainSurfaceTest& t) {
         t.type("abc");
         t.press(Qt::Key_Escape);
       },
       "", std::nullopt},
      {"control types nothing",
       [](CurtainSurfaceTest& t) {
         t.type("ab");
         t.press(Qt::Key_A, Qt::ControlModifier, "\x01");
         t.press(Qt::Key_V, Qt::ControlModifier, "\x16");
       },
       "ab", std::nullopt},
      {"return submits",
       [](CurtainSurfaceTest& t) {
         t.type("secret");
         t.press(Qt::Key_Return, Qt::NoModifier, "\r");
       },
       "", QString("secret")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    curtain.clearEntry();
    submitted.clear();
    row.act(*this);
    EXPECT_EQ(curtain.passwordField()->text(), row.text);
    if (row.submitted) {
      ASSERT_EQ(submitted.size(), 1u);
      EXPECT_EQ(submitted.front(), *row.submitted);
    } else {
      EXPECT_TRUE(submitted.empty());
    }
  }
}

TEST_F(CurtainSurfaceTest, DrawsWhiteWithTheFieldAndRedrawsWhatTypingChanged) {
  const QRect field = curtain.passwordField()->geometry();
  const QImage empty = drawn(QRegion(curtain.rect()));
  EXPECT_EQ(inked(empty, curtain.rect()), inked(empty, field)) << "white outside the field";
  EXPECT_GT(inked(empty, field), 0) << "the field's frame and placeholder";

  QSignalSpy changes(&curtain, &CurtainWindow::contentChanged);
  type("abcd");
  ASSERT_FALSE(changes.isEmpty());
  QRegion damage;
  for (const QList<QVariant>& change : changes) damage += change.at(0).toRect();
  EXPECT_TRUE(damage.intersects(field));
  EXPECT_FALSE(damage.intersects(curtain.mascots()->geometry())) << "the strip stays as it is";

  // Only the damage is drawn: the rest of the image keeps what it had.
  const QImage typed = drawn(damage);
  EXPECT_NE(typed.copy(field), empty.copy(field)) << "bullets instead of the placeholder";
  EXPECT_EQ(typed.pixelColor(0, 0), kMagenta);
}

TEST_F(CurtainSurfaceTest, TheStripDrawnAloneLooksAsDrawnWithItsWindow) {
  MascotWalk* strip = curtain.mascots();
  AgentActivity activity;
  activity.agents.emplace_back("a", WorkingAgent::Kind::claude, "Testing");
  activity.agents.emplace_back("b", WorkingAgent::Kind::codex, "Thinking");
  strip->show(activity);
  const QRegion region = QRegion(curtain.rect()) - curtain.passwordField()->geometry();
  const QImage whole = drawn(region);
  QImage alone(curtain.size(), QImage::Format_RGB32);
  alone.fill(kMagenta);
  curtainsurface::draw(&curtain, alone, region, QPoint(), strip);
  EXPECT_EQ(alone, whole);
  EXPECT_GT(inked(alone, strip->geometry()), 0) << "the mascots are drawn";
  strip->show(AgentActivity{});
}

TEST_F(CurtainSurfaceTest, NoWindowDrawsPlainWhite) {
  QImage image(64, 32, QImage::Format_RGB32);
  image.fill(kMagenta);
  curtainsurface::draw(nullptr, image, QRegion(0, 0, 32, 32));
  EXPECT_EQ(image.pixelColor(31, 31), QColor(Qt::white));
  EXPECT_EQ(image.pixelColor(32, 0), kMagenta);
}

TEST_F(CurtainSurfaceTest, PressesReachTheButtonAndPassOverTheStrip) {
  int presses = 0;
  curtain.onPress = [&presses] { ++presses; };
  type("letmein");
  QAbstractButton* button = curtain.unlockButton();
  ASSERT_TRUE(button->isVisible());
  const QPointF centre = QRectF(button->geometry()).center();
  EXPECT_EQ(curtainsurface::pressTarget(&curtain, centre), button);
  click(centre);
  ASSERT_EQ(submitted.size(), 1u);
  EXPECT_EQ(submitted.front(), QString("letmein"));
  EXPECT_EQ(presses, 1);

  const QPointF strip = QRectF(curtain.mascots()->geometry()).center();
  EXPECT_EQ(curtainsurface::pressTarget(&curtain, strip), &curtain);
  click(strip);
  EXPECT_EQ(presses, 2) << "a press anywhere chooses the curtain";
}

}  // namespace
}  // namespace umbrafold
