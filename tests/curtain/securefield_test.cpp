#include "securefield.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

#include "securebuffer.h"

namespace umbrafold {
namespace {

class SecureFieldTest : public ::testing::Test {
 protected:
  SecureFieldTest() {
    auto buffer = std::make_unique<SecureBuffer>(SecureField::kCapacity);
    buffer_ = buffer.get();
    field_ = std::make_unique<SecureField>(std::move(buffer));
    field_->resize(260, field_->sizeHint().height());
    field_->show();
    field_->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(field_.get()));
    field_->setFocus();
  }

  void commit(const QString& commitText, const QString& preedit = {}) {
    QInputMethodEvent event(preedit, {});
    event.setCommitString(commitText);
    QCoreApplication::sendEvent(field_.get(), &event);
  }

  // Through QWidget, where inputMethodQuery is public, as input methods ask.
  QVariant query(Qt::InputMethodQuery kind) const {
    return static_cast<QWidget*>(field_.get())->inputMethodQuery(kind);
  }

  int caretX() const { return query(Qt::ImCursorRectangle).toRect().x(); }

  bool storageIsZeroPastText() const {
    const auto storage = buffer_->storage();
    return std::all_of(storage.begin() + static_cast<std::ptrdiff_t>(buffer_->size()),
                       storage.end(), [](char16_t unit) { return unit == 0; });
  }

  SecureBuffer* buffer_ = nullptr;  // owned by field_
  std::unique_ptr<SecureField> field_;
};

TEST_F(SecureFieldTest, TypingInsertsAtTheCursorAndReportsEachEdit) {
  QSignalSpy edits(field_.get(), &SecureField::textEdited);
  QTest::keyClicks(field_.get(), "ac");
  QTest::keyClick(field_.get(), Qt::Key_Left);
  QTest::keyClick(field_.get(), 'b');
  QTest::keyClick(field_.get(), Qt::Key_Home);
  QTest::keyClick(field_.get(), '>');
  QTest::keyClick(field_.get(), Qt::Key_End);
  QTest::keyClick(field_.get(), '<');
  EXPECT_EQ(field_->text(), ">abc<");
  EXPECT_EQ(edits.count(), 5);

  QTest::keyClick(field_.get(), Qt::Key_Home);
  QTest::keyClick(field_.get(), Qt::Key_Delete);
  QTest::keyClick(field_.get(), Qt::Key_End);
  QTest::keyClick(field_.get(), Qt::Key_Backspace);
  EXPECT_EQ(field_->text(), "abc");
  EXPECT_EQ(edits.count(), 7);
  EXPECT_TRUE(storageIsZeroPastText());
}

TEST_F(SecureFieldTest, ProgrammaticClearIsNotAnEditAndWipesTheBuffer) {
  QTest::keyClicks(field_.get(), "hunter2");
  QSignalSpy edits(field_.get(), &SecureField::textEdited);
  field_->clear();
  EXPECT_TRUE(field_->isEmpty());
  EXPECT_EQ(edits.count(), 0);
  EXPECT_TRUE(storageIsZeroPastText());
  EXPECT_EQ(buffer_->size(), 0u);
}

TEST_F(SecureFieldTest, EditsWorkOnWholeUserPerceivedCharacters) {
  const int emptyX = caretX();
  QTest::keyClick(field_.get(), 'a');
  const int bullet = caretX() - emptyX;
  ASSERT_GT(bullet, 0);

  // Thumbs up with skin tone (four code units) and e + combining acute are
  // one bullet each.
  commit(QStringLiteral("\U0001F44D\U0001F3FD"));
  commit(QStringLiteral("e\u0301"));
  EXPECT_EQ(caretX() - emptyX, 3 * bullet);

  QTest::keyClick(field_.get(), Qt::Key_Left);
  QTest::keyClick(field_.get(), Qt::Key_Left);
  QTest::keyClick(field_.get(), 'x');
  EXPECT_EQ(field_->text(), QStringLiteral("ax\U0001F44D\U0001F3FDe\u0301"));

  QTest::keyClick(field_.get(), Qt::Key_End);
  QTest::keyClick(field_.get(), Qt::Key_Backspace);
  QTest::keyClick(field_.get(), Qt::Key_Backspace);
  EXPECT_EQ(field_->text(), "ax");
  EXPECT_TRUE(storageIsZeroPastText());
}

TEST_F(SecureFieldTest, SelectAllThenTypingReplacesTheText) {
  QTest::keyClicks(field_.get(), "old secret");
  field_->selectAll();
  QTest::keyClick(field_.get(), 'n');
  EXPECT_EQ(field_->text(), "n");
  EXPECT_TRUE(storageIsZeroPastText());

  field_->selectAll();
  QTest::keyClick(field_.get(), Qt::Key_Backspace);
  EXPECT_TRUE(field_->isEmpty());
}

TEST_F(SecureFieldTest, RefusesPasteCopyAndUndo) {
  QApplication::clipboard()->setText(QStringLiteral("pasted"));
  QTest::keyClicks(field_.get(), "ab");
  QSignalSpy edits(field_.get(), &SecureField::textEdited);
  QTest::keyClick(field_.get(), Qt::Key_V, Qt::ControlModifier);
  QTest::keyClick(field_.get(), Qt::Key_Insert, Qt::ShiftModifier);
  QTest::keyClick(field_.get(), Qt::Key_Z, Qt::ControlModifier);
  QTest::keyClick(field_.get(), Qt::Key_X, Qt::ControlModifier);
  QTest::keyClick(field_.get(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(field_->text(), "ab");
  EXPECT_EQ(edits.count(), 0);
  EXPECT_EQ(QApplication::clipboard()->text(), "pasted");
}

TEST_F(SecureFieldTest, IgnoresControlCharactersAndTypingBeyondCapacity) {
  commit(QStringLiteral("a\u0001"));
  QTest::keyClick(field_.get(), Qt::Key_Tab);
  EXPECT_TRUE(field_->isEmpty());

  const QString full(static_cast<qsizetype>(SecureField::kCapacity), QChar(u'x'));
  commit(full);
  ASSERT_EQ(field_->text().size(), full.size());
  QSignalSpy edits(field_.get(), &SecureField::textEdited);
  QTest::keyClick(field_.get(), 'y');
  EXPECT_EQ(field_->text(), full);
  EXPECT_EQ(edits.count(), 0);
}

TEST_F(SecureFieldTest, TracksPreeditAndCommitsLikeTyping) {
  QSignalSpy edits(field_.get(), &SecureField::textEdited);
  commit({}, QStringLiteral("ka"));
  EXPECT_TRUE(field_->hasPreeditText());
  EXPECT_TRUE(field_->isEmpty());
  EXPECT_EQ(edits.count(), 0);

  commit(QStringLiteral("\u304B"));
  EXPECT_FALSE(field_->hasPreeditText());
  EXPECT_EQ(field_->text(), QStringLiteral("\u304B"));
  EXPECT_EQ(edits.count(), 1);

  commit({}, QStringLiteral("n"));
  field_->clear();
  EXPECT_FALSE(field_->hasPreeditText());

  const auto hints = query(Qt::ImHints).toInt();
  EXPECT_TRUE(hints & Qt::ImhHiddenText);
  EXPECT_TRUE(hints & Qt::ImhSensitiveData);
  EXPECT_TRUE(hints & Qt::ImhNoPredictiveText);
  EXPECT_TRUE(query(Qt::ImSurroundingText).toString().isEmpty());
}

TEST_F(SecureFieldTest, SignalsReturnAndFocus) {
  QSignalSpy returns(field_.get(), &SecureField::returnPressed);
  QTest::keyClick(field_.get(), Qt::Key_Return);
  QTest::keyClick(field_.get(), Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(returns.count(), 2);

  QSignalSpy began(field_.get(), &SecureField::editingBegan);
  field_->clearFocus();
  field_->setFocus();
  EXPECT_EQ(began.count(), 1);
}

TEST_F(SecureFieldTest, AccessibilityNeverExposesTheText) {
  field_->setAccessibleName(QStringLiteral("Password"));
  QTest::keyClicks(field_.get(), "topsecret");
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(field_.get());
  ASSERT_NE(accessible, nullptr);
  EXPECT_EQ(accessible->role(), QAccessible::EditableText);
  EXPECT_TRUE(accessible->state().passwordEdit);
  EXPECT_EQ(accessible->text(QAccessible::Name), "Password");
  for (auto kind :
       {QAccessible::Name, QAccessible::Description, QAccessible::Value, QAccessible::Help}) {
    EXPECT_FALSE(accessible->text(kind).contains(QStringLiteral("topsecret")));
  }
}

}  // namespace
}  // namespace umbrafold
