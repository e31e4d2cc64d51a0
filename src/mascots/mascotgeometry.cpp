#include "mascotgeometry.h"

#include <algorithm>
#include <cmath>

namespace umbrafold {

namespace {

constexpr double kMaxSide = 48;
constexpr double kStripShare = 0.88;
constexpr double kBubbleHeight = 21;
constexpr double kBubblePadding = 14;
constexpr double kBubbleMargin = 2;
constexpr double kBubbleLift = 3;
constexpr double kBubbleSeconds = 3;

}  // namespace

StripRect flipped(const StripRect& rect, double stripHeight) {
  return {rect.x, stripHeight - (rect.y + rect.height), rect.width, rect.height};
}

double wholePixels(double points, double pixelRatio) {
  return std::floor(points * pixelRatio + 0.5) / pixelRatio;
}

double distanceToNextPixel(double points, double pixelRatio, bool up) {
  const double pixel = std::floor(points * pixelRatio + 0.5);
  return up ? (pixel + 0.5) / pixelRatio - points : points - (pixel - 0.5) / pixelRatio;
}

void mergeSpans(std::vector<Span>& spans) {
  std::erase_if(spans, [](const Span& span) { return span.second <= span.first; });
  std::sort(spans.begin(), spans.end());
  std::size_t kept = 0;
  for (const Span& span : spans) {
    if (kept > 0 && span.first <= spans[kept - 1].second) {
      spans[kept - 1].second = std::max(spans[kept - 1].second, span.second);
    } else {
      spans[kept++] = span;
    }
  }
  spans.resize(kept);
}

double mascotSide(double width, std::size_t agents) {
  return std::min(width * kStripShare / static_cast<double>(std::max<std::size_t>(agents, 1)),
                  kMaxSide);
}

StripRect mascotSquare(double x, double y, double side) { return {x - side / 2, y, side, side}; }

StripRect mascotImageRect(double x, double y, double side, double imageWidth, double imageHeight) {
  if (!(imageWidth > 0) || !(imageHeight > 0)) return {x, y + 1, 0, 0};
  const double scale = std::min(side / imageHeight, side / imageWidth);
  const double width = imageWidth * scale;
  return {x - width / 2, y + 1, width, imageHeight * scale};
}

StripPoint nameTextOrigin(double x, double y, double side, double textWidth, double textHeight) {
  return {x - textWidth / 2, y + side / 2 - textHeight / 2};
}

StripRect united(const StripRect& a, const StripRect& b) {
  const bool aEmpty = !(a.width > 0) || !(a.height > 0);
  const bool bEmpty = !(b.width > 0) || !(b.height > 0);
  if (bEmpty && !aEmpty) return a;
  if (aEmpty && !bEmpty) return b;
  const double left = std::min(a.x, b.x);
  const double bottom = std::min(a.y, b.y);
  const double right = std::max(a.x + a.width, b.x + b.width);
  const double top = std::max(a.y + a.height, b.y + b.height);
  return {left, bottom, right - left, top - bottom};
}

StripRect mascotBounds(double x, double y, double side, double textWidth, double textHeight) {
  const StripRect lifted{x - side / 2, y, side, side + 1};
  const StripPoint text = nameTextOrigin(x, y, side, textWidth, textHeight);
  return united(lifted, {text.x, text.y, textWidth, textHeight});
}

std::size_t frameIndex(double stride, std::size_t frames) {
  const double whole = std::floor(std::max(stride, 0.0));
  return static_cast<std::size_t>(std::fmod(whole, static_cast<double>(frames)));
}

std::size_t speakerPosition(std::int64_t speakerIndex, std::size_t agents) {
  const auto n = static_cast<std::int64_t>(agents);
  return static_cast<std::size_t>(((speakerIndex % n) + n) % n);
}

bool bubbleVisible(double bubbleAt, double now) {
  return bubbleAt <= now && now < bubbleAt + kBubbleSeconds;
}

BubbleLayout bubbleLayout(double centreX, double top, double textWidth, double textHeight,
                          double stripWidth) {
  // std::round rounds halves away from zero.
  const double bw = std::ceil(textWidth) + kBubblePadding;
  const double bh = kBubbleHeight;
  const double bx = std::round(
      std::max(std::min(centreX - bw / 2, stripWidth - bw - kBubbleMargin), kBubbleMargin));
  const double by = std::round(top + kBubbleLift);
  const double tx = std::round(std::max(bx + 5, std::min(bx + bw - 9, centreX)));

  BubbleLayout layout;
  layout.bubble = {bx, by, bw, bh};
  layout.tailX = tx;
  layout.black = {{
      {bx + 2, by, bw - 4, bh},
      {bx, by + 2, bw, bh - 4},
      {tx, by - 3, 7, 4},
      {tx, by - 5, 3, 3},
  }};
  layout.white = {{
      {bx + 2, by + 2, bw - 4, bh - 4},
      {tx + 2, by - 1, 3, 4},
  }};
  layout.textOrigin = {bx + bw / 2 - textWidth / 2, by + bh / 2 - textHeight / 2};
  return layout;
}

StripRect bubbleBounds(const BubbleLayout& layout) {
  StripRect bounds = layout.bubble;
  for (const StripRect& rect : layout.black) bounds = united(bounds, rect);
  // The note is centred in the bubble, so its box is the bubble narrowed
  // equally on both sides (it lies inside unless the font is taller than the
  // bubble).
  const StripRect& box = layout.bubble;
  const StripPoint text = layout.textOrigin;
  return united(bounds, {text.x, text.y, box.width - 2 * (text.x - box.x),
                         box.height - 2 * (text.y - box.y)});
}

}  // namespace umbrafold
