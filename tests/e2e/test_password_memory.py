"""The password never stays in the curtain's memory: the live process's
readable memory is searched for it, in UTF-8 and UTF-16, after arming, after
a wrong attempt and after a half-typed password was cleared for idleness."""

import time
import unittest

import e2e
from curtain import Umbrafold
from xsession import XSession

PASSWORD = "Qz7-umbra-K3pw"
WRONG = "Vb4-wrongly-T8jq"
HALF = "Qz7-umbra-"


class PasswordMemoryTest(unittest.TestCase):
    def test_no_copy_of_the_password_survives(self):
        with XSession() as x:
            app = Umbrafold(x, e2e.BUILD)
            try:
                app.type_setup(PASSWORD)
                self.assertTrue(app.wait_covered(), app.uncovered())
                time.sleep(0.5)
                # The search does find what the process holds: its environment,
                # and the field's placeholder as a QString.
                self.assertIn("utf-8", app.memory_holds(app.home))
                self.assertIn("utf-16le", app.memory_holds("Curtain password"))
                self.assertEqual(app.memory_holds(PASSWORD), [], "after arming")

                app.submit(WRONG)
                time.sleep(2)
                self.assertTrue(app.alive())
                self.assertEqual(app.memory_holds(PASSWORD), [], "after a wrong attempt")
                self.assertEqual(app.memory_holds(WRONG), [], "the wrong attempt itself")

                x.type(HALF)
                time.sleep(21)  # the field clears itself after 20 s without an edit
                self.assertEqual(app.memory_holds(HALF), [], "after the idle clear")
                self.assertEqual(app.memory_holds(PASSWORD), [])

                app.submit(PASSWORD)
                self.assertEqual(app.wait_exit(10), 0)
            finally:
                app.stop()


if __name__ == "__main__":
    e2e.main()
