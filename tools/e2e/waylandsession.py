"""Headless Wayland compositors for the end-to-end tests: Debian 13's sway
1.10 and labwc 0.8 (both offer the session lock, ext-session-lock-v1) in a
chroot built once per machine from Debian's own packages with mmdebstrap,
with a magenta background so that any uncovered pixel shows, grim for
screenshots and wtype for typing. Clients built here connect from outside
the chroot. SwaySession and LabwcSession have the same surface: start and
stop, screenshot, type, outputs plugged, unplugged and scaled, and power.

    python3 tools/e2e/waylandsession.py build           # builds the chroot (root)
    python3 tools/e2e/waylandsession.py shell [labwc]   # a compositor to play with

Debian 12's own sway 1.7 (no session lock) runs as an unprivileged user with
OldSway, to see the program refuse there."""

import os
import pwd
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

from xsession import Screenshot, _die_with_parent, wait_until

CHROOT = os.environ.get("UMBRAFOLD_WAYLAND_CHROOT", "/var/cache/umbrafold/trixie-wayland")
PACKAGES = "sway,labwc,wlr-randr,wlopm,swaybg,grim,wtype,wayland-utils"
MAGENTA = (255, 0, 255)
SWAY_CONFIG = "output * bg #ff00ff solid_color\n"
# labwc's background: swaybg tiling a small magenta image (a solid colour is
# one pixel scaled up, which the pixman renderer blurs at the edges).
MAGENTA_TILE = "/etc/umbrafold-magenta.png"
LABWC_CONFIG_DIR = "/etc/labwc-test"


def _png(width, height, rgb):
    """A PNG image of one colour."""
    row = b"\x00" + bytes(rgb) * width

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(row * height)) + chunk(b"IEND", b""))


def build_chroot(path=CHROOT):
    """Builds the chroot once; returns the seconds it took (0 when it was
    there already)."""
    if os.path.exists(os.path.join(path, ".umbrafold-ready")):
        return 0.0
    started = time.monotonic()
    partial = path + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    subprocess.run(["mmdebstrap", "--quiet", "--mode=root", "--variant=apt",
                    "--include=" + PACKAGES, "trixie", partial], check=True)
    with open(os.path.join(partial, "etc", "sway-test.cfg"), "w") as config:
        config.write(SWAY_CONFIG)
    with open(partial + MAGENTA_TILE, "wb") as tile:
        tile.write(_png(8, 8, MAGENTA))
    os.makedirs(partial + LABWC_CONFIG_DIR)  # labwc's defaults are enough
    open(os.path.join(partial, ".umbrafold-ready"), "w").close()
    shutil.rmtree(path, ignore_errors=True)
    os.rename(partial, path)
    return time.monotonic() - started


def _first_other(shot, colour):
    """(x, y) of the top left corner of what in `shot` is not `colour`, or
    None when every pixel is."""
    plain = bytes(colour) * shot.width
    stride = 3 * shot.width
    found = None
    for y in range(shot.height):
        row = shot.data[y * stride:(y + 1) * stride]
        if row == plain:
            continue
        x = next(i for i in range(shot.width) if row[3 * i:3 * i + 3] != plain[:3])
        found = (x if found is None else min(found[0], x), found[1] if found else y)
    return found


def _from_origin(monitors):
    """`monitors` ({output: (x, y, w, h)}) moved so that the layout starts
    at (0, 0), where grim's picture of all outputs starts."""
    if not monitors:
        return monitors
    left = min(x for x, _, _, _ in monitors.values())
    top = min(y for _, y, _, _ in monitors.values())
    return {name: (x - left, y - top, w, h) for name, (x, y, w, h) in monitors.items()}


def _clamp(point, rect):
    x, y, w, h = rect
    return (min(max(point[0], x), x + w - 1), min(max(point[1], y), y + h - 1))


def _mounted(path):
    with open("/proc/self/mounts") as mounts:
        return any(line.split()[1] == path for line in mounts)


class _ChrootCompositor:
    """What SwaySession and LabwcSession share: the chroot's mounts, the
    compositor's process and runtime directory, clients inside and outside
    the chroot, screenshots and typing. Use as a context manager; the mounts
    it made are undone at exit."""

    name = None
    socket_name = None  # the compositor's socket in its runtime directory

    def __init__(self, outputs=2, chroot=CHROOT):
        self.root = chroot
        self.outputs = outputs
        self.process = None
        self.helpers = []  # processes of the chroot that end with the session
        self.mounts = []
        self.runtime = None
        self.dir = None
        self.cursor = None  # (x, y) of the pointer in layout(), if anywhere

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def _mount(self, args, target):
        if _mounted(target):
            return
        subprocess.run(["mount"] + args + [target], check=True)
        self.mounts.append(target)

    def start(self):
        try:
            self._start()
        except BaseException:
            self.stop()
            raise

    def _start(self):
        build_chroot(self.root)
        self.dir = tempfile.mkdtemp(prefix="umbrafold-wl-")
        self._mount(["--bind", "/dev"], os.path.join(self.root, "dev"))
        self._mount(["-t", "proc", "proc"], os.path.join(self.root, "proc"))
        # Without shared memory of its own the compositor cannot allocate buffers.
        self._mount(["-t", "tmpfs", "-o", "mode=1777", "tmpfs"],
                    os.path.join(self.root, "dev", "shm"))
        self.runtime = tempfile.mkdtemp(prefix="wl-", dir=os.path.join(self.root, "run"))
        os.chmod(self.runtime, 0o700)
        self.inner_runtime = "/run/" + os.path.basename(self.runtime)
        self.log = open(os.path.join(self.runtime, self.name + ".log"), "wb")
        self._launch()
        wait_until(lambda: len(self.monitors()) == self.outputs, 10, 0.1)

    def _launch(self):
        """Starts the compositor and returns once it answers."""
        raise NotImplementedError

    def _inner_env(self):
        return {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "XDG_RUNTIME_DIR": self.inner_runtime,
                "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1",
                "WLR_RENDERER": "pixman", "WLR_HEADLESS_OUTPUTS": str(self.outputs),
                "WAYLAND_DISPLAY": self.socket_name, "HOME": "/root", "LC_ALL": "C.UTF-8"}

    def _socket_ready(self):
        return os.path.exists(os.path.join(self.runtime, self.socket_name))

    def stop(self):
        for process in self.helpers + [self.process]:
            if process and process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.helpers = []
        self.process = None
        if getattr(self, "log", None):
            self.log.close()
            self.log = None
        for target in reversed(self.mounts):
            subprocess.run(["umount", "-l", target], check=False)
        self.mounts = []
        if self.runtime:
            shutil.rmtree(self.runtime, ignore_errors=True)
            self.runtime = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def alive(self):
        return self.process is not None and self.process.poll() is None

    # -- clients ------------------------------------------------------------

    @property
    def env(self):
        """The environment of a client outside the chroot."""
        environment = dict(os.environ)
        for name in ("DISPLAY", "QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP"):
            environment.pop(name, None)
        environment["WAYLAND_DISPLAY"] = os.path.join(self.runtime, self.socket_name)
        return environment

    def spawn(self, args, env=None, **kwargs):
        return subprocess.Popen(args, env=env or self.env, preexec_fn=_die_with_parent, **kwargs)

    def inside(self, args, **kwargs):
        """Runs a program of the chroot (grim, wtype, swaymsg, wlr-randr)
        against the compositor."""
        return subprocess.run(["chroot", self.root] + args, env=self._inner_env(),
                              capture_output=True, **kwargs)

    def screenshot(self):
        """All outputs as grim sees them, or None (all outputs off). grim
        waits for the next frame, which a compositor may not draw until
        something changes: after 5 s the picture is asked for again,
        with damage() first."""
        for attempt in range(3):
            try:
                result = self.inside(["grim", "-t", "ppm", "-"], timeout=5)
            except subprocess.TimeoutExpired:
                self.damage()
                continue
            if result.returncode != 0 or not result.stdout:
                return None
            return Screenshot.from_ppm(result.stdout)
        return None

    def damage(self):
        """Makes the compositor draw a new frame of every output."""

    def save_png(self, path):
        result = self.inside(["grim", "-"])
        with open(path, "wb") as out:
            out.write(result.stdout)

    def type(self, text):
        """Types `text` with a fresh virtual keyboard (the seat's keyboard
        comes and goes with it, so each call starts with a pause)."""
        self.inside(["wtype", "-s", "300", text])

    def key(self, name):
        self.inside(["wtype", "-s", "300", "-k", name])

    def hold(self, name, seconds):
        """Holds the key `name` down for `seconds`, then lets it go."""
        self.inside(["wtype", "-s", "300", "-P", name, "-s", str(int(seconds * 1000)),
                     "-p", name])

    def holding(self, modifier, seconds):
        """Starts holding the wtype modifier `modifier` (shift, capslock,
        ...) for `seconds` in the background; returns the process."""
        return subprocess.Popen(["chroot", self.root, "wtype", "-s", "300", "-M", modifier, "-s",
                                 str(int(seconds * 1000)), "-m", modifier],
                                env=self._inner_env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, preexec_fn=_die_with_parent)

    def layout(self):
        """{output: (x, y, w, h)} of the outputs that are on, in the
        compositor's coordinates (logical pixels)."""
        raise NotImplementedError

    def monitors(self):
        """{output: (x, y, w, h)} of the outputs that are on, from the
        layout's top left corner, where grim's picture of them starts."""
        return _from_origin(self.layout())

    def click(self, program, output, x, y):
        """Clicks at (x, y) of `output` (logical pixels) with the virtual
        pointer `program` (umbrafold_wayland_pointer). True when it clicked."""
        clicked = subprocess.run([program, output, str(x), str(y)], env=self.env).returncode == 0
        ox, oy, _, _ = self.layout()[output]
        self.cursor = (ox + x, oy + y)
        return clicked

    def cursor_boxes(self):
        """Boxes (x, y, w, h) in monitors() coordinates where the compositor
        may draw its cursor, to be left out of pixel checks."""
        layout = self.layout()
        if self.cursor is None or not layout:
            return []
        # An output that goes away takes the cursor to the nearest point
        # of the outputs left.
        x, y = min((_clamp(self.cursor, rect) for rect in layout.values()),
                   key=lambda p: (p[0] - self.cursor[0]) ** 2 + (p[1] - self.cursor[1]) ** 2)
        left = min(r[0] for r in layout.values())
        top = min(r[1] for r in layout.values())
        return [(x - left - 8, y - top - 8, 48, 48)]

    def magenta(self, shot=None):
        """{output: magenta pixels}: desktop that shows through."""
        shot = shot or self.screenshot()
        if shot is None:
            return None
        return {name: shot.count(m, predicate=lambda p: p == MAGENTA, excluding=self.cursor_boxes())
                for name, m in self.monitors().items()}

    def desktop_pixels(self, name):
        """Magenta pixels an uncovered `name` shows (its whole area but
        where the cursor may be)."""
        x, y, w, h = self.monitors()[name]
        covered = 0
        for bx, by, bw, bh in self.cursor_boxes():
            ix = max(0, min(x + w, bx + bw) - max(x, bx))
            iy = max(0, min(y + h, by + bh) - max(y, by))
            covered += ix * iy
        return w * h - covered


class SwaySession(_ChrootCompositor):
    """Headless sway 1.10 in the chroot with `outputs` outputs (HEADLESS-1
    ...)."""

    name = "sway"
    socket_name = "wayland-1"

    def _launch(self):
        self.process = subprocess.Popen(
            ["chroot", self.root, "sway", "-c", "/etc/sway-test.cfg"],
            env=self._inner_env(), stdout=self.log, stderr=subprocess.STDOUT,
            preexec_fn=_die_with_parent)
        if not wait_until(lambda: self._socket_ready() and self._ipc(), 20, 0.1):
            raise RuntimeError("sway did not start; see its log")

    def _ipc(self):
        sockets = [n for n in os.listdir(self.runtime) if n.startswith("sway-ipc.")]
        if sockets:
            self.ipc = self.inner_runtime + "/" + sockets[0]
        return bool(sockets)

    def _inner_env(self):
        env = super()._inner_env()
        if getattr(self, "ipc", None):
            env["SWAYSOCK"] = self.ipc
        return env

    def swaymsg(self, *args):
        return self.inside(["swaymsg"] + list(args)).stdout.decode()

    def layout(self):
        import json
        try:
            outputs = json.loads(self.swaymsg("-t", "get_outputs", "-r") or "[]")
        except ValueError:
            return {}
        return {o["name"]: (o["rect"]["x"], o["rect"]["y"], o["rect"]["width"],
                            o["rect"]["height"]) for o in outputs if o.get("active")}

    def plug(self):
        """Plugs in a new output; returns its name once it is active."""
        before = set(self.monitors())
        self.swaymsg("create_output")
        new = wait_until(lambda: set(self.monitors()) - before, 5, 0.1)
        return sorted(new)[0] if new else None

    def unplug(self, name):
        self.swaymsg("output", name, "unplug")

    def set_scale(self, name, scale):
        self.swaymsg("output", name, "scale", str(scale))

    def power(self, on):
        """Switches every output off or on (DPMS)."""
        self.swaymsg("output", "*", "power", "on" if on else "off")
        if on:
            # Headless sway draws no frame after power on until something
            # is damaged.
            time.sleep(0.2)
            self.damage()

    def damage(self):
        # A new background is damage.
        self.swaymsg("output", "*", "bg", "#ff00ff", "solid_color")


class LabwcSession(_ChrootCompositor):
    """Headless labwc 0.8 in the chroot with `outputs` outputs (HEADLESS-1
    ...) and one more that is off, for plug(). labwc draws its cursor into
    an output even without a pointer device: cursor_boxes() says where."""

    name = "labwc"
    socket_name = "wayland-0"

    def _inner_env(self):
        env = super()._inner_env()
        env["WLR_HEADLESS_OUTPUTS"] = str(self.outputs + 1)
        return env

    def _launch(self):
        # A network namespace of its own: Xwayland's abstract X11 sockets
        # must not meet those of the X servers of other tests.
        self.process = subprocess.Popen(
            ["unshare", "-n", "chroot", self.root, "labwc", "-C", LABWC_CONFIG_DIR],
            env=self._inner_env(), stdout=self.log, stderr=subprocess.STDOUT,
            preexec_fn=_die_with_parent)
        if not wait_until(lambda: self._socket_ready() and self._outputs(), 20, 0.1):
            raise RuntimeError("labwc did not start; see its log")
        # Side by side from x = 0, so screenshots start at the layout's
        # origin; the last output is off.
        layout = []
        for n in range(1, self.outputs + 1):
            layout += ["--output", "HEADLESS-%d" % n, "--pos", "%d,0" % (1280 * (n - 1))]
        self.randr(*layout, "--output", "HEADLESS-%d" % (self.outputs + 1), "--off")
        self.helpers.append(subprocess.Popen(
            ["chroot", self.root, "swaybg", "-i", MAGENTA_TILE, "-m", "tile"],
            env=self._inner_env(), stdout=self.log, stderr=subprocess.STDOUT,
            preexec_fn=_die_with_parent))
        shot = wait_until(lambda: self._desktop_shown(), 10, 0.1)
        if not shot:
            raise RuntimeError("labwc shows no background; see its log")
        # Where labwc draws its cursor before any pointer moved (the layout
        # starts at 0, 0).
        self.cursor = _first_other(shot, MAGENTA)

    def _desktop_shown(self):
        shot = self.screenshot()
        if shot is None or len(self.monitors()) != self.outputs:
            return None
        plain = bytes(MAGENTA) * shot.width
        stride = 3 * shot.width
        others = sum(shot.data[y * stride:(y + 1) * stride] != plain for y in range(shot.height))
        return shot if others <= 48 else None  # at most the cursor's rows

    def randr(self, *args):
        return self.inside(["wlr-randr"] + list(args)).stdout.decode()

    def _outputs(self):
        import json
        try:
            return json.loads(self.randr("--json") or "[]")
        except ValueError:
            return []

    def layout(self):
        found = {}
        for output in self._outputs():
            mode = next((m for m in output.get("modes", []) if m.get("current")), None)
            if not output.get("enabled") or mode is None:
                continue
            scale = output.get("scale") or 1.0
            found[output["name"]] = (output["position"]["x"], output["position"]["y"],
                                     round(mode["width"] / scale), round(mode["height"] / scale))
        return found

    def plug(self):
        """Switches on an output that is off; returns its name once it is."""
        off = sorted(o["name"] for o in self._outputs() if not o.get("enabled"))
        if not off:
            return None
        right = max((x + w for x, _, w, _ in self.layout().values()), default=0)
        self.randr("--output", off[0], "--on", "--pos", "%d,0" % right)
        return off[0] if wait_until(lambda: off[0] in self.monitors(), 5, 0.1) else None

    def unplug(self, name):
        self.randr("--output", name, "--off")

    def set_scale(self, name, scale):
        self.randr("--output", name, "--scale", str(scale))

    def power(self, on):
        """Switches every output off or on (DPMS)."""
        self.inside(["wlopm", "--on" if on else "--off", "*"])


COMPOSITORS = (SwaySession, LabwcSession)


class OldSway:
    """Debian 12's own sway 1.7 (no session lock), run as `user` because it
    refuses to run as root. One headless output."""

    def __init__(self, user="nobody"):
        self.user = user
        self.process = None

    def __enter__(self):
        entry = pwd.getpwnam(self.user)
        self.runtime = tempfile.mkdtemp(prefix="wl-old-")
        os.chown(self.runtime, entry.pw_uid, entry.pw_gid)
        os.chmod(self.runtime, 0o700)
        config = os.path.join(self.runtime, "sway.cfg")
        with open(config, "w") as out:
            out.write(SWAY_CONFIG)
        os.chown(config, entry.pw_uid, entry.pw_gid)
        env = {"PATH": "/usr/bin:/bin", "XDG_RUNTIME_DIR": self.runtime, "HOME": self.runtime,
               "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1",
               "WLR_RENDERER": "pixman", "WLR_HEADLESS_OUTPUTS": "1"}

        def drop():
            _die_with_parent()
            os.setgid(entry.pw_gid)
            os.setgroups([])
            os.setuid(entry.pw_uid)

        self.log = open(os.path.join(self.runtime, "sway.log"), "wb")
        self.process = subprocess.Popen(["sway", "-c", config], env=env, stdout=self.log,
                                        stderr=subprocess.STDOUT, preexec_fn=drop)
        socket = os.path.join(self.runtime, "wayland-1")
        if not wait_until(lambda: os.path.exists(socket), 20, 0.1):
            self.__exit__()
            raise RuntimeError("sway 1.7 did not start")
        # Root connects to the user's socket from outside.
        self.env = dict(os.environ)
        for name in ("DISPLAY", "QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP"):
            self.env.pop(name, None)
        self.env["WAYLAND_DISPLAY"] = socket
        return self

    def __exit__(self, *exc):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        shutil.rmtree(self.runtime, ignore_errors=True)


if __name__ == "__main__":
    command = sys.argv[1] if len(sys.argv) > 1 else "build"
    if command == "build":
        print("chroot ready in %.0f s" % build_chroot())
    elif command == "shell":
        kind = LabwcSession if sys.argv[2:] == ["labwc"] else SwaySession
        with kind() as session:
            print("WAYLAND_DISPLAY=%s" % session.env["WAYLAND_DISPLAY"])
            if kind is SwaySession:
                print("SWAYSOCK (inside the chroot)=%s" % session.ipc)
            subprocess.run([os.environ.get("SHELL", "/bin/sh")], env=session.env)
