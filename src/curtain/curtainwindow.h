#pragma once

#include <QRect>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

#include "mascotwalk.h"
#include "securefield.h"

class QAbstractButton;

namespace umbrafold {

// The white, borderless, always-on-top window that covers one display, with
// a centred password field, an unlock button inside the field's trailing end
// and the mascot strip along the bottom. Closing only hides it. Main thread.
class CurtainWindow : public QWidget {
  Q_OBJECT

 public:
  // Builds the complete window for a display's frame (global coordinates)
  // without showing it. `services` feeds the mascot strip.
  explicit CurtainWindow(const QRect& frame,
                         MascotWalk::Services services = MascotWalk::systemServices());
  ~CurtainWindow() override;

  SecureField* passwordField() const;
  MascotWalk* mascots() const;

  // Called with the submitted text after the entry was cleared.
  std::function<void(const QString&)> onSubmit;

  // Stops the idle timer, empties the field, hides the unlock button and
  // gives keyboard focus to the window itself.
  void clearEntry();
  // Reads the field, clears the entry, then hands the text to onSubmit.
  void submit();

  // The unlock button, for tests and accessibility.
  QAbstractButton* unlockButton() const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  struct State;
  std::unique_ptr<State> d;
};

}  // namespace umbrafold
