#pragma once

#include <QRect>
#include <QString>

#include <functional>
#include <memory>

#include "curtainwindow.h"
#include "displays.h"
#include "focus.h"
#include "keyboardstate.h"
#include "presentation.h"

namespace umbrafold {

// The platform pieces of a Wayland session whose compositor offers the
// session lock (ext-session-lock-v1). They share one lock connection:
//
// - displays: the compositor's outputs, numbered by their names; a frame's
//   size is what the output's lock surface was last configured to.
// - presentation: arming locks the session and succeeds only once the
//   compositor says it is locked (waiting up to a few seconds in a local
//   event loop); another locker's lock makes it fail with nothing changed.
//   Each covered curtain is drawn into its output's lock surface with
//   QWidget::render(), again where it changed and, while its mascots walk,
//   on the surface's frame callbacks. Giving the options back unlocks.
// - focus: the key curtain receives the keys of the lock's keyboard as
//   QKeyEvents; pointer presses on a surface go to the widget under them.
// - keyboard: Caps Lock and the active layout of the lock's keyboard.
// - makeCurtain: curtains that Qt never shows as windows.
//
// Main thread only.
struct WaylandPlatform {
  std::unique_ptr<Displays> displays;
  std::unique_ptr<Presentation> presentation;
  std::unique_ptr<Focus> focus;
  std::unique_ptr<KeyboardState> keyboard;
  std::function<std::unique_ptr<CurtainWindow>(const QRect&)> makeCurtain;
};

// Connects to $WAYLAND_DISPLAY on a connection of its own. Returns the
// pieces when the compositor offers the session lock; otherwise returns
// null pieces and sets `problem` to why (no connection, or no session lock).
WaylandPlatform makeWaylandPlatform(QString& problem);

}  // namespace umbrafold
