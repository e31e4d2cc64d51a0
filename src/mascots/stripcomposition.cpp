// The pictures that make up part of a strip shown through a screen.
#include "mascotwalkstate.h"

#include <algorithm>

#include "mascotgeometry.h"
#include "stripshared.h"

namespace umbrafold {

namespace {

QPoint devicePoint(QPointF points, double ratio) {
  return {qRound(points.x() * ratio), qRound(points.y() * ratio)};
}

}  // namespace

void MascotWalk::State::compose(std::span<const QRect> area, double width, double height,
                                double ratio) {
  layers.clear();
  const auto touches = [area](const QRect& rect) {
    return std::any_of(area.begin(), area.end(),
                       [&rect](const QRect& part) { return part.intersects(rect); });
  };
  const auto& agents = activity.agents;
  if (agents.empty() || width <= 0) return;
  const double side = mascotSide(width, agents.size());
  for (std::size_t i = 0; i < agents.size(); ++i) {
    const Look& look = looks[i];
    if (!touches(devicePixels(look.bounds, ratio))) continue;
    if (look.picture) {
      layers.push_back(
          {&scaled(*look.picture, look.mirrored, side, ratio), devicePoint(look.at, ratio)});
    } else {
      const int margin = nameMargin(ratio);
      const bool claude = agents[i].kind == WorkingAgent::Kind::claude;
      layers.push_back(
          {&nameImage(claude, ratio), devicePoint(look.at, ratio) - QPoint(margin, margin)});
    }
  }
  if (bubble && touches(devicePixels(bubble->bounds, ratio))) {
    layers.push_back(
        {&bubbleImage(*bubble, height, ratio), devicePixels(bubble->bounds, ratio).topLeft()});
  }
}

}  // namespace umbrafold
