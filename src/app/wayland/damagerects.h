#pragma once

#include <QRect>
#include <QRegion>

#include <vector>

namespace umbrafold {

// The rectangles to report to the compositor as the damage of `region`:
// each run of columns the region touches (runs fewer than `gap` pixels apart
// joined) as one rectangle over the rows the region has in that run.
//
// A compositor pays for every damage rectangle: a request, a region union,
// and a composite call per surface it crosses on every frame. A walking
// strip's region is dozens of thin bands, one mascot's old and new place
// cut into pieces; a few rectangles that cover them cost far less than the
// few pixels they add.
std::vector<QRect> damageRects(const QRegion& region, int gap);

}  // namespace umbrafold
