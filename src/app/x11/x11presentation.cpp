// Presentation on X11: "disable process switching" is an active grab of the
// keyboard and the pointer on the root window, and covering is keeping the
// curtains' windows on top of every other child of the root.

#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>
#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "presentation.h"
#include "x11window.h"

namespace umbrafold {
namespace {

using namespace std::chrono_literals;

// How long a grab is retried while another client holds the device, and how
// often. A menu or a drag in another client usually lets go within this time.
constexpr auto kGrabPatience = 1000ms;
constexpr auto kGrabRetry = 50ms;

xcb_connection_t* qtConnection() {
  auto* app = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return app ? app->connection() : nullptr;
}

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
  xcb_atom_t atom = XCB_ATOM_NONE;
  if (reply) atom = reply->atom;
  std::free(reply);
  return atom;
}

class X11Presentation final : public Presentation, public QAbstractNativeEventFilter {
 public:
  X11Presentation() : c_(qtConnection()) {
    if (c_) {
      root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
      bypassCompositor_ = internAtom(c_, "_NET_WM_BYPASS_COMPOSITOR");
    }
    restackTimer_.setSingleShot(true);
    restackTimer_.setInterval(0);
    QObject::connect(&restackTimer_, &QTimer::timeout, [this] { restackCurtains(); });
  }

  // Gives back what it holds, as long as Qt's connection is still there.
  ~X11Presentation() override {
    if (!qGuiApp) return;
    stopWatching();
    releaseGrabs();
  }

  PresentationOptions options() const override { return current_; }

  bool setOptions(PresentationOptions options) override {
    const bool wantsGrab = (options.raw & PresentationOptions::disableProcessSwitching) != 0;
    if (wantsGrab && !(keyboard_ && pointer_) && !grab()) return false;
    if (!wantsGrab) releaseGrabs();
    current_ = options;
    return true;
  }

  void cover(QWidget* curtain) override {
    if (!c_ || !curtain) return;
    const auto window = static_cast<xcb_window_t>(curtain->winId());
    if (bypassCompositor_ != XCB_ATOM_NONE) {
      const std::uint32_t one = 1;
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, bypassCompositor_, XCB_ATOM_CARDINAL,
                          32, 1, &one);
    }
    if (!isCurtain(window)) covered_.push_back({curtain, window});
    startWatching();
    x11::raiseAbove(window);
  }

  void uncover(QWidget* curtain) override {
    std::erase_if(covered_, [curtain](const Covered& covered) {
      return covered.widget.isNull() || covered.widget == curtain;
    });
    if (covered_.empty()) stopWatching();
  }

  // Sees every event of Qt's connection before Qt does. Another client's
  // window mapped or restacked among the root's children may now be above a
  // curtain: restack the curtains on the next turn of the event loop (one
  // restack for a burst of events). The curtains' own events are ignored, so
  // restacking them does not feed itself.
  //
  // A child's ConfigureNotify reported on the root reaches Qt only because of
  // the SubstructureNotify asked for here, and Qt takes any ConfigureNotify
  // on the root for a resized root: it queries every monitor again (a few
  // dozen round trips to the server, tens of milliseconds, on the GUI
  // thread, delaying the curtains' first paint). Such events are kept from
  // Qt unless Qt had asked for them itself.
  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
    if (eventType != "xcb_generic_event_t" || covered_.empty()) return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    switch (event->response_type & 0x7f) {
      case XCB_MAP_NOTIFY: {
        const auto* map = reinterpret_cast<const xcb_map_notify_event_t*>(event);
        if (map->event == root_ && !isCurtain(map->window)) restackTimer_.start();
        break;
      }
      case XCB_CONFIGURE_NOTIFY: {
        const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
        if (configure->event != root_ || configure->window == root_) break;
        if (!isCurtain(configure->window)) restackTimer_.start();
        return (rootMask_ & XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY) == 0;
      }
      default:
        break;
    }
    return false;
  }

 private:
  struct Covered {
    QPointer<QWidget> widget;
    xcb_window_t window;
  };

  // Takes the keyboard, then the pointer, each retried for up to about one
  // second while another client holds it. On failure releases what it took.
  bool grab() {
    if (!c_ || qEnvironmentVariableIsSet("WAYLAND_DISPLAY")) return false;
    QElapsedTimer elapsed;
    elapsed.start();
    const auto patience = std::chrono::milliseconds(kGrabPatience).count();
    while (!keyboard_) {
      xcb_grab_keyboard_reply_t* reply =
          xcb_grab_keyboard_reply(c_,
                                  xcb_grab_keyboard(c_, 1, root_, XCB_CURRENT_TIME,
                                                    XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                  nullptr);
      keyboard_ = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
      std::free(reply);
      if (!keyboard_ && !waitBeforeRetry(elapsed, patience)) break;
    }
    while (keyboard_ && !pointer_) {
      xcb_grab_pointer_reply_t* reply = xcb_grab_pointer_reply(
          c_,
          xcb_grab_pointer(c_, 1, root_, 0, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                           XCB_WINDOW_NONE, XCB_CURSOR_NONE, XCB_CURRENT_TIME),
          nullptr);
      pointer_ = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
      std::free(reply);
      if (!pointer_ && !waitBeforeRetry(elapsed, patience)) break;
    }
    if (keyboard_ && pointer_) return true;
    releaseGrabs();
    return false;
  }

  static bool waitBeforeRetry(const QElapsedTimer& elapsed, qint64 patience) {
    if (elapsed.elapsed() >= patience) return false;
    std::this_thread::sleep_for(kGrabRetry);
    return true;
  }

  void releaseGrabs() {
    if (!c_) return;
    if (pointer_) xcb_ungrab_pointer(c_, XCB_CURRENT_TIME);
    if (keyboard_) xcb_ungrab_keyboard(c_, XCB_CURRENT_TIME);
    if (pointer_ || keyboard_) xcb_flush(c_);
    pointer_ = keyboard_ = false;
  }

  bool isCurtain(xcb_window_t window) const {
    return std::any_of(covered_.begin(), covered_.end(),
                       [window](const Covered& covered) { return covered.window == window; });
  }

  // Asks for the root's SubstructureNotify, keeping whatever else Qt selected
  // there (changing the attribute replaces this client's whole mask).
  void startWatching() {
    if (watching_) return;
    xcb_get_window_attributes_reply_t* attributes =
        xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, root_), nullptr);
    if (!attributes) return;
    rootMask_ = attributes->your_event_mask;
    std::free(attributes);
    const std::uint32_t mask = rootMask_ | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c_, root_, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c_);
    QCoreApplication::instance()->installNativeEventFilter(this);
    watching_ = true;
  }

  void stopWatching() {
    restackTimer_.stop();
    if (!watching_) return;
    QCoreApplication::instance()->removeNativeEventFilter(this);
    xcb_change_window_attributes(c_, root_, XCB_CW_EVENT_MASK, &rootMask_);
    xcb_flush(c_);
    watching_ = false;
  }

  void restackCurtains() {
    for (const Covered& covered : covered_) {
      if (covered.widget && covered.widget->isVisible()) x11::raiseAbove(covered.window);
    }
  }

  xcb_connection_t* c_ = nullptr;
  xcb_window_t root_ = XCB_WINDOW_NONE;
  xcb_atom_t bypassCompositor_ = XCB_ATOM_NONE;
  PresentationOptions current_;
  bool keyboard_ = false;
  bool pointer_ = false;
  std::vector<Covered> covered_;
  bool watching_ = false;
  std::uint32_t rootMask_ = 0;
  QTimer restackTimer_;
};

}  // namespace

std::unique_ptr<Presentation> makeX11Presentation() { return std::make_unique<X11Presentation>(); }

}  // namespace umbrafold
