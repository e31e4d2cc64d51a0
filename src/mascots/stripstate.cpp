// What the strip shows, worked out from its mascots' motion: each mascot's
// look, the bubble, the places that changed and how long nothing will.
#include "mascotwalkstate.h"

#include <QRegion>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "mascotgeometry.h"
#include "mascotimages.h"
#include "stripshared.h"

namespace umbrafold {

namespace {

// The pictures a mascot of `kind` walking as `pet` shows: the frames of its
// sheet (a Codex mascot walking left uses its left sheet when there is one),
// else its application's icon alone, else nothing (it shows its name).
const std::vector<QImage>& framesOf(WorkingAgent::Kind kind, const PetMotion& pet) {
  if (kind == WorkingAgent::Kind::claude) return mascotimages::clawd();
  if (pet.facesLeft() && !mascotimages::codexLeft().empty()) return mascotimages::codexLeft();
  return mascotimages::codexPet();
}

const QImage& iconOf(WorkingAgent::Kind kind) {
  return kind == WorkingAgent::Kind::claude ? mascotimages::claudeIcon()
                                            : mascotimages::codexIcon();
}

}  // namespace

MascotWalk::State::Look MascotWalk::State::lookOf(const WorkingAgent& agent, const PetMotion& pet,
                                                  double side, double height, double ratio) {
  Look look;
  const bool claude = agent.kind == WorkingAgent::Kind::claude;
  const std::vector<QImage>& frames = framesOf(agent.kind, pet);
  if (!frames.empty()) {
    look.picture = &frames[frameIndex(pet.stride(), frames.size())];
    look.mirrored = claude && pet.facesLeft();
    look.hasFrames = true;
  } else if (const QImage& icon = iconOf(agent.kind); !icon.isNull()) {
    look.picture = &icon;
  }
  QRectF drawn;
  if (look.picture) {
    const double pictureRatio = look.picture->devicePixelRatio();
    drawn = toQt(mascotImageRect(pet.x(), pet.y(), side, look.picture->width() / pictureRatio,
                                 look.picture->height() / pictureRatio),
                 height);
  } else {
    loadFonts();
    const ShapedText& name = claude ? claudeName : codexName;
    const double textHeight = nameMetrics->height();
    const StripPoint origin = nameTextOrigin(pet.x(), pet.y(), side, name.width, textHeight);
    drawn = toQt({origin.x, origin.y, name.width, textHeight}, height);
  }
  look.exact = drawn.topLeft();
  look.at = QPointF(wholePixels(drawn.x(), ratio), wholePixels(drawn.y(), ratio));
  drawn.moveTopLeft(look.at);
  look.bounds = look.picture ? drawn.toAlignedRect() : withGlyphMargin(drawn);
  return look;
}

std::optional<MascotWalk::State::Bubble> MascotWalk::State::bubbleAt(double now, double width,
                                                                     double height) {
  const auto& agents = activity.agents;
  if (agents.empty() || width <= 0 || reducedMotion || !bubbleVisible(bubbleAt_, now)) {
    return std::nullopt;
  }
  const std::size_t speaker = speakerPosition(speakerIndex, agents.size());
  const PetMotion* pet = petOf[speaker];
  loadFonts();
  if (!noteShaped || agents[speaker].note != noteText) {
    noteText = agents[speaker].note;
    releaseOnMainThread(std::exchange(note.runs, {}));
    note = shapeText(QString::fromStdString(noteText), *noteFont, *noteMetrics);
    noteShaped = true;
    noteDrawing = QImage();
  }
  const double side = mascotSide(width, agents.size());
  Bubble bubble{speaker,
                bubbleLayout(pet->x(), pet->y() + side, note.width, noteMetrics->height(), width),
                {}};
  bubble.bounds = withGlyphMargin(toQt(bubbleBounds(bubble.layout), height));
  return bubble;
}

double MascotWalk::State::quietOf(const PetMotion& pet, const Look& look, const Bubble* bubble,
                                  double side, double ratio) const {
  const bool right = pet.goal() > pet.x();
  const double distance = std::abs(pet.goal() - pet.x());
  const double rise = pet.goalY() - pet.y();
  // Points along its walk before the mascot's y passes `more` points.
  const auto walkFor = [distance, rise](double more) {
    return rise == 0 ? std::numeric_limits<double>::infinity() : more * distance / std::abs(rise);
  };
  // The drawing's left edge moves with x; its top edge (y down) against y.
  double points = distanceToNextPixel(look.exact.x(), ratio, right);
  points = std::min(points, walkFor(distanceToNextPixel(look.exact.y(), ratio, rise < 0)));
  if (look.hasFrames) points = std::min(points, pet.pointsToNextStride());
  if (bubble) {
    // The bubble's left edge, its tail and its bottom are rounded to whole
    // points from the speaker's x and y.
    const double halfWidth = bubble->layout.bubble.width / 2;
    points = std::min(points, distanceToNextPixel(pet.x() - halfWidth, 1, right));
    points = std::min(points, distanceToNextPixel(pet.x(), 1, right));
    points = std::min(points, walkFor(distanceToNextPixel(pet.y() + side + 3, 1, rise > 0)));
  }
  // A hair less, so rounding in the arithmetic never makes a change late.
  return pet.secondsToWalk(std::max(points - 1e-9, 0.0));
}

void MascotWalk::State::refresh(double now, double width, double height, double ratio,
                                bool collect) {
  changed.clear();
  const auto& agents = activity.agents;
  const bool sameGeometry =
      lookedSize == QSize(static_cast<int>(width), static_cast<int>(height)) &&
      lookedRatio == ratio && looks.size() == agents.size();
  if (!sameGeometry) looks.assign(agents.size(), Look{});
  lookedSize = QSize(static_cast<int>(width), static_cast<int>(height));
  lookedRatio = ratio;

  const double side = mascotSide(width, agents.size());
  for (std::size_t i = 0; i < agents.size(); ++i) {
    const Look look = lookOf(agents[i], *petOf[i], side, height, ratio);
    if (collect && sameGeometry && !look.sameAs(looks[i])) addChange(looks[i].bounds, look.bounds);
    looks[i] = look;  // also when drawn the same: its exact place moved on
  }

  std::optional<Bubble> next = bubbleAt(now, width, height);
  if (collect && (next.has_value() != bubble.has_value() || (next && !next->sameAs(*bubble)))) {
    addChange(bubble ? bubble->bounds : QRect(), next ? next->bounds : QRect());
  }
  bubble = std::move(next);

  // The next change: the bubble's time, or a mascot's (with its bubble).
  quiet = std::numeric_limits<double>::infinity();
  if (agents.empty() || reducedMotion || width <= 0) return;
  if (bubble) {
    quiet = bubbleAt_ + kBubbleDuration - now;
  } else {
    quiet = std::max(bubbleAt_ - now, 0.0);
  }
  for (std::size_t i = 0; i < agents.size(); ++i) {
    const Bubble* speaking = bubble && bubble->speaker == i ? &*bubble : nullptr;
    quiet = std::min(quiet, quietOf(*petOf[i], looks[i], speaking, side, ratio));
  }
}

QRegion MascotWalk::State::changedColumns(QSize size) {
  spans.clear();
  int top = size.height();
  int bottom = 0;
  for (const QRect& rect : changed) {
    const QRect inside = rect.intersected(QRect(QPoint(0, 0), size));
    if (inside.isEmpty()) continue;
    spans.emplace_back(inside.left(), inside.right() + 1);
    top = std::min(top, inside.top());
    bottom = std::max(bottom, inside.bottom() + 1);
  }
  mergeSpans(spans);
  columns.clear();
  for (const Span& span : spans) {
    columns.emplace_back(span.first, top, span.second - span.first, bottom - top);
  }
  QRegion region;
  if (!columns.empty()) region.setRects(columns.data(), static_cast<int>(columns.size()));
  return region;
}

}  // namespace umbrafold
