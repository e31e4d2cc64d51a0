#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace umbrafold {

// Geometry of the mascot strip, in the strip's points with the origin at the
// bottom-left corner and y growing upwards. Pure arithmetic; callers that
// paint in a y-down system convert with flipped().

// A rectangle given by its lower-left corner and its size.
struct StripRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  friend bool operator==(const StripRect&, const StripRect&) = default;
};

struct StripPoint {
  double x = 0;
  double y = 0;
  friend bool operator==(const StripPoint&, const StripPoint&) = default;
};

// The same rectangle in a y-down system whose origin is the top-left corner
// of a strip `stripHeight` high: its top edge is stripHeight - (y + height).
StripRect flipped(const StripRect& rect, double stripHeight);

// `points` moved to the nearest whole device pixel at `pixelRatio` (> 0)
// device pixels per point, halves upwards: where a coordinate of a mascot's
// drawing is put, so pictures are copied pixel for pixel, never resampled
// at a fraction of a pixel.
double wholePixels(double points, double pixelRatio);

// How far `points` can move up (towards larger values, `up`) or down while
// wholePixels(points, pixelRatio) stays the same: moving further changes
// it. 0 when any move down changes it.
double distanceToNextPixel(double points, double pixelRatio, bool up);

// A run of columns [first, second) of a strip's pixels.
using Span = std::pair<int, int>;

// Sorts `spans` by their first column and joins every two that overlap or
// touch, in place: afterwards they are disjoint, apart from each other and
// in ascending order, and cover the same columns. Empty spans are dropped.
void mergeSpans(std::vector<Span>& spans);

// Side of the square each mascot is drawn in, for `agents` mascots in a strip
// `width` wide: all together take at most 88 % of the width, none more than 48.
double mascotSide(double width, std::size_t agents);

// The square of a mascot whose centre line is `x` and whose base is at `y`.
StripRect mascotSquare(double x, double y, double side);

// Where an image of `imageWidth` x `imageHeight` is drawn for that mascot:
// scaled to fit the square with its proportions kept, centred on x, standing
// one point above the square's bottom. Empty images give an empty rectangle.
StripRect mascotImageRect(double x, double y, double side, double imageWidth, double imageHeight);

// Lower-left corner of a text measuring `textWidth` x `textHeight` centred in
// the mascot's square.
StripPoint nameTextOrigin(double x, double y, double side, double textWidth, double textHeight);

// The smallest rectangle holding both. An empty rectangle (zero width or
// height) adds nothing unless both are empty.
StripRect united(const StripRect& a, const StripRect& b);

// Everything a mascot may cover, whatever its picture: its square raised by
// the one-point lift of images, together with the box of its name text
// measuring `textWidth` x `textHeight` (wider than the square when the square
// is small).
StripRect mascotBounds(double x, double y, double side, double textWidth, double textHeight);

// The animation frame for a walked `stride`: its whole part modulo `frames`.
// REQUIRES: frames > 0, stride >= 0.
std::size_t frameIndex(double stride, std::size_t frames);

// Which agent position speaks for a rotation counter: the counter modulo the
// number of agents, never negative. REQUIRES: agents > 0.
std::size_t speakerPosition(std::int64_t speakerIndex, std::size_t agents);

// A speech bubble is shown while bubbleAt <= now < bubbleAt + 3.
bool bubbleVisible(double bubbleAt, double now);

// The speech bubble over a mascot whose square has its centre line at
// `centreX` and its top edge at `top`, for a note measuring `textWidth` x
// `textHeight`, in a strip `stripWidth` wide. Black rectangles are filled
// first, in order, then the white ones; the note is drawn with the lower-left
// corner of its box at textOrigin.
struct BubbleLayout {
  StripRect bubble;  // the whole bubble without its tail
  double tailX = 0;
  std::array<StripRect, 4> black;
  std::array<StripRect, 2> white;
  StripPoint textOrigin;
};
BubbleLayout bubbleLayout(double centreX, double top, double textWidth, double textHeight,
                          double stripWidth);

// Everything a bubble covers: its outline, its tail and its note.
StripRect bubbleBounds(const BubbleLayout& layout);

}  // namespace umbrafold
