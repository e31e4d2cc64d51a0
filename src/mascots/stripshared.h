#pragma once

// What the strip's source files share, inside the mascots library only: the
// lock every strip holds, the frame thread's mark, and the text and pixel
// arithmetic both the strip's state and its pictures use.

#include <QFont>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QList>
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QString>

#include <cmath>
#include <mutex>

#include "mascotgeometry.h"

class QPainter;

namespace umbrafold {

constexpr double kMaxStep = 0.08;      // seconds of motion per frame at most
constexpr double kBubbleDuration = 3;  // seconds a bubble is shown

// The lock every strip holds while its state is read or changed, on the main
// thread or the frame thread; recursive, as entry points call each other.
// Never destroyed: the frame thread may outlive static destruction.
inline std::recursive_mutex& stripLock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

// Set on the frame thread.
inline thread_local bool onFrameThread = false;

inline QRectF toQt(const StripRect& rect, double stripHeight) {
  const StripRect down = flipped(rect, stripHeight);
  return {down.x, down.y, down.width, down.height};
}

// One line of text shaped once and drawn many times: its glyph runs placed
// relative to the left end of its baseline, and its measured width. Glyph
// runs hold fonts of the thread that shaped them, which only that thread may
// use or release: they are made on the main thread alone, and text measured
// on the frame thread has none.
struct ShapedText {
  QString text;
  QList<QGlyphRun> runs;
  double width = 0;
};

// `text` in `font`, measured with `metrics`; shaped into glyph runs on the
// main thread only.
ShapedText shapeText(const QString& text, const QFont& font, const QFontMetricsF& metrics);

// Draws `text` with the top-left corner of its box (width x metrics.height())
// at `topLeft`, in y-down coordinates; the same pixels as drawing the string
// there with `font`, which is what the frame thread does.
void drawTextAt(QPainter& painter, const QFont& font, const QFontMetricsF& metrics,
                const ShapedText& text, QPointF topLeft);

// Hands glyph runs the frame thread no longer needs to the main thread,
// which made them and alone may release them.
void releaseOnMainThread(QList<QGlyphRun> runs);

// The device pixels `rect` (in points) touches at `ratio` pixels per point.
inline QRect devicePixels(const QRect& rect, double ratio) {
  const auto low = [ratio](int points) { return static_cast<int>(std::floor(points * ratio)); };
  const auto high = [ratio](int points) { return static_cast<int>(std::ceil(points * ratio)); };
  return QRect(QPoint(low(rect.left()), low(rect.top())),
               QPoint(high(rect.right() + 1) - 1, high(rect.bottom() + 1) - 1));
}

// The points antialiased glyphs may reach beyond their box.
constexpr int kGlyphMargin = 2;

// `rect` widened by the pixels antialiased glyphs may reach beyond their box.
inline QRect withGlyphMargin(const QRectF& rect) {
  return rect.toAlignedRect().adjusted(-kGlyphMargin, -kGlyphMargin, kGlyphMargin, kGlyphMargin);
}

// The device pixels a name's picture reaches beyond its box on every side.
inline int nameMargin(double ratio) { return static_cast<int>(std::ceil(kGlyphMargin * ratio)); }

}  // namespace umbrafold
