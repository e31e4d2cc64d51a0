#include "x11overlay.h"

#include <xcb/composite.h>
#include <xcb/shape.h>
#include <xcb/xcb.h>

#include "xcbconnection.h"

namespace umbrafold::x11 {

namespace {

// The first Composite version with the overlay window.
constexpr std::uint32_t kOverlayMajor = 0;
constexpr std::uint32_t kOverlayMinor = 3;

}  // namespace

std::unique_ptr<Overlay> Overlay::take() {
  xcb_connection_t* c = qtConnection();
  if (!c) return nullptr;
  const xcb_query_extension_reply_t* composite = xcb_get_extension_data(c, &xcb_composite_id);
  if (!composite || !composite->present) return nullptr;
  auto version = reply(xcb_composite_query_version_reply(
      c, xcb_composite_query_version(c, kOverlayMajor, 4), nullptr));
  if (!version ||
      (version->major_version == kOverlayMajor && version->minor_version < kOverlayMinor)) {
    return nullptr;
  }
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  auto overlay = reply(xcb_composite_get_overlay_window_reply(
      c, xcb_composite_get_overlay_window(c, root), nullptr));
  if (!overlay || overlay->overlay_win == XCB_WINDOW_NONE) return nullptr;
  const xcb_window_t window = overlay->overlay_win;

  const xcb_query_extension_reply_t* shape = xcb_get_extension_data(c, &xcb_shape_id);
  const int shapeEvent = shape && shape->present ? shape->first_event + XCB_SHAPE_NOTIFY : -1;
  std::unique_ptr<Overlay> taken(new Overlay(root, window, shapeEvent));

  auto attributes =
      reply(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
  taken->unmappedByOthers_ = attributes && attributes->map_state == XCB_MAP_STATE_UNMAPPED;
  // Its own unmapping and reshaping, and what happens to the windows inside.
  const std::uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &events);
  if (shapeEvent >= 0) xcb_shape_select_input(c, window, 1);
  taken->show();
  taken->unshape();
  xcb_flush(c);
  return taken;
}

Overlay::Overlay(std::uint32_t root, std::uint32_t window, int shapeEvent)
    : root_(root), window_(window), shapeEvent_(shapeEvent) {}

Overlay::~Overlay() {
  xcb_connection_t* c = qtConnection();
  if (!c) return;
  const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
  xcb_change_window_attributes(c, window_, XCB_CW_EVENT_MASK, &none);
  if (shapeEvent_ >= 0) {
    xcb_shape_select_input(c, window_, 0);
    // A compositor that still holds the overlay paints into it and lets
    // every click through to the windows below.
    xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED,
                         window_, 0, 0, 0, nullptr);
  }
  // Mapped again against a compositor's wish: a compositor that does not
  // redirect the screen now shows nothing there, and the overlay would hide
  // the desktop under what was drawn in it last.
  if (unmappedByOthers_ && !screenRedirected()) xcb_unmap_window(c, window_);
  xcb_composite_release_overlay_window(c, root_);
  xcb_flush(c);
}

bool Overlay::handle(const void* message) {
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  const std::uint8_t type = event->response_type & 0x7f;
  if (shapeEvent_ >= 0 && type == shapeEvent_) {
    const auto* shape = static_cast<const xcb_shape_notify_event_t*>(message);
    if (shape->affected_window != window_) return false;
    if (shape->shaped &&
        (shape->shape_kind == XCB_SHAPE_SK_BOUNDING || shape->shape_kind == XCB_SHAPE_SK_INPUT)) {
      unshape();
      xcb_flush(qtConnection());
    }
    return true;
  }
  switch (type) {
    case XCB_UNMAP_NOTIFY: {
      const auto* unmap = static_cast<const xcb_unmap_notify_event_t*>(message);
      if (unmap->window != window_) return false;
      // Reported on the overlay itself and, to whoever watches the root's
      // children, on the root: answered once.
      if (unmap->event == window_) {
        unmappedByOthers_ = true;
        show();
        xcb_flush(qtConnection());
      }
      return true;
    }
    case XCB_MAP_NOTIFY:
      return static_cast<const xcb_map_notify_event_t*>(message)->window == window_;
    case XCB_CONFIGURE_NOTIFY:
      return static_cast<const xcb_configure_notify_event_t*>(message)->window == window_;
    default:
      return false;
  }
}

void Overlay::show() {
  xcb_connection_t* c = qtConnection();
  xcb_map_window(c, window_);
  const std::uint32_t above = XCB_STACK_MODE_ABOVE;
  xcb_configure_window(c, window_, XCB_CONFIG_WINDOW_STACK_MODE, &above);
}

// No shape is the whole window, for what is shown and for input alike.
void Overlay::unshape() {
  if (shapeEvent_ < 0) return;
  xcb_connection_t* c = qtConnection();
  xcb_shape_mask(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, window_, 0, 0, XCB_PIXMAP_NONE);
  xcb_shape_mask(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, window_, 0, 0, XCB_PIXMAP_NONE);
}

// Whether a compositing manager redirects the root's children now: the
// server lets only one client redirect them manually and refuses a second
// with BadAccess. When the request succeeds, nobody did, and it is undone
// at once.
bool Overlay::screenRedirected() const {
  xcb_connection_t* c = qtConnection();
  auto error = reply(xcb_request_check(
      c, xcb_composite_redirect_subwindows_checked(c, root_, XCB_COMPOSITE_REDIRECT_MANUAL)));
  if (error) return true;
  xcb_composite_unredirect_subwindows(c, root_, XCB_COMPOSITE_REDIRECT_MANUAL);
  return false;
}

}  // namespace umbrafold::x11
