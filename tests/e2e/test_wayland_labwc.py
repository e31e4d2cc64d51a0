"""The Wayland sessions of test_wayland.py on headless labwc 0.8, a second
compositor with the session lock, with its outputs switched off and on with
wlr-randr and wlopm instead of swaymsg."""

import signal

import e2e
import test_wayland  # noqa: F401  (its cases are reached through the module)
from waylandsession import LabwcSession


class LabwcSessionLockTest(test_wayland.SessionLockTest):
    Session = LabwcSession
    END_SIGNAL = signal.SIGINT


if __name__ == "__main__":
    e2e.main()
