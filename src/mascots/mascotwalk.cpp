#include "mascotwalk.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QHideEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QRegion>
#include <QScreen>
#include <QTextLayout>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "framepacing.h"
#include "mascotgeometry.h"
#include "mascotimages.h"
#include "reducemotionsetting.h"
#include "stripscreen.h"

namespace umbrafold {

namespace {

constexpr double kMaxStep = 0.08;        // seconds of motion per frame at most
constexpr double kFirstBubbleDelay = 2;  // seconds after the animation starts
constexpr double kBubbleDuration = 3;    // seconds a bubble is shown
constexpr double kMinBubblePause = 5;    // seconds between bubbles, drawn uniformly
constexpr double kMaxBubblePause = 10;
constexpr double kMinFrameRate = 30;
constexpr double kMaxFrameRate = 60;

// The strip as one graphic element with a spoken summary; while it shows no
// agents it is no element at all (invisible, without a role).
class MascotWalkAccessible : public QAccessibleWidget {
 public:
  explicit MascotWalkAccessible(MascotWalk* walk) : QAccessibleWidget(walk, QAccessible::Graphic) {}

  QAccessible::Role role() const override {
    return shown() ? QAccessible::Graphic : QAccessible::NoRole;
  }
  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    if (!shown()) state.invisible = true;
    return state;
  }

 private:
  bool shown() const { return !static_cast<MascotWalk*>(widget())->activity().agents.empty(); }
};

QAccessibleInterface* mascotWalkAccessible(const QString&, QObject* object) {
  if (auto* walk = qobject_cast<MascotWalk*>(object)) return new MascotWalkAccessible(walk);
  return nullptr;
}

// The lock every strip holds while its state is read or changed, on the main
// thread or the frame thread; recursive, as entry points call each other.
// Never destroyed: the frame thread may outlive static destruction.
std::recursive_mutex& stripLock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

// Set on the frame thread.
thread_local bool onFrameThread = false;

QFont stripFont(QFontDatabase::SystemFont which, int pixels) {
  QFont font = QFontDatabase::systemFont(which);
  font.setPixelSize(pixels);
  font.setWeight(QFont::DemiBold);
  return font;
}

QRectF toQt(const StripRect& rect, double stripHeight) {
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

// Draws `text` with the top-left corner of its box (width x metrics.height())
// at `topLeft`, in y-down coordinates; the same pixels as drawing the string
// there with `font`, which is what the frame thread does.
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

// Hands glyph runs the frame thread no longer needs to the main thread,
// which made them and alone may release them.
void releaseOnMainThread(QList<QGlyphRun> runs) {
  if (!onFrameThread || runs.isEmpty()) return;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [runs = std::move(runs)] {}, Qt::QueuedConnection);
}

// The device pixels `rect` (in points) touches at `ratio` pixels per point.
QRect devicePixels(const QRect& rect, double ratio) {
  const auto low = [ratio](int points) { return static_cast<int>(std::floor(points * ratio)); };
  const auto high = [ratio](int points) { return static_cast<int>(std::ceil(points * ratio)); };
  return QRect(QPoint(low(rect.left()), low(rect.top())),
               QPoint(high(rect.right() + 1) - 1, high(rect.bottom() + 1) - 1));
}

// The points antialiased glyphs may reach beyond their box.
constexpr int kGlyphMargin = 2;

// `rect` widened by the pixels antialiased glyphs may reach beyond their box.
QRect withGlyphMargin(const QRectF& rect) {
  return rect.toAlignedRect().adjusted(-kGlyphMargin, -kGlyphMargin, kGlyphMargin, kGlyphMargin);
}

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

// Steps and draws the animating strips. Strips shown through a screen that
// draws from any thread are stepped on one frame thread, which sleeps until
// the next frame is due and touches nothing of Qt's event loop, so a frame
// costs one wake-up of that thread alone; other strips have one timer per
// frame interval on the main thread. Either way the strips of all displays
// step and draw in the same wake-up, and after each frame the wait is what
// ticksToNextFrame() says: until the first tick at which any of the strips
// may change (each strip's frame foresees that), every other tick at most
// while they change all the time. Called with stripLock() held.
class FrameTimers {
 public:
  // Steps walk on the grid of `interval` milliseconds until leave(walk), the
  // first time one interval from now.
  static void join(MascotWalk* walk, int interval) {
    if (offMainThread(walk)) {
      Thread& thread = frameThread();
      const Clock::time_point first = Clock::now() + std::chrono::milliseconds(interval);
      thread.next = thread.walks.empty() ? first : std::min(thread.next, first);
      thread.walks.push_back(walk);
      thread.wake.notify_one();
      return;
    }
    Entry& entry = entries()[interval];
    if (!entry.timer) {
      entry.timer = new QTimer(QCoreApplication::instance());
      entry.timer->setTimerType(Qt::PreciseTimer);
      QObject::connect(entry.timer, &QTimer::timeout, entry.timer, [interval] { fire(interval); });
    }
    entry.walks.push_back(walk);
    if (!entry.timer->isActive() || entry.timer->interval() != interval)
      entry.timer->start(interval);
  }

  // Stops the steps of walk; a timer left without strips stops, the frame
  // thread sleeps until a strip joins.
  static void leave(MascotWalk* walk) {
    for (auto& [interval, entry] : entries()) {
      if (std::erase(entry.walks, walk) > 0 && entry.walks.empty() && entry.timer) {
        entry.timer->stop();
      }
    }
    if (thread_) std::erase(thread_->walks, walk);
  }

  // The next frame of walk comes at most one interval from now: for a change
  // the timers could not foresee.
  static void hurry(MascotWalk* walk) {
    for (auto& [interval, entry] : entries()) {
      if (entry.timer &&
          std::find(entry.walks.begin(), entry.walks.end(), walk) != entry.walks.end() &&
          entry.timer->interval() != interval) {
        entry.timer->start(interval);
      }
    }
    if (!thread_ ||
        std::find(thread_->walks.begin(), thread_->walks.end(), walk) == thread_->walks.end()) {
      return;
    }
    thread_->next =
        std::min(thread_->next, Clock::now() + std::chrono::milliseconds(walk->d->frameInterval));
    thread_->wake.notify_one();
  }

 private:
  using Clock = std::chrono::steady_clock;

  // Whether walk is stepped on the frame thread rather than the main one.
  static bool offMainThread(const MascotWalk* walk) {
    return walk->d->screen && walk->d->screen->drawsFromAnyThread();
  }

  struct Entry {
    QPointer<QTimer> timer;  // owned by the application object
    std::vector<MascotWalk*> walks;
  };
  struct Thread {
    std::vector<MascotWalk*> walks;  // each at its own frameInterval
    Clock::time_point next;          // when the next frame is due
    std::condition_variable_any wake;
  };

  static std::map<int, Entry>& entries() {
    static std::map<int, Entry> all;
    return all;
  }

  // Started when first needed and never stopped or destroyed: without
  // strips it waits for one without waking.
  static Thread& frameThread() {
    if (!thread_) {
      thread_ = new Thread;
      std::thread(run).detach();
    }
    return *thread_;
  }

  // One frame of each strip in `walks` that `joined` still holds (a strip
  // can leave during a frame), stepped by `step`; then what was drawn goes
  // to the display. The wait before the next frame, in milliseconds.
  static int frame(const std::vector<MascotWalk*>& walks, const std::vector<MascotWalk*>& joined,
                   int interval, MascotWalk::Frame (*step)(MascotWalk*)) {
    double quiet = std::numeric_limits<double>::infinity();
    bool repainted = false;
    const auto stillJoined = [&joined](MascotWalk* walk) {
      return std::find(joined.begin(), joined.end(), walk) != joined.end();
    };
    for (MascotWalk* walk : walks) {
      if (!stillJoined(walk)) continue;
      const MascotWalk::Frame frame = step(walk);
      quiet = std::min(quiet, frame.quietSeconds);
      repainted = repainted || frame.repainted;
    }
    for (MascotWalk* walk : walks) {
      if (stillJoined(walk) && walk->d->screen) walk->d->screen->flush();
    }
    return interval * ticksToNextFrame(quiet, repainted, interval, kMaxStep);
  }

  static void fire(int interval) {
    std::lock_guard lock(stripLock());
    Entry& entry = entries()[interval];
    // The strips of this frame, in a list kept from frame to frame (no
    // allocation).
    static std::vector<MascotWalk*> walks;
    walks.assign(entry.walks.begin(), entry.walks.end());
    const int wait =
        frame(walks, entry.walks, interval, [](MascotWalk* walk) { return walk->tick(); });
    if (!entry.timer || !entry.timer->isActive()) return;
    if (entry.timer->interval() != wait) entry.timer->start(wait);
  }

  static void run() {
    onFrameThread = true;
    std::unique_lock lock(stripLock());
    Thread& thread = *thread_;
    std::vector<MascotWalk*> walks;
    for (;;) {
      if (thread.walks.empty()) {
        thread.wake.wait(lock);
        continue;
      }
      const Clock::time_point due = thread.next;
      if (Clock::now() < due) {
        thread.wake.wait_until(lock, due);
        continue;
      }
      walks.assign(thread.walks.begin(), thread.walks.end());
      int interval = std::numeric_limits<int>::max();
      for (const MascotWalk* walk : walks) interval = std::min(interval, walk->d->frameInterval);
      const int wait =
          frame(walks, thread.walks, interval, [](MascotWalk* walk) { return walk->step(); });
      // On the grid of frames while the thread keeps up; one interval from
      // now when it fell behind, so the lock is always given up in between.
      const Clock::time_point now = Clock::now();
      const Clock::time_point onGrid = due + std::chrono::milliseconds(wait);
      thread.next = onGrid > now ? onGrid : now + std::chrono::milliseconds(interval);
    }
  }

  static inline Thread* thread_ = nullptr;
};

void MascotWalk::State::loadFonts() {
  if (nameMetrics) return;
  nameFont = stripFont(QFontDatabase::GeneralFont, 12);
  noteFont = stripFont(QFontDatabase::FixedFont, 11);
  nameMetrics.emplace(*nameFont);
  noteMetrics.emplace(*noteFont);
  claudeName = shapeText(QStringLiteral("Claude"), *nameFont, *nameMetrics);
  codexName = shapeText(QStringLiteral("Codex"), *nameFont, *nameMetrics);
}

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

namespace {

// The device pixels a name's picture reaches beyond its box on every side.
int nameMargin(double ratio) { return static_cast<int>(std::ceil(kGlyphMargin * ratio)); }

QPoint devicePoint(QPointF points, double ratio) {
  return {qRound(points.x() * ratio), qRound(points.y() * ratio)};
}

}  // namespace

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

namespace {

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

MascotWalk::Services MascotWalk::systemServices() {
  std::function<bool()> reduceMotion = [] { return false; };
  if (auto setting = ReduceMotionSetting::shared()) {
    reduceMotion = [setting] { return setting->reduceMotion(); };
  }
  return {std::make_shared<SecureRandomSource>(), std::make_shared<SteadyMediaClock>(),
          std::move(reduceMotion)};
}

MascotWalk::MascotWalk(QWidget* parent) : MascotWalk(systemServices(), parent) {}

MascotWalk::MascotWalk(Services services, QWidget* parent)
    : QWidget(parent), d(std::make_unique<State>()) {
  static std::once_flag accessibleFactory;
  std::call_once(accessibleFactory, [] { QAccessible::installFactory(mascotWalkAccessible); });
  d->services = std::move(services);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  // The strip lies on the curtain's plain white and paints that white itself
  // where it repaints, so the curtain beneath is never repainted for a frame.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAutoFillBackground(false);
}

MascotWalk::~MascotWalk() {
  std::lock_guard lock(stripLock());
  if (d->frameInterval) FrameTimers::leave(this);
}

void MascotWalk::setScreen(std::unique_ptr<StripScreen> screen) {
  std::lock_guard lock(stripLock());
  // Stepped on the thread the new screen can be drawn from.
  if (d->frameInterval) FrameTimers::leave(this);
  d->screen = std::move(screen);
  d->screenFailed = false;
  d->screenWindow = 0;
  d->screenPlace = QRect();
  if (d->frameInterval) FrameTimers::join(this, d->frameInterval);
  if (d->screen) {
    // Drawn whole once the main thread handles it; losses reported together
    // are drawn once.
    d->screen->onLost([this] {
      if (d->wholePending.exchange(true)) return;
      QMetaObject::invokeMethod(
          this,
          [this] {
            d->wholePending = false;
            redrawWhole();
          },
          Qt::QueuedConnection);
    });
  }
  // A strip shown through a screen paints nothing: its window paints its
  // white beneath it.
  setAttribute(Qt::WA_OpaquePaintEvent, !d->screen);
  redrawWhole();
  update();
}

bool MascotWalk::notePlacement() {
  QWidget* top = window();
  const State::Placement now{top->internalWinId(), QRect(mapTo(top, QPoint(0, 0)), size()),
                             devicePixelRatioF(), isVisible()};
  const State::Placement& was = d->placement;
  const bool changed = now.window != was.window || now.rect != was.rect || now.ratio != was.ratio ||
                       now.visible != was.visible;
  d->placement = now;
  return changed;
}

void MascotWalk::redrawWhole() {
  std::lock_guard lock(stripLock());
  notePlacement();
  drawWhole();
  if (d->screen) d->screen->flush();
}

void MascotWalk::drawOnScreen(std::span<const QRect> area, double ratio) {
  const State::Placement& at = d->placement;
  if (!d->screen || d->screenFailed || !at.visible || at.window == 0) return;
  const QRect place = devicePixels(at.rect, ratio);
  const QRect strip(QPoint(0, 0), place.size());
  std::vector<QRect>& pixels = d->screenArea;
  pixels.clear();
  if (at.window != d->screenWindow || place != d->screenPlace) {
    d->screenWindow = at.window;
    d->screenPlace = place;
    pixels.push_back(strip);
  } else {
    for (const QRect& rect : area) {
      const QRect inside = devicePixels(rect, ratio).intersected(strip);
      if (!inside.isEmpty()) pixels.push_back(inside);
    }
  }
  if (pixels.empty()) return;
  const QSize size = at.rect.size();
  if (!d->lookedFor(size, ratio)) {
    d->refresh(d->services.clock->now(), size.width(), size.height(), ratio, false);
  }
  d->compose(pixels, size.width(), size.height(), ratio);
  if (d->screen->draw(at.window, place, pixels, d->layers)) return;
  // Painted with its window from now on.
  if (!onFrameThread) {
    setScreen(nullptr);
    return;
  }
  d->screenFailed = true;
  QMetaObject::invokeMethod(
      this,
      [this, failed = d->screen.get()] {
        std::lock_guard lock(stripLock());
        if (d->screenFailed && d->screen.get() == failed) setScreen(nullptr);
      },
      Qt::QueuedConnection);
}

void MascotWalk::withdrawFromScreen() {
  if (!d->screen) return;
  d->screen->withdraw();
  d->screenWindow = 0;  // the next draw is whole
}

void MascotWalk::drawWhole() {
  const QRect all(QPoint(0, 0), d->placement.rect.size());
  drawOnScreen({&all, 1}, d->placement.ratio);
}

void MascotWalk::show(const AgentActivity& activity) {
  std::lock_guard lock(stripLock());
  notePlacement();
  const bool reduce = d->services.reduceMotion ? d->services.reduceMotion() : false;
  if (activity == d->activity && reduce == d->reducedMotion) return;
  d->activity = activity;
  d->reducedMotion = reduce;

  const auto& agents = d->activity.agents;
  d->petOf.clear();  // into pets about to go
  std::erase_if(d->pets, [&agents](const auto& entry) {
    return std::none_of(agents.begin(), agents.end(),
                        [&entry](const WorkingAgent& agent) { return agent.id == entry.first; });
  });

  const std::size_t n = agents.size();
  const double width = this->width();
  if (n == 0) {
    setAccessibleName(QString());
  } else {
    std::size_t claude = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const WorkingAgent& agent = agents[i];
      if (agent.kind == WorkingAgent::Kind::claude) ++claude;
      if (!d->pets.contains(agent.id)) {
        const double position = (static_cast<double>(i) + 0.5) * width / static_cast<double>(n);
        d->pets.emplace(agent.id, PetMotion(position, *d->services.random));
      }
    }
    setAccessibleName(QStringLiteral("%1 Claude and %2 Codex working").arg(claude).arg(n - claude));
  }
  for (const WorkingAgent& agent : agents) d->petOf.push_back(&d->pets.at(agent.id));

  const bool animate = n > 0 && !d->reducedMotion;
  if (animate && !d->frameInterval) {
    const double t = d->services.clock->now();
    d->previousTick = t;
    d->bubbleAt_ = t + kFirstBubbleDelay;
    const double refresh = screen() ? screen()->refreshRate() : kMaxFrameRate;
    const double rate =
        std::clamp(refresh > 0 ? refresh : kMaxFrameRate, kMinFrameRate, kMaxFrameRate);
    // Whole milliseconds, rounded down: never slower than the rate asked for.
    d->frameInterval = static_cast<int>(1000 / rate);
    FrameTimers::join(this, d->frameInterval);
  } else if (animate) {
    FrameTimers::hurry(this);
  } else if (d->frameInterval) {
    FrameTimers::leave(this);
    d->frameInterval = 0;
  }
  if (n > 0) {
    // Here rather than on the frame thread: themed icons are looked up with
    // QIcon, which the main thread alone may use.
    d->loadFonts();
    if (mascotimages::clawd().empty()) mascotimages::claudeIcon();
    if (mascotimages::codexPet().empty()) mascotimages::codexIcon();
  }
  d->looks.clear();  // every mascot is placed again
  d->refresh(d->services.clock->now(), width, height(), devicePixelRatioF(), false);
  if (d->screen) {
    redrawWhole();
  } else {
    update();
    emit areaChanged(rect());
  }
}

const AgentActivity& MascotWalk::activity() const { return d->activity; }
const std::map<std::string, PetMotion>& MascotWalk::pets() const { return d->pets; }
bool MascotWalk::isAnimating() const { return d->frameInterval != 0; }
bool MascotWalk::reducedMotion() const { return d->reducedMotion; }
std::int64_t MascotWalk::speakerIndex() const {
  std::lock_guard lock(stripLock());
  return d->speakerIndex;
}
double MascotWalk::bubbleAt() const {
  std::lock_guard lock(stripLock());
  return d->bubbleAt_;
}

MascotWalk::Frame MascotWalk::tick() {
  std::lock_guard lock(stripLock());
  notePlacement();
  return step();
}

MascotWalk::Frame MascotWalk::step() {
  const double t = d->services.clock->now();
  const double dt = std::min(std::max(t - d->previousTick, 0.0), kMaxStep);
  d->previousTick = t;
  const QSize size = d->placement.rect.size();
  const double width = size.width();

  const auto& agents = d->activity.agents;
  if (!agents.empty()) {
    const double side = mascotSide(width, agents.size());
    for (PetMotion* pet : d->petOf) pet->advance(dt, width, side);
  }

  if (t > d->bubbleAt_ + kBubbleDuration) {
    ++d->speakerIndex;
    d->bubbleAt_ = t + uniformDraw(*d->services.random, kMinBubblePause, kMaxBubblePause);
  }

  // Only the mascots whose drawing changed, where they were and are, and the
  // bubble when it came, went or moved, are repainted, at once: the frame
  // reaches the screen in this wake-up, without an event of its own.
  const double ratio = d->placement.ratio;
  if (d->screen && !d->lookedFor(size, ratio)) {
    // A screen knows nothing of the strip's new size or pixel ratio.
    d->refresh(t, width, size.height(), ratio, false);
    drawWhole();
    return {true, d->quiet};
  }
  d->refresh(t, width, size.height(), ratio, true);
  if (d->changed.empty()) return {false, d->quiet};
  if (d->screen) {
    // A screen takes the places themselves, overlapping or not.
    drawOnScreen(d->changed, ratio);
    return {true, d->quiet};
  }
  // Painted with the window: on the main thread only.
  const QRegion changed = d->changedColumns(size);
  if (changed.isEmpty()) return {false, d->quiet};
  repaint(changed);
  emit areaChanged(changed);
  return {true, d->quiet};
}

void MascotWalk::paintEvent(QPaintEvent* event) {
  std::lock_guard lock(stripLock());
  if (d->screen) {
    // Windows are painted again when their pixel ratio changes, which no
    // event of its own tells the strip.
    if (notePlacement()) {
      drawWhole();
      if (d->screen) d->screen->flush();  // gone when it could not draw
    }
    return;
  }
  QPainter painter(this);
  painter.fillRect(event->rect(), Qt::white);  // clipped to the region
  const auto& agents = d->activity.agents;
  const double width = this->width();
  if (agents.empty() || width <= 0) return;
  const double height = this->height();
  const double ratio = devicePixelRatioF();
  if (!d->lookedFor(size(), ratio)) {
    d->refresh(d->services.clock->now(), width, height, ratio, false);
  }
  const double side = mascotSide(width, agents.size());
  const QRegion& region = event->region();

  painter.setPen(Qt::black);
  for (std::size_t i = 0; i < agents.size(); ++i) {
    const State::Look& look = d->looks[i];
    if (!region.intersects(look.bounds)) continue;
    if (look.picture) {
      painter.drawImage(look.at, d->scaled(*look.picture, look.mirrored, side, ratio));
    } else {
      d->loadFonts();
      const bool claude = agents[i].kind == WorkingAgent::Kind::claude;
      drawTextAt(painter, *d->nameFont, *d->nameMetrics, claude ? d->claudeName : d->codexName,
                 look.at);
    }
  }
  if (d->bubble && region.intersects(d->bubble->bounds)) {
    d->drawBubble(painter, *d->bubble, height, ratio);
  }
}

void MascotWalk::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  std::lock_guard lock(stripLock());
  notePlacement();
  withdrawFromScreen();
  // A window minimised by the window manager comes back; one hidden by the
  // program is closed.
  if (!event->spontaneous()) show(AgentActivity{});
}

bool MascotWalk::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  switch (event->type()) {
    case QEvent::ParentChange: {
      std::lock_guard lock(stripLock());
      notePlacement();
      withdrawFromScreen();
      if (!parentWidget()) show(AgentActivity{});
      break;
    }
    case QEvent::Show:
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::ScreenChangeInternal:
      redrawWhole();  // everything, when the place or pixel ratio changed
      break;
    default:
      break;
  }
  return handled;
}

}  // namespace umbrafold
