#include "xkbkeyboard.h"

#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <QChar>

#include <cstring>

namespace umbrafold {

namespace {

// Keys whose Qt code does not follow from their text.
struct SpecialKey {
  xkb_keysym_t keysym;
  int key;
};

constexpr SpecialKey kSpecialKeys[] = {
    {XKB_KEY_Return, Qt::Key_Return},
    {XKB_KEY_KP_Enter, Qt::Key_Enter},
    {XKB_KEY_ISO_Enter, Qt::Key_Return},
    {XKB_KEY_Escape, Qt::Key_Escape},
    {XKB_KEY_BackSpace, Qt::Key_Backspace},
    {XKB_KEY_Delete, Qt::Key_Delete},
    {XKB_KEY_KP_Delete, Qt::Key_Delete},
    {XKB_KEY_Tab, Qt::Key_Tab},
    {XKB_KEY_KP_Tab, Qt::Key_Tab},
    {XKB_KEY_ISO_Left_Tab, Qt::Key_Backtab},
    {XKB_KEY_Left, Qt::Key_Left},
    {XKB_KEY_KP_Left, Qt::Key_Left},
    {XKB_KEY_Right, Qt::Key_Right},
    {XKB_KEY_KP_Right, Qt::Key_Right},
    {XKB_KEY_Up, Qt::Key_Up},
    {XKB_KEY_KP_Up, Qt::Key_Up},
    {XKB_KEY_Down, Qt::Key_Down},
    {XKB_KEY_KP_Down, Qt::Key_Down},
    {XKB_KEY_Home, Qt::Key_Home},
    {XKB_KEY_KP_Home, Qt::Key_Home},
    {XKB_KEY_End, Qt::Key_End},
    {XKB_KEY_KP_End, Qt::Key_End},
    {XKB_KEY_Page_Up, Qt::Key_PageUp},
    {XKB_KEY_KP_Page_Up, Qt::Key_PageUp},
    {XKB_KEY_Page_Down, Qt::Key_PageDown},
    {XKB_KEY_KP_Page_Down, Qt::Key_PageDown},
    {XKB_KEY_Insert, Qt::Key_Insert},
    {XKB_KEY_KP_Insert, Qt::Key_Insert},
    {XKB_KEY_Shift_L, Qt::Key_Shift},
    {XKB_KEY_Shift_R, Qt::Key_Shift},
    {XKB_KEY_Control_L, Qt::Key_Control},
    {XKB_KEY_Control_R, Qt::Key_Control},
    {XKB_KEY_Alt_L, Qt::Key_Alt},
    {XKB_KEY_Alt_R, Qt::Key_Alt},
    {XKB_KEY_Meta_L, Qt::Key_Meta},
    {XKB_KEY_Meta_R, Qt::Key_Meta},
    {XKB_KEY_Super_L, Qt::Key_Super_L},
    {XKB_KEY_Super_R, Qt::Key_Super_R},
    {XKB_KEY_ISO_Level3_Shift, Qt::Key_AltGr},
    {XKB_KEY_Caps_Lock, Qt::Key_CapsLock},
    {XKB_KEY_Num_Lock, Qt::Key_NumLock},
    {XKB_KEY_Menu, Qt::Key_Menu},
};

bool isKeypad(xkb_keysym_t keysym) {
  return keysym >= XKB_KEY_KP_Space && keysym <= XKB_KEY_KP_Equal;
}

int qtKey(xkb_keysym_t keysym, char32_t text) {
  for (const SpecialKey& special : kSpecialKeys) {
    if (special.keysym == keysym) return special.key;
  }
  if (keysym >= XKB_KEY_F1 && keysym <= XKB_KEY_F35) {
    return Qt::Key_F1 + static_cast<int>(keysym - XKB_KEY_F1);
  }
  // Printable keys are named by their upper-case character, as Qt's own
  // keyboard handling does (Key_A for "a" and "A", Key_Exclam for "!").
  if (text >= 0x20 && text != 0x7f) return static_cast<int>(QChar::toUpper(text));
  return 0;
}

}  // namespace

XkbKeyboard::XkbKeyboard() : context_(xkb_context_new(XKB_CONTEXT_NO_FLAGS)) {}

XkbKeyboard::~XkbKeyboard() {
  reset();
  xkb_context_unref(context_);
}

void XkbKeyboard::reset() {
  xkb_state_unref(state_);
  xkb_keymap_unref(keymap_);
  state_ = nullptr;
  keymap_ = nullptr;
}

bool XkbKeyboard::setKeymap(const char* text, std::size_t length) {
  reset();
  if (!context_ || !text) return false;
  keymap_ = xkb_keymap_new_from_buffer(context_, text, strnlen(text, length),
                                       XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (!keymap_) return false;
  state_ = xkb_state_new(keymap_);
  if (!state_) {
    reset();
    return false;
  }
  shift_ = xkb_keymap_mod_get_index(keymap_, XKB_MOD_NAME_SHIFT);
  control_ = xkb_keymap_mod_get_index(keymap_, XKB_MOD_NAME_CTRL);
  alt_ = xkb_keymap_mod_get_index(keymap_, XKB_MOD_NAME_ALT);
  super_ = xkb_keymap_mod_get_index(keymap_, XKB_MOD_NAME_LOGO);
  return true;
}

void XkbKeyboard::updateModifiers(std::uint32_t depressed, std::uint32_t latched,
                                  std::uint32_t locked, std::uint32_t group) {
  if (state_) xkb_state_update_mask(state_, depressed, latched, locked, 0, 0, group);
}

Qt::KeyboardModifiers XkbKeyboard::modifiers() const {
  Qt::KeyboardModifiers result;
  if (!state_) return result;
  const auto active = [this](std::uint32_t index) {
    return index != XKB_MOD_INVALID &&
           xkb_state_mod_index_is_active(state_, index, XKB_STATE_MODS_EFFECTIVE) > 0;
  };
  if (active(shift_)) result |= Qt::ShiftModifier;
  if (active(control_)) result |= Qt::ControlModifier;
  if (active(alt_)) result |= Qt::AltModifier;
  if (active(super_)) result |= Qt::MetaModifier;
  return result;
}

bool XkbKeyboard::capsLock() const {
  return state_ != nullptr &&
         xkb_state_mod_name_is_active(state_, XKB_MOD_NAME_CAPS, XKB_STATE_MODS_EFFECTIVE) > 0;
}

QString XkbKeyboard::layoutName() const {
  if (!state_ || xkb_keymap_num_layouts(keymap_) < 2) return {};
  const xkb_layout_index_t active = xkb_state_serialize_layout(state_, XKB_STATE_LAYOUT_EFFECTIVE);
  const char* name = xkb_keymap_layout_get_name(keymap_, active);
  return name ? QString::fromUtf8(name) : QString();
}

XkbKeyboard::Key XkbKeyboard::translate(std::uint32_t code) const {
  Key result;
  if (!state_) return result;
  const xkb_keycode_t keycode = code + 8;
  const xkb_keysym_t keysym = xkb_state_key_get_one_sym(state_, keycode);
  const char32_t text = xkb_keysym_to_utf32(keysym);
  result.key = qtKey(keysym, text);
  result.modifiers = modifiers();
  if (isKeypad(keysym)) result.modifiers |= Qt::KeypadModifier;
  if (text != 0) result.text = QString::fromUcs4(&text, 1);
  result.repeats = xkb_keymap_key_repeats(keymap_, keycode) != 0;
  return result;
}

}  // namespace umbrafold
