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
#include <cmath>
#include <mutex>
#include <optional>

#include "mascotgeometry.h"
#include "mascotimages.h"
#include "reducemotionsetting.h"

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

// One frame timer per frame interval, shared by every strip animating at that
// interval, so the curtains of all displays step and repaint in the same
// wake-up. Main thread only.
class FrameTimers {
 public:
  // Calls walk->tick() every `interval` milliseconds until leave(walk).
  static void join(MascotWalk* walk, int interval) {
    Entry& entry = entries()[interval];
    if (!entry.timer) {
      entry.timer = new QTimer(QCoreApplication::instance());
      entry.timer->setTimerType(Qt::PreciseTimer);
      entry.timer->setInterval(interval);
      QObject::connect(entry.timer, &QTimer::timeout, entry.timer, [interval] { fire(interval); });
    }
    entry.walks.push_back(walk);
    if (!entry.timer->isActive()) entry.timer->start();
  }

  // Stops the calls to walk; a timer left without strips stops.
  static void leave(MascotWalk* walk) {
    for (auto& [interval, entry] : entries()) {
      if (std::erase(entry.walks, walk) > 0 && entry.walks.empty() && entry.timer) {
        entry.timer->stop();
      }
    }
  }

 private:
  struct Entry {
    QPointer<QTimer> timer;  // owned by the application object
    std::vector<MascotWalk*> walks;
  };

  static std::map<int, Entry>& entries() {
    static std::map<int, Entry> all;
    return all;
  }

  static void fire(int interval) {
    const std::vector<MascotWalk*> walks = entries()[interval].walks;
    for (MascotWalk* walk : walks) {
      const auto& current = entries()[interval].walks;
      if (std::find(current.begin(), current.end(), walk) != current.end()) walk->tick();
    }
  }
};

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
// relative to the left end of its baseline, and its measured width.
struct ShapedText {
  QString text;
  QList<QGlyphRun> runs;
  double width = 0;
};

ShapedText shapeText(const QString& text, const QFont& font, const QFontMetricsF& metrics) {
  ShapedText shaped{text, {}, metrics.horizontalAdvance(text)};
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

// Draws `text` with the lower-left corner of its box (width x metrics.height())
// at `origin`, given in strip coordinates; the same pixels as drawing the
// string there with its font.
void drawTextAt(QPainter& painter, const QFontMetricsF& metrics, const ShapedText& text,
                StripPoint origin, double stripHeight) {
  const double top = stripHeight - (origin.y + metrics.height());
  const QPointF baseline(origin.x, top + metrics.ascent());
  for (const QGlyphRun& run : text.runs) painter.drawGlyphRun(baseline, run);
}

// The pixels a strip rectangle may touch, rounded outwards with a margin for
// smoothed image edges and antialiased glyphs.
QRect dirtyRect(const StripRect& rect, double stripHeight) {
  constexpr int kMargin = 2;
  return toQt(rect, stripHeight).toAlignedRect().adjusted(-kMargin, -kMargin, kMargin, kMargin);
}

void drawPicture(QPainter& painter, const QImage& image, double x, double y, double side,
                 double stripHeight) {
  const double ratio = image.devicePixelRatio();
  const StripRect rect = mascotImageRect(x, y, side, image.width() / ratio, image.height() / ratio);
  painter.save();
  painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
  painter.drawImage(toQt(rect, stripHeight), image);
  painter.restore();
}

}  // namespace

struct MascotWalk::State {
  // A bubble as it is drawn, and the part that marks where it stands.
  struct Bubble {
    std::string speaker;  // agent id
    ShapedText note;
    BubbleLayout layout;
    QRect bounds;
  };
  struct BubblePlace {
    std::string speaker;
    QRect bounds;
    friend bool operator==(const BubblePlace&, const BubblePlace&) = default;
  };

  void loadFonts();
  // The pixels a mascot standing at (x, y) may cover.
  QRect mascotRect(WorkingAgent::Kind kind, double x, double y, double side, double stripHeight);
  // The bubble shown at media time `now` in a strip of that size, if any.
  std::optional<Bubble> visibleBubble(double now, double width, double height);
  // The bubble of `speaker` as the mascots stand now, whatever the time.
  std::optional<Bubble> bubbleOf(const std::string& speaker, double width, double height);
  static std::optional<BubblePlace> placeOf(const std::optional<Bubble>& bubble) {
    if (!bubble) return std::nullopt;
    return BubblePlace{bubble->speaker, bubble->bounds};
  }

  Services services;
  int frameInterval = 0;  // milliseconds between frames while animating, else 0
  std::map<std::string, PetMotion> pets;
  double previousTick = 0;
  double bubbleAt = 0;
  std::int64_t speakerIndex = 0;
  AgentActivity activity;
  bool reducedMotion = false;
  std::optional<QFont> nameFont;
  std::optional<QFont> noteFont;
  std::optional<QFontMetricsF> nameMetrics;
  std::optional<QFontMetricsF> noteMetrics;
  ShapedText claudeName;  // for the mascots drawn as text
  ShapedText codexName;
  std::optional<ShapedText> note;  // the last note shaped
  // The bubble the screen was last asked to show; frames repaint it only
  // when this changes.
  std::optional<BubblePlace> shownBubble;
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

QRect MascotWalk::State::mascotRect(WorkingAgent::Kind kind, double x, double y, double side,
                                    double stripHeight) {
  loadFonts();
  const ShapedText& name = kind == WorkingAgent::Kind::claude ? claudeName : codexName;
  return dirtyRect(mascotBounds(x, y, side, name.width, nameMetrics->height()), stripHeight);
}

std::optional<MascotWalk::State::Bubble> MascotWalk::State::visibleBubble(double now, double width,
                                                                          double height) {
  const auto& agents = activity.agents;
  if (agents.empty() || width <= 0 || reducedMotion || !bubbleVisible(bubbleAt, now)) {
    return std::nullopt;
  }
  return bubbleOf(agents[speakerPosition(speakerIndex, agents.size())].id, width, height);
}

std::optional<MascotWalk::State::Bubble> MascotWalk::State::bubbleOf(const std::string& speaker,
                                                                     double width, double height) {
  const auto& agents = activity.agents;
  const auto agent = std::find_if(agents.begin(), agents.end(),
                                  [&speaker](const WorkingAgent& a) { return a.id == speaker; });
  const auto pet = pets.find(speaker);
  if (agent == agents.end() || pet == pets.end() || width <= 0) return std::nullopt;
  loadFonts();
  const QString text = QString::fromStdString(agent->note);
  if (!note || note->text != text) note = shapeText(text, *noteFont, *noteMetrics);
  const double side = mascotSide(width, agents.size());
  Bubble bubble{speaker,
                *note,
                bubbleLayout(pet->second.x(), pet->second.y() + side, note->width,
                             noteMetrics->height(), width),
                {}};
  bubble.bounds = dirtyRect(bubbleBounds(bubble.layout), height);
  return bubble;
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
  if (d->frameInterval) FrameTimers::leave(this);
}

void MascotWalk::show(const AgentActivity& activity) {
  const bool reduce = d->services.reduceMotion ? d->services.reduceMotion() : false;
  if (activity == d->activity && reduce == d->reducedMotion) return;
  d->activity = activity;
  d->reducedMotion = reduce;

  const auto& agents = d->activity.agents;
  std::erase_if(d->pets, [&agents](const auto& entry) {
    return std::none_of(agents.begin(), agents.end(),
                        [&entry](const WorkingAgent& agent) { return agent.id == entry.first; });
  });

  const std::size_t n = agents.size();
  if (n == 0) {
    setAccessibleName(QString());
  } else {
    const double width = this->width();
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

    if (!d->reducedMotion) {
      if (!d->frameInterval) {
        const double t = d->services.clock->now();
        d->previousTick = t;
        d->bubbleAt = t + kFirstBubbleDelay;
        const double refresh = screen() ? screen()->refreshRate() : kMaxFrameRate;
        const double rate =
            std::clamp(refresh > 0 ? refresh : kMaxFrameRate, kMinFrameRate, kMaxFrameRate);
        d->frameInterval = static_cast<int>(std::lround(1000 / rate));
        FrameTimers::join(this, d->frameInterval);
      }
      d->shownBubble =
          State::placeOf(d->visibleBubble(d->services.clock->now(), width, this->height()));
      update();
      return;
    }
  }

  if (d->frameInterval) {
    FrameTimers::leave(this);
    d->frameInterval = 0;
  }
  d->shownBubble.reset();  // no bubble without the animation
  update();
}

const AgentActivity& MascotWalk::activity() const { return d->activity; }
const std::map<std::string, PetMotion>& MascotWalk::pets() const { return d->pets; }
bool MascotWalk::isAnimating() const { return d->frameInterval != 0; }
bool MascotWalk::reducedMotion() const { return d->reducedMotion; }
std::int64_t MascotWalk::speakerIndex() const { return d->speakerIndex; }
double MascotWalk::bubbleAt() const { return d->bubbleAt; }

void MascotWalk::tick() {
  const double t = d->services.clock->now();
  const double dt = std::min(std::max(t - d->previousTick, 0.0), kMaxStep);
  d->previousTick = t;
  const double width = this->width();
  const double height = this->height();

  // Each mascot that moved or changed its frame or facing is repainted where
  // it was and where it is; resting mascots cost nothing.
  const auto& agents = d->activity.agents;
  if (!agents.empty()) {
    const double side = mascotSide(width, agents.size());
    for (const WorkingAgent& agent : agents) {
      const auto found = d->pets.find(agent.id);
      if (found == d->pets.end()) continue;
      PetMotion& pet = found->second;
      const double x = pet.x();
      const double y = pet.y();
      const double step = std::floor(std::max(pet.stride(), 0.0));
      const bool facesLeft = pet.facesLeft();
      pet.advance(dt, width, side);
      if (x == pet.x() && y == pet.y() && facesLeft == pet.facesLeft() &&
          step == std::floor(std::max(pet.stride(), 0.0))) {
        continue;
      }
      update(d->mascotRect(agent.kind, x, y, side, height) |
             d->mascotRect(agent.kind, pet.x(), pet.y(), side, height));
    }
  }

  if (t > d->bubbleAt + kBubbleDuration) {
    ++d->speakerIndex;
    d->bubbleAt = t + uniformDraw(*d->services.random, kMinBubblePause, kMaxBubblePause);
  }

  // The bubble is repainted where it was and where it is when it came, went
  // or followed its speaker.
  const std::optional<State::BubblePlace> bubble =
      State::placeOf(d->visibleBubble(t, width, height));
  if (bubble != d->shownBubble) {
    if (d->shownBubble) update(d->shownBubble->bounds);
    if (bubble) update(bubble->bounds);
    d->shownBubble = bubble;
  }
}

void MascotWalk::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.fillRect(event->rect(), Qt::white);  // clipped to the region
  const auto& agents = d->activity.agents;
  const double width = this->width();
  if (agents.empty() || width <= 0) return;
  const double height = this->height();
  const std::size_t n = agents.size();
  const double side = mascotSide(width, n);
  const double now = d->services.clock->now();
  const QRegion& region = event->region();

  d->loadFonts();
  painter.setPen(Qt::black);

  for (std::size_t i = 0; i < n; ++i) {
    const WorkingAgent& agent = agents[i];
    const auto found = d->pets.find(agent.id);
    if (found == d->pets.end()) continue;
    const PetMotion& pet = found->second;
    if (!region.intersects(d->mascotRect(agent.kind, pet.x(), pet.y(), side, height))) continue;
    const bool claude = agent.kind == WorkingAgent::Kind::claude;

    const std::vector<QImage>* frames = nullptr;
    if (claude) {
      frames = &mascotimages::clawd();
    } else {
      frames = &mascotimages::codexPet();
      if (pet.facesLeft() && !mascotimages::codexLeft().empty())
        frames = &mascotimages::codexLeft();
    }

    if (!frames->empty()) {
      const bool mirrored = claude && pet.facesLeft();
      if (mirrored) {
        painter.save();
        painter.translate(2 * pet.x(), 0);
        painter.scale(-1, 1);
      }
      drawPicture(painter, (*frames)[frameIndex(pet.stride(), frames->size())], pet.x(), pet.y(),
                  side, height);
      if (mirrored) painter.restore();
    } else if (const QImage& icon = claude ? mascotimages::claudeIcon() : mascotimages::codexIcon();
               !icon.isNull()) {
      drawPicture(painter, icon, pet.x(), pet.y(), side, height);
    } else {
      const ShapedText& name = claude ? d->claudeName : d->codexName;
      const StripPoint origin =
          nameTextOrigin(pet.x(), pet.y(), side, name.width, d->nameMetrics->height());
      drawTextAt(painter, *d->nameMetrics, name, origin, height);
    }
  }

  // The bubble due now. When it differs from the one last asked for and this
  // paint does not cover both, the screen keeps showing the one asked for
  // (drawn here too, so the repainted part matches the rest) and both places
  // are repainted next.
  std::optional<State::Bubble> bubble = d->visibleBubble(now, width, height);
  const std::optional<State::BubblePlace> place = State::placeOf(bubble);
  if (place != d->shownBubble) {
    QRegion both;
    if (place) both += place->bounds;
    if (d->shownBubble) both += d->shownBubble->bounds;
    if (!both.subtracted(region).isEmpty()) {
      bubble = d->shownBubble ? d->bubbleOf(d->shownBubble->speaker, width, height) : std::nullopt;
      d->shownBubble = place;
      update(both);
    }
  }
  if (!bubble) return;
  const BubbleLayout& layout = bubble->layout;
  for (const StripRect& rect : layout.black) painter.fillRect(toQt(rect, height), Qt::black);
  for (const StripRect& rect : layout.white) painter.fillRect(toQt(rect, height), Qt::white);
  drawTextAt(painter, *d->noteMetrics, bubble->note, layout.textOrigin, height);
}

void MascotWalk::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // A window minimised by the window manager comes back; one hidden by the
  // program is closed.
  if (!event->spontaneous()) show(AgentActivity{});
}

bool MascotWalk::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  if (event->type() == QEvent::ParentChange && !parentWidget()) show(AgentActivity{});
  return handled;
}

}  // namespace umbrafold
