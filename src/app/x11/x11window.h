#pragma once

#include <QtGui/qwindowdefs.h>

#include <string>

namespace umbrafold::x11 {

// Small requests on the X connection Qt uses. Each returns false, doing
// nothing, when the application does not run on X. Main thread only.

// Puts `window` on top of every sibling, also above override-redirect
// windows of other clients (which QWidget::raise() does not reach).
bool raiseAbove(WId window);
// Gives `window` the keyboard focus now. The window must be mapped: the
// server ignores the request otherwise.
bool setInputFocus(WId window);

// Has the server fill every exposed part of `window` with white at once,
// before the client draws: a window mapped or uncovered shows white from
// its first moment instead of what was under it.
bool fillWhiteOnExpose(WId window);

// Whether a client can open the X display `name` (":0", "host:1.0"); opens
// a connection of its own and closes it again. Any thread.
bool displayReachable(const std::string& name);

}  // namespace umbrafold::x11
