#pragma once

#include <QString>
#include <QWidget>

#include <cstddef>
#include <memory>

namespace umbrafold {

class SecureBuffer;

// A single-line password entry that shows one bullet per character and keeps
// its text in a locked (never swapped), wiped-on-change buffer. It offers no
// copy, cut, paste, undo or context menu. Main thread only.
//
// Looks: a white, rounded bezel with a thin grey border and a blue focus
// ring, black text (palette roles Base, Text and PlaceholderText), height
// from the font. Escape and Control or Meta combinations are left to the
// parent widget.
class SecureField : public QWidget {
  Q_OBJECT

 public:
  // Code units of UTF-16 the field holds at most; typing beyond is ignored.
  static constexpr std::size_t kCapacity = 1024;

  explicit SecureField(QWidget* parent = nullptr);
  // Keeps its text in `buffer` (owned from now on; a null buffer gets a new
  // one of kCapacity).
  explicit SecureField(std::unique_ptr<SecureBuffer> buffer, QWidget* parent = nullptr);
  ~SecureField() override;

  // A copy of the text; callers let it go as soon as they can.
  QString text() const;
  bool isEmpty() const;
  // Empties the field and any input-method pre-edit. Not an edit: emits nothing.
  void clear();
  // Replaces this field's text by `other`'s, which is emptied; the caret
  // goes to the end. Not an edit: emits nothing.
  void takeText(SecureField& other);

  void setPlaceholderText(const QString& text);
  QString placeholderText() const;

  // Width kept free at the trailing end of the typed text (bullets and
  // caret), for a control laid over the field; the placeholder, shown only
  // while the field is empty, may use it. Never below 0.
  void setTrailingInset(int inset);
  int trailingInset() const;

  // Selects the whole text and takes keyboard focus; the next typed
  // character replaces it.
  void selectAll();

  // An input method holds uncommitted pre-edit text.
  bool hasPreeditText() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  // The user changed the text (typing, deleting, input-method commit).
  // Programmatic changes (clear) never emit it.
  void textEdited();
  // The field gained keyboard focus and editing begins.
  void editingBegan();
  // Return or Enter was pressed in the field.
  void returnPressed();
  // The field's look changed (text, caret, selection, placeholder, focus):
  // for those who draw it without showing it as a window.
  void changed();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  bool event(QEvent* event) override;

 private:
  // Schedules a repaint and tells of it.
  void refresh();

  struct State;
  std::unique_ptr<State> d;
};

}  // namespace umbrafold
