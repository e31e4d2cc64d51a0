"""Whole sessions of the real umbrafold program on a private two-monitor X
server: arming from the setup window, every monitor covered, monitors
plugged in and out, other windows pushed back under the curtain, shortcuts
that do nothing, another client holding the keyboard at arming time, the
back-off, mascots for working agents, and the right password ending it all."""

import os
import time

import e2e
from curtain import Umbrafold, fake_agents, field_rect, note_rect
from xsession import wait_until

PASSWORD = "Wmx-8curtain-2fold"


# The system's red of the setup window's status line (#FF3B30), allowing for
# anti-aliasing.
def reddish(p):
    return p[0] > 200 and p[1] < 110 and p[2] < 110


class SessionTest(e2e.XSessionCase):
    def setUp(self):
        super().setUp()
        self.x.set_layout([("DUMMY0", "1280x800"), ("DUMMY1", "1024x768")])
        self.x.clear_shortcuts()

    def tearDown(self):
        super().tearDown()
        if getattr(self, "app", None):
            self.app.stop()

    def start(self, env=None):
        self.app = Umbrafold(self.x, e2e.BUILD, env)
        return self.app

    def unlock(self):
        self.app.submit(PASSWORD)
        self.assertEqual(self.app.wait_exit(10), 0)
        # The keyboard is free again.
        grabber = self.other("grab", "keyboard")
        self.assertEqual(grabber.expect(), "grabbed")

    def test_arming_waits_for_a_keyboard_or_pointer_held_by_another_client(self):
        app = self.start()
        window = app.setup_window()
        self.assertIsNotNone(window)
        time.sleep(1)
        # A pointer held elsewhere: typing still reaches the setup window, and
        # the curtain refuses to come up.
        pointer = self.other("grab", "pointer")
        self.assertEqual(pointer.expect(), "grabbed")
        self.x.type(PASSWORD)
        self.x.key("Tab")
        self.x.type(PASSWORD)
        setup = app.setup_geometry(window)
        red = lambda: self.x.screenshot().count(setup, predicate=reddish)
        self.assertTrue(wait_until(lambda: red() > 0, 10),
                        "the failure shows in red in the setup window")
        self.assertTrue(app.alive())
        self.assertTrue(app.setup_visible(window))
        self.assertFalse(app.all_covered())
        pointer.close()
        # A keyboard held elsewhere gets our keystrokes, so the edits are sent
        # to the setup window directly: one that breaks the match (the red
        # message goes), one that restores it (arming fails again).
        keyboard = self.other("grab", "keyboard")
        self.assertEqual(keyboard.expect(), "grabbed")
        send = lambda keysym: self.x.run([e2e.program("umbrafold_xprobe"), "send-keys", window,
                                          keysym])
        send("ff08")  # BackSpace
        self.assertTrue(wait_until(lambda: red() == 0, 5))
        send("%x" % ord(PASSWORD[-1]))
        self.assertTrue(wait_until(lambda: red() > 0, 10))
        self.assertTrue(app.alive())
        self.assertTrue(app.setup_visible(window))
        self.assertFalse(app.all_covered())
        keyboard.close()
        # Once both are free, the next edit arms.
        self.x.key("BackSpace")
        self.x.type(PASSWORD[-1])
        self.assertTrue(app.wait_covered(), app.uncovered())
        self.assertFalse(app.setup_visible(window))
        time.sleep(0.5)
        self.unlock()

    def test_every_monitor_stays_covered_and_shortcuts_do_nothing(self):
        # Bright windows underneath, one managed, one override-redirect.
        managed = self.other("window", "ff0000", "50", "50", "1400", "600")
        self.assertTrue(managed.expect().startswith("mapped"))
        app = self.start()
        window = app.type_setup(PASSWORD)
        self.assertTrue(app.wait_covered(with_strip=True), app.uncovered(with_strip=True))
        self.assertFalse(app.setup_visible(window))

        # Window-manager and application shortcuts do nothing.
        for keys in ("alt+Tab", "ctrl+q", "Super_L", "super+e", "ctrl+alt+Right", "alt+F4"):
            self.x.key(keys)
        time.sleep(0.5)
        self.assertEqual(self.x.fired_shortcuts(), [])
        self.assertTrue(app.alive())
        self.assertTrue(app.all_covered(with_strip=True))

        # Windows mapped or raised later go back under the curtain.
        popup = self.other("window", "ff0000", "200", "200", "400", "300", "override")
        self.assertTrue(popup.expect().startswith("mapped"))
        self.assertTrue(app.wait_covered(5), app.uncovered())
        popup.send("raise")
        self.assertEqual(popup.expect(), "raised")
        self.assertTrue(app.wait_covered(5), app.uncovered())
        late = self.other("window", "ff0000", "1300", "100", "600", "400")
        late_id = late.expect().split()[1]
        self.assertTrue(app.wait_covered(5), app.uncovered())

        # A monitor plugged in is covered; one unplugged leaves the rest covered.
        self.x.plug("DUMMY2")
        self.assertIn("DUMMY2", self.x.monitors())
        self.assertTrue(app.wait_covered(10), app.uncovered())
        self.x.unplug("DUMMY1")
        time.sleep(1)
        self.assertTrue(app.alive())
        self.assertTrue(app.wait_covered(10), app.uncovered())
        # Another window takes the keyboard focus; the curtain takes it back,
        # and the right password typed now ends it.
        self.x.run(["xdotool", "windowfocus", late_id])
        time.sleep(0.5)
        self.unlock()

    def test_wrong_passwords_back_off_and_the_right_one_ends_it(self):
        app = self.start()
        app.type_setup(PASSWORD)
        self.assertTrue(app.wait_covered())
        time.sleep(0.5)
        # Two rejections, then waits of 1 s and 2 s, each waited out from
        # the moment the check has given its verdict.
        for wait in (0, 0, 1, 2):
            app.submit("wrong-guess")
            self.assertTrue(app.wait_idle())
            time.sleep(wait + 0.3)
            self.assertTrue(app.alive())
        # The fifth failure starts a 4 s wait: the right password is refused.
        app.submit("wrong-guess")
        self.assertTrue(app.wait_idle())
        started = time.monotonic()
        app.submit(PASSWORD)
        self.assertTrue(app.wait_idle())  # an accepted check would derive, then exit
        self.assertTrue(app.alive(), "the right password during a wait is refused")
        self.assertTrue(app.all_covered())
        time.sleep(max(0, started + 4.3 - time.monotonic()))
        self.unlock()

    def test_clicking_the_second_curtain_moves_the_typing_there(self):
        app = self.start()
        self.assertTrue(app.arm(PASSWORD))
        monitors = self.x.monitors()
        field = field_rect(monitors["DUMMY1"])
        before = self.x.screenshot().count(field)
        x, y, w, h = monitors["DUMMY1"]
        self.x.run(["xdotool", "mousemove", str(x + w // 4), str(y + h // 4), "click", "1"])
        time.sleep(0.3)
        self.x.type(PASSWORD)
        # Bullets appear in the second monitor's field.
        self.assertTrue(wait_until(lambda: self.x.screenshot().count(field) > before + 50, 5))
        if os.environ.get("UMBRAFOLD_E2E_SHOTS"):
            self.x.save_png(os.path.join(os.environ["UMBRAFOLD_E2E_SHOTS"], "second-curtain.png"))
        self.x.key("Return")
        self.assertEqual(app.wait_exit(10), 0)

    def test_caps_lock_is_told_under_the_key_field_and_typing_still_unlocks(self):
        # Two layouts configured: the active one's name shows beside it.
        self.x.run(["setxkbmap", "-layout", "us,de"])
        try:
            app = self.start()
            self.assertTrue(app.arm(PASSWORD))
            monitors = self.x.monitors()
            grey = lambda p: p[0] == p[1] == p[2] and p[0] < 200
            self.assertTrue(wait_until(lambda: self.x.screenshot().count(
                note_rect(monitors["DUMMY0"]), predicate=grey) > 20, 5), "the layout's name")
            red = lambda name: self.x.screenshot().count(note_rect(monitors[name]),
                                                         predicate=reddish)
            self.x.key("Caps_Lock")
            self.assertTrue(wait_until(lambda: red("DUMMY0") > 20, 5), "Caps Lock is on, in red")
            self.assertEqual(red("DUMMY1"), 0, "only the key curtain tells")
            if os.environ.get("UMBRAFOLD_E2E_SHOTS"):
                self.x.save_png(os.path.join(os.environ["UMBRAFOLD_E2E_SHOTS"], "caps-lock.png"))
            self.x.key("Caps_Lock")
            self.assertTrue(wait_until(lambda: red("DUMMY0") == 0, 5),
                            "the note goes with Caps Lock")
            self.unlock()
        finally:
            # The X session serves the cases after this one.
            self.x.run(["setxkbmap", "-layout", "us"])

    def test_mascots_walk_for_working_agents(self):
        agents, env = fake_agents(self.x, e2e.BUILD, claude=2, codex=2)
        self.assertIn("CLAUDE_CONFIG_DIR", env)
        self.assertIn("CODEX_HOME", env)
        app = self.start(env)
        app.type_setup(PASSWORD)
        self.assertTrue(app.wait_covered())
        strips = wait_until(lambda: all(n > 0 for n in app.strip_pixels().values()) and
                            app.strip_pixels(), 10, 0.2)
        self.assertTrue(strips, "every curtain's strip shows mascots")
        # Outside the strip and the field, still white.
        self.assertTrue(app.all_covered())
        self.unlock()
        agents.terminate()
        agents.wait(10)

    def test_sprite_files_that_would_block_are_passed_over(self):
        # A FIFO and a device as sprite sheets, a huge file beside them: the
        # mascots fall back to their names, and the curtain still unlocks.
        agents, env = fake_agents(self.x, e2e.BUILD, claude=1, codex=1)
        data = os.path.join(self.x.dir, "data")
        characters = os.path.join(data, "Umbrafold", "Characters")
        os.makedirs(characters)
        os.mkfifo(os.path.join(characters, "Claude.png"))
        os.symlink("/dev/zero", os.path.join(characters, "Codex.png"))
        with open(os.path.join(characters, "Codex-left.png"), "wb") as huge:
            huge.truncate(100 << 20)
        env["XDG_DATA_HOME"] = data
        app = self.start(env)
        self.assertTrue(app.arm(PASSWORD))
        self.assertTrue(wait_until(lambda: all(n > 0 for n in app.strip_pixels().values()), 10))
        self.unlock()
        agents.terminate()
        agents.wait(10)


if __name__ == "__main__":
    e2e.main()
