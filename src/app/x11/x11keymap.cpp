#include "x11keymap.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "xcbconnection.h"
#include "xcbxkb.h"

namespace umbrafold::x11 {

namespace {

// The type of XKB's server-private actions (XkbSA_XFree86Private); their
// seven data bytes name what the server does.
constexpr std::uint8_t kPrivateAction = 0x86;

static_assert(sizeof(xcb_xkb_action_t) == 8);

using Action = std::array<std::uint8_t, 8>;

// Whether `action` is the server-private action called `name`.
bool isPrivate(const Action& action, const char* name) {
  if (action[0] != kPrivateAction) return false;
  std::array<char, 8> data{};  // seven bytes, not always ended by a NUL
  std::memcpy(data.data(), action.data() + 1, 7);
  return strcasecmp(data.data(), name) == 0;
}

bool isClearGrab(const Action& action) { return isPrivate(action, "ClsGrb"); }

bool isGrabBreaking(const Action& action) {
  return isClearGrab(action) || isPrivate(action, "Ungrab");
}

// The actions of every key of the core keyboard.
struct KeyActions {
  xcb_keycode_t minKeyCode = 0, maxKeyCode = 0, firstKey = 0;
  std::vector<std::vector<Action>> keys;  // from firstKey on
};

std::optional<KeyActions> readKeyActions(xcb_connection_t* c) {
  auto map = reply(xcb_xkb_get_map_reply(
      c,
      xcb_xkb_get_map(c, XCB_XKB_ID_USE_CORE_KBD, XCB_XKB_MAP_PART_KEY_ACTIONS, 0, 0, 0, 0, 0, 0, 0,
                      0, 0, 0, 0, 0, 0, 0, 0, 0),
      nullptr));
  if (!map) return std::nullopt;
  xcb_xkb_get_map_map_t parts{};
  xcb_xkb_get_map_map_unpack(xcb_xkb_get_map_map(map.get()), map->nTypes, map->nKeySyms,
                             map->nKeyActions, map->totalActions, map->totalKeyBehaviors,
                             map->virtualMods, map->totalKeyExplicit, map->totalModMapKeys,
                             map->totalVModMapKeys, map->present, &parts);
  KeyActions result;
  result.minKeyCode = map->minKeyCode;
  result.maxKeyCode = map->maxKeyCode;
  result.firstKey = map->firstKeyAction;
  if (!parts.acts_rtrn_count || (map->totalActions > 0 && !parts.acts_rtrn_acts)) return result;
  int next = 0;
  for (int key = 0; key < map->nKeyActions; ++key) {
    auto& actions = result.keys.emplace_back();
    for (int i = 0; i < parts.acts_rtrn_count[key] && next < map->totalActions; ++i, ++next) {
      std::memcpy(actions.emplace_back().data(), &parts.acts_rtrn_acts[next], 8);
    }
  }
  return result;
}

// Gives one key of the core keyboard the actions `actions` (as many as it
// has now). Returns whether the server took them.
bool writeKeyActions(xcb_connection_t* c, const KeyActions& map, xcb_keycode_t keycode,
                     const std::vector<Action>& actions) {
  std::vector<xcb_xkb_action_t> wire(actions.size());
  std::memcpy(wire.data(), actions.data(), actions.size() * 8);
  std::uint8_t count = static_cast<std::uint8_t>(actions.size());
  xcb_xkb_set_map_values_t values{};
  values.actionsCount = &count;
  values.actions = wire.data();
  auto error = reply(xcb_request_check(
      c, xcb_xkb_set_map_aux_checked(c, XCB_XKB_ID_USE_CORE_KBD, XCB_XKB_MAP_PART_KEY_ACTIONS, 0,
                                     map.minKeyCode, map.maxKeyCode, 0, 0, 0, 0, 0, keycode, 1,
                                     count, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, &values)));
  return !error;
}

}  // namespace

GrabBreakingKeys::GrabBreakingKeys() {
  xcb_connection_t* c = qtConnection();
  if (!c) return;
  const xcb_query_extension_reply_t* xkb = xcb_get_extension_data(c, &xcb_xkb_id);
  if (!xkb || !xkb->present) return;
  xkbEvent_ = xkb->first_event;
  constexpr std::uint16_t events =
      XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
  constexpr std::uint16_t parts = XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_KEY_ACTIONS;
  xcb_xkb_select_events(c, XCB_XKB_ID_USE_CORE_KBD, events, 0, events, parts, parts, nullptr);
  xcb_flush(c);
}

bool GrabBreakingKeys::killsGrabs() const {
  xcb_connection_t* c = qtConnection();
  const std::optional<KeyActions> map = c ? readKeyActions(c) : std::nullopt;
  if (!map) return false;
  return std::any_of(map->keys.begin(), map->keys.end(), [](const auto& actions) {
    return std::any_of(actions.begin(), actions.end(),
                       [](const Action& action) { return isClearGrab(action); });
  });
}

bool GrabBreakingKeys::disarm() {
  xcb_connection_t* c = qtConnection();
  const std::optional<KeyActions> map = c ? readKeyActions(c) : std::nullopt;
  if (!map) return false;
  bool clean = true;
  for (std::size_t key = 0; key < map->keys.size(); ++key) {
    Disarmed changed{static_cast<xcb_keycode_t>(map->firstKey + key), map->keys[key],
                     map->keys[key]};
    bool any = false;
    for (Action& action : changed.disarmed) {
      if (!isGrabBreaking(action)) continue;
      action = Action{};  // all zero: NoAction
      any = true;
    }
    if (!any) continue;
    if (writeKeyActions(c, *map, changed.keycode, changed.disarmed)) {
      disarmed_.push_back(std::move(changed));
    } else {
      clean = false;
    }
  }
  return clean;
}

void GrabBreakingKeys::restore() {
  xcb_connection_t* c = qtConnection();
  std::vector<Disarmed> disarmed = std::move(disarmed_);
  disarmed_.clear();
  const std::optional<KeyActions> map = c && !disarmed.empty() ? readKeyActions(c) : std::nullopt;
  if (!map) return;
  for (const Disarmed& key : disarmed) {
    if (key.keycode < map->firstKey) continue;
    const std::size_t index = key.keycode - map->firstKey;
    if (index >= map->keys.size()) continue;
    // The server keeps no actions for a key whose actions are all NoAction.
    const std::vector<Action>& now = map->keys[index];
    if (now.empty() || now == key.disarmed) writeKeyActions(c, *map, key.keycode, key.original);
  }
}

bool GrabBreakingKeys::isMapChange(const void* message) const {
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if (xkbEvent_ < 0 || (event->response_type & 0x7f) != xkbEvent_) return false;
  // Every XKB event carries its kind in the second byte.
  const std::uint8_t kind = static_cast<const xcb_xkb_map_notify_event_t*>(message)->xkbType;
  return kind == XCB_XKB_NEW_KEYBOARD_NOTIFY || kind == XCB_XKB_MAP_NOTIFY;
}

}  // namespace umbrafold::x11
