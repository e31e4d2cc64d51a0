"""The password never stays in the curtain's memory: the live process's
readable memory is searched for it, in UTF-8 and UTF-16, and for what the key
derivation makes of it (the HMAC key blocks and the SHA-256 states after
absorbing them), after arming, after a wrong attempt and after a half-typed
password was cleared for idleness."""

import hashlib
import struct
import subprocess
import time
import unittest

import e2e
from curtain import Umbrafold, memory_holds_bytes
from xsession import XSession

PASSWORD = "Qz7-umbra-K3pw"
WRONG = "Vb4-wrongly-T8jq"
HALF = "Qz7-umbra-"

# SHA-256's initial state: any process that links a SHA-256 holds it.
SHA256_INITIAL_STATE = (0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19)


def state_bytes(name, words):
    """A SHA-256 state as eight 32-bit words in this machine's order (as
    nettle keeps it) and in big-endian order (as a digest is written)."""
    return {name: struct.pack("=8I", *words), name + " big-endian": struct.pack(">8I", *words)}


def derivation_secrets(password):
    """What HMAC-SHA-256 makes of `password` (ASCII, so its NFC form in UTF-8
    is its bytes) as a key: the key XOR ipad and key XOR opad blocks, and the
    states after absorbing each, named."""
    key = password.encode()
    if len(key) > 64:
        key = hashlib.sha256(key).digest()
    key = key.ljust(64, b"\0")
    secrets = {"ipad block": bytes(b ^ 0x36 for b in key),
               "opad block": bytes(b ^ 0x5c for b in key)}
    states = subprocess.run([e2e.program("umbrafold_pad_states"), password], check=True,
                            capture_output=True, text=True).stdout
    for line in states.splitlines():
        name, *words = line.split()
        secrets.update(state_bytes(name + " state", [int(word, 16) for word in words]))
    return secrets


class PasswordMemoryTest(unittest.TestCase):
    def assertLeavesNothing(self, app, password, when):
        self.assertEqual(app.memory_holds(password), [], when)
        self.assertEqual(memory_holds_bytes(app.pid, derivation_secrets(password)), [], when)

    def test_no_copy_of_the_password_survives(self):
        with XSession() as x:
            app = Umbrafold(x, e2e.BUILD)
            try:
                app.type_setup(PASSWORD)
                self.assertTrue(app.wait_covered(), app.uncovered())
                time.sleep(0.5)
                # The searches do find what the process holds: its environment,
                # the field's placeholder as a QString, and SHA-256's initial
                # state as the libraries' tables hold it.
                self.assertIn("utf-8", app.memory_holds(app.home))
                self.assertIn("utf-16le", app.memory_holds("Curtain password"))
                self.assertIn(
                    "initial",
                    memory_holds_bytes(app.pid, state_bytes("initial", SHA256_INITIAL_STATE)))
                self.assertLeavesNothing(app, PASSWORD, "after arming")

                app.submit(WRONG)
                time.sleep(2)
                self.assertTrue(app.alive())
                self.assertLeavesNothing(app, PASSWORD, "after a wrong attempt")
                self.assertLeavesNothing(app, WRONG, "the wrong attempt itself")

                x.type(HALF)
                time.sleep(21)  # the field clears itself after 20 s without an edit
                self.assertEqual(app.memory_holds(HALF), [], "after the idle clear")
                self.assertLeavesNothing(app, PASSWORD, "after the idle clear")

                app.submit(PASSWORD)
                self.assertEqual(app.wait_exit(10), 0)
            finally:
                app.stop()


if __name__ == "__main__":
    e2e.main()
