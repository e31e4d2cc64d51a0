#pragma once

#include <memory>

#include "stripscreen.h"

namespace umbrafold::x11 {

// Shows a mascot strip in a child window of its curtain's window, drawn by
// the X server with the RENDER extension: every picture is sent once and
// kept in a pixmap there, the strip is composed in a pixmap of its own and
// only the places a frame changed are copied to the window. A frame then
// costs a few small requests and no round trip, instead of an image upload.
// Null when the application does not run on X or the server lacks RENDER
// (the strip then paints itself as elsewhere).
std::unique_ptr<StripScreen> makeStripScreen();

}  // namespace umbrafold::x11
