"""Driving the real umbrafold program on an XSession, the way a person would:
typing into the setup window and the curtains, and looking at the screen.
Shared by the end-to-end tests, tools/measure and tools/demo."""

import os
import re
import subprocess
import tempfile
import time

from xsession import cpu_seconds, wait_until

# Curtain layout, in pixels: the field is centred (260 wide; the margin
# leaves room for its frame), the keyboard note ("Caps Lock is on") lies
# under it, the mascot strip runs along the bottom.
FIELD_HALF_WIDTH = 150
FIELD_HALF_HEIGHT = 30
NOTE_HEIGHT = 24
STRIP_HEIGHT = 94


def field_rect(monitor):
    """The field with the keyboard note under it."""
    x, y, w, h = monitor
    cx, cy = x + w // 2, y + h // 2
    return (cx - FIELD_HALF_WIDTH, cy - FIELD_HALF_HEIGHT, 2 * FIELD_HALF_WIDTH,
            2 * FIELD_HALF_HEIGHT + NOTE_HEIGHT)


def note_rect(monitor):
    """Where the keyboard note shows: under the field."""
    x, y, w, h = monitor
    cx, cy = x + w // 2, y + h // 2
    return (cx - FIELD_HALF_WIDTH, cy + 12, 2 * FIELD_HALF_WIDTH, FIELD_HALF_HEIGHT + NOTE_HEIGHT - 12)


def strip_rect(monitor):
    x, y, w, h = monitor
    return (x, y + h - STRIP_HEIGHT, w, STRIP_HEIGHT)


class Umbrafold:
    """One umbrafold process on `session`, with a private home (no real
    agents, no sprite sheets) unless `env` says otherwise."""

    def __init__(self, session, build, env=None):
        self.x = session
        self.home = tempfile.mkdtemp(prefix="umbrafold-home-", dir=session.dir)
        runtime = os.path.join(self.home, "run")
        os.makedirs(runtime, mode=0o700)
        environment = session.env
        for name in ("CLAUDE_CONFIG_DIR", "CODEX_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"):
            environment.pop(name, None)
        environment.update({"HOME": self.home, "XDG_RUNTIME_DIR": runtime,
                            "CLAUDE_CONFIG_DIR": os.path.join(self.home, "claude"),
                            "CODEX_HOME": os.path.join(self.home, "codex")})
        environment.update(env or {})
        self.build = build
        self.log = os.path.join(self.home, "umbrafold.log")
        with open(self.log, "wb") as log:
            self.process = session.spawn([os.path.join(build, "umbrafold")], env=environment,
                                         stdout=log, stderr=subprocess.STDOUT)
        self.pid = self.process.pid

    # -- the setup window --------------------------------------------------

    def setup_window(self, timeout=15):
        """The id of the visible setup window, once it is there."""
        def find():
            out = self.x.output(["xdotool", "search", "--onlyvisible", "--pid", str(self.pid),
                                 "--name", "^Umbrafold$"]).split()
            return out[0] if out else None
        return wait_until(find, timeout, 0.1)

    def setup_visible(self, window):
        """Whether the setup window `window` (as setup_window found it) is
        on the screen."""
        return "IsViewable" in self.x.output(["xwininfo", "-id", window])

    def setup_geometry(self, window):
        out = self.x.output(["xdotool", "getwindowgeometry", "--shell", window])
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def type_setup(self, password, confirmation=None, settle=1.0):
        """Types the password, Tab, and the confirmation into the setup window
        (which arms the curtain as soon as they match)."""
        window = self.setup_window()
        assert window, "no setup window"
        time.sleep(settle)
        self.x.type(password)
        self.x.key("Tab")
        self.x.type(password if confirmation is None else confirmation)
        return window

    # -- the curtains ------------------------------------------------------

    def curtain_frames(self):
        """{window id: (x, y, w, h)} of the curtains on the screen, in root
        coordinates, also those inside the Composite Overlay Window, which
        xdotool neither finds nor places right."""
        out = self.x.output([os.path.join(self.build, "umbrafold_xprobe"), "find",
                             "Umbrafold curtain"])
        frames = {}
        for line in out.splitlines():
            window, *frame = line.split()
            frames[window] = tuple(int(v) for v in frame)
        return frames

    def curtain_windows(self):
        """{output: window id} of the curtains on the screen."""
        found = {}
        for window, (x, y, _, _) in self.curtain_frames().items():
            for name, (mx, my, mw, mh) in self.x.monitors().items():
                if mx <= x < mx + mw and my <= y < my + mh:
                    found[name] = window
        return found

    def arm(self, password, settle=1.0):
        """Arms from the setup window and waits until every monitor is white."""
        self.type_setup(password, settle=settle)
        covered = self.wait_covered()
        time.sleep(0.3)  # the first curtain takes the keyboard focus once exposed
        return covered

    def uncovered(self, shot=None, monitors=None, with_strip=False):
        """{output: number of pixels that are not white}, leaving out each
        curtain's field and, unless `with_strip`, its mascot strip."""
        shot = shot or self.x.screenshot()
        result = {}
        for name, m in (monitors or self.x.monitors()).items():
            excluded = [field_rect(m)] + ([] if with_strip else [strip_rect(m)]) + self.left_out()
            result[name] = shot.count(m, excluding=excluded)
        return result

    def left_out(self):
        """Boxes (x, y, w, h) that no pixel check looks at: none here."""
        return []

    def all_covered(self, with_strip=False):
        return all(n == 0 for n in self.uncovered(with_strip=with_strip).values())

    def wait_covered(self, timeout=10, with_strip=False):
        return wait_until(lambda: self.all_covered(with_strip), timeout, 0.1)

    def strip_pixels(self, shot=None):
        """{output: non-white pixels in its mascot strip}."""
        shot = shot or self.x.screenshot()
        return {name: shot.count(strip_rect(m)) for name, m in self.x.monitors().items()}

    def submit(self, text):
        self.x.type(text)
        self.x.key("Return")

    # -- the process -------------------------------------------------------

    def alive(self):
        return self.process.poll() is None

    def wait_exit(self, timeout=10):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.alive():
            self.process.terminate()
            self.wait_exit(5)
        if self.alive():
            self.process.kill()
            self.process.wait()

    def cpu_seconds(self):
        """User plus system time the process has used so far."""
        return cpu_seconds(self.pid)

    def wait_idle(self, timeout=15, quiet=0.25):
        """Waits until the process has used (almost) no CPU for `quiet`
        seconds: a password check, which derives for a few hundred
        milliseconds on the main thread, has then given its verdict."""
        deadline = time.monotonic() + timeout
        last, since = self.cpu_seconds(), time.monotonic()
        while time.monotonic() < deadline:
            time.sleep(0.05)
            now = self.cpu_seconds()
            if now - last > 0.02:
                last, since = now, time.monotonic()
            elif time.monotonic() - since >= quiet:
                return True
        return False

    def status(self, key):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return line.split(":", 1)[1].strip()
        return None

    def memory_holds(self, text):
        """Which encodings of `text` ("utf-8", "utf-16le") occur anywhere in
        the live process's readable memory."""
        return memory_holds_bytes(self.pid, {"utf-8": text.encode("utf-8"),
                                             "utf-16le": text.encode("utf-16-le")})


def memory_holds_bytes(pid, needles):
    """The names of those of `needles` (name -> bytes) that occur anywhere in
    the readable memory of process `pid`."""
    found = set()
    overlap = max(len(needle) for needle in needles.values())
    with open("/proc/%d/maps" % pid) as maps, open("/proc/%d/mem" % pid, "rb", 0) as mem:
        for line in maps:
            fields = line.split()
            if "r" not in fields[1] or (len(fields) > 5 and fields[5] in ("[vvar]", "[vsyscall]")):
                continue
            start, end = (int(v, 16) for v in fields[0].split("-"))
            tail = b""
            for chunk_start in range(start, end, 1 << 24):
                try:
                    mem.seek(chunk_start)
                    chunk = mem.read(min(1 << 24, end - chunk_start))
                except OSError:
                    break
                data = tail + chunk
                found.update(name for name, needle in needles.items() if needle in data)
                tail = data[-overlap:]
    return sorted(found)


def fake_agents(session, build, claude=2, codex=2):
    """Starts fake-agents under the session's directory; returns the process
    and the environment it prints (CLAUDE_CONFIG_DIR, CODEX_HOME)."""
    directory = os.path.join(session.dir, "agents")
    process = session.spawn([os.path.join(build, "fake-agents"), directory, "--claude",
                             str(claude), "--codex", str(codex)],
                            stdout=subprocess.PIPE, text=True)
    env = {}
    while len(env) < 2:
        line = process.stdout.readline()
        if not line:
            break
        m = re.match(r"export (\w+)=(.*)$", line.strip())
        if m:
            value = m.group(2)
            if value.startswith("'") and value.endswith("'"):
                value = value[1:-1].replace("'\\''", "'")
            env[m.group(1)] = value
    return process, env
