#include "waylandsessionlock.h"

#include <QPointer>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "waylandlockprivate.h"

namespace umbrafold {

namespace {

using Impl = WaylandSessionLockPrivate;

template <typename T>
void destroyProxyOnly(T*& proxy) {
  if (proxy) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(proxy));
  proxy = nullptr;
}

// -- registry ---------------------------------------------------------------

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
              std::uint32_t version) {
  auto* d = static_cast<Impl*>(data);
  const auto bind = [&](const wl_interface* type, std::uint32_t highest) {
    return wl_registry_bind(registry, name, type, std::min(version, highest));
  };
  if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    // wl_surface.damage_buffer needs version 4.
    if (version >= 4 && !d->compositor)
      d->compositor = static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4));
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    if (!d->shm) d->shm = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
  } else if (std::strcmp(interface, wl_subcompositor_interface.name) == 0) {
    if (!d->subcompositor)
      d->subcompositor = static_cast<wl_subcompositor*>(bind(&wl_subcompositor_interface, 1));
  } else if (std::strcmp(interface, wp_fractional_scale_manager_v1_interface.name) == 0) {
    if (!d->fractionalManager)
      d->fractionalManager = static_cast<wp_fractional_scale_manager_v1*>(
          bind(&wp_fractional_scale_manager_v1_interface, 1));
  } else if (std::strcmp(interface, wp_single_pixel_buffer_manager_v1_interface.name) == 0) {
    if (!d->singlePixel)
      d->singlePixel = static_cast<wp_single_pixel_buffer_manager_v1*>(
          bind(&wp_single_pixel_buffer_manager_v1_interface, 1));
  } else if (std::strcmp(interface, wp_viewporter_interface.name) == 0) {
    if (!d->viewporter)
      d->viewporter = static_cast<wp_viewporter*>(bind(&wp_viewporter_interface, 1));
  } else if (std::strcmp(interface, wl_seat_interface.name) == 0) {
    d->addSeat(name, version);
  } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
    d->addOutput(name, version);
  } else if (std::strcmp(interface, ext_session_lock_manager_v1_interface.name) == 0) {
    if (!d->manager)
      d->manager = static_cast<ext_session_lock_manager_v1*>(
          bind(&ext_session_lock_manager_v1_interface, 1));
  } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
    if (!d->xdgOutputManager) {
      d->xdgOutputManager =
          static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3));
      for (auto& o : d->outputs) d->watchXdgOutput(*o);
    }
  }
}

void onGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
  auto* d = static_cast<Impl*>(data);
  if (name == d->seatGlobal && d->seat) {
    d->releaseKeyboard();
    d->releasePointer();
    wl_seat_destroy(d->seat);
    d->seat = nullptr;
    d->seatGlobal = 0;
    return;
  }
  d->removeOutput(name);
}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

// -- lock and lock surfaces -----------------------------------------------------

const ext_session_lock_v1_listener kLockListener = {
    // locked
    [](void* data, ext_session_lock_v1*) {
      auto* d = static_cast<Impl*>(data);
      d->state = WaylandSessionLock::State::Locked;
      d->post([q = d->q] { emit q->locked(); });
    },
    // finished
    [](void* data, ext_session_lock_v1*) {
      auto* d = static_cast<Impl*>(data);
      // Before locked only destroy is allowed, after it only
      // unlock_and_destroy.
      d->destroyLockSurfaces();
      if (d->state == WaylandSessionLock::State::Locked)
        ext_session_lock_v1_unlock_and_destroy(d->lock);
      else
        ext_session_lock_v1_destroy(d->lock);
      d->lock = nullptr;
      d->state = WaylandSessionLock::State::Unlocked;
      d->post([q = d->q] { emit q->finished(); });
    },
};

}  // namespace

// -- connection -----------------------------------------------------------------

bool Impl::connect() {
  const QByteArray socket = qgetenv("WAYLAND_DISPLAY");
  if (socket.isEmpty()) {
    error = QStringLiteral("WAYLAND_DISPLAY is not set");
    return false;
  }
  display = wl_display_connect(nullptr);
  if (!display) {
    error = QStringLiteral("cannot connect to the Wayland display %1: %2")
                .arg(QString::fromLocal8Bit(socket), QString::fromLocal8Bit(strerror(errno)));
    return false;
  }
  registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, this);
  // The first round trip announces the globals, the second what the bound
  // ones (outputs, xdg outputs, seat) say about themselves.
  if (wl_display_roundtrip(display) < 0 || wl_display_roundtrip(display) < 0) {
    fail();
    return false;
  }
  // Outputs that will get no name from anyone are announced by number.
  for (auto& o : outputs) {
    if (!o->announced && (o->name.isEmpty() ? !o->xdgOutput : o->version < 2)) announce(*o);
  }

  reader = std::make_unique<ConnectionReader>(
      display, ConnectionReader::Handlers{[this] { dispatchStrips(); },
                                          [this] {
                                            if (dispatchPosted.exchange(true)) return;
                                            QMetaObject::invokeMethod(
                                                q,
                                                [this] {
                                                  dispatchPosted = false;
                                                  dispatchEvents();
                                                },
                                                Qt::QueuedConnection);
                                          },
                                          [this] {
                                            tellLoss(describeError());
                                            QMetaObject::invokeMethod(
                                                q, [this] { fail(); }, Qt::QueuedConnection);
                                          }});
  writeNotifier =
      std::make_unique<QSocketNotifier>(wl_display_get_fd(display), QSocketNotifier::Write);
  writeNotifier->setEnabled(false);
  QObject::connect(writeNotifier.get(), &QSocketNotifier::activated, q, [this] { flush(); });
  repeatTimer.setSingleShot(true);
  QObject::connect(&repeatTimer, &QTimer::timeout, q, [this] { repeatKey(); });
  return true;
}

void Impl::dispatchEvents() {
  if (!usable()) return;
  if (wl_display_dispatch_pending(display) < 0) return fail();
  flush();
}

void Impl::dispatchStrips() {
  std::lock_guard lock(stripsMutex);
  for (const auto& strip : strips) strip->dispatch();
}

void Impl::flush() {
  if (!usable()) return;
  if (wl_display_flush(display) >= 0) {
    writeNotifier->setEnabled(false);
  } else if (errno == EAGAIN) {
    // The socket is full; the rest goes when it can take more.
    writeNotifier->setEnabled(true);
  } else {
    fail();
  }
}

QString Impl::describeError() const {
  const int code = wl_display_get_error(display);
  if (code == EPROTO) {
    const wl_interface* interface = nullptr;
    std::uint32_t id = 0;
    const std::uint32_t protocolCode = wl_display_get_protocol_error(display, &interface, &id);
    return QStringLiteral("protocol error %1 on %2@%3")
        .arg(protocolCode)
        .arg(QString::fromLatin1(interface ? interface->name : "unknown"))
        .arg(id);
  }
  return QStringLiteral("the Wayland connection broke: %1")
      .arg(QString::fromLocal8Bit(strerror(code ? code : errno)));
}

void Impl::tellLoss(const QString& reason) {
  if (!lossHandler || lossTold.exchange(true)) return;
  lossHandler(reason);
}

void Impl::fail() {
  if (broken) return;
  broken = true;
  error = describeError();
  tellLoss(error);
  if (writeNotifier) writeNotifier->setEnabled(false);
  repeatTimer.stop();
  post([q = q, reason = error] { emit q->connectionLost(reason); });
}

void WaylandSessionLock::onConnectionLost(std::function<void(const QString&)> handler) {
  d_->lossHandler = std::move(handler);
}

void Impl::post(std::function<void()> emitSignal) {
  pendingSignals.push_back(std::move(emitSignal));
  if (emitScheduled) return;
  emitScheduled = true;
  QMetaObject::invokeMethod(
      q, [this] { emitPending(); }, Qt::QueuedConnection);
}

void Impl::emitPending() {
  emitScheduled = false;
  const std::vector<std::function<void()>> batch = std::move(pendingSignals);
  pendingSignals.clear();
  const QPointer<WaylandSessionLock> alive(q);
  for (const auto& emitSignal : batch) {
    if (!alive) return;
    emitSignal();
  }
}

Impl::~WaylandSessionLockPrivate() {
  if (!display) return;
  reader.reset();
  repeatTimer.stop();
  for (auto& o : outputs) {
    destroyLockSurface(*o);
    if (o->strip) o->strip->close();
    if (o->xdgOutput) zxdg_output_v1_destroy(o->xdgOutput);
    wl_output_destroy(o->output);
  }
  outputs.clear();
  white.reset();
  if (solidWhite) wl_buffer_destroy(solidWhite);
  solidWhite = nullptr;
  // Before locked the lock may be withdrawn; once locked only unlock()
  // ends it, and disconnecting leaves the session locked.
  if (lock && state == State::Locking && !broken)
    ext_session_lock_v1_destroy(lock);
  else
    destroyProxyOnly(lock);
  releaseKeyboard();
  releasePointer();
  if (seat) wl_seat_destroy(seat);
  if (manager) ext_session_lock_manager_v1_destroy(manager);
  if (xdgOutputManager) zxdg_output_manager_v1_destroy(xdgOutputManager);
  if (shm) wl_shm_destroy(shm);
  if (subcompositor) wl_subcompositor_destroy(subcompositor);
  if (viewporter) wp_viewporter_destroy(viewporter);
  if (singlePixel) wp_single_pixel_buffer_manager_v1_destroy(singlePixel);
  if (fractionalManager) wp_fractional_scale_manager_v1_destroy(fractionalManager);
  if (compositor) wl_compositor_destroy(compositor);
  if (registry) wl_registry_destroy(registry);
  if (!broken) wl_display_flush(display);
  writeNotifier.reset();
  wl_display_disconnect(display);
}

// -- public -------------------------------------------------------------------------

WaylandSessionLock::WaylandSessionLock(QObject* parent)
    : QObject(parent), d_(std::make_unique<WaylandSessionLockPrivate>(this)) {
  d_->connect();
}

WaylandSessionLock::~WaylandSessionLock() = default;

bool WaylandSessionLock::isConnected() const { return d_->usable(); }

QString WaylandSessionLock::errorString() const { return d_->usable() ? QString() : d_->error; }

bool WaylandSessionLock::canLock() const {
  return d_->usable() && d_->manager && d_->compositor && d_->shm;
}

WaylandSessionLock::State WaylandSessionLock::state() const { return d_->state; }

bool WaylandSessionLock::lock() {
  if (!canLock() || d_->state != State::Unlocked) return false;
  d_->lock = ext_session_lock_manager_v1_lock(d_->manager);
  ext_session_lock_v1_add_listener(d_->lock, &kLockListener, d_.get());
  d_->state = State::Locking;
  for (auto& o : d_->outputs) d_->createLockSurface(*o);
  d_->flush();
  return true;
}

bool WaylandSessionLock::unlock() {
  if (!d_->usable() || d_->state != State::Locked || !d_->lock) return false;
  ext_session_lock_v1_unlock_and_destroy(d_->lock);
  d_->lock = nullptr;
  d_->destroyLockSurfaces();
  d_->state = State::Unlocked;
  // Only a reply to a later request proves the compositor has read the
  // unlock: a client that exits right after sending it may leave the
  // session locked.
  if (wl_display_roundtrip(d_->display) < 0) {
    d_->fail();
    return false;
  }
  d_->flush();
  return true;
}

bool WaylandSessionLock::withdraw() {
  if (!d_->usable()) return false;
  if (d_->state != State::Locking) return d_->state == State::Unlocked;
  // Destroying the lock once locked has been sent is a protocol error that
  // would leave the session locked for good: let any such event in first.
  if (wl_display_roundtrip(d_->display) < 0) {
    d_->fail();
    return false;
  }
  if (d_->state != State::Locking) return d_->state == State::Unlocked;
  d_->destroyLockSurfaces();
  ext_session_lock_v1_destroy(d_->lock);
  d_->lock = nullptr;
  d_->state = State::Unlocked;
  d_->flush();
  return true;
}

}  // namespace umbrafold
