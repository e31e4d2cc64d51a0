#pragma once

#include <memory>

#include "stripscreen.h"

namespace umbrafold {

class StripSurface;

// Shows a mascot strip through the sub-surface `surface` of its lock
// surface: a frame makes its changed places white and blends the pictures
// that touch them, already scaled, into the strip's own buffer, and damages
// only those places. Draws from any thread, so the strip's frames are
// stepped and drawn on the frame thread and never wake Qt's event loop.
std::unique_ptr<StripScreen> makeWaylandStripScreen(std::shared_ptr<StripSurface> surface);

}  // namespace umbrafold
