#include "mascotwalk.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QHideEvent>
#include <QPainter>
#include <QScreen>
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

// Draws `text` with the lower-left corner of its box (width x metrics.height())
// at `origin`, given in strip coordinates.
void drawTextAt(QPainter& painter, const QFontMetricsF& metrics, const QString& text,
                StripPoint origin, double stripHeight) {
  const double top = stripHeight - (origin.y + metrics.height());
  painter.drawText(QPointF(origin.x, top + metrics.ascent()), text);
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
  Services services;
  QTimer* display = nullptr;  // the frame timer, present exactly while animating
  std::map<std::string, PetMotion> pets;
  double previousTick = 0;
  double bubbleAt = 0;
  std::int64_t speakerIndex = 0;
  AgentActivity activity;
  bool reducedMotion = false;
  std::optional<QFont> nameFont;
  std::optional<QFont> noteFont;
};

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
  setAutoFillBackground(false);
}

MascotWalk::~MascotWalk() {
  if (d->display) d->display->stop();
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
      if (!d->display) {
        const double t = d->services.clock->now();
        d->previousTick = t;
        d->bubbleAt = t + kFirstBubbleDelay;
        const double refresh = screen() ? screen()->refreshRate() : kMaxFrameRate;
        const double rate =
            std::clamp(refresh > 0 ? refresh : kMaxFrameRate, kMinFrameRate, kMaxFrameRate);
        d->display = new QTimer(this);
        d->display->setTimerType(Qt::PreciseTimer);
        d->display->setInterval(static_cast<int>(std::lround(1000 / rate)));
        connect(d->display, &QTimer::timeout, this, &MascotWalk::tick);
        d->display->start();
      }
      update();
      return;
    }
  }

  if (d->display) {
    d->display->stop();
    delete d->display;
    d->display = nullptr;
  }
  update();
}

const AgentActivity& MascotWalk::activity() const { return d->activity; }
const std::map<std::string, PetMotion>& MascotWalk::pets() const { return d->pets; }
bool MascotWalk::isAnimating() const { return d->display != nullptr; }
bool MascotWalk::reducedMotion() const { return d->reducedMotion; }
std::int64_t MascotWalk::speakerIndex() const { return d->speakerIndex; }
double MascotWalk::bubbleAt() const { return d->bubbleAt; }

void MascotWalk::tick() {
  const double t = d->services.clock->now();
  const double dt = std::min(std::max(t - d->previousTick, 0.0), kMaxStep);
  d->previousTick = t;

  const auto& agents = d->activity.agents;
  if (!agents.empty()) {
    const double width = this->width();
    const double side = mascotSide(width, agents.size());
    for (const WorkingAgent& agent : agents) {
      const auto pet = d->pets.find(agent.id);
      if (pet != d->pets.end()) pet->second.advance(dt, width, side);
    }
  }

  if (t > d->bubbleAt + kBubbleDuration) {
    ++d->speakerIndex;
    d->bubbleAt = t + uniformDraw(*d->services.random, kMinBubblePause, kMaxBubblePause);
  }
  update();
}

void MascotWalk::paintEvent(QPaintEvent*) {
  const auto& agents = d->activity.agents;
  const double width = this->width();
  if (agents.empty() || width <= 0) return;
  const double height = this->height();
  const std::size_t n = agents.size();
  const double side = mascotSide(width, n);
  const double now = d->services.clock->now();

  if (!d->nameFont) d->nameFont = stripFont(QFontDatabase::GeneralFont, 12);
  if (!d->noteFont) d->noteFont = stripFont(QFontDatabase::FixedFont, 11);

  QPainter painter(this);
  painter.setPen(Qt::black);
  const WorkingAgent* speaker = nullptr;
  const PetMotion* speakerPet = nullptr;
  const bool bubbleTime = !d->reducedMotion && bubbleVisible(d->bubbleAt, now);
  const std::size_t speaking = speakerPosition(d->speakerIndex, n);

  for (std::size_t i = 0; i < n; ++i) {
    const WorkingAgent& agent = agents[i];
    const auto found = d->pets.find(agent.id);
    if (found == d->pets.end()) continue;
    const PetMotion& pet = found->second;
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
      const QString name = claude ? QStringLiteral("Claude") : QStringLiteral("Codex");
      painter.setFont(*d->nameFont);
      const QFontMetricsF metrics(*d->nameFont);
      const StripPoint origin =
          nameTextOrigin(pet.x(), pet.y(), side, metrics.horizontalAdvance(name), metrics.height());
      drawTextAt(painter, metrics, name, origin, height);
    }

    if (bubbleTime && i == speaking) {
      speaker = &agent;
      speakerPet = &pet;
    }
  }

  if (!speaker) return;
  const QString note = QString::fromStdString(speaker->note);
  const QFontMetricsF metrics(*d->noteFont);
  const BubbleLayout bubble =
      bubbleLayout(speakerPet->x(), speakerPet->y() + side, metrics.horizontalAdvance(note),
                   metrics.height(), width);
  for (const StripRect& rect : bubble.black) painter.fillRect(toQt(rect, height), Qt::black);
  for (const StripRect& rect : bubble.white) painter.fillRect(toQt(rect, height), Qt::white);
  painter.setFont(*d->noteFont);
  drawTextAt(painter, metrics, note, bubble.textOrigin, height);
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
