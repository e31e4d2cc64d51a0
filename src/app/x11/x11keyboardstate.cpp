// Caps Lock and the active layout on X11, from the server's XKB state. The
// locked modifiers and the group come with every XKB state notification;
// the layout names are read again only when the keyboard or its map
// changes. Qt's own connection already has the XKB extension in use.

#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

#include <memory>
#include <vector>

#include "keyboardstate.h"
#include "x11window.h"
#include "xcbconnection.h"
#include "xcbxkb.h"

namespace umbrafold {
namespace {

class X11KeyboardState final : public KeyboardState, public QAbstractNativeEventFilter {
 public:
  explicit X11KeyboardState(xcb_connection_t* connection) : connection_(connection) {
    const xcb_query_extension_reply_t* xkb = xcb_get_extension_data(connection_, &xcb_xkb_id);
    if (xkb == nullptr || !xkb->present) return;
    xkbEvent_ = xkb->first_event;
    device_ = xkb_x11_get_core_keyboard_device_id(connection_);
    // Only the event kinds named in the first mask change their selection:
    // Qt's own selection of the others is kept.
    constexpr std::uint16_t kinds = XCB_XKB_EVENT_TYPE_STATE_NOTIFY |
                                    XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY |
                                    XCB_XKB_EVENT_TYPE_MAP_NOTIFY | XCB_XKB_EVENT_TYPE_NAMES_NOTIFY;
    xcb_xkb_select_events(connection_, XCB_XKB_ID_USE_CORE_KBD, kinds, 0, kinds, 0xff, 0xff,
                          nullptr);
    readLayouts();
    readState();
    QCoreApplication::instance()->installNativeEventFilter(this);
  }

  ~X11KeyboardState() override {
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
  }

  KeyboardIndicators indicators() const override {
    KeyboardIndicators shown;
    shown.capsLock = capsLock_;
    if (layouts_.size() > 1 && group_ < layouts_.size()) shown.layout = layouts_[group_];
    return shown;
  }

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
    if (xkbEvent_ == 0 || eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != xkbEvent_) return false;
    const KeyboardIndicators before = indicators();
    switch (event->pad0) {  // the XKB event's own type
      case XCB_XKB_STATE_NOTIFY: {
        const auto* state = static_cast<const xcb_xkb_state_notify_event_t*>(message);
        capsLock_ = (state->mods & XCB_MOD_MASK_LOCK) != 0;
        group_ = state->group;
        break;
      }
      case XCB_XKB_NEW_KEYBOARD_NOTIFY:
      case XCB_XKB_MAP_NOTIFY:
      case XCB_XKB_NAMES_NOTIFY:
        device_ = xkb_x11_get_core_keyboard_device_id(connection_);
        readLayouts();
        readState();
        break;
      default:
        return false;
    }
    if (indicators() != before) emit changed();
    return false;  // Qt reads the same events for its own keyboard
  }

 private:
  void readState() {
    const auto state = x11::reply(xcb_xkb_get_state_reply(
        connection_, xcb_xkb_get_state(connection_, XCB_XKB_ID_USE_CORE_KBD), nullptr));
    if (!state) return;
    capsLock_ = (state->mods & XCB_MOD_MASK_LOCK) != 0;
    group_ = state->group;
  }

  // The names of the configured layouts, in group order.
  void readLayouts() {
    layouts_.clear();
    if (device_ < 0) return;
    std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(
        xkb_context_new(XKB_CONTEXT_NO_FLAGS), &xkb_context_unref);
    if (!context) return;
    std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap(
        xkb_x11_keymap_new_from_device(context.get(), connection_, device_,
                                       XKB_KEYMAP_COMPILE_NO_FLAGS),
        &xkb_keymap_unref);
    if (!keymap) return;
    const xkb_layout_index_t count = xkb_keymap_num_layouts(keymap.get());
    for (xkb_layout_index_t i = 0; i < count; ++i) {
      const char* name = xkb_keymap_layout_get_name(keymap.get(), i);
      layouts_.push_back(name ? QString::fromUtf8(name) : QString());
    }
  }

  xcb_connection_t* connection_;
  std::uint8_t xkbEvent_ = 0;
  std::int32_t device_ = -1;
  bool capsLock_ = false;
  std::size_t group_ = 0;
  std::vector<QString> layouts_;
};

}  // namespace

std::unique_ptr<KeyboardState> makeX11KeyboardState() {
  xcb_connection_t* connection = x11::qtConnection();
  if (connection == nullptr) return nullptr;
  return std::make_unique<X11KeyboardState>(connection);
}

}  // namespace umbrafold
