#include "xkbkeyboard.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace umbrafold {
namespace {

// A keymap as a compositor sends it: compiled from rule names, as text.
std::string keymapText(const char* layout) {
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  const xkb_rule_names names{"evdev", "pc105", layout, "", ""};
  xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
  std::string text;
  if (keymap) {
    char* raw = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
    text = raw;
    std::free(raw);
  }
  xkb_keymap_unref(keymap);
  xkb_context_unref(context);
  return text;
}

// The modifier mask of the named modifiers in `text`'s keymap.
std::uint32_t mask(const std::string& text, const std::vector<const char*>& modifiers) {
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap = xkb_keymap_new_from_string(context, text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                  XKB_KEYMAP_COMPILE_NO_FLAGS);
  std::uint32_t result = 0;
  for (const char* name : modifiers) result |= 1u << xkb_keymap_mod_get_index(keymap, name);
  xkb_keymap_unref(keymap);
  xkb_context_unref(context);
  return result;
}

struct KeyCase {
  const char* name;
  const char* layout;
  std::uint32_t code;
  std::vector<const char*> held;    // depressed modifiers
  std::vector<const char*> locked;  // locked modifiers
  int key;
  QString text;
  Qt::KeyboardModifiers modifiers;
  bool repeats;
};

class XkbKeyboardTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(XkbKeyboardTest, TranslatesKeyWithModifiers) {
  const KeyCase& c = GetParam();
  const std::string text = keymapText(c.layout);
  ASSERT_FALSE(text.empty()) << "no keymap for " << c.layout;
  XkbKeyboard keyboard;
  // Sent with its terminating NUL, as compositors do.
  ASSERT_TRUE(keyboard.setKeymap(text.c_str(), text.size() + 1));
  keyboard.updateModifiers(mask(text, c.held), 0, mask(text, c.locked), 0);
  const XkbKeyboard::Key key = keyboard.translate(c.code);
  EXPECT_EQ(key.key, c.key);
  EXPECT_EQ(key.text, c.text);
  EXPECT_EQ(key.modifiers, c.modifiers);
  EXPECT_EQ(key.repeats, c.repeats);
}

const Qt::KeyboardModifiers kNone;

INSTANTIATE_TEST_SUITE_P(
    Keys, XkbKeyboardTest,
    ::testing::Values(
        KeyCase{"Letter", "us", KEY_A, {}, {}, Qt::Key_A, "a", kNone, true},
        KeyCase{"ShiftedLetter",
                "us",
                KEY_A,
                {XKB_MOD_NAME_SHIFT},
                {},
                Qt::Key_A,
                "A",
                Qt::ShiftModifier,
                true},
        KeyCase{
            "CapsLockedLetter", "us", KEY_A, {}, {XKB_MOD_NAME_CAPS}, Qt::Key_A, "A", kNone, true},
        KeyCase{"ShiftedDigit",
                "us",
                KEY_1,
                {XKB_MOD_NAME_SHIFT},
                {},
                Qt::Key_Exclam,
                "!",
                Qt::ShiftModifier,
                true},
        KeyCase{"ControlLetter",
                "us",
                KEY_A,
                {XKB_MOD_NAME_CTRL},
                {},
                Qt::Key_A,
                "a",
                Qt::ControlModifier,
                true},
        KeyCase{"AltAndSuper",
                "us",
                KEY_E,
                {XKB_MOD_NAME_ALT, XKB_MOD_NAME_LOGO},
                {},
                Qt::Key_E,
                "e",
                Qt::AltModifier | Qt::MetaModifier,
                true},
        KeyCase{"Return", "us", KEY_ENTER, {}, {}, Qt::Key_Return, "\r", kNone, true},
        KeyCase{"KeypadEnter",
                "us",
                KEY_KPENTER,
                {},
                {},
                Qt::Key_Enter,
                "\r",
                Qt::KeypadModifier,
                true},
        KeyCase{"KeypadDigitWithNumLock",
                "us",
                KEY_KP1,
                {},
                {XKB_MOD_NAME_NUM},
                Qt::Key_1,
                "1",
                Qt::KeypadModifier,
                true},
        KeyCase{"KeypadEndWithoutNumLock",
                "us",
                KEY_KP1,
                {},
                {},
                Qt::Key_End,
                "",
                Qt::KeypadModifier,
                true},
        KeyCase{"Escape", "us", KEY_ESC, {}, {}, Qt::Key_Escape, "\x1b", kNone, true},
        KeyCase{"Backspace", "us", KEY_BACKSPACE, {}, {}, Qt::Key_Backspace, "\b", kNone, true},
        KeyCase{"Delete", "us", KEY_DELETE, {}, {}, Qt::Key_Delete, "\x7f", kNone, true},
        KeyCase{"Tab", "us", KEY_TAB, {}, {}, Qt::Key_Tab, "\t", kNone, true},
        KeyCase{"ShiftTab",
                "us",
                KEY_TAB,
                {XKB_MOD_NAME_SHIFT},
                {},
                Qt::Key_Backtab,
                "",
                Qt::ShiftModifier,
                true},
        KeyCase{"Left", "us", KEY_LEFT, {}, {}, Qt::Key_Left, "", kNone, true},
        KeyCase{"Home", "us", KEY_HOME, {}, {}, Qt::Key_Home, "", kNone, true},
        KeyCase{"End", "us", KEY_END, {}, {}, Qt::Key_End, "", kNone, true},
        KeyCase{
            "ShiftKeyDoesNotRepeat", "us", KEY_LEFTSHIFT, {}, {}, Qt::Key_Shift, "", kNone, false},
        KeyCase{"Super", "us", KEY_LEFTMETA, {}, {}, Qt::Key_Super_L, "", kNone, false},
        KeyCase{"F5", "us", KEY_F5, {}, {}, Qt::Key_F5, "", kNone, true},
        // The keymap decides, not the key's position: Y types "z" in German.
        KeyCase{"GermanLayout", "de", KEY_Y, {}, {}, Qt::Key_Z, "z", kNone, true},
        KeyCase{"GermanUmlaut",
                "de",
                KEY_SEMICOLON,
                {XKB_MOD_NAME_SHIFT},
                {},
                Qt::Key_Odiaeresis,
                QStringLiteral("\u00D6"),
                Qt::ShiftModifier,
                true}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(XkbKeyboardKeymapTest, WithoutUsableKeymapTranslatesNothing) {
  XkbKeyboard keyboard;
  EXPECT_FALSE(keyboard.hasKeymap());
  EXPECT_EQ(keyboard.translate(KEY_A).key, 0);

  const std::string garbage = "xkb_keymap { this is not a keymap";
  EXPECT_FALSE(keyboard.setKeymap(garbage.c_str(), garbage.size()));
  EXPECT_FALSE(keyboard.hasKeymap());
  EXPECT_TRUE(keyboard.translate(KEY_A).text.isEmpty());

  // A good keymap after a bad one works; reset() forgets it again.
  const std::string text = keymapText("us");
  ASSERT_TRUE(keyboard.setKeymap(text.c_str(), text.size()));
  EXPECT_EQ(keyboard.translate(KEY_A).text, "a");
  keyboard.reset();
  EXPECT_FALSE(keyboard.hasKeymap());
}

TEST(XkbKeyboardKeymapTest, CapsLockAndTheActiveLayoutFollowTheModifierState) {
  XkbKeyboard keyboard;
  const std::string single = keymapText("us");
  ASSERT_TRUE(keyboard.setKeymap(single.c_str(), single.size()));
  EXPECT_FALSE(keyboard.capsLock());
  EXPECT_EQ(keyboard.layoutName(), QString());  // one layout: nothing to tell
  keyboard.updateModifiers(0, 0, mask(single, {XKB_MOD_NAME_CAPS}), 0);
  EXPECT_TRUE(keyboard.capsLock());
  // Holding Shift is not Caps Lock.
  keyboard.updateModifiers(mask(single, {XKB_MOD_NAME_SHIFT}), 0, 0, 0);
  EXPECT_FALSE(keyboard.capsLock());

  const std::string two = keymapText("us,de");
  ASSERT_TRUE(keyboard.setKeymap(two.c_str(), two.size()));
  EXPECT_EQ(keyboard.layoutName(), QStringLiteral("English (US)"));
  keyboard.updateModifiers(0, 0, 0, 1);
  EXPECT_EQ(keyboard.layoutName(), QStringLiteral("German"));
}

}  // namespace
}  // namespace umbrafold
