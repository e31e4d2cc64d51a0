#include "mascotwalk.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHideEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QScreen>

#include <algorithm>
#include <mutex>
#include <utility>

#include "frametimers.h"
#include "mascotgeometry.h"
#include "mascotimages.h"
#include "mascotwalkstate.h"
#include "reducemotionsetting.h"
#include "stripscreen.h"
#include "stripshared.h"

namespace umbrafold {

namespace {

constexpr double kFirstBubbleDelay = 2;  // seconds after the animation starts
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

}  // namespace

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
    d->screen->onFrameWanted([] { FrameTimers::wake(); });
  }
  // A strip shown through a screen paints nothing: its window paints its
  // white beneath it.
  setAttribute(Qt::WA_OpaquePaintEvent, !d->screen);
  redrawWhole();
  update();
}

bool MascotWalk::notePlacement() {
  QWidget* top = window();
  const double screenRatio = d->screen ? d->screen->pixelRatio() : 0;
  const State::Placement now{top->internalWinId(), QRect(mapTo(top, QPoint(0, 0)), size()),
                             screenRatio > 0 ? screenRatio : devicePixelRatioF(), isVisible()};
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
