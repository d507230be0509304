"""The command word and `available` through the real binary: status, both streams, and
standard input left unread."""

import os
import unittest

from harness import SoftwareTpm, run

USAGE = b"morvane-keyvault: usage: morvane-keyvault available | seal | unseal\n"
NOT_A_COMMAND = [[], [""], ["Available"], ["SEAL"], [" seal"], ["seal "], ["unsealx", "seal"]]


class Dispatch(unittest.TestCase):
    def check(self, args, status, stderr=b"", env=None):
        with self.subTest(args=args, tcti_link=env is None):
            # A valid key text, so a command that wrongly read it could act on it.
            self.assertEqual(run(*args, stdin=b"QUJD\n", env=env), (status, b"", stderr, 0))

    def check_commands(self, available_status):
        for args in NOT_A_COMMAND:
            self.check(args, 1, USAGE)
        for extra in ([], ["seal", "x"]):
            self.check(["available", *extra], available_status)

    def test_with_tpm(self):
        with SoftwareTpm():
            self.check_commands(0)
            # A swtpm reachable only where the TCTI loader's own list looks is not a TPM.
            link_dir = os.path.join(os.environ["MORVANE_TEST_TPM_DIR"], "lib")
            paths = os.environ["LD_LIBRARY_PATH"].split(":")
            env = os.environ | {"LD_LIBRARY_PATH": ":".join(p for p in paths if p != link_dir)}
            self.check(["available"], 1, env=env)

    def test_without_tpm(self):
        self.check_commands(1)
