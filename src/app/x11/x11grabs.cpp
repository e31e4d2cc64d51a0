#include "x11grabs.h"

#include <xcb/xcb.h>
#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>

#include <chrono>
#include <cstdio>
#include <thread>

#include "xcbconnection.h"

namespace umbrafold::x11 {

namespace {

using namespace std::chrono_literals;

// How long a grab is retried while another client holds the device, and how
// often. A menu or a drag in another client usually lets go within this time.
constexpr auto kGrabPatience = 1000ms;
constexpr auto kGrabRetry = 50ms;

xcb_window_t rootOf(xcb_connection_t* c) {
  return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
}

bool waitBeforeRetry(const QElapsedTimer& elapsed) {
  if (elapsed.elapsed() >= std::chrono::milliseconds(kGrabPatience).count()) return false;
  std::this_thread::sleep_for(kGrabRetry);
  return true;
}

}  // namespace

Grabs::Grabs() {
  retry_.setSingleShot(true);
  retry_.setInterval(kGrabRetry);
  QObject::connect(&retry_, &QTimer::timeout, [this] { takeBack(); });
  QCoreApplication::instance()->installNativeEventFilter(this);
}

Grabs::~Grabs() {
  if (!QCoreApplication::instance()) return;
  QCoreApplication::instance()->removeNativeEventFilter(this);
  if (qGuiApp) release();
}

bool Grabs::take() {
  if (held_) return true;
  if (!qtConnection() || qEnvironmentVariableIsSet("WAYLAND_DISPLAY")) return false;
  if (keys_.killsGrabs()) {
    std::fputs(
        "umbrafold: the keyboard map lets Ctrl+Alt+KP_Multiply (XF86ClearGrab) kill any "
        "program that holds the keyboard, so the curtain could be taken down without the "
        "password; remove the XKB option grab:break_actions (setxkbmap -option) first\n",
        stderr);
    return false;
  }
  QElapsedTimer elapsed;
  elapsed.start();
  while (!keyboard_) {
    keyboard_ = grabKeyboardOnce();
    if (!keyboard_ && !waitBeforeRetry(elapsed)) break;
  }
  while (keyboard_ && !pointer_) {
    pointer_ = grabPointerOnce();
    if (!pointer_ && !waitBeforeRetry(elapsed)) break;
  }
  if (!keyboard_ || !pointer_) {
    release();
    return false;
  }
  held_ = true;
  disarmKeys();
  return true;
}

void Grabs::release() {
  retry_.stop();
  xcb_connection_t* c = qtConnection();
  if (!c) return;
  const bool any = pointer_ || keyboard_;
  if (pointer_) xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
  if (keyboard_) xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
  pointer_ = keyboard_ = held_ = false;
  if (any) {
    keys_.restore();
    xcb_flush(c);
  }
}

bool Grabs::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (!held_ || eventType != "xcb_generic_event_t") return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  const std::uint8_t type = event->response_type & 0x7f;
  if (type == XCB_FOCUS_IN || type == XCB_FOCUS_OUT) {
    // Both carry the mode at the same place.
    const auto* focus = static_cast<const xcb_focus_in_event_t*>(message);
    if (focus->mode == XCB_NOTIFY_MODE_UNGRAB) takeBack();
  } else if (keys_.isMapChange(message)) {
    disarmKeys();
  }
  return false;
}

bool Grabs::grabKeyboardOnce() {
  xcb_connection_t* c = qtConnection();
  auto answer =
      reply(xcb_grab_keyboard_reply(c,
                                    xcb_grab_keyboard(c, 1, rootOf(c), XCB_CURRENT_TIME,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                    nullptr));
  return answer && answer->status == XCB_GRAB_STATUS_SUCCESS;
}

bool Grabs::grabPointerOnce() {
  xcb_connection_t* c = qtConnection();
  auto answer = reply(xcb_grab_pointer_reply(
      c,
      xcb_grab_pointer(c, 1, rootOf(c), 0, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                       XCB_WINDOW_NONE, XCB_CURSOR_NONE, XCB_CURRENT_TIME),
      nullptr));
  return answer && answer->status == XCB_GRAB_STATUS_SUCCESS;
}

// The server let go of our grabs (or may have): take them again now, and
// keep trying every few milliseconds while another client got in first.
// Grabbing what this client already holds is harmless.
void Grabs::takeBack() {
  if (!held_) return;
  const bool keyboard = grabKeyboardOnce();
  const bool pointer = grabPointerOnce();
  if (!keyboard || !pointer) retry_.start();
}

void Grabs::disarmKeys() {
  if (!keys_.disarm()) {
    std::fputs(
        "umbrafold: the keyboard map has a key that breaks grabs (XKB option "
        "grab:break_actions) and the X server did not let it be removed; the curtain stays "
        "up, but that key can end it without the password\n",
        stderr);
  }
}

}  // namespace umbrafold::x11
