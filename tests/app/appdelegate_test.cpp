#include "appdelegate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QTest>

#include <algorithm>

#include "securefield.h"
#include "setupwindow.h"
#include "testdoubles.h"

namespace umbrafold {
namespace {

using test::display;
using ::testing::ElementsAre;

const QString kHint = QStringLiteral("Confirm your password to activate the curtain.");
const QString kTooShort = QStringLiteral("Use at least 8 characters.");
const QString kConfirmEmpty = QStringLiteral("Enter your password again.");
const QString kMismatch = QStringLiteral("The passwords don\u2019t match. Try again.");
const QString kCannotActivate = QStringLiteral("Couldn\u2019t activate the curtain. Try again.");
const QString kIncorrect = QStringLiteral("Incorrect password. Try again.");
const QColor kRed(0xFF, 0x3B, 0x30);

const DisplayInfo kLeft = display(QStringLiteral("DUMMY0"), QRect(0, 0, 1280, 800));
const DisplayInfo kRight = display(QStringLiteral("DUMMY1"), QRect(1280, 0, 1024, 768));
const DisplayInfo kThird = display(QStringLiteral("DUMMY2"), QRect(2304, 0, 1024, 768));
const std::vector<DisplayInfo> kOne{kLeft};
const std::vector<DisplayInfo> kUnnumbered{display(QString(), kLeft.frame)};

AgentActivity someAgents() {
  return AgentActivity({WorkingAgent("claude-1-2", WorkingAgent::Kind::claude, "Testing")});
}

class AppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override { test::ensureApplication(); }

  void TearDown() override {
    log->state = nullptr;
    delegate.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  // Builds and starts the controller on `screens`, polling once at start.
  void start(std::vector<DisplayInfo> screens) {
    Platform platform;
    auto fakeDisplays = std::make_unique<test::FakeDisplays>();
    fakeDisplays->list = std::move(screens);
    displays = fakeDisplays.get();
    auto fakePresentation = std::make_unique<test::FakePresentation>(log);
    presentation = fakePresentation.get();
    auto fakeFocus = std::make_unique<test::FakeFocus>(log);
    focus = fakeFocus.get();
    platform.displays = std::move(fakeDisplays);
    platform.presentation = std::move(fakePresentation);
    platform.focus = std::move(fakeFocus);
    auto fakeKeyboard = std::make_unique<test::FakeKeyboardState>();
    keyboard = fakeKeyboard.get();
    platform.keyboard = std::move(fakeKeyboard);
    platform.makeCurtain = [this](const QRect& frame) {
      auto curtain = std::make_unique<CurtainWindow>(frame);
      for (const DisplayInfo& screen : displays->list) {
        if (screen.frame == frame) curtain->setObjectName(screen.number);
      }
      log->add("make " + curtain->objectName().toStdString());
      return curtain;
    };
    platform.scan = [] { return someAgents(); };
    platform.pollInterval = std::chrono::hours(1);
    platform.uptime = [this] { return now; };
    platform.background = [this](std::function<bool()> work, std::function<void(bool)> done) {
      if (deferChecks) {
        checks.emplace_back(std::move(work), std::move(done));
      } else {
        done(work());
      }
    };
    platform.terminate = [this](int status) {
      log->add("terminate " + std::to_string(status));
      ++terminations;
    };
    delegate = std::make_unique<AppDelegate>(std::move(platform));
    delegate->start();
  }

  SetupWindow* setup() const { return delegate->setupWindow(); }
  SecureField* first() const { return setup()->passwordField(); }
  SecureField* second() const { return setup()->confirmationField(); }
  QString status() const { return setup()->statusLine()->text(); }
  QColor statusColor() const {
    return setup()->statusLine()->palette().color(QPalette::WindowText);
  }

  // Types `text` one key at a time (a surrogate pair is one key).
  void type(SecureField* field, const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
      const qsizetype length = text.at(i).isHighSurrogate() ? 2 : 1;
      QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, text.mid(i, length));
      QCoreApplication::sendEvent(field, &press);
      i += length - 1;
    }
  }

  // Types the same password into both fields, which arms by itself.
  void armWith(const QString& text) {
    type(first(), text);
    type(second(), text);
  }

  CurtainWindow* curtain(const QString& number) const {
    auto it = delegate->curtainWindows().find(number);
    return it == delegate->curtainWindows().end() ? nullptr : it->second.get();
  }

  // Records, with every call the doubles see, whether the controller is
  // armed, polling, showing its setup window, and how many curtains it has.
  void recordState() {
    log->state = [this] {
      return std::string(delegate->isArmed() ? "armed" : "unarmed") +
             (delegate->isPolling() ? ", polling" : "") +
             (setup()->isVisible() ? ", setup shown" : "") + ", " +
             std::to_string(delegate->curtainWindows().size()) + " curtains";
    };
  }

  const std::vector<std::string>& events() const { return log->events; }

  std::vector<QString> curtainNumbers() const {
    std::vector<QString> numbers;
    for (const auto& [number, window] : delegate->curtainWindows()) numbers.push_back(number);
    return numbers;
  }

  std::shared_ptr<test::EventLog> log = std::make_shared<test::EventLog>();
  test::FakeDisplays* displays = nullptr;
  test::FakePresentation* presentation = nullptr;
  test::FakeFocus* focus = nullptr;
  test::FakeKeyboardState* keyboard = nullptr;
  std::unique_ptr<AppDelegate> delegate;
  int terminations = 0;
  double now = 1000;
  // With deferChecks, password checks wait in `checks` until a test runs them.
  bool deferChecks = false;
  std::vector<std::pair<std::function<bool()>, std::function<void(bool)>>> checks;
};

TEST_F(AppDelegateTest, ArmingTakesTheScreenThenCoversEveryDisplayThenHidesTheSetup) {
  start({kLeft, kRight});
  recordState();
  armWith(QStringLiteral("correct horse"));

  // The grab comes before any curtain and before the password is stored; the
  // setup window stays until the curtains are up, and polling starts last.
  ASSERT_TRUE(delegate->isArmed());
  EXPECT_THAT(events(), ElementsAre("setOptions 298 (unarmed, setup shown, 0 curtains)",
                                    "make DUMMY0 (armed, setup shown, 0 curtains)",
                                    "cover DUMMY0 (armed, setup shown, 1 curtains)",
                                    "make DUMMY1 (armed, setup shown, 1 curtains)",
                                    "cover DUMMY1 (armed, setup shown, 2 curtains)",
                                    "makeKey DUMMY0 (armed, setup shown, 2 curtains)"));
  EXPECT_EQ(delegate->savedOptions(), PresentationOptions{0x4});
  EXPECT_THAT(curtainNumbers(), ElementsAre("DUMMY0", "DUMMY1"));
  EXPECT_EQ(curtain("DUMMY0")->geometry(), kLeft.frame);
  EXPECT_EQ(curtain("DUMMY1")->geometry(), kRight.frame);
  EXPECT_TRUE(curtain("DUMMY1")->isVisible());
  EXPECT_TRUE(first()->isEmpty());
  EXPECT_TRUE(second()->isEmpty());
  EXPECT_FALSE(setup()->isVisible());
  EXPECT_EQ(terminations, 0);  // hidden, not closed
  EXPECT_TRUE(delegate->isPolling());

  // The first scan comes at once and reaches every curtain.
  ASSERT_TRUE(
      test::waitFor([&] { return curtain("DUMMY1")->mascots()->activity() == someAgents(); }));
  EXPECT_EQ(curtain("DUMMY0")->mascots()->activity(), someAgents());

  // A second arm changes nothing.
  log->events.clear();
  delegate->arm();
  EXPECT_TRUE(events().empty());
}

TEST_F(AppDelegateTest, ArmsOnTheKeystrokeThatCompletesTheConfirmation) {
  start({kLeft});
  type(first(), QStringLiteral("abcdefg"));
  type(second(), QStringLiteral("abcdefg"));  // equal, but seven characters
  EXPECT_FALSE(delegate->isArmed());
  type(first(), QStringLiteral("h"));
  EXPECT_FALSE(delegate->isArmed());
  EXPECT_TRUE(presentation->requests.empty());
  EXPECT_EQ(status(), kHint);
  type(second(), QStringLiteral("h"));
  EXPECT_TRUE(delegate->isArmed());
}

TEST_F(AppDelegateTest, CompletingThePasswordFieldLastAlsoArms) {
  start({kLeft});
  type(second(), QStringLiteral("abcdefgh"));
  type(first(), QStringLiteral("abcdefg"));
  EXPECT_FALSE(delegate->isArmed());
  QTest::keyClick(first(), Qt::Key_H);
  EXPECT_TRUE(delegate->isArmed());
}

TEST_F(AppDelegateTest, ComposedAndDecomposedLettersAreTheSamePassword) {
  start({kLeft});
  type(first(), QStringLiteral("caf\u00E9 noir"));
  type(second(), QStringLiteral("cafe\u0301 noi"));
  EXPECT_FALSE(delegate->isArmed());
  type(second(), QStringLiteral("r"));
  EXPECT_TRUE(delegate->isArmed());
}

TEST_F(AppDelegateTest, NoArmingWhileAnInputMethodIsComposing) {
  start({kLeft});
  type(first(), QStringLiteral("abcdefgh"));
  type(second(), QStringLiteral("abcdefg"));
  QInputMethodEvent composing(QStringLiteral("x"), {});
  composing.setCommitString(QStringLiteral("h"));
  QCoreApplication::sendEvent(second(), &composing);
  ASSERT_EQ(second()->text(), QStringLiteral("abcdefgh"));
  EXPECT_FALSE(delegate->isArmed());
}

TEST_F(AppDelegateTest, AnEditAfterAnErrorRestoresTheHint) {
  start({kLeft});
  type(first(), QStringLiteral("short"));
  QTest::keyClick(second(), Qt::Key_Return);
  EXPECT_EQ(status(), QStringLiteral("Use at least 8 characters."));
  EXPECT_EQ(statusColor(), kRed);
  QTest::keyClick(second(), Qt::Key_X);
  EXPECT_EQ(status(), kHint);
  EXPECT_NE(statusColor(), kRed);
}

TEST_F(AppDelegateTest, ReturnInThePasswordFieldMovesToTheConfirmation) {
  start({kLeft});
  setup()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(setup()));
  EXPECT_TRUE(first()->hasFocus());
  QTest::keyClick(first(), Qt::Key_Return);
  EXPECT_TRUE(second()->hasFocus());
  EXPECT_EQ(status(), kHint);
  EXPECT_FALSE(delegate->isArmed());
}

// One row of the arming failures: what the fields hold, what the world
// refuses, and what the user is told.
struct FailureRow {
  const char* name;
  QString password;
  QString confirmation;
  std::vector<DisplayInfo> screens;
  bool refuseGrab;
  QString message;
  int focusedField;  // 0 password, 1 confirmation, -1 whichever had it
};

class ArmingFailureTest : public AppDelegateTest,
                          public ::testing::WithParamInterface<FailureRow> {};

TEST_P(ArmingFailureTest, LeavesEverythingAsItWas) {
  const FailureRow& row = GetParam();
  start(row.screens);
  presentation->refuse = row.refuseGrab;
  setup()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(setup()));
  type(first(), row.password);
  type(second(), row.confirmation);
  second()->setFocus();
  QTest::keyClick(second(), Qt::Key_Return);

  EXPECT_EQ(status(), row.message);
  EXPECT_EQ(statusColor(), kRed);
  EXPECT_FALSE(delegate->isArmed());
  EXPECT_TRUE(delegate->curtainWindows().empty());
  EXPECT_FALSE(delegate->isPolling());
  EXPECT_TRUE(setup()->isVisible());
  EXPECT_EQ(first()->text(), row.password);
  EXPECT_EQ(second()->text(), row.confirmation);
  EXPECT_EQ(presentation->current, PresentationOptions{0x4});
  if (!row.refuseGrab) {
    EXPECT_TRUE(presentation->requests.empty());
  }
  if (row.focusedField == 0) {
    EXPECT_TRUE(first()->hasFocus());
  } else if (row.focusedField == 1) {
    EXPECT_TRUE(second()->hasFocus());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ArmingFailureTest,
    ::testing::Values(
        FailureRow{"TooShort", "1234567", "1234567", kOne, false, kTooShort, 0},
        FailureRow{"TooShortWhateverTheConfirmation", "1234567", "other", kOne, false, kTooShort,
                   0},
        // Seven characters in ten code units: a thumb with a skin tone is one.
        FailureRow{"EmojiIsOneCharacter", QStringLiteral("\U0001F44D\U0001F3FDabcdef"),
                   QStringLiteral("\U0001F44D\U0001F3FDabcdef"), kOne, false, kTooShort, 0},
        FailureRow{"ConfirmationEmpty", "12345678", "", kOne, false, kConfirmEmpty, 1},
        FailureRow{"Mismatch", "12345678", "12345679", kOne, false, kMismatch, 1},
        FailureRow{"NoDisplay", "12345678", "12345678", {}, false, kCannotActivate, -1},
        FailureRow{"NoNumberedDisplay", "12345678", "12345678", kUnnumbered, false, kCannotActivate,
                   -1},
        FailureRow{"GrabRefused", "12345678", "12345678", kOne, true, kCannotActivate, -1}),
    [](const ::testing::TestParamInfo<FailureRow>& row) { return row.param.name; });

TEST_F(AppDelegateTest, DisplaysGoneByTheTimeOfTheGrabGiveEverythingBack) {
  start({kLeft});
  presentation->onSet = [this](PresentationOptions options) {
    if (options == PresentationOptions::armed()) displays->list.clear();
  };
  armWith(QStringLiteral("correct horse"));
  EXPECT_FALSE(delegate->isArmed());
  EXPECT_TRUE(delegate->curtainWindows().empty());
  EXPECT_FALSE(delegate->isPolling());
  EXPECT_EQ(presentation->current, PresentationOptions{0x4});
  EXPECT_EQ(status(), kCannotActivate);
  EXPECT_TRUE(setup()->isVisible());
  EXPECT_EQ(second()->text(), QStringLiteral("correct horse"));
}

TEST_F(AppDelegateTest, APressMakesACurtainKeyAndClearsTheEntryOfTheOneBefore) {
  start({kLeft, kRight});
  armWith(QStringLiteral("correct horse"));
  ASSERT_EQ(delegate->keyCurtain(), curtain("DUMMY0"));
  QTest::keyClicks(curtain("DUMMY0"), QStringLiteral("abc"));
  ASSERT_EQ(curtain("DUMMY0")->passwordField()->text(), QStringLiteral("abc"));

  QTest::mouseClick(curtain("DUMMY1"), Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_EQ(delegate->keyCurtain(), curtain("DUMMY1"));
  EXPECT_EQ(focus->key, curtain("DUMMY1"));
  EXPECT_TRUE(curtain("DUMMY0")->passwordField()->isEmpty());

  // A press on the key curtain keeps its entry.
  QTest::keyClicks(curtain("DUMMY1"), QStringLiteral("x"));
  QTest::mouseClick(curtain("DUMMY1")->passwordField(), Qt::LeftButton);
  EXPECT_EQ(curtain("DUMMY1")->passwordField()->text(), QStringLiteral("x"));
}

TEST_F(AppDelegateTest, AttemptsSubmittedDuringACheckAreCheckedInTurn) {
  deferChecks = true;
  start({kLeft});
  armWith(QStringLiteral("correct horse"));
  const auto placeholder = [&] { return curtain("DUMMY0")->passwordField()->placeholderText(); };
  const QString initial = placeholder();
  const auto finishCheck = [&] {
    auto [work, done] = std::move(checks.front());
    checks.erase(checks.begin());
    done(work());
  };

  // A typo, noticed at once: the right password follows before the verdict.
  curtain("DUMMY0")->onSubmit(QStringLiteral("wrong one"));
  curtain("DUMMY0")->onSubmit(QStringLiteral("also wrong"));
  curtain("DUMMY0")->onSubmit(QStringLiteral("correct horse"));
  ASSERT_EQ(checks.size(), 1u);  // one derivation at a time
  EXPECT_EQ(placeholder(), initial);

  finishCheck();
  EXPECT_EQ(placeholder(), kIncorrect);
  ASSERT_EQ(checks.size(), 1u);  // the next one started by itself
  EXPECT_TRUE(delegate->isChecking());
  finishCheck();
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(terminations, 0);
  finishCheck();
  EXPECT_EQ(terminations, 1);
}

TEST_F(AppDelegateTest, QueuedAttemptsKeepTheBackOff) {
  deferChecks = true;
  start({kLeft});
  armWith(QStringLiteral("correct horse"));
  for (const char* attempt : {"one", "two", "three", "correct horse"}) {
    curtain("DUMMY0")->onSubmit(QString::fromLatin1(attempt));
  }
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(checks.size(), 1u);
    auto [work, done] = std::move(checks.front());
    checks.clear();
    done(work());
  }
  // The third failure set a wait of 1 s: the queued right password is
  // refused without a derivation, like any attempt during a wait.
  EXPECT_TRUE(checks.empty());
  EXPECT_EQ(curtain("DUMMY0")->passwordField()->placeholderText(),
            QStringLiteral("Try again in 1 s"));
  EXPECT_EQ(terminations, 0);
}

TEST_F(AppDelegateTest, TheKeyCurtainAloneSaysWhenCapsLockIsOn) {
  start({kLeft, kRight});
  keyboard->shown = {true, QString()};
  armWith(QStringLiteral("correct horse"));
  EXPECT_EQ(curtain("DUMMY0")->keyboardNote(), QStringLiteral("Caps Lock is on"));
  EXPECT_EQ(curtain("DUMMY1")->keyboardNote(), QString());

  keyboard->set({true, QStringLiteral("German")});
  EXPECT_EQ(curtain("DUMMY0")->keyboardNote(), QStringLiteral("Caps Lock is on, German"));

  QTest::mouseClick(curtain("DUMMY1"), Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_EQ(curtain("DUMMY0")->keyboardNote(), QString());
  EXPECT_EQ(curtain("DUMMY1")->keyboardNote(), QStringLiteral("Caps Lock is on, German"));

  keyboard->set({false, QString()});
  EXPECT_EQ(curtain("DUMMY1")->keyboardNote(), QString());
}

TEST_F(AppDelegateTest, ASignalEndsTheSessionInTheUnlockOrderWithItsStatus) {
  start({kLeft});
  armWith(QStringLiteral("correct horse"));
  log->events.clear();
  delegate->endSession(143);
  EXPECT_THAT(events(), ElementsAre("setOptions 4", "uncover DUMMY0", "terminate 143"));
  EXPECT_FALSE(delegate->isArmed());
}

TEST_F(AppDelegateTest, ClosingTheSetupWindowBeforeArmingQuits) {
  start({kLeft});
  setup()->close();
  EXPECT_EQ(terminations, 1);
  EXPECT_TRUE(presentation->requests.empty());
}

TEST_F(AppDelegateTest, DisplayChangesBeforeArmingCreateNothing) {
  start({kLeft});
  displays->set({kLeft, kRight});
  EXPECT_TRUE(delegate->curtainWindows().empty());
  EXPECT_TRUE(events().empty());
}

TEST_F(AppDelegateTest, CurtainsFollowDisplaysComingAndGoing) {
  start({kLeft, kRight, display(QString(), QRect(0, 800, 640, 480))});
  armWith(QStringLiteral("correct horse"));
  ASSERT_THAT(curtainNumbers(), ElementsAre("DUMMY0", "DUMMY1"));  // no number, no curtain
  ASSERT_TRUE(test::waitFor([&] { return delegate->latestActivity() == someAgents(); }));
  QPointer<CurtainWindow> left = curtain("DUMMY0");
  QPointer<CurtainWindow> right = curtain("DUMMY1");

  // Unplugging one display closes exactly its curtain; focus stays.
  log->events.clear();
  displays->set({kLeft});
  EXPECT_THAT(curtainNumbers(), ElementsAre("DUMMY0"));
  EXPECT_EQ(curtain("DUMMY0"), left.data());
  ASSERT_FALSE(right.isNull());
  EXPECT_FALSE(right->isVisible());
  EXPECT_TRUE(right->mascots()->activity().agents.empty());
  EXPECT_THAT(events(), ElementsAre("cover DUMMY0", "uncover DUMMY1"));
  ASSERT_TRUE(test::waitFor([&] { return right.isNull(); }));

  // Plugging one in adds a curtain showing the current agents; focus stays.
  log->events.clear();
  displays->set({kLeft, kThird});
  EXPECT_THAT(events(), ElementsAre("cover DUMMY0", "make DUMMY2", "cover DUMMY2"));
  ASSERT_NE(curtain("DUMMY2"), nullptr);
  EXPECT_EQ(curtain("DUMMY2")->geometry(), kThird.frame);
  EXPECT_EQ(curtain("DUMMY2")->mascots()->activity(), someAgents());

  // A new resolution resizes the existing curtain.
  log->events.clear();
  const DisplayInfo smaller = display(QStringLiteral("DUMMY0"), QRect(0, 0, 1024, 768));
  displays->set({smaller, kThird});
  EXPECT_EQ(curtain("DUMMY0"), left.data());
  EXPECT_EQ(left->geometry(), smaller.frame);
  EXPECT_THAT(events(), ElementsAre("cover DUMMY0", "cover DUMMY2"));

  // Unplugging the key display makes the first remaining curtain key, and
  // what was typed there so far carries on.
  QTest::keyClicks(curtain("DUMMY0"), QStringLiteral("half"));
  log->events.clear();
  displays->set({kThird});
  EXPECT_THAT(events(), ElementsAre("cover DUMMY2", "uncover DUMMY0", "makeKey DUMMY2"));
  EXPECT_EQ(curtain("DUMMY2")->passwordField()->text(), QStringLiteral("half"));

  // No display with a number: every curtain goes.
  displays->set({display(QString(), kLeft.frame)});
  EXPECT_TRUE(delegate->curtainWindows().empty());
}

TEST_F(AppDelegateTest, WrongPasswordsAreAnsweredOnEveryCurtain) {
  start({kLeft, kRight});
  armWith(QStringLiteral("correct horse"));
  const auto placeholders = [&] {
    return std::vector<QString>{curtain("DUMMY0")->passwordField()->placeholderText(),
                                curtain("DUMMY1")->passwordField()->placeholderText()};
  };
  const auto submit = [&](const char* text) {
    curtain("DUMMY1")->onSubmit(QString::fromUtf8(text));
  };

  submit("wrong one");
  EXPECT_THAT(placeholders(), ElementsAre(kIncorrect, kIncorrect));
  submit("wrong two");
  EXPECT_THAT(placeholders(), ElementsAre(kIncorrect, kIncorrect));
  submit("wrong three");
  EXPECT_THAT(placeholders(), ElementsAre("Try again in 1 s", "Try again in 1 s"));
  now += 1;
  submit("wrong four");  // the next delay is 2 s
  EXPECT_THAT(placeholders(), ElementsAre("Try again in 2 s", "Try again in 2 s"));
  now += 0.5;
  submit("correct horse");  // refused unchecked during the wait, rounded up
  EXPECT_THAT(placeholders(), ElementsAre("Try again in 2 s", "Try again in 2 s"));
  now += 2;
  submit("correct horse");
  EXPECT_EQ(terminations, 1);
}

TEST_F(AppDelegateTest, TheRightPasswordEndsTheSessionInOrder) {
  start({kLeft, kRight});
  armWith(QStringLiteral("correct horse"));
  QPointer<CurtainWindow> left = curtain("DUMMY0");
  QPointer<CurtainWindow> right = curtain("DUMMY1");
  recordState();
  log->events.clear();

  QTest::keyClicks(right->passwordField(), QStringLiteral("correct horse"));
  right->submit();

  // Polling stops and the password goes before the grab is released; the
  // curtains close before the map is emptied, and termination comes last.
  EXPECT_THAT(
      events(),
      ElementsAre("setOptions 4 (unarmed, 2 curtains)", "uncover DUMMY0 (unarmed, 2 curtains)",
                  "uncover DUMMY1 (unarmed, 2 curtains)", "terminate 0 (unarmed, 0 curtains)"));
  EXPECT_EQ(terminations, 1);
  EXPECT_TRUE(delegate->curtainWindows().empty());
  ASSERT_FALSE(left.isNull());
  EXPECT_FALSE(left->isVisible());
  EXPECT_FALSE(right->isVisible());
  // The windows are destroyed once the submission has returned.
  EXPECT_TRUE(test::waitFor([&] { return left.isNull() && right.isNull(); }));
  // A display change after the end creates nothing.
  displays->set({kLeft});
  EXPECT_TRUE(delegate->curtainWindows().empty());
}

TEST_F(AppDelegateTest, LosingTheFocusWhileArmedAsksForItBackLater) {
  start({kLeft});
  focus->resign();  // unarmed: the user may switch freely
  QCoreApplication::processEvents();
  EXPECT_EQ(focus->activations, 0);

  armWith(QStringLiteral("correct horse"));
  focus->resign();
  EXPECT_EQ(focus->activations, 0);  // posted, not run inside the notification
  EXPECT_TRUE(test::waitFor([&] { return focus->activations == 1; }));

  focus->locker = true;  // the desktop's own locker is never fought
  focus->resign();
  QCoreApplication::processEvents();
  EXPECT_EQ(focus->activations, 1);

  focus->locker = false;
  focus->active = true;  // active again by the time the check runs
  focus->resign();
  QCoreApplication::processEvents();
  EXPECT_EQ(focus->activations, 1);
}

}  // namespace
}  // namespace umbrafold
