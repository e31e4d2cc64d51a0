#pragma once

#include <QObject>

#include <memory>

class QWidget;

namespace umbrafold {

// Keyboard focus and activation. Main thread only.
class Focus : public QObject {
  Q_OBJECT

 public:
  ~Focus() override = default;

  // One of our windows holds the keyboard focus.
  virtual bool isActive() const = 0;
  // Shows and raises `window` and gives it the keyboard focus (for an
  // override-redirect window, once it is mapped).
  virtual void makeKey(QWidget* window) = 0;
  // Asks for the keyboard focus back, for the window last made key.
  virtual void activate() = 0;
  // The desktop's own screen locker or greeter is active; unknown is false.
  virtual bool lockerActive() const = 0;

 signals:
  // The application stopped holding the keyboard focus.
  void resignedActive();
};

// Focus on X11 (xcb_set_input_focus, application state, the session bus's
// org.freedesktop.ScreenSaver for the desktop's locker).
std::unique_ptr<Focus> makeX11Focus();
// Focus through Qt alone (application state, QWidget::activateWindow, the
// session bus's org.freedesktop.ScreenSaver), for sessions without X11.
std::unique_ptr<Focus> makeQtFocus();

}  // namespace umbrafold
