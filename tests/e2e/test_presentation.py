"""The X11 presentation and focus on a real server, through
umbrafold_presentation_probe: grabs taken and refused, shortcuts kept from the
window manager, curtains kept above other clients' windows, everything given
back on release; and the mascot strip as the server draws it, through
umbrafold_strip_probe."""

import os
import signal
import subprocess
import time

import e2e
from xsession import LineProcess, wait_until

MAGENTA = (255, 0, 255)
RED = (255, 0, 0)


def colour(c):
    return lambda p: p == c


class PresentationTest(e2e.XSessionCase):
    def setUp(self):
        super().setUp()
        self.probe = LineProcess(self.x, [e2e.program("umbrafold_presentation_probe")])

    def tearDown(self):
        super().tearDown()
        self.probe.send("quit")
        self.probe.close()
        self.x.clear_shortcuts()


    def arm(self):
        self.probe.send("arm")
        self.assertEqual(self.probe.expect("", 5), "armed")
        self.assertEqual(self.probe.expect("covered", 5), "covered")
        # The focus follows once the first window is exposed.
        self.assertTrue(wait_until(lambda: self.state() == "state key=1 active=1 locker=0", 5))

    def state(self):
        self.probe.send("state")
        return self.probe.expect("state", 5)

    def uncovered(self, rect):
        return self.x.screenshot().count(rect, predicate=lambda p: p in (MAGENTA, RED))

    def test_arming_waits_about_a_second_for_a_held_keyboard_then_refuses(self):
        grabber = self.other("grab", "keyboard")
        self.assertEqual(grabber.expect(), "grabbed")
        start = time.monotonic()
        self.probe.send("arm")
        self.assertEqual(self.probe.expect("", 10), "refused")
        self.assertGreaterEqual(time.monotonic() - start, 0.9)
        # Nothing was shown, and the pointer was not kept either.
        self.assertEqual(self.other("grab", "pointer").expect(), "grabbed")
        self.helpers.pop().close()
        grabber.close()
        self.arm()

    def test_armed_holds_keyboard_and_pointer_and_gives_them_back(self):
        self.arm()
        # Both curtains ask the compositor to leave them alone.
        # They live inside the Composite Overlay Window, where xdotool does
        # not look.
        windows = [line.split()[0] for line in self.x.output(
            [e2e.program("umbrafold_xprobe"), "find", "umbrafold_presentation_probe"]).splitlines()]
        self.assertEqual(len(windows), 2)
        for window in windows:
            self.assertIn("= 1", self.x.output(["xprop", "-id", window,
                                                "_NET_WM_BYPASS_COMPOSITOR"]))
        self.assertTrue(self.other("grab", "keyboard").expect().startswith("busy"))
        self.assertTrue(self.other("grab", "pointer").expect().startswith("busy"))
        self.probe.send("release")
        self.assertEqual(self.probe.expect("released"), "released")
        self.assertEqual(self.other("grab", "keyboard").expect(), "grabbed")
        self.assertEqual(self.other("grab", "pointer").expect(), "grabbed")

    def test_refused_under_wayland(self):
        env = self.x.env
        env["WAYLAND_DISPLAY"] = "wayland-0"
        probe = LineProcess(self.x, [e2e.program("umbrafold_presentation_probe")], env=env)
        self.helpers.append(probe)
        probe.send("arm")
        self.assertEqual(probe.expect("", 5), "refused")
        self.assertEqual(self.other("grab", "keyboard").expect(), "grabbed")

    def test_focus_taken_by_another_window_comes_back(self):
        other = self.other("window", "ff0000", "100", "100", "300", "200")
        window = other.expect().split()[1]
        self.arm()
        self.x.run(["xdotool", "windowfocus", window])
        self.assertEqual(self.probe.expect("resigned", 5), "resigned")
        self.x.type("back")
        self.x.key("Return")
        self.assertEqual(self.probe.expect("typed", 5), "typed back")
        self.assertEqual(self.state(), "state key=1 active=1 locker=0")

    def test_an_active_desktop_locker_is_seen_on_the_session_bus(self):
        bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1",
                              "--print-pid=1"], capture_output=True, text=True, check=True)
        address, pid = bus.stdout.split()[:2]
        try:
            env = self.x.env
            env["DBUS_SESSION_BUS_ADDRESS"] = address
            probe = LineProcess(self.x, [e2e.program("umbrafold_presentation_probe")], env=env)
            self.helpers.append(probe)
            probe.send("state")
            self.assertTrue(probe.expect("state", 5).endswith("locker=0"))
            locker = LineProcess(self.x, [e2e.program("umbrafold_presentation_probe"), "locker"],
                                 env=env)
            self.helpers.append(locker)
            self.assertEqual(locker.expect("", 5), "serving")
            probe.send("state")
            self.assertTrue(probe.expect("state", 5).endswith("locker=1"))
        finally:
            os.kill(int(pid), signal.SIGTERM)

    def test_shortcuts_never_reach_the_window_manager_while_armed(self):
        # The bindings work when nothing is armed...
        self.x.key("alt+Tab")
        self.assertTrue(wait_until(lambda: "alt-tab" in self.x.fired_shortcuts(), 5))
        self.x.clear_shortcuts()
        self.arm()
        for keys in ("alt+Tab", "super+e", "Super_L", "ctrl+alt+Right"):
            self.x.key(keys)
        # ...and typing still reaches the key window.
        self.x.key("Escape")
        self.x.type("abc")
        self.x.key("Return")
        self.assertTrue(self.probe.expect("typed", 5).endswith("abc"))
        self.assertEqual(self.x.fired_shortcuts(), [])

    def test_windows_mapped_or_raised_later_are_covered_again(self):
        self.arm()
        time.sleep(0.5)
        self.assertEqual(self.uncovered((0, 0, 1280, 800)), 0)
        popup = self.other("window", "ff0000", "100", "100", "300", "200", "override")
        self.assertTrue(popup.expect().startswith("mapped"))
        managed = self.other("window", "ff0000", "600", "300", "300", "200")
        self.assertTrue(managed.expect().startswith("mapped"))
        self.assertTrue(wait_until(lambda: self.uncovered((0, 0, 1280, 800)) == 0, 5))
        popup.send("raise")
        self.assertEqual(popup.expect(), "raised")
        self.assertTrue(wait_until(lambda: self.uncovered((0, 0, 1280, 800)) == 0, 5))
        # Once released, the same window shows again when raised.
        self.probe.send("release")
        self.probe.expect("released")
        popup.send("raise")
        self.assertTrue(wait_until(
            lambda: self.x.screenshot().count((100, 100, 300, 200), colour(RED)) == 300 * 200, 5))

    def test_the_strip_the_server_draws_is_the_strip_blended_in_memory(self):
        # Pictures alone, meeting, crossing and leaving, and the strip after
        # another window covered it: every pixel of every frame read back.
        probe = subprocess.run([e2e.program("umbrafold_strip_probe")], env=self.x.env,
                               capture_output=True, text=True, timeout=60)
        self.assertEqual(probe.stdout.strip(), "same 62", probe.stdout + probe.stderr)


if __name__ == "__main__":
    e2e.main()
