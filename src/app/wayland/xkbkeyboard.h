#pragma once

#include <QString>
#include <Qt>

#include <cstddef>
#include <cstdint>

struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace umbrafold {

// One keyboard's keymap and modifier state as a Wayland compositor sends
// them, and the translation of its key codes into Qt's keys, modifiers and
// text. Pure xkbcommon: no connection, no event loop. Not thread-safe; use
// from one thread.
class XkbKeyboard {
 public:
  struct Key {
    int key = 0;  // a Qt::Key; 0 when the key has no Qt equivalent
    Qt::KeyboardModifiers modifiers;
    QString text;          // what the key types with the current modifiers; may be empty
    bool repeats = false;  // whether the keymap lets the key repeat
  };

  XkbKeyboard();
  ~XkbKeyboard();
  XkbKeyboard(const XkbKeyboard&) = delete;
  XkbKeyboard& operator=(const XkbKeyboard&) = delete;

  // Compiles a keymap in the XKB text format (version 1), `length` bytes at
  // `text` (a terminating NUL may follow or be included). Returns false and
  // keeps no keymap when it does not compile; the modifier state starts
  // empty either way.
  bool setKeymap(const char* text, std::size_t length);
  // Forgets the keymap and the modifier state.
  void reset();
  bool hasKeymap() const { return state_ != nullptr; }

  // The modifier state as wl_keyboard.modifiers sends it. Ignored without a
  // keymap.
  void updateModifiers(std::uint32_t depressed, std::uint32_t latched, std::uint32_t locked,
                       std::uint32_t group);

  // The key with the evdev code `code` (as wl_keyboard.key sends it, without
  // XKB's offset of 8) under the current modifiers. An empty Key without a
  // keymap.
  Key translate(std::uint32_t code) const;
  Qt::KeyboardModifiers modifiers() const;
  // Whether the Caps Lock modifier is in effect (locked, or held); false
  // without a keymap.
  bool capsLock() const;
  // The name of the active layout when the keymap has more than one;
  // empty otherwise.
  QString layoutName() const;

 private:
  xkb_context* context_ = nullptr;
  xkb_keymap* keymap_ = nullptr;
  xkb_state* state_ = nullptr;
  std::uint32_t shift_ = 0, control_ = 0, alt_ = 0, super_ = 0;  // modifier indices
};

}  // namespace umbrafold
