#pragma once

#include <QAbstractNativeEventFilter>
#include <QTimer>

#include "x11keymap.h"

namespace umbrafold::x11 {

// "Disable process switching" on X11: an active grab of the keyboard and
// the pointer on the root window, on Qt's connection, with no key of the
// keyboard map able to break it. Watches Qt's events for as long as it
// lives: a grab the server broke (XKB's Ungrab action) is taken back at
// once, and a grab-breaking action that appears in the keyboard map while
// held is taken out of it again. Main thread only.
class Grabs final : public QAbstractNativeEventFilter {
 public:
  Grabs();
  // Gives back what it holds, as long as Qt's connection is still there.
  ~Grabs() override;
  Grabs(const Grabs&) = delete;
  Grabs& operator=(const Grabs&) = delete;

  // Takes the keyboard, then the pointer, each retried for up to about one
  // second while another client holds it. Returns false, holding nothing,
  // when they cannot be had, without X, under Wayland, or when the keyboard
  // map lets a key kill the grabbing client (saying so on standard error).
  bool take();
  // Gives both back, and the keyboard map's grab-breaking actions with them.
  void release();
  bool held() const { return held_; }

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override;

 private:
  bool grabKeyboardOnce();
  bool grabPointerOnce();
  void takeBack();
  void disarmKeys();

  bool keyboard_ = false;
  bool pointer_ = false;
  bool held_ = false;  // both taken, and not given back since
  GrabBreakingKeys keys_;
  QTimer retry_;
};

}  // namespace umbrafold::x11
