#include "setupwindow.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QLabel>
#include <QTest>

#include "securefield.h"
#include "testdoubles.h"

namespace umbrafold {
namespace {

const QString kHint = QStringLiteral("Confirm your password to activate the curtain.");

class SetupWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ensureApplication();
    window = std::make_unique<SetupWindow>(kHint, QString());
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  }

  std::unique_ptr<SetupWindow> window;
};

TEST_F(SetupWindowTest, IsASmallFixedTitledWindow) {
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Umbrafold"));
  EXPECT_EQ(window->size(), QSize(412, 268));
  EXPECT_EQ(window->minimumSize(), window->maximumSize());
  const Qt::WindowFlags flags = window->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
}

TEST_F(SetupWindowTest, FieldsAreNamedForAssistiveTechnology) {
  SecureField* first = window->passwordField();
  SecureField* second = window->confirmationField();
  EXPECT_EQ(first->placeholderText(), QStringLiteral("Password (8+ characters)"));
  EXPECT_EQ(first->accessibleName(), first->placeholderText());
  EXPECT_EQ(first->accessibleDescription(), kHint);
  EXPECT_EQ(second->placeholderText(), QStringLiteral("Confirm password"));
  EXPECT_EQ(second->accessibleName(), second->placeholderText());
  EXPECT_EQ(first->font().pixelSize(), 15);
}

TEST_F(SetupWindowTest, TabAlternatesBetweenTheTwoFieldsOnly) {
  SecureField* first = window->passwordField();
  SecureField* second = window->confirmationField();
  ASSERT_TRUE(first->hasFocus());
  QTest::keyClick(first, Qt::Key_Tab);
  EXPECT_TRUE(second->hasFocus());
  QTest::keyClick(second, Qt::Key_Tab);
  EXPECT_TRUE(first->hasFocus());
  QTest::keyClick(first, Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_TRUE(second->hasFocus());
}

TEST_F(SetupWindowTest, StatusLineSwitchesBetweenHintAndError) {
  QLabel* status = window->statusLine();
  EXPECT_EQ(status->text(), kHint);
  const QColor resting = status->palette().color(QPalette::WindowText);
  EXPECT_EQ(resting, QColor(0, 0, 0, 128));
  window->showError(QStringLiteral("Use at least 8 characters."));
  EXPECT_EQ(status->palette().color(QPalette::WindowText), QColor(0xFF, 0x3B, 0x30));
  window->showHint();
  EXPECT_EQ(status->text(), kHint);
  EXPECT_EQ(status->palette().color(QPalette::WindowText), resting);
}

TEST_F(SetupWindowTest, StackKeepsItsSpacingsAndSideMargins) {
  SecureField* first = window->passwordField();
  SecureField* second = window->confirmationField();
  QLabel* status = window->statusLine();
  EXPECT_EQ(first->x(), 28);
  EXPECT_EQ(first->width(), 412 - 2 * 28);
  EXPECT_EQ(status->width(), first->width());
  EXPECT_EQ(first->y() - (status->y() + status->height()), 12);
  EXPECT_EQ(second->y() - (first->y() + first->height()), 9);
}

}  // namespace
}  // namespace umbrafold
