#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace umbrafold {

// What the key curtain tells about the keyboard: the commonest reasons for
// a wrong password are Caps Lock and another layout than the one the
// password was set with.
struct KeyboardIndicators {
  bool capsLock = false;
  // The active layout's name when more than one layout is configured;
  // empty otherwise.
  QString layout;

  friend bool operator==(const KeyboardIndicators&, const KeyboardIndicators&) = default;
};

// The keyboard's lock and layout state, read from the display server and
// kept current. Main thread only.
class KeyboardState : public QObject {
  Q_OBJECT

 public:
  virtual KeyboardIndicators indicators() const = 0;

 signals:
  // indicators() may have changed.
  void changed();
};

// The X server's XKB state on Qt's own connection; null when the
// application does not run on X.
std::unique_ptr<KeyboardState> makeX11KeyboardState();

}  // namespace umbrafold
