"""A private X session for end-to-end runs: Xorg with the dummy driver (real
RandR outputs that can be switched on and off), a magenta root, and openbox
with key bindings that leave marker files, so a run can tell whether a
shortcut reached the window manager.

Python 3 standard library only. Xorg needs root.

    with XSession() as x:
        x.run(["xdotool", "key", "alt+Tab"])
        shot = x.screenshot()
"""

import ctypes
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

XORG_CONF = """\
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 256000
EndSection
Section "Monitor"
  Identifier "mon"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "mon"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 4096 2048
  EndSubSection
EndSection
Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "DontVTSwitch" "true"
EndSection
"""

# Modelines for the modes the runs use.
MODES = {
    "1280x800": "83.50 1280 1352 1480 1680 800 803 809 831 -hsync +vsync",
    "1024x768": "63.50 1024 1072 1176 1328 768 771 775 798 -hsync +vsync",
    "1920x1080": "173.00 1920 2048 2248 2576 1080 1083 1088 1120 -hsync +vsync",
}
OUTPUTS = ["DUMMY0", "DUMMY1", "DUMMY2"]

# Window-manager shortcuts that must never fire while the curtain is up.
# Each one touches a marker file named after it.
SHORTCUTS = {
    "alt-tab": "A-Tab",
    "super-e": "W-e",
    "super": "Super_L",
    "ctrl-alt-right": "C-A-Right",
}

OPENBOX_RC = """\
<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <focus><focusNew>yes</focusNew></focus>
  <desktops><number>2</number></desktops>
  <keyboard>
{bindings}
  </keyboard>
</openbox_config>
"""

BINDING = """\
    <keybind key="{key}">
      <action name="Execute"><command>touch {marker}</command></action>
    </keybind>"""

# The layout most runs use: a primary 1280x800 display and a 1024x768 one to
# its right; DUMMY2 is off, ready to be plugged in.
DEFAULT_LAYOUT = [("DUMMY0", "1280x800"), ("DUMMY1", "1024x768")]


def _die_with_parent():
    """Child processes get SIGTERM when the harness dies, even by SIGKILL."""
    try:
        libc = ctypes.CDLL("libc.so.6", use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


def cpu_seconds(pid):
    """Processor time process `pid` (all its threads, also those that ended)
    has used so far, in seconds: its CPU-time clock, exact to the
    nanosecond, where /proc/<pid>/stat counts whole clock ticks (10 ms)."""
    try:
        # clock_getcpuclockid(pid): the process's scheduler clock.
        return time.clock_gettime(((~pid) << 3) | 2)
    except OSError:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_until(predicate, timeout, interval=0.05):
    """Polls `predicate` until it returns a true value or `timeout` seconds
    pass. Returns the last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class Screenshot:
    """The root window's pixels, RGB, 3 bytes a pixel."""

    WHITE = (255, 255, 255)

    def __init__(self, width, height, data):
        self.width, self.height, self.data = width, height, data

    @classmethod
    def from_ppm(cls, blob):
        # P6 <w> <h> <max>\n<raw>
        fields, pos = [], 2
        while len(fields) < 3:
            while blob[pos:pos + 1].isspace():
                pos += 1
            if blob[pos:pos + 1] == b"#":
                pos = blob.index(b"\n", pos)
                continue
            end = pos
            while not blob[end:end + 1].isspace():
                end += 1
            fields.append(int(blob[pos:end]))
            pos = end
        width, height, maxval = fields
        if maxval != 255:
            raise ValueError("expected an 8-bit PPM")
        return cls(width, height, blob[pos + 1:pos + 1 + width * height * 3])

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def count(self, rect, predicate=lambda p: p != Screenshot.WHITE, excluding=()):
        """Pixels in `rect` (x, y, w, h) that satisfy `predicate` (by default:
        not white), leaving out pixels inside any of `excluding`."""
        x0, y0, w, h = rect
        total = 0
        for y in range(y0, y0 + h):
            row = self.data[(y * self.width + x0) * 3:(y * self.width + x0 + w) * 3]
            skip = [(ex, ex + ew) for ex, ey, ew, eh in excluding if ey <= y < ey + eh]
            if row[:3] * w == row:
                # A row of one colour: the predicate is asked once.
                if predicate(tuple(row[:3])):
                    left_out = set()
                    for a, b in skip:
                        left_out.update(range(max(a, x0), min(b, x0 + w)))
                    total += w - len(left_out)
                continue
            for i in range(w):
                x = x0 + i
                if any(a <= x < b for a, b in skip):
                    continue
                if predicate(tuple(row[i * 3:i * 3 + 3])):
                    total += 1
        return total

    def save(self, path):
        with open(path, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (self.width, self.height))
            f.write(self.data)


class XSession:
    def __init__(self, layout=None, workdir=None, window_manager=True):
        self.layout = layout or DEFAULT_LAYOUT
        self.window_manager = window_manager
        self.dir = workdir or tempfile.mkdtemp(prefix="umbrafold-x-")
        self.markers = os.path.join(self.dir, "markers")
        self.processes = []
        self.display = None
        self.server = None  # the Xorg process

    # -- lifetime --------------------------------------------------------

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        os.makedirs(self.markers, exist_ok=True)
        conf = os.path.join(self.dir, "xorg.conf")
        with open(conf, "w") as f:
            f.write(XORG_CONF)
        read_fd, write_fd = os.pipe()
        xorg = self.server = self.spawn(
            ["Xorg", "-displayfd", str(write_fd), "-config", conf, "-noreset", "-nolisten", "tcp",
             "-logfile", os.path.join(self.dir, "xorg.log")],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=os.environ)
        os.close(write_fd)
        number = b""
        with os.fdopen(read_fd, "rb") as pipe:
            number = pipe.readline().strip()
        if not number:
            raise RuntimeError("Xorg did not start; see " + os.path.join(self.dir, "xorg.log"))
        self.display = ":" + number.decode()
        if not wait_until(lambda: self.quiet(["xdpyinfo"]) == 0, 20):
            raise RuntimeError("Xorg does not answer on " + self.display)
        for name, line in MODES.items():
            self.quiet(["xrandr", "--newmode", name + "_60"] + line.split())
            for output in OUTPUTS:
                self.quiet(["xrandr", "--addmode", output, name + "_60"])
        self.set_layout(self.layout)
        self.run(["xsetroot", "-solid", "magenta"])
        if self.window_manager:
            self.start_window_manager()
        assert xorg.poll() is None

    def start_window_manager(self):
        rc = os.path.join(self.dir, "rc.xml")
        bindings = "\n".join(
            BINDING.format(key=key, marker=os.path.join(self.markers, name))
            for name, key in SHORTCUTS.items())
        with open(rc, "w") as f:
            f.write(OPENBOX_RC.format(bindings=bindings))
        self.spawn(["openbox", "--config-file", rc], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
        if not wait_until(lambda: "window id" in self.output(["xprop", "-root",
                                                                "_NET_SUPPORTING_WM_CHECK"]), 20):
            raise RuntimeError("openbox did not start")

    def stop(self):
        for p in reversed(self.processes):
            if p.poll() is None:
                p.terminate()
        for p in reversed(self.processes):
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
            for pipe in (p.stdin, p.stdout, p.stderr):
                if pipe:
                    pipe.close()
        self.processes = []
        if os.environ.get("UMBRAFOLD_E2E_KEEP"):
            print("kept", self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    # -- processes -------------------------------------------------------

    @property
    def env(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"):
            env.pop(name, None)
        return env

    def spawn(self, args, env=None, **kwargs):
        """Starts a process on this display; it is ended with the session."""
        p = subprocess.Popen(args, env=env or self.env, preexec_fn=_die_with_parent, **kwargs)
        self.processes.append(p)
        return p

    def run(self, args, **kwargs):
        return subprocess.run(args, env=self.env, check=True, **kwargs)

    def quiet(self, args):
        return subprocess.run(args, env=self.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode

    def output(self, args):
        return subprocess.run(args, env=self.env, capture_output=True, text=True).stdout

    # -- displays --------------------------------------------------------

    def set_layout(self, layout):
        """Switches the outputs in `layout` on, left to right from x = 0, the
        first one primary, and every other output off."""
        args, x = ["xrandr"], 0
        for i, (output, mode) in enumerate(layout):
            width = int(mode.split("x")[0])
            args += ["--output", output, "--mode", mode + "_60", "--pos", "%dx0" % x]
            if i == 0:
                args.append("--primary")
            x += width
        for output in OUTPUTS:
            if output not in [o for o, _ in layout]:
                args += ["--output", output, "--off"]
        self.run(args)
        self.layout = list(layout)

    def plug(self, output, mode="1024x768"):
        self.set_layout(self.layout + [(output, mode)])

    def unplug(self, output):
        self.set_layout([(o, m) for o, m in self.layout if o != output])

    def monitors(self):
        """{output: (x, y, w, h)} of the outputs that are on."""
        found = {}
        for line in self.output(["xrandr", "--query"]).splitlines():
            m = re.match(r"^(\S+) connected (?:primary )?(\d+)x(\d+)\+(\d+)\+(\d+)", line)
            if m:
                w, h, x, y = map(int, m.group(2, 3, 4, 5))
                found[m.group(1)] = (x, y, w, h)
        return found

    # -- looking and typing ----------------------------------------------

    def screenshot(self):
        blob = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], env=self.env,
                              capture_output=True, check=True).stdout
        return Screenshot.from_ppm(blob)

    def save_png(self, path):
        subprocess.run(["import", "-window", "root", path], env=self.env, check=True)

    def type(self, text, delay_ms=30):
        # From standard input, so a text starting with "-" is not an option.
        self.run(["xdotool", "type", "--delay", str(delay_ms), "--file", "-"], input=text.encode())

    def key(self, *keys):
        self.run(["xdotool", "key"] + list(keys))

    def fired_shortcuts(self):
        return sorted(os.listdir(self.markers))

    def clear_shortcuts(self):
        for name in os.listdir(self.markers):
            os.remove(os.path.join(self.markers, name))


class LineProcess:
    """A process on the session's display that takes commands on standard
    input and answers with lines on standard output."""

    def __init__(self, session, args, env=None):
        import queue
        import threading
        self.lines = queue.Queue()
        self.process = session.spawn(args, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)

        def pump():
            for line in self.process.stdout:
                self.lines.put(line.rstrip("\n"))
            self.lines.put(None)

        threading.Thread(target=pump, daemon=True).start()

    def send(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def expect(self, prefix="", timeout=10):
        """The next line starting with `prefix` (earlier other lines are
        dropped), or None when none comes within `timeout` seconds."""
        import queue
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0, deadline - time.monotonic()))
            except queue.Empty:
                return None
            if line is None or line.startswith(prefix):
                return line

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.close()
            except OSError:
                pass
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
