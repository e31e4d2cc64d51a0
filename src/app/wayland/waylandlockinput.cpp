#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "waylandlockprivate.h"

namespace umbrafold {

namespace {

using Impl = WaylandSessionLockPrivate;

const wl_seat_listener kSeatListener = {
    // capabilities
    [](void* data, wl_seat*, std::uint32_t capabilities) {
      static_cast<Impl*>(data)->setCapabilities(capabilities);
    },
    // name
    [](void*, wl_seat*, const char*) {},
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
      d->noteIndicators();
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
      auto* d = static_cast<Impl*>(data);
      d->xkb.updateModifiers(depressed, latched, locked, group);
      d->noteIndicators();
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

void Impl::addSeat(std::uint32_t global, std::uint32_t version) {
  // The first seat only; lock clients rarely see more than one.
  if (seat) return;
  seatVersion = std::min(version, 7u);
  seatGlobal = global;
  seat = static_cast<wl_seat*>(wl_registry_bind(registry, global, &wl_seat_interface, seatVersion));
  wl_seat_add_listener(seat, &kSeatListener, this);
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

void Impl::noteIndicators() {
  const bool capsNow = xkb.capsLock();
  QString layoutNow = xkb.layoutName();
  if (capsNow == capsLock && layoutNow == layout) return;
  capsLock = capsNow;
  layout = layoutNow;
  post([q = q, capsNow, layoutNow = std::move(layoutNow)] {
    emit q->keyboardIndicatorsChanged(capsNow, layoutNow);
  });
}

void Impl::repeatKey() {
  if (!usable() || !xkb.hasKeymap() || repeatRate <= 0) return;
  const XkbKeyboard::Key key = xkb.translate(repeatCode);
  postKey(QEvent::KeyRelease, key, true);
  postKey(QEvent::KeyPress, key, true);
  repeatTimer.start(std::max(1, 1000 / repeatRate));
}

}  // namespace umbrafold
