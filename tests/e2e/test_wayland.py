"""Whole sessions of umbrafold on a real Wayland compositor: Debian 13's
headless sway, which offers the session lock, with two outputs on a magenta
desktop, driven with wtype and umbrafold_wayland_pointer and looked at with
grim (test_wayland_labwc.py runs the same cases on labwc). Debian 12's own
sway 1.7 has no session lock: there arming is refused.

UMBRAFOLD_E2E_SHOTS=<dir> keeps a screenshot of every step."""

import os
import signal
import subprocess
import time
import unittest

import e2e
from curtain import (FIELD_HALF_HEIGHT, FIELD_HALF_WIDTH, STRIP_HEIGHT, Umbrafold, fake_agents,
                     field_rect, note_rect)
from waylandsession import MAGENTA, OldSway, SwaySession
from xsession import LineProcess, Screenshot, cpu_seconds, wait_until

PASSWORD = "Wl7-curtain-fold"
HALF = "Wl7-curtain-"
REFUSED = "offers no session lock (ext-session-lock-v1)"


class WaylandUmbrafold(Umbrafold):
    """umbrafold on a SwaySession or LabwcSession: the setup window is a
    Wayland window, found by nobody, typed into as it comes up with the
    keyboard focus."""

    def type_setup(self, password, confirmation=None, settle=1.5):
        time.sleep(settle)
        self.x.type(password)
        self.x.key("Tab")
        self.x.type(password if confirmation is None else confirmation)

    def stderr(self):
        with open(self.log, errors="replace") as log:
            return log.read()

    def left_out(self):
        return self.x.cursor_boxes()

    def gl_libraries(self):
        """The Mesa, DRI and LLVM libraries the process has loaded."""
        with open("/proc/%d/maps" % self.pid) as maps:
            return sorted({line.split()[-1] for line in maps
                           if any(n in line for n in ("mesa", "_dri.so", "libLLVM", "libgbm"))})


def reddish(p):
    """The curtain's red note (#FF3B30), allowing for anti-aliasing."""
    return p[0] > 200 and p[1] < 110 and p[2] < 110


def shot(session, name):
    directory = os.environ.get("UMBRAFOLD_E2E_SHOTS")
    if directory:
        os.makedirs(directory, exist_ok=True)
        session.save_png(os.path.join(directory, "wayland-%s-%s.png" % (session.name, name)))


class SessionLockTest(unittest.TestCase):
    """The cases on one compositor, `Session` (SwaySession or LabwcSession)."""

    Session = SwaySession
    # The signal that ends a case's session from outside: SIGTERM on one
    # compositor, SIGINT on the other.
    END_SIGNAL = signal.SIGTERM

    def setUp(self):
        self.session = self.Session(outputs=2)
        self.session.start()
        self.apps = []

    def tearDown(self):
        for app in self.apps:
            app.stop()
        self.session.stop()

    def start(self, env=None):
        self.assertTrue(self.desktop_back(), "the desktop shows at first")
        app = WaylandUmbrafold(self.session, e2e.BUILD, env)
        self.apps.append(app)
        return app

    def desktop(self):
        """What magenta() says while nothing covers the desktop."""
        return {name: self.session.desktop_pixels(name) for name in self.session.monitors()}

    def arm(self, app, settle=1.5):
        self.assertEqual(sorted(self.session.monitors()), ["HEADLESS-1", "HEADLESS-2"])
        app.type_setup(PASSWORD, settle=settle)
        covered = app.wait_covered()
        shot(self.session, "armed")
        self.assertTrue(covered, "%s\n%s" % (app.uncovered(), app.stderr()))
        self.assertEqual(set(self.session.magenta().values()), {0})

    def desktop_back(self):
        return wait_until(lambda: self.session.magenta() == self.desktop(), 5, 0.1)

    def unlock(self, app):
        app.submit(PASSWORD)
        self.assertEqual(app.wait_exit(15), 0, app.stderr())
        self.assertTrue(self.desktop_back(), "the desktop comes back")
        shot(self.session, "unlocked")

    def click(self, output, x, y):
        self.assertTrue(self.session.click(e2e.program("umbrafold_wayland_pointer"), output, x, y))

    def test_arming_covers_every_output_and_follows_a_new_one(self):
        app = self.start()
        time.sleep(1.5)
        # The setup window is up: nothing said, and no GL loaded for it
        # (the compositor draws its title bar).
        self.assertEqual(app.stderr(), "")
        self.assertEqual(app.gl_libraries(), [])
        self.arm(app, settle=0)
        # The field shows in the centre of both outputs, nothing else.
        self.assertTrue(all(n == 0 for n in app.uncovered(with_strip=True).values()))
        third = self.session.plug()
        self.assertEqual(len(self.session.monitors()), 3)
        covered = wait_until(lambda: app.all_covered(), 5, 0.05)
        shot(self.session, "third-output")
        self.assertTrue(covered, app.uncovered())
        self.assertEqual(set(self.session.magenta().values()), {0})
        self.session.unplug(third)
        self.assertTrue(wait_until(lambda: len(self.session.monitors()) == 2, 5, 0.1))
        self.assertTrue(app.alive())
        # Outputs unplugged and plugged in quick succession, one of them the
        # key curtain's: every output that is there is covered.
        self.session.unplug("HEADLESS-1")
        for _ in range(3):
            self.session.unplug(self.session.plug())
        self.session.plug()
        self.assertTrue(wait_until(lambda: len(self.session.monitors()) == 2, 5, 0.1))
        self.assertEqual(set(self.session.magenta().values()), {0}, "never the desktop")
        self.assertTrue(app.wait_covered(5), app.uncovered())
        self.assertTrue(app.alive())
        self.unlock(app)

    def test_wrong_passwords_back_off_and_the_right_one_ends_it(self):
        app = self.start()
        self.arm(app)
        typed = self.session.screenshot()
        # What is typed shows in the field of the key curtain.
        self.session.type("abc")
        self.assertTrue(wait_until(lambda: self.session.screenshot().data != typed.data, 5, 0.1))
        shot(self.session, "typing")
        self.session.key("Escape")
        for wait in (0, 0, 1):
            app.submit("wrong-guess")
            self.assertTrue(app.wait_idle())
            time.sleep(wait + 0.3)
            self.assertTrue(app.alive())
        shot(self.session, "wrong")
        # The fourth failure starts a 2 s wait: the right password is refused.
        app.submit("wrong-guess")
        self.assertTrue(app.wait_idle())
        started = time.monotonic()
        app.submit(PASSWORD)
        self.assertTrue(app.wait_idle())
        self.assertTrue(app.alive(), "the right password during a wait is refused")
        self.assertTrue(app.all_covered())
        time.sleep(max(0, started + 2.3 - time.monotonic()))
        self.unlock(app)

    def test_mascots_walk_for_working_agents(self):
        agents, env = fake_agents(self.session, e2e.BUILD, claude=2, codex=1)
        try:
            app = self.start(env)
            self.arm(app)
            first = wait_until(lambda: all(n > 0 for n in app.strip_pixels().values()) and
                               self.session.screenshot(), 10, 0.2)
            self.assertTrue(first, "every strip shows mascots")
            shot(self.session, "mascots")
            moved = wait_until(lambda: self.session.screenshot().data != first.data, 5, 0.2)
            self.assertTrue(moved, "the mascots move")
            self.assertTrue(app.all_covered())
            self.unlock(app)
        finally:
            agents.terminate()
            agents.wait(10)

    def test_a_killed_curtain_leaves_the_session_locked(self):
        app = self.start()
        self.arm(app)
        os.kill(app.pid, signal.SIGKILL)
        app.wait_exit(5)
        for _ in range(10):
            self.assertEqual(set(self.session.magenta().values()), {0}, "never the desktop")
            time.sleep(0.1)
        shot(self.session, "killed")
        # Another locker can take the lock over and end it.
        probe = self.probe()
        probe.send("lock")
        self.assertEqual(probe.expect("locked", timeout=5), "locked")
        probe.send("unlock")
        self.assertEqual(probe.expect("unlocked"), "unlocked")
        probe.close()
        self.assertTrue(wait_until(lambda: min(self.session.magenta().values()) > 0, 5, 0.1))

    def probe(self):
        """Another session locker (the lock on its own, driven line by line)."""
        env = self.session.env
        env["QT_QPA_PLATFORM"] = "offscreen"
        probe = LineProcess(self.session, [e2e.program("umbrafold_wayland_probe")], env=env)
        self.assertEqual(probe.expect("ready"), "ready canlock=1")
        return probe

    def test_only_one_locker_holds_the_session(self):
        # Another locker is told the session is locked already, and the
        # curtain stays.
        app = self.start()
        self.arm(app)
        probe = self.probe()
        probe.send("lock")
        self.assertEqual(probe.expect("finished", timeout=5), "finished")
        probe.close()
        self.assertTrue(app.all_covered())
        self.unlock(app)
        # The other way round cannot be brought about from here: the curtain
        # asks for the lock with the keystroke that arms it, and while
        # another locker holds the session no key reaches the setup window.

    def test_no_copy_of_the_password_survives(self):
        if self.Session is not SwaySession:
            self.skipTest("the compositor plays no part; run on sway")
        app = self.start()
        self.arm(app)
        time.sleep(0.5)
        self.assertIn("utf-16le", app.memory_holds("Curtain password"))
        self.assertEqual(app.memory_holds(PASSWORD), [], "after arming")
        app.submit("Vb4-wrongly-T8jq")
        self.assertTrue(app.wait_idle())
        self.assertEqual(app.memory_holds(PASSWORD), [], "after a wrong attempt")
        self.assertEqual(app.memory_holds("Vb4-wrongly-T8jq"), [], "the wrong attempt")
        self.session.type(HALF)
        time.sleep(21)  # the field clears itself after 20 s without an edit
        self.assertEqual(app.memory_holds(HALF), [], "after the idle clear")
        self.unlock(app)


    def test_the_arrow_button_unlocks_and_a_click_moves_the_typing(self):
        app = self.start()
        self.arm(app)
        # A click on the second output's curtain makes it the key one:
        # what is typed shows in its field, and its arrow button unlocks.
        second = self.session.monitors()["HEADLESS-2"]
        _, _, w, h = second
        field = field_rect(second)
        before = self.session.screenshot().count(field)
        self.click("HEADLESS-2", w // 4, h // 4)
        self.session.type(PASSWORD)
        self.assertTrue(wait_until(lambda: self.session.screenshot().count(field) > before + 50,
                                   5, 0.1), "bullets in the second output's field")
        shot(self.session, "second-output-typed")
        self.assertTrue(app.alive())
        self.click("HEADLESS-2", w // 2 + 114, h // 2)
        self.assertEqual(app.wait_exit(15), 0, app.stderr())
        self.assertTrue(self.desktop_back(), "the desktop comes back")

    def test_signals_are_ignored_or_end_the_session_cleanly(self):
        app = self.start()
        self.arm(app)
        for number in (signal.SIGHUP, signal.SIGUSR1, signal.SIGUSR2, signal.SIGPIPE):
            app.process.send_signal(number)
        time.sleep(0.5)
        self.assertTrue(app.alive())
        self.assertTrue(app.all_covered())
        app.process.send_signal(self.END_SIGNAL)
        self.assertEqual(app.wait_exit(10), 128 + self.END_SIGNAL, app.stderr())
        self.assertTrue(self.desktop_back(), "the session is unlocked")

    def test_a_held_key_repeats_and_a_new_keymap_is_followed(self):
        app = self.start()
        self.arm(app)
        # Held long enough, Backspace repeats over all of the text (at the
        # compositor's rate: 600 ms, then 25 a second), and stops when let go.
        self.session.type("garbage!")
        self.session.hold("BackSpace", 1.5)
        # Each wtype run brings a keymap of its own, in which the same key
        # codes mean other letters: the second half arrives right only when
        # the new keymap is followed.
        self.session.type(HALF)
        self.session.type(PASSWORD[len(HALF):])
        self.session.key("Return")
        self.assertEqual(app.wait_exit(15), 0, app.stderr())

    def test_outputs_switched_off_and_on_stay_covered_and_typing_still_unlocks(self):
        app = self.start()
        self.arm(app)
        self.session.power(False)
        time.sleep(0.5)
        self.session.power(True)
        self.assertTrue(wait_until(self.session.screenshot, 10, 0.2), "the outputs are on")
        self.assertTrue(app.wait_covered(10), app.uncovered())
        self.assertEqual(set(self.session.magenta().values()), {0})
        self.session.power(False)
        app.submit(PASSWORD)
        self.assertEqual(app.wait_exit(15), 0, app.stderr())
        self.session.power(True)
        self.assertTrue(self.desktop_back(), "the desktop comes back")

    def test_a_wrong_password_and_at_once_the_right_one_unlocks(self):
        # The right password is typed while the wrong one is still checked.
        app = self.start()
        self.arm(app)
        self.session.inside(["wtype", "-s", "300", "wrong-guess", "-k", "Return", PASSWORD,
                             "-k", "Return"])
        self.assertEqual(app.wait_exit(15), 0, app.stderr())

    def test_caps_lock_is_told_on_the_key_curtain_and_goes_with_it(self):
        app = self.start()
        self.arm(app)
        monitors = self.session.monitors()

        def red():
            """The outputs whose curtain shows red under the field."""
            shot_now = self.session.screenshot()
            return {name for name, m in monitors.items()
                    if shot_now.count(note_rect(m), predicate=reddish) > 20}

        # A screenshot may wait seconds for a frame of a still curtain.
        holder = self.session.holding("capslock", 12)
        try:
            shown = wait_until(red, 12)
            shot(self.session, "caps-lock")
            self.assertEqual(len(shown), 1, "Caps Lock is on, on the key curtain alone")
        finally:
            holder.wait(20)
        self.assertTrue(wait_until(lambda: not red(), 12), "the note goes with Caps Lock")
        self.unlock(app)

    def test_the_compositor_going_away_ends_it_with_one_line(self):
        app = self.start()
        self.arm(app)
        said = len(app.stderr().splitlines())
        used = cpu_seconds(app.pid)
        self.session.process.terminate()
        # The rusage of the reaped process tells its CPU time to the end.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            pid, status, usage = os.wait4(app.pid, os.WNOHANG)
            if pid:
                break
            time.sleep(0.05)
        self.assertTrue(pid, "still running after the compositor went away")
        app.process.returncode = os.waitstatus_to_exitcode(status)
        self.assertNotEqual(app.process.returncode, 0)
        lines = app.stderr().splitlines()[said:]
        self.assertEqual(len(lines), 1, lines)
        self.assertLess(usage.ru_utime + usage.ru_stime - used, 1.0, "no spin")


class NoSessionLockTest(unittest.TestCase):
    def test_arming_is_refused_where_the_compositor_cannot_lock(self):
        with OldSway() as sway:
            log = os.path.join(sway.runtime, "umbrafold.log")
            with open(log, "wb") as out:
                app = subprocess.Popen([e2e.program("umbrafold")], env=sway.env, stdout=out,
                                       stderr=subprocess.STDOUT)
            try:
                time.sleep(1.5)
                for text in (PASSWORD, None, PASSWORD):
                    args = ["wtype", "-s", "300"] + (["-k", "Tab"] if text is None else [text])
                    subprocess.run(args, env=sway.env, check=False)
                def said():
                    with open(log, errors="replace") as text:
                        return text.read()
                self.assertTrue(wait_until(lambda: REFUSED in said(), 10, 0.1), said())
                self.assertIn("Wayland session (WAYLAND_DISPLAY=", said())
                self.assertIsNone(app.poll(), "the setup window stays")
            finally:
                app.terminate()
                app.wait(10)



class ScaledOutputTest(unittest.TestCase):
    """One output of two at each scale, fractional ones too: every pixel of
    each output, read back at its own resolution, is the curtain's, when
    armed at a fractional scale and again after each change of scale while
    locked."""

    SCALES = ("1.25", "1.5", "1.75", "2", "1")
    # A whole number of logical pixels at every scale above, so that grim
    # reads the output back pixel for pixel (it resamples an output whose
    # logical size is fractional).
    MODE = "1260x840"

    def setUp(self):
        self.sway = SwaySession(outputs=2)
        self.sway.start()
        self.agents, env = fake_agents(self.sway, e2e.BUILD, claude=2, codex=1)
        self.app = WaylandUmbrafold(self.sway, e2e.BUILD, env)

    def tearDown(self):
        self.app.stop()
        self.agents.terminate()
        self.agents.wait(10)
        self.sway.stop()

    def output_shot(self, name):
        """`name`'s pixels at its own resolution, and its scale."""
        result = self.sway.inside(["grim", "-o", name, "-t", "ppm", "-"])
        if result.returncode != 0 or not result.stdout:
            return None
        return Screenshot.from_ppm(result.stdout)

    def keep(self, name, step):
        """With UMBRAFOLD_E2E_SHOTS, `name` as it is now, at its resolution."""
        directory = os.environ.get("UMBRAFOLD_E2E_SHOTS")
        if directory:
            os.makedirs(directory, exist_ok=True)
            result = self.sway.inside(["grim", "-o", name, "-"])
            with open(os.path.join(directory, "wayland-%s.png" % step), "wb") as out:
                out.write(result.stdout)

    def stray_pixels(self, name, scale):
        """Pixels of `name` that are not the curtain's: not white outside the
        field and the strip, the desktop's magenta anywhere."""
        shot = self.output_shot(name)
        if shot is None:
            return None
        w, h = shot.width, shot.height
        fw, fh = int(FIELD_HALF_WIDTH * scale) + 2, int(FIELD_HALF_HEIGHT * scale) + 2
        field = (w // 2 - fw, h // 2 - fh, 2 * fw, 2 * fh)
        strip_top = h - int(STRIP_HEIGHT * scale) - 2
        strip = (0, strip_top, w, h - strip_top)
        return (shot.count((0, 0, w, h), excluding=[field, strip]) +
                shot.count(strip, predicate=lambda p: p == MAGENTA))

    def all_curtain(self, scales):
        return all(self.stray_pixels(name, scale) == 0 for name, scale in scales.items())

    def test_every_pixel_is_covered_at_every_scale(self):
        scales = {"HEADLESS-1": 1.0, "HEADLESS-2": 1.75}
        self.sway.swaymsg("output", "HEADLESS-2", "mode", self.MODE, "scale", "1.75")
        self.app.type_setup(PASSWORD)
        covered = wait_until(lambda: self.all_curtain(scales), 10, 0.1)
        self.keep("HEADLESS-2", "armed-1.75")
        self.assertTrue(covered, "armed at scale 1.75: %s\n%s" % (
                            {n: self.stray_pixels(n, s) for n, s in scales.items()},
                            self.app.stderr()))
        for scale in self.SCALES:
            with self.subTest(scale=scale):
                self.sway.swaymsg("output", "HEADLESS-2", "scale", scale)
                scales["HEADLESS-2"] = float(scale)
                # The first frame at the new scale shows nothing of the desktop.
                first = self.output_shot("HEADLESS-2")
                self.assertEqual(first.count((0, 0, first.width, first.height),
                                             predicate=lambda p: p == MAGENTA), 0)
                covered = wait_until(lambda: self.all_curtain(scales), 5, 0.05)
                self.keep("HEADLESS-2", "scale-%s" % scale)
                self.assertTrue(covered, {n: self.stray_pixels(n, s) for n, s in scales.items()})
        self.assertTrue(self.app.alive(), self.app.stderr())
        self.app.submit(PASSWORD)
        self.assertEqual(self.app.wait_exit(15), 0, self.app.stderr())


if __name__ == "__main__":
    e2e.main()
