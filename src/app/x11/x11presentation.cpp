// Presentation on X11: "disable process switching" is the grabs of
// x11grabs.h; covering is keeping the curtains' windows mapped, in place and
// on top, whatever other clients do to them.
//
// Where the server offers the Composite Overlay Window, the curtains live
// inside it: the server never stacks a child of the root above it and never
// redirects it, so neither a window that keeps raising itself nor a
// compositing manager (hung, restarting, casting shadows) can show anything
// over them. Under the overlay, one plain white window as large as the root
// is kept on top of the root's children, in case the overlay does not show
// for a moment (one window, so that a compositor's shadows never fall on
// the screen). Without Composite, the curtains themselves are kept on top.

#include <xcb/shape.h>
#include <xcb/xcb.h>
#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QWidget>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "presentation.h"
#include "x11grabs.h"
#include "x11monitors.h"
#include "x11overlay.h"
#include "x11window.h"
#include "xcbconnection.h"

namespace umbrafold {
namespace {

// The class of the curtains' windows (instance and class name), distinct
// from the setup window's, and of the plain window under the overlay.
constexpr char kCurtainClass[] = "umbrafold-curtain\0Umbrafold-curtain";
constexpr char kGuardClass[] = "umbrafold-guard\0Umbrafold-guard";

using x11::qtConnection;
using x11::Rect;
using x11::reply;

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
  auto answer = reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
  return answer ? answer->atom : xcb_atom_t{XCB_ATOM_NONE};
}

class X11Presentation final : public Presentation, public QAbstractNativeEventFilter {
 public:
  X11Presentation() : c_(qtConnection()) {
    if (c_) {
      const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
      root_ = screen->root;
      white_ = screen->white_pixel;
      bypassCompositor_ = internAtom(c_, "_NET_WM_BYPASS_COMPOSITOR");
    }
  }

  // Gives back what it holds, as long as Qt's connection is still there.
  ~X11Presentation() override {
    if (!qGuiApp) return;
    while (!covered_.empty()) uncover(covered_.front().widget.data());
  }

  PresentationOptions options() const override { return current_; }

  bool setOptions(PresentationOptions options) override {
    const bool wantsGrab = (options.raw & PresentationOptions::disableProcessSwitching) != 0;
    if (wantsGrab && !grabs_.take()) return false;
    if (!wantsGrab) grabs_.release();
    current_ = options;
    return true;
  }

  void cover(QWidget* curtain, const QString& display) override {
    if (!c_ || !curtain) return;
    const auto window = static_cast<xcb_window_t>(curtain->winId());
    describeCurtain(window);
    if (covered_.empty() && !overlay_) {
      overlay_ = x11::Overlay::take();
      if (overlay_) guard_ = makeGuard();
    }

    Covered* covered = find(window);
    if (!covered) {
      covered_.push_back({curtain, window, {}});
      covered = &covered_.back();
    }
    covered->frame = x11::monitorFrame(display).value_or(currentFrame(window));
    if (overlay_ && parentOf(window) != overlay_->window()) putBack(*covered);
    placeExactly(window, covered->frame);
    startWatching();
    if (guard_ != XCB_WINDOW_NONE) x11::raiseAbove(guard_);
    x11::raiseAbove(window);
  }

  void uncover(QWidget* curtain) override {
    for (auto it = covered_.begin(); it != covered_.end();) {
      if (!it->widget.isNull() && it->widget != curtain) {
        ++it;
        continue;
      }
      // Out of the overlay before it is given back: the server destroys the
      // overlay's children with it when no other client holds it.
      if (overlay_ && it->widget) {
        xcb_unmap_window(c_, it->window);
        xcb_reparent_window(c_, it->window, root_, static_cast<std::int16_t>(it->frame.x),
                            static_cast<std::int16_t>(it->frame.y));
      }
      it = covered_.erase(it);
    }
    if (covered_.empty()) {
      stopWatching();
      if (guard_ != XCB_WINDOW_NONE) xcb_destroy_window(c_, guard_);
      guard_ = XCB_WINDOW_NONE;
      overlay_.reset();
    }
    if (c_) xcb_flush(c_);
  }

  // Sees every event of Qt's connection before Qt does, and answers at once,
  // not a turn of the event loop later:
  // - another client's window mapped, moved, restacked or circulated among
  //   the root's children (or inside the overlay) may now be above one of
  //   ours: raise ours there;
  // - a window of ours unmapped, moved, resized or taken from its parent by
  //   another client: put it back; covered up: raise ours;
  // - the overlay unmapped or reshaped by a compositor: undo it.
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
    if (covered_.empty()) return false;
    if (overlay_ && overlay_->handle(event)) return swallowed(event);
    switch (type) {
      case XCB_MAP_NOTIFY: {
        const auto* map = reinterpret_cast<const xcb_map_notify_event_t*>(event);
        if (isParent(map->event) && !isOurs(map->window)) restack(map->event);
        break;
      }
      case XCB_CONFIGURE_NOTIFY: {
        const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
        const Rect now{configure->x, configure->y, configure->width, configure->height};
        if (configure->window == root_) {
          if (guard_ != XCB_WINDOW_NONE) placeGuard(now);
        } else if (configure->event != configure->window) {
          if (isParent(configure->event) && !isOurs(configure->window)) {
            restack(configure->event);
          }
        } else if (const Covered* covered = find(configure->window)) {
          if (now != covered->frame) placeExactly(configure->window, covered->frame);
        } else if (configure->window == guard_ && now != rootFrame()) {
          placeGuard(rootFrame());
        }
        break;
      }
      case XCB_CIRCULATE_NOTIFY: {
        const auto* circulate = reinterpret_cast<const xcb_circulate_notify_event_t*>(event);
        if (isParent(circulate->event) && !isOurs(circulate->window)) restack(circulate->event);
        break;
      }
      case XCB_UNMAP_NOTIFY: {
        const auto* unmap = reinterpret_cast<const xcb_unmap_notify_event_t*>(event);
        if (unmap->event != unmap->window) break;
        const Covered* covered = find(unmap->window);
        if (unmap->window == guard_ ||
            (covered && covered->widget && covered->widget->isVisible())) {
          xcb_map_window(c_, unmap->window);
          x11::raiseAbove(unmap->window);
        }
        break;
      }
      case XCB_REPARENT_NOTIFY: {
        const auto* reparent = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
        if (reparent->event != reparent->window) break;
        if (const Covered* covered = find(reparent->window)) {
          if (reparent->parent != curtainParent()) putBack(*covered);
        } else if (reparent->window == guard_ && reparent->parent != root_) {
          putBackGuard();
        }
        break;
      }
      case XCB_VISIBILITY_NOTIFY: {
        const auto* visibility = reinterpret_cast<const xcb_visibility_notify_event_t*>(event);
        if (visibility->state == XCB_VISIBILITY_UNOBSCURED || !isOurs(visibility->window)) break;
        const xcb_window_t parent = visibility->window == guard_ ? root_ : curtainParent();
        if (!onTop(parent)) restack(parent);
        break;
      }
      default:
        break;
    }
    return swallowed(event);
  }

 private:
  struct Covered {
    QPointer<QWidget> widget;
    xcb_window_t window;  // the curtain's own window
    Rect frame;           // where it must stay, in device pixels
  };

  Covered* find(xcb_window_t window) {
    const auto it =
        std::find_if(covered_.begin(), covered_.end(),
                     [window](const Covered& covered) { return covered.window == window; });
    return it == covered_.end() ? nullptr : &*it;
  }

  bool isOurs(xcb_window_t window) {
    return window != XCB_WINDOW_NONE && (window == guard_ || find(window));
  }

  // Where the curtains must live: inside the overlay while it is held,
  // else on the root.
  xcb_window_t curtainParent() const { return overlay_ ? overlay_->window() : root_; }

  bool isParent(xcb_window_t window) const {
    return window == root_ || (overlay_ && window == overlay_->window());
  }

  // Our windows among the children of `parent` that must be shown.
  std::vector<xcb_window_t> ours(xcb_window_t parent) const {
    std::vector<xcb_window_t> windows;
    if (parent == root_ && guard_ != XCB_WINDOW_NONE) windows.push_back(guard_);
    if (parent != curtainParent()) return windows;
    for (const Covered& covered : covered_) {
      if (covered.widget && covered.widget->isVisible()) windows.push_back(covered.window);
    }
    return windows;
  }

  void restack(xcb_window_t parent) {
    for (const xcb_window_t window : ours(parent)) {
      const std::uint32_t above = XCB_STACK_MODE_ABOVE;
      xcb_configure_window(c_, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    }
    xcb_flush(c_);
  }

  // Whether the topmost children of `parent` are exactly ours: then a window
  // of ours covered up is covered by another of ours (mirrored monitors),
  // and raising would only start a fight among them.
  bool onTop(xcb_window_t parent) {
    auto tree = reply(xcb_query_tree_reply(c_, xcb_query_tree(c_, parent), nullptr));
    if (!tree) return false;
    const std::vector<xcb_window_t> wanted = ours(parent);
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    std::size_t onTop = 0;
    for (int i = count - 1;
         i >= 0 && std::find(wanted.begin(), wanted.end(), children[i]) != wanted.end(); --i) {
      ++onTop;
    }
    return onTop == wanted.size();
  }

  // Returns a curtain's window to its parent, place and size, mapped when
  // its widget is shown, and on top there.
  void putBack(const Covered& covered) {
    xcb_reparent_window(c_, covered.window, curtainParent(),
                        static_cast<std::int16_t>(covered.frame.x),
                        static_cast<std::int16_t>(covered.frame.y));
    if (covered.widget && covered.widget->isVisible()) xcb_map_window(c_, covered.window);
    placeExactly(covered.window, covered.frame);
    x11::raiseAbove(covered.window);
  }

  void putBackGuard() {
    xcb_reparent_window(c_, guard_, root_, 0, 0);
    xcb_map_window(c_, guard_);
    placeGuard(rootFrame());
    x11::raiseAbove(guard_);
  }

  // Names the curtain's window for other programs, asks compositors to leave
  // it alone, makes whatever it has not painted (yet) white, never what was
  // on the screen before, and lets it hear when it is covered up.
  void describeCurtain(xcb_window_t window) {
    if (bypassCompositor_ != XCB_ATOM_NONE) {
      const std::uint32_t one = 1;
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, bypassCompositor_, XCB_ATOM_CARDINAL,
                          32, 1, &one);
    }
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        sizeof kCurtainClass, kCurtainClass);
    const std::uint32_t background = white_;
    xcb_change_window_attributes(c_, window, XCB_CW_BACK_PIXEL, &background);
    selectVisibility(window);
  }

  // A plain white override-redirect window as large as the root, mapped,
  // that hears when it is moved, unmapped, reparented or covered up.
  xcb_window_t makeGuard() {
    const Rect frame = rootFrame();
    const xcb_window_t guard = xcb_generate_id(c_);
    const std::uint32_t values[] = {
        white_, 1, XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_VISIBILITY_CHANGE};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, guard, root_, 0, 0,
                      static_cast<std::uint16_t>(std::max<std::uint32_t>(frame.width, 1)),
                      static_cast<std::uint16_t>(std::max<std::uint32_t>(frame.height, 1)), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, guard, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        sizeof kGuardClass, kGuardClass);
    shapeWhole(guard, frame);
    xcb_map_window(c_, guard);
    return guard;
  }

  Rect rootFrame() const { return currentFrame(root_); }

  // Gives the plain window a shape of one rectangle, its whole area. A
  // compositor asked to unredirect the screen for a full-screen window on
  // top (picom --unredir-if-possible) does not count a shaped one, and so
  // does not unmap the overlay each time a window raises itself above it.
  void shapeWhole(xcb_window_t window, const Rect& frame) {
    const xcb_rectangle_t whole{0, 0, static_cast<std::uint16_t>(frame.width),
                                static_cast<std::uint16_t>(frame.height)};
    xcb_shape_rectangles(c_, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, XCB_CLIP_ORDERING_UNSORTED,
                         window, 0, 0, 1, &whole);
  }

  void placeGuard(const Rect& frame) {
    placeExactly(guard_, frame);
    shapeWhole(guard_, frame);
  }

  xcb_window_t parentOf(xcb_window_t window) const {
    auto tree = reply(xcb_query_tree_reply(c_, xcb_query_tree(c_, window), nullptr));
    return tree ? tree->parent : xcb_window_t{XCB_WINDOW_NONE};
  }

  Rect currentFrame(xcb_window_t window) const {
    auto geometry = reply(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, window), nullptr));
    if (!geometry) return {};
    return {geometry->x, geometry->y, geometry->width, geometry->height};
  }

  void placeExactly(xcb_window_t window, const Rect& frame) {
    if (frame.width == 0 || frame.height == 0) return;
    const std::uint32_t values[] = {static_cast<std::uint32_t>(frame.x),
                                    static_cast<std::uint32_t>(frame.y), frame.width, frame.height};
    xcb_configure_window(c_, window,
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

  // Whether Qt must not see the event: a ConfigureNotify of one of the
  // root's children, which Qt never asked for.
  bool swallowed(const xcb_generic_event_t* event) const {
    if ((event->response_type & 0x7f) != XCB_CONFIGURE_NOTIFY) return false;
    const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
    return configure->event == root_ && configure->window != root_ &&
           (rootMask_ & XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY) == 0;
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

  xcb_connection_t* c_ = nullptr;
  xcb_window_t root_ = XCB_WINDOW_NONE;
  std::uint32_t white_ = 0xffffff;
  xcb_atom_t bypassCompositor_ = XCB_ATOM_NONE;
  PresentationOptions current_;
  x11::Grabs grabs_;
  std::vector<Covered> covered_;
  std::unique_ptr<x11::Overlay> overlay_;  // held while anything is covered
  xcb_window_t guard_ = XCB_WINDOW_NONE;   // the plain window under it
  bool watching_ = false;
  std::uint32_t rootMask_ = 0;
  // Installed for the whole life of the presentation.
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
