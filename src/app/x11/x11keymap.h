#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace umbrafold::x11 {

// The XKB actions of the core keyboard's map that take the keyboard from
// the client holding it: the server-private "ClsGrb" (XF86ClearGrab, put on
// Ctrl+Alt+KP_Multiply by the option grab:break_actions) kills every client
// that holds a grab, and "Ungrab" (XF86Ungrab, Ctrl+Alt+KP_Divide) breaks
// the grabs. Main thread only; everything goes through Qt's X connection.
class GrabBreakingKeys {
 public:
  // Asks for XKB's notifications of a new keyboard or map on Qt's
  // connection (Qt asks for them too; asking again changes nothing).
  GrabBreakingKeys();

  // Whether a key of the map now carries the action that kills grabbing
  // clients. The keysym alone is on most maps without the action.
  bool killsGrabs() const;
  // Replaces every grab-breaking action of the map with NoAction,
  // remembering each for restore(). Returns whether the map has none left.
  bool disarm();
  // Puts back the actions of every key disarm() changed that has not been
  // changed since, and forgets them.
  void restore();

  // Whether `event` (an xcb_generic_event_t of Qt's connection) tells that
  // the keyboard map changed: a new keyboard, or a new map.
  bool isMapChange(const void* event) const;

 private:
  using Action = std::array<std::uint8_t, 8>;
  // A key whose actions disarm() changed.
  struct Disarmed {
    std::uint8_t keycode;
    std::vector<Action> original;  // all the key's actions before
    std::vector<Action> disarmed;  // and after
  };

  int xkbEvent_ = -1;  // XKB's event code, or -1 without XKB
  std::vector<Disarmed> disarmed_;
};

}  // namespace umbrafold::x11
