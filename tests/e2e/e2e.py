"""Shared set-up of the end-to-end test scripts: finds the build tree (the
--build argument) and the X session harness in tools/e2e, and runs the
script's unittest cases."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "e2e"))
from xsession import LineProcess, XSession  # noqa: E402  (found through the path above)

BUILD = os.environ.get("UMBRAFOLD_BUILD", os.path.join(HERE, "..", "..", "build"))


def program(name):
    """An executable at the top of the build tree."""
    return os.path.join(BUILD, name)


class XSessionCase(unittest.TestCase):
    """Cases that share one private X session per script, with the
    umbrafold_xprobe helpers a case starts closed after it."""

    @classmethod
    def setUpClass(cls):
        cls.x = XSession().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def setUp(self):
        self.helpers = []

    def tearDown(self):
        for helper in self.helpers:
            helper.close()

    def other(self, *args):
        """Starts umbrafold_xprobe with `args`, closed after the case."""
        p = LineProcess(self.x, [program("umbrafold_xprobe")] + list(args))
        self.helpers.append(p)
        return p


def main():
    global BUILD
    args = sys.argv[1:]
    if len(args) >= 2 and args[0] == "--build":
        BUILD = os.path.abspath(args[1])
        args = args[2:]
    unittest.main(argv=[sys.argv[0]] + args, verbosity=2)
