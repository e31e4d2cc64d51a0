#include "waylandplatform.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

#include "agentactivity.h"
#include "commandline.h"
#include "curtainsurface.h"
#include "mascotwalk.h"
#include "stripscreen.h"
#include "waylandsessionlock.h"

namespace umbrafold {

namespace {

// How long arming waits for the compositor to confirm the lock.
constexpr std::chrono::milliseconds kLockDeadline{8000};

// The lock connection and the curtains drawn into its surfaces, shared by
// the three platform pieces.
class LockedSurfaces : public QObject {
 public:
  LockedSurfaces() : lock(new WaylandSessionLock(this)) {
    connect(lock, &WaylandSessionLock::configured, this,
            [this](const QString& name, const QSize&) { repaintAll(name); });
    connect(lock, &WaylandSessionLock::outputRemoved, this,
            [this](const QString& name) { surfaces.erase(name); });
    connect(lock, &WaylandSessionLock::frameReady, this, &LockedSurfaces::frameReady);
    connect(lock, &WaylandSessionLock::keyEvent, this, &LockedSurfaces::deliverKey);
    connect(lock, &WaylandSessionLock::pointerButton, this, &LockedSurfaces::deliverButton);
    // The compositor went away (or dropped the connection): there is no
    // lock left to hold or to give back. One line says why, and the process
    // ends at once: told on the thread that reads the connection the moment
    // it breaks, before Qt's own connection reports the same loss.
    lock->onConnectionLost([](const QString& reason) {
      std::fprintf(stderr, "umbrafold: the Wayland session lock is gone: %s\n",
                   reason.toLocal8Bit().constData());
      std::fflush(stderr);
      std::_Exit(kExitNoDisplay);
    });
  }

  // The curtain drawn on `output` from now on; its whole surface is drawn.
  void bind(const QString& output, CurtainWindow* curtain) {
    Surface& surface = surfaces[output];
    if (surface.curtain == curtain) return;
    if (surface.curtain) {
      surface.curtain->disconnect(this);
      surface.curtain->mascots()->disconnect(this);
    }
    surface.curtain = curtain;
    connect(curtain, &CurtainWindow::contentChanged, this, [this, output](const QRect& area) {
      const auto found = surfaces.find(output);
      if (found == surfaces.end()) return;
      found->second.damage += area;
      schedulePaint();
    });
    // The strip is drawn into a sub-surface of its own from the frame
    // thread, where the compositor offers sub-surfaces.
    MascotWalk* strip = curtain->mascots();
    std::unique_ptr<StripScreen> screen = lock->stripScreen(output);
    surface.stripOwnSurface = screen != nullptr;
    if (screen) {
      strip->setScreen(std::move(screen));
      strip->installEventFilter(this);
      lock->placeStrip(output, strip->geometry());
      // Then only the band with the field needs buffers of its own.
      lock->placeContent(output, curtain->entryArea());
    }
    // Otherwise what the mascots change is drawn when the compositor next
    // wants a frame of this output, so an output that is off costs nothing.
    connect(strip, &MascotWalk::areaChanged, this, [this, output, strip](const QRegion& area) {
      const auto found = surfaces.find(output);
      if (found == surfaces.end()) return;
      found->second.damage += area.translated(strip->pos());
      askFrame(output, found->second);
    });
    repaintAll(output);
  }

  void unbind(QWidget* curtain) {
    for (auto& [output, surface] : surfaces) {
      if (surface.curtain != curtain) continue;
      curtain->disconnect(this);
      surface.curtain->mascots()->disconnect(this);
      surface.curtain->mascots()->removeEventFilter(this);
      surface.curtain = nullptr;
      surface.damage = QRegion(QRect(QPoint(), lock->surfaceSize(output)));
      schedulePaint();
    }
    if (key == curtain) key = nullptr;
  }

  // Locks the session; true once the compositor says it is locked.
  bool lockSession() {
    if (lock->state() == WaylandSessionLock::State::Locked) return true;
    if (!lock->lock()) return false;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(lock, &WaylandSessionLock::locked, &loop, &QEventLoop::quit);
    connect(lock, &WaylandSessionLock::finished, &loop, &QEventLoop::quit);
    connect(lock, &WaylandSessionLock::connectionLost, &loop, &QEventLoop::quit);
    deadline.start(kLockDeadline);
    // The user's typing waits: nothing may arm a second time meanwhile.
    while (lock->state() == WaylandSessionLock::State::Locking && lock->isConnected() &&
           deadline.isActive()) {
      loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (lock->state() == WaylandSessionLock::State::Locking) lock->withdraw();
    if (lock->state() == WaylandSessionLock::State::Locked) return true;
    std::fputs(
        "umbrafold: the compositor did not lock the session (another screen locker may hold "
        "it)\n",
        stderr);
    surfaces.clear();
    return false;
  }

  bool unlockSession() {
    if (lock->state() != WaylandSessionLock::State::Locked) return true;
    const bool unlocked = lock->unlock();
    surfaces.clear();
    return unlocked;
  }

  std::vector<DisplayInfo> screens() const {
    std::vector<DisplayInfo> all;
    int x = 0;
    for (const QString& name : lock->outputs()) {
      QSize size = lock->surfaceSize(name);
      if (!size.isValid() || size.isEmpty()) size = QSize(1, 1);
      const QRect frame(QPoint(x, 0), size);
      all.push_back({name, frame, frame});
      x += size.width();
    }
    return all;
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    // Qt's own painting of a curtain would go to a window that is never
    // shown; the curtains are drawn into the lock surfaces instead.
    if (event->type() == QEvent::UpdateRequest && qobject_cast<CurtainWindow*>(watched)) {
      return true;
    }
    // The band with the field follows the curtain's size.
    if (event->type() == QEvent::Resize) {
      if (auto* curtain = qobject_cast<CurtainWindow*>(watched)) {
        for (const auto& [output, surface] : surfaces) {
          if (surface.curtain == curtain && surface.stripOwnSurface)
            lock->placeContent(output, curtain->entryArea());
        }
      }
    }
    // A strip in a sub-surface of its own follows its widget.
    if ((event->type() == QEvent::Move || event->type() == QEvent::Resize) &&
        qobject_cast<MascotWalk*>(watched)) {
      for (const auto& [output, surface] : surfaces) {
        if (surface.curtain && surface.curtain->mascots() == watched && surface.stripOwnSurface)
          lock->placeStrip(output, surface.curtain->mascots()->geometry());
      }
    }
    return QObject::eventFilter(watched, event);
  }

  WaylandSessionLock* lock;
  QPointer<QWidget> key;

 private:
  struct Surface {
    QPointer<CurtainWindow> curtain;
    QRegion damage;
    bool frameAsked = false;
    bool stripOwnSurface = false;  // the strip is drawn into a sub-surface
  };

  void repaintAll(const QString& output) {
    Surface& surface = surfaces[output];
    surface.damage = QRegion(QRect(QPoint(), lock->surfaceSize(output)));
    paint(output, surface);
  }

  void schedulePaint() {
    if (paintScheduled) return;
    paintScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          paintScheduled = false;
          for (auto& [output, surface] : surfaces) {
            if (!surface.damage.isEmpty()) paint(output, surface);
          }
        },
        Qt::QueuedConnection);
  }

  // Draws the damaged part of `output`; what cannot be drawn now (both
  // buffers still with the compositor) is drawn at the next frame.
  void paint(const QString& output, Surface& surface) {
    CurtainWindow* curtain = surface.curtain;
    bool painted = false;
    if (!curtain) {
      // No curtain yet (arming) or any more: white, from one buffer.
      painted = lock->paintWhite(output);
    } else {
      // A strip with a sub-surface of its own has only white beneath it.
      QWidget* strip = surface.stripOwnSurface ? nullptr : curtain->mascots();
      painted = lock->paint(output, surface.damage,
                            [curtain, strip](QImage& image, const QRegion& region, QPoint origin) {
                              curtainsurface::draw(curtain, image, region, origin, strip);
                            });
    }
    if (painted) {
      surface.damage = QRegion();
    } else {
      askFrame(output, surface);
    }
  }

  void askFrame(const QString& output, Surface& surface) {
    if (surface.frameAsked) return;
    surface.frameAsked = true;
    lock->requestFrame(output);
  }

  // The compositor wants a new frame: what changed since the last one, or
  // could not be drawn then, is drawn now.
  void frameReady(const QString& output) {
    const auto found = surfaces.find(output);
    if (found == surfaces.end()) return;
    Surface& surface = found->second;
    surface.frameAsked = false;
    if (!surface.damage.isEmpty()) paint(output, surface);
  }

  void deliverKey(QEvent::Type type, int code, Qt::KeyboardModifiers modifiers, const QString& text,
                  bool autoRepeat) {
    curtainsurface::sendKey(key, type, code, modifiers, text, autoRepeat);
  }

  // A press goes to the widget under it, and its release to the same one.
  void deliverButton(const QString& output, const QPointF& position, Qt::MouseButton button,
                     bool pressed) {
    if (pressed) {
      const auto found = surfaces.find(output);
      if (found == surfaces.end() || !found->second.curtain) return;
      pressCurtain = found->second.curtain;
      pressTarget = curtainsurface::pressTarget(pressCurtain, position);
      buttons |= button;
    } else {
      buttons &= ~button;
    }
    if (!pressTarget || !pressCurtain) return;
    curtainsurface::sendButton(pressCurtain, pressTarget, position, button, buttons, pressed);
    if (!pressed && buttons == Qt::NoButton) pressTarget = nullptr;
  }

  std::map<QString, Surface> surfaces;
  bool paintScheduled = false;
  QPointer<QWidget> pressTarget;
  QPointer<CurtainWindow> pressCurtain;
  Qt::MouseButtons buttons;
};

class WaylandDisplays : public Displays {
 public:
  explicit WaylandDisplays(std::shared_ptr<LockedSurfaces> shared) : surfaces(std::move(shared)) {
    const auto changedNow = [this] { emit changed(); };
    connect(surfaces->lock, &WaylandSessionLock::outputAdded, this, changedNow);
    connect(surfaces->lock, &WaylandSessionLock::outputRemoved, this, changedNow);
    connect(surfaces->lock, &WaylandSessionLock::configured, this, changedNow);
  }

  std::vector<DisplayInfo> screens() const override { return surfaces->screens(); }
  std::optional<DisplayInfo> mainScreen() const override {
    const std::vector<DisplayInfo> all = screens();
    if (all.empty()) return std::nullopt;
    return all.front();
  }
  // A Wayland client learns the pointer only over its own surfaces.
  QPoint pointer() const override { return {}; }

 private:
  std::shared_ptr<LockedSurfaces> surfaces;
};

class WaylandPresentation : public Presentation {
 public:
  explicit WaylandPresentation(std::shared_ptr<LockedSurfaces> shared)
      : surfaces(std::move(shared)) {}

  PresentationOptions options() const override { return current; }

  // Holding the session is the compositor's lock: asked for when process
  // switching is to be disabled, given back when it no longer is.
  bool setOptions(PresentationOptions options) override {
    const bool hold = options.raw & PresentationOptions::disableProcessSwitching;
    if (hold ? !surfaces->lockSession() : !surfaces->unlockSession()) return false;
    current = options;
    return true;
  }

  void cover(QWidget* curtain, const QString& display) override {
    if (auto* window = qobject_cast<CurtainWindow*>(curtain)) surfaces->bind(display, window);
  }

  void uncover(QWidget* curtain) override { surfaces->unbind(curtain); }

 private:
  std::shared_ptr<LockedSurfaces> surfaces;
  PresentationOptions current;
};

class WaylandFocus : public Focus {
 public:
  explicit WaylandFocus(std::shared_ptr<LockedSurfaces> shared) : surfaces(std::move(shared)) {}

  // While locked, the compositor sends every key to our surfaces.
  bool isActive() const override {
    return surfaces->lock->state() == WaylandSessionLock::State::Locked;
  }
  void makeKey(QWidget* window) override { surfaces->key = window; }
  void activate() override {}
  bool lockerActive() const override { return false; }

 private:
  std::shared_ptr<LockedSurfaces> surfaces;
};

// Caps Lock and the layout as the lock's keyboard reports them.
class WaylandKeyboardState : public KeyboardState {
 public:
  explicit WaylandKeyboardState(std::shared_ptr<LockedSurfaces> shared)
      : surfaces(std::move(shared)) {
    connect(surfaces->lock, &WaylandSessionLock::keyboardIndicatorsChanged, this,
            [this](bool capsLock, const QString& layout) {
              shown = {capsLock, layout};
              emit changed();
            });
  }

  KeyboardIndicators indicators() const override { return shown; }

 private:
  std::shared_ptr<LockedSurfaces> surfaces;
  KeyboardIndicators shown;
};

}  // namespace

WaylandPlatform makeWaylandPlatform(QString& problem) {
  auto shared = std::make_shared<LockedSurfaces>();
  if (!shared->lock->isConnected()) {
    problem = shared->lock->errorString();
    return {};
  }
  if (!shared->lock->canLock()) {
    problem = QStringLiteral("the compositor offers no session lock (ext-session-lock-v1)");
    return {};
  }
  WaylandPlatform platform;
  platform.displays = std::make_unique<WaylandDisplays>(shared);
  platform.presentation = std::make_unique<WaylandPresentation>(shared);
  platform.focus = std::make_unique<WaylandFocus>(shared);
  platform.keyboard = std::make_unique<WaylandKeyboardState>(shared);
  platform.makeCurtain = [shared](const QRect& frame) {
    auto curtain = std::make_unique<CurtainWindow>(frame);
    // Shown for Qt (so it lays out, paints and takes keys) but never as a
    // window: it is drawn into the lock surface of its output.
    curtain->setAttribute(Qt::WA_DontShowOnScreen);
    curtain->installEventFilter(shared.get());
    return curtain;
  };
  return platform;
}

}  // namespace umbrafold
