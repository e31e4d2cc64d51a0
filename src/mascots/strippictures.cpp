// The strip's pictures, made once and kept while they stay the same: text
// shaped into glyph runs, sprite frames and icons scaled to the mascots'
// size, names, the bubble's note and the bubble drawn alone.
#include "mascotwalkstate.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QImage>
#include <QPainter>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <utility>

#include "mascotgeometry.h"
#include "stripshared.h"

namespace umbrafold {

namespace {

QFont stripFont(QFontDatabase::SystemFont which, int pixels) {
  QFont font = QFontDatabase::systemFont(which);
  font.setPixelSize(pixels);
  font.setWeight(QFont::DemiBold);
  return font;
}

// Whether a bubble laid out as `now` over `nowBounds` looks exactly like one
// laid out as `before` over `beforeBounds` at `ratio`, moved: every part
// moved with its bounds, by whole device pixels.
bool sameDrawing(const BubbleLayout& now, const QRect& nowBounds, const BubbleLayout& before,
                 const QRect& beforeBounds, double ratio) {
  const QPoint moved = nowBounds.topLeft() - beforeBounds.topLeft();
  const auto whole = [ratio](int points) {
    return std::abs(points * ratio - std::round(points * ratio)) < 1e-9;
  };
  if (!whole(moved.x()) || !whole(moved.y())) return false;
  // Strip coordinates grow upwards, the bounds' downwards.
  const auto near = [](double a, double b) { return std::abs(a - b) < 1e-6; };
  const auto sameRect = [&](const StripRect& a, const StripRect& b) {
    return near(a.x, b.x + moved.x()) && near(a.y, b.y - moved.y()) && near(a.width, b.width) &&
           near(a.height, b.height);
  };
  bool same = sameRect(now.bubble, before.bubble) && near(now.tailX, before.tailX + moved.x()) &&
              near(now.textOrigin.x, before.textOrigin.x + moved.x()) &&
              near(now.textOrigin.y, before.textOrigin.y - moved.y());
  for (std::size_t i = 0; same && i < now.black.size(); ++i) {
    same = sameRect(now.black[i], before.black[i]);
  }
  for (std::size_t i = 0; same && i < now.white.size(); ++i) {
    same = sameRect(now.white[i], before.white[i]);
  }
  return same;
}

}  // namespace

ShapedText shapeText(const QString& text, const QFont& font, const QFontMetricsF& metrics) {
  ShapedText shaped{text, {}, metrics.horizontalAdvance(text)};
  if (onFrameThread) return shaped;
  QTextLayout layout(text, font);
  QTextOption option;
  option.setWrapMode(QTextOption::NoWrap);
  layout.setTextOption(option);
  layout.beginLayout();
  const QTextLine line = layout.createLine();
  layout.endLayout();
  if (!line.isValid()) return shaped;
  for (QGlyphRun run : line.glyphRuns()) {
    QList<QPointF> positions = run.positions();
    for (QPointF& position : positions) position.ry() -= line.ascent();
    run.setPositions(positions);
    shaped.runs.push_back(run);
  }
  return shaped;
}

void drawTextAt(QPainter& painter, const QFont& font, const QFontMetricsF& metrics,
                const ShapedText& text, QPointF topLeft) {
  const QPointF baseline(topLeft.x(), topLeft.y() + metrics.ascent());
  if (onFrameThread || text.runs.isEmpty()) {
    painter.setFont(font);
    painter.drawText(baseline, text.text);
    return;
  }
  for (const QGlyphRun& run : text.runs) painter.drawGlyphRun(baseline, run);
}

void releaseOnMainThread(QList<QGlyphRun> runs) {
  if (!onFrameThread || runs.isEmpty()) return;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [runs = std::move(runs)] {}, Qt::QueuedConnection);
}

void MascotWalk::State::loadFonts() {
  if (nameMetrics) return;
  nameFont = stripFont(QFontDatabase::GeneralFont, 12);
  noteFont = stripFont(QFontDatabase::FixedFont, 11);
  nameMetrics.emplace(*nameFont);
  noteMetrics.emplace(*noteFont);
  claudeName = shapeText(QStringLiteral("Claude"), *nameFont, *nameMetrics);
  codexName = shapeText(QStringLiteral("Codex"), *nameFont, *nameMetrics);
}

const QImage& MascotWalk::State::scaled(const QImage& source, bool mirrored, double side,
                                        double ratio) {
  if (side != scaledSide || ratio != scaledRatio) {
    scaledPictures.clear();
    scaledSide = side;
    scaledRatio = ratio;
  }
  for (const Scaled& picture : scaledPictures) {
    if (picture.source == &source && picture.mirrored == mirrored) return picture.image;
  }
  const double sourceRatio = source.devicePixelRatio();
  const StripRect rect =
      mascotImageRect(0, 0, side, source.width() / sourceRatio, source.height() / sourceRatio);
  QImage image(static_cast<int>(std::ceil(rect.width * ratio)),
               static_cast<int>(std::ceil(rect.height * ratio)),
               QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(ratio);
  image.fill(Qt::transparent);
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    if (mirrored) {
      // Mirrored about the picture's centre line, as about the mascot's.
      painter.translate(rect.width, 0);
      painter.scale(-1, 1);
    }
    painter.drawImage(QRectF(0, 0, rect.width, rect.height), source);
  }
  scaledPictures.push_back({&source, mirrored, std::move(image)});
  return scaledPictures.back().image;
}

const QImage& MascotWalk::State::noteImage(const BubbleLayout& layout, double height,
                                           double ratio) {
  // The inside of the bubble and the note's place in it are the same
  // wherever the bubble stands; a whole number of pixels at a whole ratio.
  const StripRect& inside = layout.white[0];
  const QRectF box =
      toQt({layout.textOrigin.x, layout.textOrigin.y, note.width, noteMetrics->height()}, height);
  const QRectF insideRect = toQt(inside, height);
  const QSizeF insideSize(inside.width, inside.height);
  const QPointF offset = box.topLeft() - insideRect.topLeft();
  if (ratio != std::floor(ratio) || !insideRect.contains(box)) {
    noteDrawing = QImage();
    return noteDrawing;
  }
  if (!noteDrawing.isNull() && insideSize == noteInside && offset == noteOffset &&
      ratio == noteRatio) {
    return noteDrawing;
  }
  noteInside = insideSize;
  noteOffset = offset;
  noteRatio = ratio;
  noteDrawing =
      QImage(static_cast<int>(inside.width * ratio), static_cast<int>(inside.height * ratio),
             QImage::Format_ARGB32_Premultiplied);
  noteDrawing.setDevicePixelRatio(ratio);
  noteDrawing.fill(Qt::white);
  QPainter painter(&noteDrawing);
  painter.setPen(Qt::black);
  drawTextAt(painter, *noteFont, *noteMetrics, note, offset);
  return noteDrawing;
}

void MascotWalk::State::drawBubble(QPainter& painter, const Bubble& bubble, double height,
                                   double ratio) {
  const BubbleLayout& layout = bubble.layout;
  const QImage& inside = noteImage(layout, height, ratio);
  for (const StripRect& rect : layout.black) painter.fillRect(toQt(rect, height), Qt::black);
  if (inside.isNull()) {
    for (const StripRect& rect : layout.white) painter.fillRect(toQt(rect, height), Qt::white);
    const QRectF box =
        toQt({layout.textOrigin.x, layout.textOrigin.y, note.width, noteMetrics->height()}, height);
    drawTextAt(painter, *noteFont, *noteMetrics, note, box.topLeft());
    return;
  }
  // The tail's opening, then the inside with its note over it.
  painter.fillRect(toQt(layout.white[1], height), Qt::white);
  painter.drawImage(toQt(layout.white[0], height).topLeft(), inside);
}

const QImage& MascotWalk::State::nameImage(bool claude, double ratio) {
  if (ratio != namesRatio) {
    names = {};
    namesRatio = ratio;
  }
  QImage& image = names[claude ? 1 : 0];
  if (!image.isNull()) return image;
  loadFonts();
  const ShapedText& name = claude ? claudeName : codexName;
  const int margin = nameMargin(ratio);
  image = QImage(static_cast<int>(std::ceil(name.width * ratio)) + 2 * margin,
                 static_cast<int>(std::ceil(nameMetrics->height() * ratio)) + 2 * margin,
                 QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.translate(margin, margin);
  painter.scale(ratio, ratio);
  painter.setPen(Qt::black);
  drawTextAt(painter, *nameFont, *nameMetrics, name, QPointF(0, 0));
  return image;
}

const QImage& MascotWalk::State::bubbleImage(const Bubble& shown, double height, double ratio) {
  ++bubbleUses;
  for (BubbleDrawing& drawing : bubbleDrawings) {
    if (!drawing.image.isNull() && drawing.ratio == ratio && drawing.note == noteText &&
        sameDrawing(shown.layout, shown.bounds, drawing.layout, drawing.bounds, ratio)) {
      drawing.used = bubbleUses;
      return drawing.image;
    }
  }
  BubbleDrawing& drawing =
      *std::min_element(bubbleDrawings.begin(), bubbleDrawings.end(),
                        [](const auto& a, const auto& b) { return a.used < b.used; });
  const QRect pixels = devicePixels(shown.bounds, ratio);
  drawing = {QImage(pixels.size(), QImage::Format_ARGB32_Premultiplied),
             shown.layout,
             shown.bounds,
             noteText,
             ratio,
             bubbleUses};
  drawing.image.fill(Qt::transparent);
  QPainter painter(&drawing.image);
  painter.translate(-pixels.topLeft());
  painter.scale(ratio, ratio);
  drawBubble(painter, shown, height, ratio);
  return drawing.image;
}

}  // namespace umbrafold
