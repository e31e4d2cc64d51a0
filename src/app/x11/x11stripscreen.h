#pragma once

#include <memory>

#include "stripscreen.h"

namespace umbrafold::x11 {

// Shows a mascot strip in a child window of its curtain's window, drawn by
// the X server: every picture is sent once and kept in pixmaps there (as it
// is, and as it looks on white), a picture alone in a changed place is one
// copy into the window, and places where pictures meet are blended with the
// RENDER extension in a small pixmap and copied from there. A frame then
// costs a few small requests and no round trip, instead of an image upload.
// Null when the application does not run on X or the server lacks RENDER
// (the strip then paints itself as elsewhere).
std::unique_ptr<StripScreen> makeStripScreen();

}  // namespace umbrafold::x11
