"""A headless Wayland compositor for the end-to-end tests: Debian 13's sway
(which offers the session lock, ext-session-lock-v1) in a chroot built once
per machine from Debian's own packages with mmdebstrap, with a magenta
background so that any uncovered pixel shows, grim for screenshots and wtype
for typing. Clients built here connect from outside the chroot.

    python3 tools/e2e/waylandsession.py build   # builds the chroot (root)
    python3 tools/e2e/waylandsession.py shell   # a sway to play with

Debian 12's own sway 1.7 (no session lock) runs as an unprivileged user with
OldSway, to see the program refuse there."""

import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from xsession import Screenshot, _die_with_parent, wait_until

CHROOT = os.environ.get("UMBRAFOLD_SWAY_CHROOT", "/var/cache/umbrafold/trixie-sway")
PACKAGES = "sway,grim,wtype,wayland-utils"
MAGENTA = (255, 0, 255)
SWAY_CONFIG = "output * bg #ff00ff solid_color\n"


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
    open(os.path.join(partial, ".umbrafold-ready"), "w").close()
    shutil.rmtree(path, ignore_errors=True)
    os.rename(partial, path)
    return time.monotonic() - started


def _mounted(path):
    with open("/proc/self/mounts") as mounts:
        return any(line.split()[1] == path for line in mounts)


class SwaySession:
    """Headless sway 1.10 in the chroot with `outputs` outputs (HEADLESS-1
    ...). Use as a context manager; the mounts it made are undone at exit."""

    def __init__(self, outputs=2, chroot=CHROOT):
        self.root = chroot
        self.outputs = outputs
        self.process = None
        self.mounts = []
        self.runtime = None
        self.dir = None

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
        # Without shared memory of its own sway cannot allocate buffers.
        self._mount(["-t", "tmpfs", "-o", "mode=1777", "tmpfs"],
                    os.path.join(self.root, "dev", "shm"))
        self.runtime = tempfile.mkdtemp(prefix="wl-", dir=os.path.join(self.root, "run"))
        os.chmod(self.runtime, 0o700)
        self.inner_runtime = "/run/" + os.path.basename(self.runtime)
        self.log = open(os.path.join(self.runtime, "sway.log"), "wb")
        self.process = subprocess.Popen(
            ["chroot", self.root, "sway", "-c", "/etc/sway-test.cfg"],
            env=self._inner_env(), stdout=self.log, stderr=subprocess.STDOUT,
            preexec_fn=_die_with_parent)
        socket = os.path.join(self.runtime, "wayland-1")
        if not wait_until(lambda: os.path.exists(socket) and self._ipc(), 20, 0.1):
            raise RuntimeError("sway did not start; see its log")
        wait_until(lambda: len(self.monitors()) == self.outputs, 10, 0.1)

    def _inner_env(self):
        return {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "XDG_RUNTIME_DIR": self.inner_runtime,
                "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1",
                "WLR_RENDERER": "pixman", "WLR_HEADLESS_OUTPUTS": str(self.outputs),
                "WAYLAND_DISPLAY": "wayland-1", "HOME": "/root"}

    def _ipc(self):
        sockets = [n for n in os.listdir(self.runtime) if n.startswith("sway-ipc.")]
        if sockets:
            self.ipc = self.inner_runtime + "/" + sockets[0]
        return bool(sockets)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
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

    # -- clients ------------------------------------------------------------

    @property
    def env(self):
        """The environment of a client outside the chroot."""
        environment = dict(os.environ)
        for name in ("DISPLAY", "QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP"):
            environment.pop(name, None)
        environment["WAYLAND_DISPLAY"] = os.path.join(self.runtime, "wayland-1")
        return environment

    def spawn(self, args, env=None, **kwargs):
        return subprocess.Popen(args, env=env or self.env, preexec_fn=_die_with_parent, **kwargs)

    def inside(self, args, **kwargs):
        """Runs a program of the chroot (grim, wtype, swaymsg) against sway."""
        env = self._inner_env()
        env["SWAYSOCK"] = getattr(self, "ipc", "")
        return subprocess.run(["chroot", self.root] + args, env=env, capture_output=True,
                              **kwargs)

    def swaymsg(self, *args):
        return self.inside(["swaymsg"] + list(args)).stdout.decode()

    def monitors(self):
        """{output: (x, y, w, h)} of the active outputs."""
        import json
        try:
            outputs = json.loads(self.swaymsg("-t", "get_outputs", "-r") or "[]")
        except ValueError:
            return {}
        return {o["name"]: (o["rect"]["x"], o["rect"]["y"], o["rect"]["width"],
                            o["rect"]["height"]) for o in outputs if o.get("active")}

    def screenshot(self):
        result = self.inside(["grim", "-t", "ppm", "-"])
        if result.returncode != 0 or not result.stdout:
            return None
        return Screenshot.from_ppm(result.stdout)

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

    def magenta(self, shot=None):
        """{output: magenta pixels}: desktop that shows through."""
        shot = shot or self.screenshot()
        if shot is None:
            return None
        return {name: shot.count(m, predicate=lambda p: p == MAGENTA)
                for name, m in self.monitors().items()}


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
        with SwaySession() as sway:
            print("WAYLAND_DISPLAY=%s" % sway.env["WAYLAND_DISPLAY"])
            print("SWAYSOCK (inside the chroot)=%s" % sway.ipc)
            subprocess.run([os.environ.get("SHELL", "/bin/sh")], env=sway.env)
