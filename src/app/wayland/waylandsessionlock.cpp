#include "waylandsessionlock.h"

#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ext-session-lock-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"
#include "xkbkeyboard.h"

namespace umbrafold {

namespace {

// One wl_shm buffer of XRGB8888 pixels, mapped into this process.
struct Buffer {
  wl_buffer* buffer = nullptr;
  void* data = nullptr;
  std::size_t bytes = 0;
  QSize pixels;
  int scale = 1;
  bool busy = false;     // attached and not yet released by the compositor
  bool retired = false;  // of an old size or scale: destroyed once released
  QRegion stale;         // logical pixels whose content is older than the front buffer's

  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (buffer) wl_buffer_destroy(buffer);
    if (data) munmap(data, bytes);
  }
  int stride() const { return pixels.width() * 4; }
};

}  // namespace

struct WaylandSessionLockPrivate {
  using State = WaylandSessionLock::State;
  // An output and, while a lock exists, its lock surface.
  struct Output {
    WaylandSessionLockPrivate* d = nullptr;
    std::uint32_t global = 0;
    std::uint32_t version = 0;
    wl_output* output = nullptr;
    zxdg_output_v1* xdgOutput = nullptr;
    QString name;
    bool announced = false;
    int scale = 1;         // as of the last done event
    int pendingScale = 1;  // as sent since

    wl_surface* surface = nullptr;
    ext_session_lock_surface_v1* lockSurface = nullptr;
    bool configured = false;  // a configure arrived
    bool ackPending = false;  // its serial has not been acknowledged yet
    std::uint32_t serial = 0;
    QSize size;               // logical, from the last configure
    bool hasContent = false;  // a buffer has been committed
    int bufferScale = 1;      // as last set on the surface
    wl_callback* frame = nullptr;
    bool frameWanted = false;
    std::vector<std::unique_ptr<Buffer>> buffers;
    Buffer* front = nullptr;  // the last one committed, while still of the current size
  };

  explicit WaylandSessionLockPrivate(WaylandSessionLock* owner) : q(owner) {}
  ~WaylandSessionLockPrivate();

  WaylandSessionLock* q;
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  wl_seat* seat = nullptr;
  std::uint32_t seatGlobal = 0;
  std::uint32_t seatVersion = 0;
  wl_keyboard* keyboard = nullptr;
  wl_pointer* pointer = nullptr;
  ext_session_lock_manager_v1* manager = nullptr;
  zxdg_output_manager_v1* xdgOutputManager = nullptr;
  ext_session_lock_v1* lock = nullptr;
  State state = State::Unlocked;
  std::vector<std::unique_ptr<Output>> outputs;

  QString error;
  bool broken = false;
  std::unique_ptr<QSocketNotifier> readNotifier;
  std::unique_ptr<QSocketNotifier> writeNotifier;

  XkbKeyboard xkb;
  Output* keyboardFocus = nullptr;
  QTimer repeatTimer;
  std::uint32_t repeatCode = 0;
  int repeatRate = 25;  // keys per second; 0: no repeat
  int repeatDelay = 600;
  Output* pointerFocus = nullptr;
  QPointF pointerPosition;

  std::vector<std::function<void()>> pendingSignals;
  bool emitScheduled = false;

  // -- connection ---------------------------------------------------------
  bool connect();
  void readEvents();
  void flush();
  void fail();
  bool usable() const { return display && !broken; }

  // Queues a signal for the event loop, so that no slot ever runs inside
  // libwayland's dispatch or inside a call on this object.
  void post(std::function<void()> emitSignal);
  void emitPending();

  // -- outputs and lock surfaces -------------------------------------------
  void addOutput(std::uint32_t global, std::uint32_t version);
  void removeOutput(std::uint32_t global);
  void watchXdgOutput(Output& o);
  void announce(Output& o);
  Output* find(const QString& name) const;
  void createLockSurface(Output& o);
  void destroyLockSurface(Output& o);
  void destroyLockSurfaces();
  Buffer* freeBuffer(Output& o);
  std::unique_ptr<Buffer> createBuffer(QSize pixels, int scale);
  void addFrameCallback(Output& o);

  // -- input ----------------------------------------------------------------
  void setCapabilities(std::uint32_t capabilities);
  void releaseKeyboard();
  void releasePointer();
  void setKeyboardFocus(Output* o);
  void postKey(QEvent::Type type, const XkbKeyboard::Key& key, bool autoRepeat);
  void repeatKey();
};

namespace {

using Impl = WaylandSessionLockPrivate;
using Output = WaylandSessionLockPrivate::Output;

template <typename T>
void destroyProxyOnly(T*& proxy) {
  if (proxy) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(proxy));
  proxy = nullptr;
}

Output* outputOfSurface(wl_surface* surface) {
  return surface ? static_cast<Output*>(wl_surface_get_user_data(surface)) : nullptr;
}

const wl_seat_listener kSeatListener = {
    // capabilities
    [](void* data, wl_seat*, std::uint32_t capabilities) {
      static_cast<Impl*>(data)->setCapabilities(capabilities);
    },
    // name
    [](void*, wl_seat*, const char*) {},
};

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
  } else if (std::strcmp(interface, wl_seat_interface.name) == 0) {
    // The first seat only; lock clients rarely see more than one.
    if (!d->seat) {
      d->seatVersion = std::min(version, 7u);
      d->seatGlobal = name;
      d->seat = static_cast<wl_seat*>(bind(&wl_seat_interface, 7));
      wl_seat_add_listener(d->seat, &kSeatListener, d);
    }
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

// -- outputs ------------------------------------------------------------------

const wl_output_listener kOutputListener = {
    // geometry
    [](void*, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
       const char*, const char*, std::int32_t) {},
    // mode
    [](void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {},
    // done
    [](void* data, wl_output*) {
      auto* o = static_cast<Output*>(data);
      const bool scaleChanged = o->scale != o->pendingScale;
      o->scale = o->pendingScale;
      if (!o->announced) {
        o->d->announce(*o);
      } else if (scaleChanged && o->configured) {
        o->d->post(
            [q = o->d->q, name = o->name, size = o->size] { emit q->configured(name, size); });
      }
    },
    // scale
    [](void* data, wl_output*, std::int32_t factor) {
      static_cast<Output*>(data)->pendingScale = std::clamp(factor, 1, 16);
    },
    // name
    [](void* data, wl_output*, const char* name) {
      auto* o = static_cast<Output*>(data);
      if (!o->announced) o->name = QString::fromUtf8(name);
    },
    // description
    [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener kXdgOutputListener = {
    // logical_position
    [](void*, zxdg_output_v1*, std::int32_t, std::int32_t) {},
    // logical_size
    [](void*, zxdg_output_v1*, std::int32_t, std::int32_t) {},
    // done
    [](void* data, zxdg_output_v1*) {
      auto* o = static_cast<Output*>(data);
      if (!o->announced && !o->name.isEmpty()) o->d->announce(*o);
    },
    // name
    [](void* data, zxdg_output_v1*, const char* name) {
      auto* o = static_cast<Output*>(data);
      if (!o->announced && o->name.isEmpty()) o->name = QString::fromUtf8(name);
    },
    // description
    [](void*, zxdg_output_v1*, const char*) {},
};

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

const ext_session_lock_surface_v1_listener kLockSurfaceListener = {
    // configure: acknowledged only together with a buffer of that size
    [](void* data, ext_session_lock_surface_v1*, std::uint32_t serial, std::uint32_t width,
       std::uint32_t height) {
      auto* o = static_cast<Output*>(data);
      o->serial = serial;
      o->ackPending = true;
      o->configured = true;
      o->size = QSize(static_cast<int>(std::min(width, 1u << 15)),
                      static_cast<int>(std::min(height, 1u << 15)));
      if (o->announced)
        o->d->post(
            [q = o->d->q, name = o->name, size = o->size] { emit q->configured(name, size); });
    },
};

const wl_callback_listener kFrameListener = {
    [](void* data, wl_callback* callback, std::uint32_t) {
      auto* o = static_cast<Output*>(data);
      wl_callback_destroy(callback);
      o->frame = nullptr;
      o->frameWanted = false;
      o->d->post([q = o->d->q, name = o->name] { emit q->frameReady(name); });
    },
};

// Buffer user data is the Output; the buffer itself is found by its proxy.
const wl_buffer_listener kBufferListener = {
    [](void* data, wl_buffer* released) {
      auto* o = static_cast<Output*>(data);
      for (auto it = o->buffers.begin(); it != o->buffers.end(); ++it) {
        if ((*it)->buffer != released) continue;
        (*it)->busy = false;
        if ((*it)->retired) o->buffers.erase(it);
        return;
      }
    },
};

// -- keyboard and pointer -----------------------------------------------------

const wl_keyboard_listener kKeyboardListener = {
    // keymap
    [](void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd, std::uint32_t size) {
      auto* d = static_cast<Impl*>(data);
      d->xkb.reset();
      if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
        // Read-only and private: the compositor may share one sealed file
        // with every client.
        void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
          d->xkb.setKeymap(static_cast<const char*>(map), size);
          munmap(map, size);
        }
      }
      close(fd);
    },
    // enter
    [](void* data, wl_keyboard*, std::uint32_t, wl_surface* surface, wl_array*) {
      auto* d = static_cast<Impl*>(data);
      d->setKeyboardFocus(outputOfSurface(surface));
    },
    // leave
    [](void* data, wl_keyboard*, std::uint32_t, wl_surface*) {
      auto* d = static_cast<Impl*>(data);
      d->repeatTimer.stop();
      d->setKeyboardFocus(nullptr);
    },
    // key
    [](void* data, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t code,
       std::uint32_t state) {
      auto* d = static_cast<Impl*>(data);
      if (!d->xkb.hasKeymap()) return;
      const XkbKeyboard::Key key = d->xkb.translate(code);
      const bool pressed = state == WL_KEYBOARD_KEY_STATE_PRESSED;
      d->postKey(pressed ? QEvent::KeyPress : QEvent::KeyRelease, key, false);
      if (pressed && key.repeats && d->repeatRate > 0) {
        d->repeatCode = code;
        d->repeatTimer.start(d->repeatDelay);
      } else if (!pressed && code == d->repeatCode) {
        d->repeatTimer.stop();
      }
    },
    // modifiers
    [](void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed, std::uint32_t latched,
       std::uint32_t locked, std::uint32_t group) {
      static_cast<Impl*>(data)->xkb.updateModifiers(depressed, latched, locked, group);
    },
    // repeat_info
    [](void* data, wl_keyboard*, std::int32_t rate, std::int32_t delay) {
      auto* d = static_cast<Impl*>(data);
      d->repeatRate = std::max(rate, 0);
      d->repeatDelay = std::max(delay, 0);
      if (d->repeatRate == 0) d->repeatTimer.stop();
    },
};

const wl_pointer_listener kPointerListener = {
    // enter
    [](void* data, wl_pointer*, std::uint32_t, wl_surface* surface, wl_fixed_t x, wl_fixed_t y) {
      auto* d = static_cast<Impl*>(data);
      d->pointerFocus = outputOfSurface(surface);
      d->pointerPosition = QPointF(wl_fixed_to_double(x), wl_fixed_to_double(y));
    },
    // leave
    [](void* data, wl_pointer*, std::uint32_t, wl_surface*) {
      static_cast<Impl*>(data)->pointerFocus = nullptr;
    },
    // motion
    [](void* data, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
      static_cast<Impl*>(data)->pointerPosition =
          QPointF(wl_fixed_to_double(x), wl_fixed_to_double(y));
    },
    // button
    [](void* data, wl_pointer*, std::uint32_t, std::uint32_t, std::uint32_t code,
       std::uint32_t state) {
      auto* d = static_cast<Impl*>(data);
      if (!d->pointerFocus || !d->pointerFocus->announced) return;
      Qt::MouseButton button = Qt::NoButton;
      switch (code) {
        case BTN_LEFT:
          button = Qt::LeftButton;
          break;
        case BTN_RIGHT:
          button = Qt::RightButton;
          break;
        case BTN_MIDDLE:
          button = Qt::MiddleButton;
          break;
        case BTN_SIDE:
          button = Qt::BackButton;
          break;
        case BTN_EXTRA:
          button = Qt::ForwardButton;
          break;
        default:
          return;
      }
      d->post([q = d->q, name = d->pointerFocus->name, position = d->pointerPosition, button,
               pressed = state == WL_POINTER_BUTTON_STATE_PRESSED] {
        emit q->pointerButton(name, position, button, pressed);
      });
    },
    // axis
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t, wl_fixed_t) {},
    // frame
    [](void*, wl_pointer*) {},
    // axis_source
    [](void*, wl_pointer*, std::uint32_t) {},
    // axis_stop
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t) {},
    // axis_discrete
    [](void*, wl_pointer*, std::uint32_t, std::int32_t) {},
    // axis_value120 (seat version 8; never bound)
    [](void*, wl_pointer*, std::uint32_t, std::int32_t) {},
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

  readNotifier =
      std::make_unique<QSocketNotifier>(wl_display_get_fd(display), QSocketNotifier::Read);
  QObject::connect(readNotifier.get(), &QSocketNotifier::activated, q, [this] { readEvents(); });
  writeNotifier =
      std::make_unique<QSocketNotifier>(wl_display_get_fd(display), QSocketNotifier::Write);
  writeNotifier->setEnabled(false);
  QObject::connect(writeNotifier.get(), &QSocketNotifier::activated, q, [this] { flush(); });
  repeatTimer.setSingleShot(true);
  QObject::connect(&repeatTimer, &QTimer::timeout, q, [this] { repeatKey(); });
  return true;
}

void Impl::readEvents() {
  if (!usable()) return;
  // Events already queued (by a round trip) are dispatched before reading.
  while (wl_display_prepare_read(display) != 0) {
    if (wl_display_dispatch_pending(display) < 0) return fail();
  }
  // The socket is readable: this does not block. A closed socket is an
  // error here, so a dead compositor is reported instead of waking us
  // forever.
  if (wl_display_read_events(display) < 0) return fail();
  if (wl_display_dispatch_pending(display) < 0) return fail();
  flush();
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

void Impl::fail() {
  if (broken) return;
  broken = true;
  const int code = wl_display_get_error(display);
  if (code == EPROTO) {
    const wl_interface* interface = nullptr;
    std::uint32_t id = 0;
    const std::uint32_t protocolCode = wl_display_get_protocol_error(display, &interface, &id);
    error = QStringLiteral("protocol error %1 on %2@%3")
                .arg(protocolCode)
                .arg(QString::fromLatin1(interface ? interface->name : "unknown"))
                .arg(id);
  } else {
    error = QStringLiteral("the Wayland connection broke: %1")
                .arg(QString::fromLocal8Bit(strerror(code ? code : errno)));
  }
  if (readNotifier) readNotifier->setEnabled(false);
  if (writeNotifier) writeNotifier->setEnabled(false);
  repeatTimer.stop();
  post([q = q, reason = error] { emit q->connectionLost(reason); });
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
  repeatTimer.stop();
  for (auto& o : outputs) {
    destroyLockSurface(*o);
    if (o->xdgOutput) zxdg_output_v1_destroy(o->xdgOutput);
    wl_output_destroy(o->output);
  }
  outputs.clear();
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
  if (compositor) wl_compositor_destroy(compositor);
  if (registry) wl_registry_destroy(registry);
  if (!broken) wl_display_flush(display);
  readNotifier.reset();
  writeNotifier.reset();
  wl_display_disconnect(display);
}

// -- outputs ----------------------------------------------------------------------

void Impl::addOutput(std::uint32_t global, std::uint32_t version) {
  auto o = std::make_unique<Output>();
  o->d = this;
  o->global = global;
  o->version = std::min(version, 4u);
  o->output =
      static_cast<wl_output*>(wl_registry_bind(registry, global, &wl_output_interface, o->version));
  wl_output_add_listener(o->output, &kOutputListener, o.get());
  if (o->version < 4) watchXdgOutput(*o);
  Output& added = *o;
  outputs.push_back(std::move(o));
  // Version 1 sends no done event.
  if (added.version < 2 && !added.xdgOutput) announce(added);
  if (lock) createLockSurface(added);
}

void Impl::watchXdgOutput(Output& o) {
  if (o.xdgOutput || o.version >= 4 || !xdgOutputManager) return;
  o.xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputManager, o.output);
  zxdg_output_v1_add_listener(o.xdgOutput, &kXdgOutputListener, &o);
}

void Impl::announce(Output& o) {
  if (o.announced) return;
  if (o.name.isEmpty()) o.name = QStringLiteral("wl_output-%1").arg(o.global);
  o.announced = true;
  post([q = q, name = o.name] { emit q->outputAdded(name); });
  if (o.configured) post([q = q, name = o.name, size = o.size] { emit q->configured(name, size); });
}

void Impl::removeOutput(std::uint32_t global) {
  const auto it = std::find_if(outputs.begin(), outputs.end(),
                               [global](const auto& o) { return o->global == global; });
  if (it == outputs.end()) return;
  Output& o = **it;
  destroyLockSurface(o);
  if (pointerFocus == &o) pointerFocus = nullptr;
  if (o.announced) post([q = q, name = o.name] { emit q->outputRemoved(name); });
  if (o.xdgOutput) zxdg_output_v1_destroy(o.xdgOutput);
  if (o.version >= 3)
    wl_output_release(o.output);
  else
    wl_output_destroy(o.output);
  outputs.erase(it);
}

Output* Impl::find(const QString& name) const {
  for (const auto& o : outputs) {
    if (o->announced && o->name == name) return o.get();
  }
  return nullptr;
}

void Impl::createLockSurface(Output& o) {
  if (o.lockSurface || !lock || !compositor) return;
  o.surface = wl_compositor_create_surface(compositor);
  wl_surface_set_user_data(o.surface, &o);
  o.lockSurface = ext_session_lock_v1_get_lock_surface(lock, o.surface, o.output);
  ext_session_lock_surface_v1_add_listener(o.lockSurface, &kLockSurfaceListener, &o);
}

void Impl::destroyLockSurface(Output& o) {
  if (keyboardFocus == &o) setKeyboardFocus(nullptr);
  if (o.frame) wl_callback_destroy(o.frame);
  o.frame = nullptr;
  o.frameWanted = false;
  o.front = nullptr;
  o.buffers.clear();
  if (o.lockSurface) ext_session_lock_surface_v1_destroy(o.lockSurface);
  if (o.surface) wl_surface_destroy(o.surface);
  o.lockSurface = nullptr;
  o.surface = nullptr;
  o.configured = false;
  o.ackPending = false;
  o.size = QSize();
  o.hasContent = false;
  o.bufferScale = 1;
}

void Impl::destroyLockSurfaces() {
  for (auto& o : outputs) destroyLockSurface(*o);
}

// -- painting ---------------------------------------------------------------------

std::unique_ptr<Buffer> Impl::createBuffer(QSize pixels, int scale) {
  const std::size_t stride = static_cast<std::size_t>(pixels.width()) * 4;
  const std::size_t bytes = stride * static_cast<std::size_t>(pixels.height());
  if (pixels.isEmpty() || bytes > INT32_MAX) return nullptr;
  const int fd = memfd_create("umbrafold-lock-surface", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return nullptr;
  void* data = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(bytes)) == 0)
    data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    close(fd);
    return nullptr;
  }
  // The compositor may rely on the file never shrinking under it.
  fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL);
  auto b = std::make_unique<Buffer>();
  b->data = data;
  b->bytes = bytes;
  b->pixels = pixels;
  b->scale = scale;
  wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(bytes));
  b->buffer = wl_shm_pool_create_buffer(pool, 0, pixels.width(), pixels.height(),
                                        static_cast<std::int32_t>(stride), WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  return b;
}

Buffer* Impl::freeBuffer(Output& o) {
  const QSize pixels = o.size * o.scale;
  // Buffers of an old size or scale go once the compositor lets them go.
  for (auto& b : o.buffers) {
    if (b->pixels != pixels || b->scale != o.scale) {
      b->retired = true;
      if (o.front == b.get()) o.front = nullptr;
    }
  }
  std::erase_if(o.buffers, [](const auto& b) { return b->retired && !b->busy; });
  for (auto& b : o.buffers) {
    if (!b->busy && !b->retired && b.get() != o.front) return b.get();
  }
  const auto current =
      std::count_if(o.buffers.begin(), o.buffers.end(), [](const auto& b) { return !b->retired; });
  // Two buffers of the current size: one shown, one drawn into.
  if (current >= 2) return nullptr;
  std::unique_ptr<Buffer> b = createBuffer(pixels, o.scale);
  if (!b) return nullptr;
  wl_buffer_add_listener(b->buffer, &kBufferListener, &o);
  b->stale = QRegion(QRect(QPoint(), o.size));
  o.buffers.push_back(std::move(b));
  return o.buffers.back().get();
}

void Impl::addFrameCallback(Output& o) {
  if (o.frame) return;
  o.frame = wl_surface_frame(o.surface);
  wl_callback_add_listener(o.frame, &kFrameListener, &o);
}

// -- input ------------------------------------------------------------------------

void Impl::setCapabilities(std::uint32_t capabilities) {
  const bool hasKeyboard = capabilities & WL_SEAT_CAPABILITY_KEYBOARD;
  const bool hasPointer = capabilities & WL_SEAT_CAPABILITY_POINTER;
  // A virtual keyboard coming and going takes the capability with it; each
  // time it returns, a new wl_keyboard gets the new keymap.
  if (hasKeyboard && !keyboard) {
    keyboard = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(keyboard, &kKeyboardListener, this);
  } else if (!hasKeyboard && keyboard) {
    releaseKeyboard();
  }
  if (hasPointer && !pointer) {
    pointer = wl_seat_get_pointer(seat);
    wl_pointer_add_listener(pointer, &kPointerListener, this);
  } else if (!hasPointer && pointer) {
    releasePointer();
  }
}

void Impl::releaseKeyboard() {
  repeatTimer.stop();
  setKeyboardFocus(nullptr);
  xkb.reset();
  if (!keyboard) return;
  if (seatVersion >= WL_KEYBOARD_RELEASE_SINCE_VERSION)
    wl_keyboard_release(keyboard);
  else
    wl_keyboard_destroy(keyboard);
  keyboard = nullptr;
}

void Impl::releasePointer() {
  pointerFocus = nullptr;
  if (!pointer) return;
  if (seatVersion >= WL_POINTER_RELEASE_SINCE_VERSION)
    wl_pointer_release(pointer);
  else
    wl_pointer_destroy(pointer);
  pointer = nullptr;
}

void Impl::setKeyboardFocus(Output* o) {
  if (o == keyboardFocus) return;
  keyboardFocus = o;
  post([q = q, name = o && o->announced ? o->name : QString()] {
    emit q->keyboardFocusChanged(name);
  });
}

void Impl::postKey(QEvent::Type type, const XkbKeyboard::Key& key, bool autoRepeat) {
  post([q = q, type, key, autoRepeat] {
    emit q->keyEvent(type, key.key, key.modifiers, key.text, autoRepeat);
  });
}

void Impl::repeatKey() {
  if (!usable() || !xkb.hasKeymap() || repeatRate <= 0) return;
  const XkbKeyboard::Key key = xkb.translate(repeatCode);
  postKey(QEvent::KeyRelease, key, true);
  postKey(QEvent::KeyPress, key, true);
  repeatTimer.start(std::max(1, 1000 / repeatRate));
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

QStringList WaylandSessionLock::outputs() const {
  QStringList names;
  for (const auto& o : d_->outputs) {
    if (o->announced) names << o->name;
  }
  return names;
}

QSize WaylandSessionLock::surfaceSize(const QString& output) const {
  const WaylandSessionLockPrivate::Output* o = d_->find(output);
  return o && o->configured ? o->size : QSize();
}

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

bool WaylandSessionLock::paint(const QString& output, const QRegion& damage, const Draw& draw) {
  WaylandSessionLockPrivate::Output* o = d_->find(output);
  if (!d_->usable() || !o || !o->lockSurface || !o->configured || o->size.isEmpty()) return false;
  const QRect whole(QPoint(), o->size);
  Buffer* b = d_->freeBuffer(*o);
  if (!b) return false;
  // With no content of this size on screen, every pixel is drawn anew.
  QRegion region = o->front ? (damage & whole) : QRegion(whole);
  if (region.isEmpty() && !o->ackPending) return true;

  QImage image(static_cast<uchar*>(b->data), b->pixels.width(), b->pixels.height(), b->stride(),
               QImage::Format_RGB32);
  image.setDevicePixelRatio(o->scale);
  if (o->front) {
    // Bring the pixels outside the damage up to date with what is shown.
    const int scale = o->scale;
    for (const QRect& r : b->stale - region) {
      const QRect px(r.topLeft() * scale, r.size() * scale);
      for (int y = px.top(); y <= px.bottom(); ++y) {
        const std::size_t offset = static_cast<std::size_t>(y) * b->stride() + px.left() * 4;
        std::memcpy(static_cast<char*>(b->data) + offset,
                    static_cast<const char*>(o->front->data) + offset,
                    static_cast<std::size_t>(px.width()) * 4);
      }
    }
  }
  draw(image, region);
  for (auto& other : o->buffers) {
    if (other.get() != b) other->stale += region;
  }
  b->stale = QRegion();

  // A configure is acknowledged only with a buffer of its size, in the same
  // commit: anything else is a protocol error that leaves the session locked
  // with nobody to unlock it.
  if (o->ackPending) {
    ext_session_lock_surface_v1_ack_configure(o->lockSurface, o->serial);
    o->ackPending = false;
  }
  if (o->bufferScale != o->scale) {
    wl_surface_set_buffer_scale(o->surface, o->scale);
    o->bufferScale = o->scale;
  }
  wl_surface_attach(o->surface, b->buffer, 0, 0);
  for (const QRect& r : region) {
    wl_surface_damage_buffer(o->surface, r.x() * o->scale, r.y() * o->scale, r.width() * o->scale,
                             r.height() * o->scale);
  }
  if (o->frameWanted) d_->addFrameCallback(*o);
  wl_surface_commit(o->surface);
  b->busy = true;
  o->front = b;
  o->hasContent = true;
  d_->flush();
  return true;
}

void WaylandSessionLock::requestFrame(const QString& output) {
  WaylandSessionLockPrivate::Output* o = d_->find(output);
  if (!d_->usable() || !o || !o->lockSurface || o->frame) return;
  o->frameWanted = true;
  // A commit without a new buffer keeps the content; it is allowed only once
  // a buffer is there, and only while no new size awaits its buffer.
  if (!o->hasContent || o->ackPending) return;
  d_->addFrameCallback(*o);
  wl_surface_commit(o->surface);
  d_->flush();
}

}  // namespace umbrafold
