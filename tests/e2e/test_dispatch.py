"""The command word and `available` through the real binary: status, both streams, and
standard input left unread."""

import unittest

from harness import SoftwareTpm, env_without_tcti_link, error_line, run_leaving_stdin

USAGE = error_line("usage: morvane-keyvault available | seal | unseal")
# A valid key text, so a command that wrongly read it could act on it.
PENDING = b"c2VjcmV0IGtleSB0ZXh0\n"
NOT_A_COMMAND = [[], [""], ["Available"], ["SEAL"], [" seal"], ["seal "], ["unsealx"],
                 ["help", "seal"]]


class Dispatch(unittest.TestCase):
    def check(self, args, want, env=None):
        with self.subTest(args=args, tcti_link=env is None):
            result, unread = run_leaving_stdin(*args, stdin=PENDING, env=env)
            self.assertEqual(result, want)
            self.assertEqual(unread, PENDING, "standard input was read")

    def check_commands(self, available_status):
        for args in NOT_A_COMMAND:
            self.check(args, (1, b"", USAGE))
        for extra in ([], ["seal"], ["unseal", "x"]):
            self.check(["available", *extra], (available_status, b"", b""))
        # A swtpm reachable only where the TCTI loader's own list looks is not a TPM.
        self.check(["available"], (1, b"", b""), env_without_tcti_link())

    def test_with_tpm(self):
        with SoftwareTpm():
            self.check_commands(0)

    def test_without_tpm(self):
        self.check_commands(1)


if __name__ == "__main__":
    unittest.main()
