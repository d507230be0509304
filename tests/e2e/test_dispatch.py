"""The command word and `available`, through the real binary: exit status, the exact bytes on
both streams, and standard input left unread."""

import unittest

from harness import USAGE, SoftwareTpm, env_without_tcti_link, run_leaving_stdin

# Waiting on stdin: a valid key text, so a command that wrongly read it could act on it.
PENDING_STDIN = b"c2VjcmV0IGtleSB0ZXh0\n"

NOT_A_COMMAND = [
    [],
    [""],
    ["Available"],
    ["AVAILABLE"],
    ["SEAL"],
    ["Seal"],
    ["Unseal"],
    [" seal"],
    ["seal "],
    ["\tunseal"],
    ["unseal\n"],
    ["available\r"],
    ["avail"],
    ["sea"],
    ["unsealx"],
    ["séal"],
    ["help"],
    ["--help"],
    ["-h"],
    ["open", "seal"],
    ["", "available"],
    ["seal available"],
]

EXTRA_ARGUMENTS = [
    [],
    ["seal"],
    ["unseal", "x"],
    [""],
    ["--help"],
]


def check_usage_rows(test):
    for args in NOT_A_COMMAND:
        with test.subTest(args=args):
            result, unread = run_leaving_stdin(*args, stdin=PENDING_STDIN)
            test.assertEqual(result, (1, b"", USAGE))
            test.assertEqual(unread, PENDING_STDIN, "standard input was read")


def check_available(test, args, want_status, env=None):
    result, unread = run_leaving_stdin(*args, stdin=PENDING_STDIN, env=env)
    test.assertEqual(result, (want_status, b"", b""))
    test.assertEqual(unread, PENDING_STDIN, "standard input was read")


class TpmPresent(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tpm = SoftwareTpm().start()

    @classmethod
    def tearDownClass(cls):
        cls.tpm.stop()

    def test_usage_line_for_anything_but_a_command_word(self):
        check_usage_rows(self)

    def test_available_answers_0_by_status_alone(self):
        for extra in EXTRA_ARGUMENTS:
            with self.subTest(extra=extra):
                check_available(self, ["available", *extra], 0)

    def test_available_ignores_a_tpm_not_chosen_by_the_tss_configuration(self):
        # swtpm listens where the TCTI loader's built-in list would look; without the
        # default-TCTI link the tool must not go there.
        check_available(self, ["available"], 1, env=env_without_tcti_link())


class NoTpm(unittest.TestCase):
    def test_usage_line_for_anything_but_a_command_word(self):
        check_usage_rows(self)

    def test_available_answers_1_by_status_alone(self):
        for env in (None, env_without_tcti_link()):
            for extra in EXTRA_ARGUMENTS:
                with self.subTest(extra=extra, tcti_link=env is None):
                    check_available(self, ["available", *extra], 1, env=env)


if __name__ == "__main__":
    unittest.main()
