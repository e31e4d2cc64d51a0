#pragma once

namespace umbrafold {

// Asks the compositor at $WAYLAND_DISPLAY, over a short connection of its
// own, how it decorates a toplevel window with the application id `appId`
// that leaves the choice to it (as Qt's windows do). Returns true when the
// compositor draws the title bar and frame itself (xdg-decoration's
// server-side mode); false when the client must draw them, when the
// compositor offers no xdg-decoration, or without a connection. Nothing is
// shown: the window asked about never gets a buffer. Blocks for a few round
// trips to the compositor; call it before Qt connects.
bool compositorDecoratesWindows(const char* appId);

}  // namespace umbrafold
