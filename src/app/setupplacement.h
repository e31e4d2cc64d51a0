#pragma once

#include <QPoint>
#include <QSize>

#include <optional>
#include <vector>

#include "displays.h"

namespace umbrafold {

// Where the setup window's frame (title bar included) goes, in global
// coordinates with y growing downwards: centred in the visible frame of the
// first display whose frame contains `pointer` (else of `main`), but with its
// bottom edge never below that visible frame's bottom edge. Coordinates are
// rounded to the nearest whole pixel, halves away from zero. Nothing when
// there is no display to place it on.
std::optional<QPoint> setupWindowOrigin(const std::vector<DisplayInfo>& screens,
                                        const std::optional<DisplayInfo>& main, QPoint pointer,
                                        QSize frame);

}  // namespace umbrafold
