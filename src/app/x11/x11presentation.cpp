// Presentation on X11: "disable process switching" is an active grab of the
// keyboard and the pointer on the root window, and covering is keeping the
// curtains' windows mapped, in place and on top of every other child of the
// root, whatever other clients do to them.

#include <xcb/randr.h>
#include <xcb/xcb.h>
// xkb.h names a field "explicit", a C++ keyword.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wkeyword-macro"
#endif
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#ifdef __clang__
#pragma clang diagnostic pop
#endif
#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <strings.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "presentation.h"
#include "x11window.h"
#include "xcbconnection.h"

namespace umbrafold {
namespace {

using namespace std::chrono_literals;

// How long a grab is retried while another client holds the device, and how
// often. A menu or a drag in another client usually lets go within this time.
constexpr auto kGrabPatience = 1000ms;
constexpr auto kGrabRetry = 50ms;

// The type of XKB's server-private actions (XkbSA_XFree86Private).
constexpr unsigned char kPrivateAction = 0x86;

// The class of the curtains' windows (instance and class name), distinct
// from the setup window's.
constexpr char kCurtainClass[] = "umbrafold-curtain\0Umbrafold-curtain";

using x11::qtConnection;
using x11::reply;
using x11::Reply;

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
  auto answer = reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
  return answer ? answer->atom : xcb_atom_t{XCB_ATOM_NONE};
}

struct Rect {
  std::int32_t x = 0, y = 0;
  std::uint32_t width = 0, height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

class X11Presentation final : public Presentation, public QAbstractNativeEventFilter {
 public:
  X11Presentation() : c_(qtConnection()) {
    if (c_) {
      const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
      root_ = screen->root;
      white_ = screen->white_pixel;
      bypassCompositor_ = internAtom(c_, "_NET_WM_BYPASS_COMPOSITOR");
    }
    retryGrab_.setSingleShot(true);
    retryGrab_.setInterval(kGrabRetry);
    QObject::connect(&retryGrab_, &QTimer::timeout, [this] { takeGrabsBack(); });
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

  void cover(QWidget* curtain, const QString& display) override {
    if (!c_ || !curtain) return;
    const auto window = static_cast<xcb_window_t>(curtain->winId());
    if (bypassCompositor_ != XCB_ATOM_NONE) {
      const std::uint32_t one = 1;
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, bypassCompositor_, XCB_ATOM_CARDINAL,
                          32, 1, &one);
    }
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        sizeof kCurtainClass, kCurtainClass);
    // Whatever the curtain has not painted (yet) is white, never what was on
    // the screen before; and the curtain hears when it is covered up.
    const std::uint32_t background = white_;
    xcb_change_window_attributes(c_, window, XCB_CW_BACK_PIXEL, &background);
    selectVisibility(window);

    Covered* covered = find(window);
    if (!covered) {
      covered_.push_back({curtain, window, {}});
      covered = &covered_.back();
    }
    covered->frame = monitorFrame(display).value_or(currentFrame(window));
    placeExactly(*covered);
    startWatching();
    x11::raiseAbove(window);
  }

  void uncover(QWidget* curtain) override {
    std::erase_if(covered_, [curtain](const Covered& covered) {
      return covered.widget.isNull() || covered.widget == curtain;
    });
    if (covered_.empty()) stopWatching();
  }

  // Sees every event of Qt's connection before Qt does, and answers at once,
  // not a turn of the event loop later:
  // - another client's window mapped, moved, restacked or circulated among
  //   the root's children may now be above a curtain: raise the curtains;
  // - a curtain unmapped, moved, resized or taken from the root by another
  //   client: put it back; a curtain covered up: raise the curtains;
  // - a grab broken by the server (XKB's Ungrab action): take it back.
  //
  // A child's ConfigureNotify reported on the root reaches Qt only because of
  // the SubstructureNotify asked for here, and Qt takes any ConfigureNotify
  // on the root for a resized root: it queries every monitor again (a few
  // dozen round trips to the server, tens of milliseconds, on the GUI
  // thread). Such events are kept from Qt unless Qt had asked for them.
  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
    if (eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type == XCB_FOCUS_IN || type == XCB_FOCUS_OUT) {
      // Both carry the mode at the same place.
      const auto* focus = reinterpret_cast<const xcb_focus_in_event_t*>(event);
      if (focus->mode == XCB_NOTIFY_MODE_UNGRAB && (keyboard_ || pointer_)) takeGrabsBack();
      return false;
    }
    if (covered_.empty()) return false;
    switch (type) {
      case XCB_MAP_NOTIFY: {
        const auto* map = reinterpret_cast<const xcb_map_notify_event_t*>(event);
        if (map->event == root_ && !find(map->window)) restackCurtains();
        break;
      }
      case XCB_CONFIGURE_NOTIFY: {
        const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
        if (configure->event != root_ || configure->window == root_) break;
        if (Covered* curtain = find(configure->window)) {
          const Rect now{configure->x, configure->y, configure->width, configure->height};
          if (now != curtain->frame) placeExactly(*curtain);
        } else {
          restackCurtains();
        }
        return (rootMask_ & XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY) == 0;
      }
      case XCB_CIRCULATE_NOTIFY: {
        const auto* circulate = reinterpret_cast<const xcb_circulate_notify_event_t*>(event);
        if (circulate->event == root_) restackCurtains();
        break;
      }
      case XCB_UNMAP_NOTIFY: {
        const auto* unmap = reinterpret_cast<const xcb_unmap_notify_event_t*>(event);
        Covered* curtain = unmap->event == root_ ? find(unmap->window) : nullptr;
        if (curtain && curtain->widget && curtain->widget->isVisible()) {
          xcb_map_window(c_, curtain->window);
          x11::raiseAbove(curtain->window);
        }
        break;
      }
      case XCB_REPARENT_NOTIFY: {
        const auto* reparent = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
        Covered* curtain = find(reparent->window);
        if (curtain && reparent->parent != root_) {
          xcb_reparent_window(c_, curtain->window, root_,
                              static_cast<std::int16_t>(curtain->frame.x),
                              static_cast<std::int16_t>(curtain->frame.y));
          if (curtain->widget && curtain->widget->isVisible()) xcb_map_window(c_, curtain->window);
          x11::raiseAbove(curtain->window);
        }
        break;
      }
      case XCB_VISIBILITY_NOTIFY: {
        const auto* visibility = reinterpret_cast<const xcb_visibility_notify_event_t*>(event);
        if (visibility->state != XCB_VISIBILITY_UNOBSCURED && find(visibility->window) &&
            !curtainsOnTop()) {
          restackCurtains();
        }
        break;
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
    Rect frame;  // where the window must stay, in device pixels
  };

  // Takes the keyboard, then the pointer, each retried for up to about one
  // second while another client holds it. On failure releases what it took.
  bool grab() {
    if (!c_ || qEnvironmentVariableIsSet("WAYLAND_DISPLAY")) return false;
    if (keymapClearsGrabs()) {
      std::fputs(
          "umbrafold: the keyboard map lets Ctrl+Alt+KP_Multiply (XF86ClearGrab) kill any "
          "program that holds the keyboard, so the curtain could be taken down without the "
          "password; remove the XKB option grab:break_actions (setxkbmap -option) first\n",
          stderr);
      return false;
    }
    QElapsedTimer elapsed;
    elapsed.start();
    const auto patience = std::chrono::milliseconds(kGrabPatience).count();
    while (!keyboard_) {
      keyboard_ = grabKeyboardOnce();
      if (!keyboard_ && !waitBeforeRetry(elapsed, patience)) break;
    }
    while (keyboard_ && !pointer_) {
      pointer_ = grabPointerOnce();
      if (!pointer_ && !waitBeforeRetry(elapsed, patience)) break;
    }
    if (keyboard_ && pointer_) return true;
    releaseGrabs();
    return false;
  }

  bool grabKeyboardOnce() {
    auto answer = reply(xcb_grab_keyboard_reply(
        c_,
        xcb_grab_keyboard(c_, 1, root_, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
        nullptr));
    return answer && answer->status == XCB_GRAB_STATUS_SUCCESS;
  }

  bool grabPointerOnce() {
    auto answer = reply(xcb_grab_pointer_reply(
        c_,
        xcb_grab_pointer(c_, 1, root_, 0, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_WINDOW_NONE,
                         XCB_CURSOR_NONE, XCB_CURRENT_TIME),
        nullptr));
    return answer && answer->status == XCB_GRAB_STATUS_SUCCESS;
  }

  // The server let go of our grabs (or may have): take them again now, and
  // keep trying every few milliseconds while another client got in first.
  // Grabbing what this client already holds is harmless.
  void takeGrabsBack() {
    if (!c_ || !(current_.raw & PresentationOptions::disableProcessSwitching)) return;
    const bool keyboard = grabKeyboardOnce();
    const bool pointer = grabPointerOnce();
    if (!keyboard || !pointer) retryGrab_.start();
  }

  static bool waitBeforeRetry(const QElapsedTimer& elapsed, qint64 patience) {
    if (elapsed.elapsed() >= patience) return false;
    std::this_thread::sleep_for(kGrabRetry);
    return true;
  }

  void releaseGrabs() {
    retryGrab_.stop();
    if (!c_) return;
    if (pointer_) xcb_ungrab_pointer(c_, XCB_CURRENT_TIME);
    if (keyboard_) xcb_ungrab_keyboard(c_, XCB_CURRENT_TIME);
    if (pointer_ || keyboard_) xcb_flush(c_);
    pointer_ = keyboard_ = false;
  }

  // Whether a key of the current keyboard map carries the XKB action that
  // makes the server kill every client holding a grab (the private action
  // "ClsGrb", bound to Ctrl+Alt+KP_Multiply by grab:break_actions). The
  // keysym alone is on most maps without the action.
  bool keymapClearsGrabs() const {
    auto map = reply(xcb_xkb_get_map_reply(
        c_,
        xcb_xkb_get_map(c_, XCB_XKB_ID_USE_CORE_KBD, XCB_XKB_MAP_PART_KEY_ACTIONS, 0, 0, 0, 0, 0, 0,
                        0, 0, 0, 0, 0, 0, 0, 0, 0, 0),
        nullptr));
    if (!map) return false;
    xcb_xkb_get_map_map_t parts{};
    xcb_xkb_get_map_map_unpack(xcb_xkb_get_map_map(map.get()), map->nTypes, map->nKeySyms,
                               map->nKeyActions, map->totalActions, map->totalKeyBehaviors,
                               map->virtualMods, map->totalKeyExplicit, map->totalModMapKeys,
                               map->totalVModMapKeys, map->present, &parts);
    if (!parts.acts_rtrn_acts) return false;
    for (int i = 0; i < map->totalActions; ++i) {
      std::array<char, sizeof(xcb_xkb_action_t) + 1> action{};
      std::memcpy(action.data(), &parts.acts_rtrn_acts[i], sizeof(xcb_xkb_action_t));
      if (static_cast<unsigned char>(action[0]) == kPrivateAction &&
          strcasecmp(action.data() + 1, "ClsGrb") == 0) {
        return true;
      }
    }
    return false;
  }

  Covered* find(xcb_window_t window) {
    const auto it =
        std::find_if(covered_.begin(), covered_.end(),
                     [window](const Covered& covered) { return covered.window == window; });
    return it == covered_.end() ? nullptr : &*it;
  }

  // The whole of the monitor named `display`, in device pixels, as RandR
  // reports it. Qt sizes windows from its device-independent geometry and
  // may come out a pixel short at a fractional scale.
  std::optional<Rect> monitorFrame(const QString& display) const {
    const QByteArray name = display.toUtf8();
    auto monitors =
        reply(xcb_randr_get_monitors_reply(c_, xcb_randr_get_monitors(c_, root_, 1), nullptr));
    if (!monitors) return std::nullopt;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem;
         xcb_randr_monitor_info_next(&it)) {
      auto atom = reply(xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, it.data->name), nullptr));
      if (!atom) continue;
      const QByteArray monitor(xcb_get_atom_name_name(atom.get()),
                               xcb_get_atom_name_name_length(atom.get()));
      if (monitor == name) {
        return Rect{it.data->x, it.data->y, it.data->width, it.data->height};
      }
    }
    return std::nullopt;
  }

  Rect currentFrame(xcb_window_t window) const {
    auto geometry = reply(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, window), nullptr));
    if (!geometry) return {};
    return {geometry->x, geometry->y, geometry->width, geometry->height};
  }

  void placeExactly(const Covered& covered) {
    if (covered.frame.width == 0 || covered.frame.height == 0) return;
    const std::uint32_t values[] = {static_cast<std::uint32_t>(covered.frame.x),
                                    static_cast<std::uint32_t>(covered.frame.y),
                                    covered.frame.width, covered.frame.height};
    xcb_configure_window(c_, covered.window,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                             XCB_CONFIG_WINDOW_HEIGHT,
                         values);
    xcb_flush(c_);
  }

  // Adds VisibilityChange to what this connection (Qt's) selects on the
  // window; changing the attribute replaces the client's whole mask.
  void selectVisibility(xcb_window_t window) {
    auto attributes =
        reply(xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window), nullptr));
    if (!attributes) return;
    const std::uint32_t mask = attributes->your_event_mask | XCB_EVENT_MASK_VISIBILITY_CHANGE;
    if (mask != attributes->your_event_mask) {
      xcb_change_window_attributes(c_, window, XCB_CW_EVENT_MASK, &mask);
    }
  }

  // Whether the root's topmost children are exactly the curtains: then a
  // curtain covered up is covered by another curtain (mirrored monitors),
  // and raising would only start a fight among them.
  bool curtainsOnTop() {
    auto tree = reply(xcb_query_tree_reply(c_, xcb_query_tree(c_, root_), nullptr));
    if (!tree) return false;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    std::size_t onTop = 0;
    for (int i = count - 1; i >= 0 && find(children[i]); --i) ++onTop;
    return onTop == covered_.size();
  }

  // Asks for the root's SubstructureNotify, keeping whatever else Qt selected
  // there (changing the attribute replaces this client's whole mask).
  void startWatching() {
    if (watching_) return;
    auto attributes =
        reply(xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, root_), nullptr));
    if (!attributes) return;
    rootMask_ = attributes->your_event_mask;
    // Focus changes on the root tell of a grab the server broke while
    // another client's window had the focus.
    const std::uint32_t mask =
        rootMask_ | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_FOCUS_CHANGE;
    xcb_change_window_attributes(c_, root_, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c_);
    watching_ = true;
  }

  void stopWatching() {
    if (!watching_) return;
    xcb_change_window_attributes(c_, root_, XCB_CW_EVENT_MASK, &rootMask_);
    xcb_flush(c_);
    watching_ = false;
  }

  void restackCurtains() {
    for (const Covered& covered : covered_) {
      if (covered.widget && covered.widget->isVisible()) {
        const std::uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(c_, covered.window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
      }
    }
    xcb_flush(c_);
  }

  xcb_connection_t* c_ = nullptr;
  xcb_window_t root_ = XCB_WINDOW_NONE;
  std::uint32_t white_ = 0xffffff;
  xcb_atom_t bypassCompositor_ = XCB_ATOM_NONE;
  PresentationOptions current_;
  bool keyboard_ = false;
  bool pointer_ = false;
  std::vector<Covered> covered_;
  bool watching_ = false;
  std::uint32_t rootMask_ = 0;
  QTimer retryGrab_;
  // Installed for the whole life of the presentation: focus events that
  // tell of a broken grab come before any curtain is covered.
  struct Installer {
    explicit Installer(QAbstractNativeEventFilter* filter) : filter_(filter) {
      QCoreApplication::instance()->installNativeEventFilter(filter_);
    }
    ~Installer() {
      if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(filter_);
    }
    QAbstractNativeEventFilter* filter_;
  } installer_{this};
};

}  // namespace

std::unique_ptr<Presentation> makeX11Presentation() { return std::make_unique<X11Presentation>(); }

}  // namespace umbrafold
