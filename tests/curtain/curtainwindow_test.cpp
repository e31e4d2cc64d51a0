#include "curtainwindow.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QPointer>
#include <QTest>

#include <optional>
#include <vector>

namespace umbrafold {
namespace {

// Records every period it is started with; fires only when told to.
class FakeIdleTimer : public IdleTimer {
 public:
  void start(std::chrono::milliseconds period) override {
    starts.push_back(period);
    active = true;
  }
  void stop() override { active = false; }
  bool isActive() const override { return active; }
  void fire() {
    active = false;
    if (onTimeout) onTimeout();
  }

  std::vector<std::chrono::milliseconds> starts;
  bool active = false;
};

// What the window looked like when onSubmit ran.
struct Submission {
  QString text;
  bool fieldEmpty;
  bool buttonVisible;
  bool timerActive;
};

class CurtainWindowTest : public ::testing::Test {
 protected:
  CurtainWindowTest() {
    auto timer = std::make_unique<FakeIdleTimer>();
    timer_ = timer.get();
    window_ = std::make_unique<CurtainWindow>(QRect(1440, 0, 1440, 900),
                                              MascotWalk::systemServices(), std::move(timer));
  }

  void showActive() {
    window_->show();
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  }

  void recordSubmissions() {
    window_->onSubmit = [this](const QString& text) {
      submissions_.push_back({text, field()->isEmpty(), button()->isVisible(), timer_->isActive()});
    };
  }

  bool shortcutOverrideAccepted(QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers) {
    QKeyEvent event(QEvent::ShortcutOverride, key, modifiers);
    event.ignore();
    QCoreApplication::sendEvent(target, &event);
    return event.isAccepted();
  }

  void expectIdle() {
    EXPECT_TRUE(field()->isEmpty());
    EXPECT_FALSE(button()->isVisible());
    EXPECT_FALSE(timer_->isActive());
    EXPECT_FALSE(field()->hasFocus());
  }

  SecureField* field() const { return window_->passwordField(); }
  QAbstractButton* button() const { return window_->unlockButton(); }

  FakeIdleTimer* timer_ = nullptr;  // owned by window_
  std::unique_ptr<CurtainWindow> window_;
  std::vector<Submission> submissions_;
};

TEST_F(CurtainWindowTest, NewCurtainIsAWhiteFramelessTopWindowWithAnEmptyEntry) {
  const Qt::WindowFlags flags = window_->windowFlags();
  EXPECT_TRUE(flags & Qt::FramelessWindowHint);
  EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(flags & Qt::X11BypassWindowManagerHint);
  EXPECT_FALSE(window_->testAttribute(Qt::WA_DeleteOnClose));
  EXPECT_FALSE(window_->isVisible());

  EXPECT_EQ(field()->placeholderText(), "Curtain password");
  EXPECT_EQ(field()->accessibleName(), "Curtain password. Press Return to unlock.");
  EXPECT_EQ(button()->accessibleName(), "Unlock curtain");
  EXPECT_EQ(field()->font().pixelSize(), 16);
  EXPECT_EQ(field()->trailingInset(), 30);
  EXPECT_FALSE(window_->onSubmit);

  showActive();
  expectIdle();
  EXPECT_TRUE(timer_->starts.empty());
  const QImage shot = window_->grab(QRect(10, 10, 1, 1)).toImage();
  EXPECT_EQ(shot.pixelColor(0, 0), QColor(Qt::white));
}

TEST_F(CurtainWindowTest, LaysOutFieldButtonAndStripAndFollowsResizes) {
  EXPECT_EQ(window_->geometry(), QRect(1440, 0, 1440, 900));
  // Laid out at construction, before it is ever shown.
  const QPointF centre = QRectF(field()->geometry()).center();
  EXPECT_NEAR(centre.x(), 720, 0.5);
  EXPECT_NEAR(centre.y(), 450, 0.5);
  showActive();
  for (const QSize size : {QSize(1440, 900), QSize(1280, 801)}) {
    window_->setGeometry(QRect(QPoint(1440, 0), size));
    const QRectF fieldRect = field()->geometry();
    EXPECT_EQ(fieldRect.width(), 260);
    EXPECT_EQ(fieldRect.height(), field()->sizeHint().height());
    EXPECT_NEAR(fieldRect.center().x(), size.width() / 2.0, 0.5);
    EXPECT_NEAR(fieldRect.center().y(), size.height() / 2.0, 0.5);

    EXPECT_EQ(window_->mascots()->geometry(), QRect(0, size.height() - 94, size.width(), 94));

    const QRectF buttonRect = button()->geometry();
    EXPECT_EQ(buttonRect.size(), QSizeF(24, 24));
    EXPECT_EQ(buttonRect.right(), fieldRect.right() - 4);
    EXPECT_NEAR(buttonRect.center().y(), fieldRect.center().y(), 0.5);
  }
}

TEST_F(CurtainWindowTest, KeyTypedOnTheWindowGoesIntoTheField) {
  showActive();
  ASSERT_FALSE(field()->hasFocus());
  QTest::keyClick(window_.get(), 'a');
  QTest::keyClick(window_.get(), 'B', Qt::ShiftModifier);
  EXPECT_EQ(field()->text(), "aB");
  EXPECT_TRUE(field()->hasFocus());
  EXPECT_TRUE(button()->isVisible());
  ASSERT_TRUE(timer_->isActive());
  EXPECT_EQ(timer_->starts.back(), std::chrono::seconds(20));
}

TEST_F(CurtainWindowTest, KeysTheFieldRefusesEndAtTheWindow) {
  showActive();
  QTest::keyClick(window_.get(), Qt::Key_Tab);
  QTest::keyClick(window_.get(), 'a', Qt::MetaModifier);
  EXPECT_TRUE(field()->isEmpty());
  EXPECT_FALSE(shortcutOverrideAccepted(window_.get(), Qt::Key_A, Qt::MetaModifier));
  QTest::keyClick(window_.get(), 'a', Qt::AltModifier);
  for (Qt::Key key : {Qt::Key_Tab, Qt::Key_Backtab, Qt::Key_F1, Qt::Key_Menu}) {
    QTest::keyClick(window_.get(), key);
    QTest::keyClick(field(), key);
  }
  EXPECT_EQ(field()->text(), "a");
  EXPECT_TRUE(field()->hasFocus());

  // A click on the white background leaves the entry as it is.
  QTest::mouseClick(window_.get(), Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_TRUE(field()->hasFocus());
  EXPECT_EQ(field()->text(), "a");
}

TEST_F(CurtainWindowTest, EscapeClearsEvenWithModifiers) {
  showActive();
  for (Qt::KeyboardModifiers modifiers :
       {Qt::KeyboardModifiers(Qt::NoModifier), Qt::KeyboardModifiers(Qt::ShiftModifier),
        Qt::ControlModifier | Qt::AltModifier, Qt::KeyboardModifiers(Qt::MetaModifier)}) {
    QTest::keyClicks(window_.get(), "pw");
    ASSERT_EQ(field()->text(), "pw");
    // Escape reaches the window through the focused field.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape, modifiers);
    expectIdle();
    EXPECT_TRUE(window_->hasFocus());
  }
}

TEST_F(CurtainWindowTest, ClearingDropsAnInputMethodComposition) {
  showActive();
  QTest::keyClick(window_.get(), 'a');
  QInputMethodEvent composing(QStringLiteral("ka"), {});
  QCoreApplication::sendEvent(field(), &composing);
  ASSERT_TRUE(field()->hasPreeditText());
  window_->clearEntry();
  EXPECT_FALSE(field()->hasPreeditText());
  expectIdle();
}

TEST_F(CurtainWindowTest, ControlShortcutsDoNothing) {
  showActive();
  recordSubmissions();
  QApplication::clipboard()->setText(QStringLiteral("pasted"));
  QTest::keyClicks(window_.get(), "pw");
  for (Qt::Key key : {Qt::Key_V, Qt::Key_Q, Qt::Key_W, Qt::Key_A, Qt::Key_C, Qt::Key_Return,
                      Qt::Key_Backspace, Qt::Key_Menu}) {
    EXPECT_TRUE(shortcutOverrideAccepted(window_.get(), key, Qt::ControlModifier)) << key;
    EXPECT_TRUE(shortcutOverrideAccepted(field(), key, Qt::ControlModifier)) << key;
    QTest::keyClick(field(), key, Qt::ControlModifier);
    QTest::keyClick(window_.get(), key, Qt::ControlModifier);
  }
  EXPECT_EQ(field()->text(), "pw");
  EXPECT_TRUE(submissions_.empty());
  EXPECT_TRUE(window_->isVisible());
}

TEST_F(CurtainWindowTest, EachEditRestartsTheIdlePeriodAndSetsTheButton) {
  showActive();
  QTest::keyClick(window_.get(), 'a');
  EXPECT_TRUE(button()->isVisible());
  const auto afterFirst = timer_->starts.size();
  QTest::keyClick(field(), Qt::Key_Backspace);
  EXPECT_FALSE(button()->isVisible());
  QTest::keyClick(field(), 'b');
  EXPECT_TRUE(button()->isVisible());
  EXPECT_EQ(timer_->starts.size(), afterFirst + 2);
  for (auto period : timer_->starts) EXPECT_EQ(period, CurtainWindow::kIdlePeriod);

  timer_->fire();
  expectIdle();
  EXPECT_TRUE(window_->hasFocus());
}

TEST_F(CurtainWindowTest, ReturnSubmitsAfterClearingTheEntry) {
  showActive();
  recordSubmissions();
  QTest::keyClicks(window_.get(), "pw");
  QTest::keyClick(field(), Qt::Key_Return);
  ASSERT_EQ(submissions_.size(), 1u);
  EXPECT_EQ(submissions_[0].text, "pw");
  EXPECT_TRUE(submissions_[0].fieldEmpty);
  EXPECT_FALSE(submissions_[0].buttonVisible);
  EXPECT_FALSE(submissions_[0].timerActive);
  expectIdle();

  // Return on the idle window submits the empty text.
  QTest::keyClick(window_.get(), Qt::Key_Return);
  ASSERT_EQ(submissions_.size(), 2u);
  EXPECT_EQ(submissions_[1].text, "");
}

TEST_F(CurtainWindowTest, ButtonClickSubmitsAndNoCallbackOnlyClears) {
  showActive();
  recordSubmissions();
  QTest::keyClicks(window_.get(), "pw");
  ASSERT_TRUE(button()->isVisible());
  QTest::mouseClick(button(), Qt::LeftButton);
  ASSERT_EQ(submissions_.size(), 1u);
  EXPECT_EQ(submissions_[0].text, "pw");
  EXPECT_TRUE(submissions_[0].fieldEmpty);
  expectIdle();

  window_->onSubmit = nullptr;
  QTest::keyClicks(window_.get(), "pw");
  window_->submit();
  expectIdle();
}

TEST_F(CurtainWindowTest, FocusingTheFieldIsNotAnEdit) {
  showActive();
  QTest::mouseClick(field(), Qt::LeftButton);
  ASSERT_TRUE(field()->hasFocus());
  EXPECT_TRUE(timer_->starts.empty());
  EXPECT_FALSE(timer_->isActive());
  EXPECT_FALSE(button()->isVisible());
  QTest::keyClick(field(), 'a');
  EXPECT_EQ(timer_->starts.size(), 1u);
}

// The callback may end the session by destroying the curtain it was called
// from; nothing may touch the window afterwards.
TEST_F(CurtainWindowTest, OnSubmitMayDestroyTheWindow) {
  enum class Trigger { ReturnOnWindow, ReturnInField, ButtonClick };
  for (Trigger trigger : {Trigger::ReturnOnWindow, Trigger::ReturnInField, Trigger::ButtonClick}) {
    SCOPED_TRACE(static_cast<int>(trigger));
    if (!window_) {
      window_ = std::make_unique<CurtainWindow>(QRect(0, 0, 800, 600), MascotWalk::systemServices(),
                                                std::make_unique<FakeIdleTimer>());
    }
    showActive();
    QPointer<CurtainWindow> guard(window_.get());
    std::vector<QString> texts;
    window_->onSubmit = [this, &texts](const QString& text) {
      window_.reset();
      texts.push_back(text);  // reads a capture after the window is gone
    };
    QTest::keyClicks(window_.get(), "pw");
    switch (trigger) {
      case Trigger::ReturnOnWindow:
        window_->clearEntry();
        QTest::keyPress(window_.get(), Qt::Key_Return);
        break;
      case Trigger::ReturnInField:
        QTest::keyPress(field(), Qt::Key_Return);
        break;
      case Trigger::ButtonClick:
        QTest::mouseClick(button(), Qt::LeftButton);
        break;
    }
    EXPECT_TRUE(guard.isNull());
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], trigger == Trigger::ReturnOnWindow ? QString() : QStringLiteral("pw"));
  }
}

// Another window taking the focus for a moment costs no keystroke: keys
// typed after it still join the entry.
TEST_F(CurtainWindowTest, AnotherWindowTakingTheFocusKeepsTheEntry) {
  showActive();
  QTest::keyClicks(window_.get(), "pw");
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  QTest::keyClicks(window_.get(), "x");
  EXPECT_EQ(field()->text(), QStringLiteral("pwx"));
  EXPECT_TRUE(button()->isVisible());
  EXPECT_TRUE(timer_->isActive());
}

TEST_F(CurtainWindowTest, APressAnywhereIsReported) {
  showActive();
  int presses = 0;
  window_->onPress = [&presses] { ++presses; };
  QTest::mouseClick(window_.get(), Qt::LeftButton, {}, QPoint(10, 10));
  QTest::mouseClick(field(), Qt::LeftButton);
  QTest::keyClicks(window_.get(), "pw");
  QTest::mouseClick(button(), Qt::LeftButton);
  EXPECT_EQ(presses, 3);
}

TEST_F(CurtainWindowTest, TheKeyboardNoteSitsUnderTheFieldAndRedrawsWhereItWas) {
  window_->show();
  std::vector<QRect> changed;
  QObject::connect(window_.get(), &CurtainWindow::contentChanged,
                   [&](const QRect& area) { changed.push_back(area); });
  const QRect field = window_->passwordField()->geometry();

  window_->showKeyboardNote(true, QStringLiteral("English (US)"));
  ASSERT_EQ(changed.size(), 1u);
  const QRect note = changed.back();
  EXPECT_GT(note.top(), field.bottom());
  EXPECT_LT(note.top(), field.bottom() + 20);
  EXPECT_NEAR(note.center().x(), field.center().x(), 1);
  // What is not white lies in the entry area.
  EXPECT_TRUE(window_->entryArea().contains(note | field | window_->unlockButton()->geometry()));
  EXPECT_EQ(window_->passwordField()->accessibleDescription(),
            QStringLiteral("Caps Lock is on, English (US)"));

  window_->showKeyboardNote(true, QStringLiteral("English (US)"));  // unchanged: no redraw
  EXPECT_EQ(changed.size(), 1u);

  window_->showKeyboardNote(false, QString());
  ASSERT_EQ(changed.size(), 2u);
  EXPECT_EQ(changed.back(), note);  // the place it left is drawn white again
  EXPECT_EQ(window_->keyboardNote(), QString());
  EXPECT_EQ(window_->passwordField()->accessibleDescription(), QString());
}

TEST_F(CurtainWindowTest, CloseOnlyHides) {
  showActive();
  QPointer<CurtainWindow> guard(window_.get());
  EXPECT_TRUE(window_->close());
  QCoreApplication::processEvents();
  EXPECT_FALSE(guard.isNull());
  EXPECT_FALSE(window_->isVisible());
}

}  // namespace
}  // namespace umbrafold
