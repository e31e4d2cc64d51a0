#pragma once

// MascotWalk's private state, for the strip's own source files only. Read
// and changed with stripLock() held.

#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QPointF>
#include <QRect>
#include <QRegion>
#include <QSize>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "agentactivity.h"
#include "mascotgeometry.h"
#include "mascotwalk.h"
#include "petmotion.h"
#include "stripscreen.h"
#include "stripshared.h"

namespace umbrafold {

struct MascotWalk::State {
  // What one mascot shows: a picture, or its name, with the top-left corner
  // on whole device pixels.
  struct Look {
    const QImage* picture = nullptr;  // unscaled sprite frame or icon; null for the name
    bool mirrored = false;            // Claude walking left
    bool hasFrames = false;           // picture is a sprite frame
    QPointF at;                       // top-left corner, on whole device pixels
    QPointF exact;                    // where it would stand, unrounded
    QRect bounds;                     // the pixels it touches
    bool sameAs(const Look& other) const {
      return picture == other.picture && mirrored == other.mirrored && at == other.at;
    }
  };
  // The bubble as it stands: who speaks and its geometry.
  struct Bubble {
    std::size_t speaker = 0;  // position in activity.agents
    BubbleLayout layout;
    QRect bounds;
    bool sameAs(const Bubble& other) const {
      return speaker == other.speaker && layout.bubble == other.layout.bubble &&
             layout.tailX == other.layout.tailX;
    }
  };
  // A picture drawn at the mascots' size, ready to be copied.
  struct Scaled {
    const QImage* source;
    bool mirrored;
    QImage image;
  };

  void loadFonts();
  // Recomputes what every mascot and the bubble show at media time `now`,
  // and the seconds before that may change. With `collect`, the places of
  // whatever changed, where it was and where it is, are left in `changed`.
  void refresh(double now, double width, double height, double ratio, bool collect);
  // Leaves in `changed` where something was and where it is now: one place
  // when the two overlap (a step of a few pixels), so no pixel between them
  // is drawn twice.
  void addChange(const QRect& was, const QRect& is) {
    if (was.intersects(is)) {
      changed.push_back(was.united(is));
      return;
    }
    if (!was.isEmpty()) changed.push_back(was);
    if (!is.isEmpty()) changed.push_back(is);
  }
  // Whether what the strip shows was worked out for `size` and `ratio`.
  bool lookedFor(QSize size, double ratio) const {
    return lookedSize == size && lookedRatio == ratio && looks.size() == activity.agents.size();
  }
  // The places left in `changed` as one band of whole columns: from the
  // topmost to the bottommost of them, across the columns any of them
  // covers, clipped to a strip of `size`. One band of disjoint rectangles
  // is cheap to build, to paint through and to send to the display, however
  // many mascots changed. Empty when nothing changed.
  QRegion changedColumns(QSize size);
  Look lookOf(const WorkingAgent& agent, const PetMotion& pet, double side, double height,
              double ratio);
  std::optional<Bubble> bubbleAt(double now, double width, double height);
  // Seconds of motion before `look` of `pet` can change, or, for the
  // speaker, its bubble.
  double quietOf(const PetMotion& pet, const Look& look, const Bubble* bubble, double side,
                 double ratio) const;
  // `source` drawn at the size it takes in a square of `side` points, as the
  // strip draws it (smoothly scaled, mirrored when asked), in pixels of
  // `ratio` per point; made once and kept while the side and ratio stay.
  const QImage& scaled(const QImage& source, bool mirrored, double side, double ratio);
  // The inside of the bubble, white with the last note shaped, ready to be
  // copied; null when the note cannot be drawn that way (then it is drawn
  // as glyphs).
  const QImage& noteImage(const BubbleLayout& layout, double height, double ratio);
  void drawBubble(QPainter& painter, const Bubble& bubble, double height, double ratio);
  // The pictures that show `area` (device pixels) at `ratio`, bottom first,
  // left in `layers`: the mascots, then the bubble.
  void compose(std::span<const QRect> area, double width, double height, double ratio);
  // A name drawn alone, with its glyphs' margin, at `ratio`.
  const QImage& nameImage(bool claude, double ratio);
  // The bubble drawn alone over the device pixels of its bounds; made again
  // only for a shape, note or pixel phase not drawn lately.
  const QImage& bubbleImage(const Bubble& bubble, double height, double ratio);

  Services services;
  int frameInterval = 0;  // milliseconds between frames while animating, else 0
  std::map<std::string, PetMotion> pets;
  std::vector<PetMotion*> petOf;  // by position in activity.agents, into `pets`
  double previousTick = 0;
  double bubbleAt_ = 0;
  std::int64_t speakerIndex = 0;
  AgentActivity activity;
  bool reducedMotion = false;
  std::optional<QFont> nameFont;
  std::optional<QFont> noteFont;
  std::optional<QFontMetricsF> nameMetrics;
  std::optional<QFontMetricsF> noteMetrics;
  ShapedText claudeName;  // for the mascots drawn as text
  ShapedText codexName;

  // What the strip shows, for the size and pixel ratio it was worked out for.
  std::vector<Look> looks;  // by position in activity.agents
  std::optional<Bubble> bubble;
  double quiet = 0;  // seconds before any of it may change
  QSize lookedSize;
  double lookedRatio = 0;

  // Kept from frame to frame, so a frame allocates nothing for them.
  std::vector<QRect> changed;
  std::vector<Span> spans;
  std::vector<QRect> columns;

  std::deque<Scaled> scaledPictures;  // a deque: references stay valid as it grows
  double scaledSide = 0;
  double scaledRatio = 0;

  // Shown through a screen instead of painted, when there is one: the
  // window and place last drawn to, and what a frame draws there.
  std::unique_ptr<StripScreen> screen;
  WId screenWindow = 0;
  QRect screenPlace;
  std::vector<QRect> screenArea;  // device pixels; kept from frame to frame
  std::vector<StripScreen::Layer> layers;
  std::atomic<bool> wholePending = false;  // a whole draw is queued since the screen lost it
  bool screenFailed = false;  // it could not draw; painting takes over on the main thread
  // Where the strip is, as last noted on the main thread: what frames
  // stepped off it go by.
  struct Placement {
    WId window = 0;  // its top-level window's, 0 while there is none
    QRect rect;      // in points of that window
    double ratio = 1;
    bool visible = false;
  } placement;
  std::array<QImage, 2> names;  // Codex, Claude
  double namesRatio = 0;
  // The bubble drawn alone, for the last few shapes it took: as it walks,
  // its edge and its tail are rounded apart, so it alternates between two.
  struct BubbleDrawing {
    QImage image;
    BubbleLayout layout;
    QRect bounds;
    std::string note;
    double ratio = 0;
    std::uint64_t used = 0;
  };
  std::array<BubbleDrawing, 4> bubbleDrawings;
  std::uint64_t bubbleUses = 0;

  std::string noteText;  // the note last shaped, and the inside drawn with it
  ShapedText note;
  bool noteShaped = false;
  QImage noteDrawing;
  QSizeF noteInside;
  QPointF noteOffset;
  double noteRatio = 0;
};

}  // namespace umbrafold
