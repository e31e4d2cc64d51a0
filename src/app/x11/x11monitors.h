#pragma once

#include <cstdint>
#include <optional>

class QString;

namespace umbrafold::x11 {

// A rectangle in device pixels, in the root window's coordinates.
struct Rect {
  std::int32_t x = 0, y = 0;
  std::uint32_t width = 0, height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// The whole of the monitor named `display` (its RandR name), as RandR
// reports it on Qt's connection; empty when there is no such monitor. Qt
// sizes windows from its device-independent geometry and may come out a
// pixel short at a fractional scale. Main thread only.
std::optional<Rect> monitorFrame(const QString& display);

}  // namespace umbrafold::x11
