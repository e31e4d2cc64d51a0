#include "setupwindow.h"

#include <gtest/gtest.h>

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
