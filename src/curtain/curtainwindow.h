#pragma once

#include <QRect>
#include <QString>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>

#include "idletimer.h"
#include "mascotwalk.h"
#include "securefield.h"

class QAbstractButton;

namespace umbrafold {

// The white, borderless, always-on-top window that covers one display, with
// a centred password field, an unlock button inside the field's trailing end
// and the mascot strip along the bottom. Closing only hides it. Main thread.
//
// Typing anywhere on the window goes into the field; Escape or an idle
// period without edits clears the entry; Control shortcuts do nothing.
// Return in the field or a click on the button submits. Which curtain is
// key, and clearing the entry of one that stops being key, is its owner's
// business: a window of another client taking the input focus for a moment
// does not touch the entry.
class CurtainWindow : public QWidget {
  Q_OBJECT

 public:
  // How long an entry may rest without an edit before it is cleared.
  static constexpr std::chrono::milliseconds kIdlePeriod{20000};

  // Builds the complete window for a display's frame (global coordinates)
  // without showing it. `services` feeds the mascot strip; `idleTimer` times
  // the idle period (a null timer gets a QtIdleTimer).
  explicit CurtainWindow(const QRect& frame,
                         MascotWalk::Services services = MascotWalk::systemServices(),
                         std::unique_ptr<IdleTimer> idleTimer = nullptr);
  ~CurtainWindow() override;

  SecureField* passwordField() const;
  MascotWalk* mascots() const;

  // Called with the submitted text after the entry was cleared. It may hide
  // or destroy this window; nothing of the window is touched afterwards.
  std::function<void(const QString&)> onSubmit;
  // Called when a mouse button is pressed anywhere on the window, the field
  // and the button included, before the press is handled.
  std::function<void()> onPress;

  // Stops the idle timer, empties the field, hides the unlock button and
  // gives keyboard focus to the window itself.
  void clearEntry();
  // Reads the field, clears the entry, then hands the text to onSubmit.
  void submit();
  // Carries on the entry typed on `other` (which is cleared) here, with a
  // fresh idle period when it is not empty: nothing typed is lost when the
  // keyboard moves to this window without the user asking.
  void takeEntry(CurtainWindow& other);

  // Under the field: "Caps Lock is on" while `capsLock`, and `layout` (the
  // active keyboard layout's name) beside it when not empty. Nothing shows
  // when neither is asked for. Screen readers get the same text as the
  // field's description.
  void showKeyboardNote(bool capsLock, const QString& layout);
  // The note as shown, its parts joined by ", "; empty when none shows.
  QString keyboardNote() const;

  // The band across the window, in window coordinates, outside which the
  // window shows nothing but white and its mascot strip: the field, its
  // button and the keyboard note, whatever they say. Follows the size.
  QRect entryArea() const;

  // The unlock button, for tests and accessibility.
  QAbstractButton* unlockButton() const;

 signals:
  // Part of the window (window coordinates) looks different now: for those
  // who draw it with render() without showing it as a window.
  void contentChanged(const QRect& area);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void entryEdited();
  void entryAreaChanged();
  void layOut();
  QRect noteArea() const;

  struct State;
  std::unique_ptr<State> d;
};

}  // namespace umbrafold
