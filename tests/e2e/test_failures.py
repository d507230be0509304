"""Failures of `seal` and `unseal` through the real binary, with and without a software TPM:
the exact stderr line, status 1 and an empty stdout."""

import base64
import contextlib
import os
import unittest

from harness import (BinaryTest, SoftwareTpm, b64, env_without_tcti_link, record_from_text, run,
                     run_leaving_stdin, text_from_record, unb64)

SHORT_BOX = "unsealing failed: incorrectParameterSize"
NO_OPEN = "unsealing failed: authenticationFailure"
TEMPLATE = {"enclave": "AAAA", "ephemeral": "BBBB", "box": "AAAA"}
NOT_SEALED = [
    b"",
    b"not base64!",
    base64.b64encode(b"not json"),
    text_from_record({"enclave": "AAAA", "ephemeral": "BBBB"}),
    text_from_record(TEMPLATE | {"box": 1}),
    text_from_record(TEMPLATE)[:8] + b" " + text_from_record(TEMPLATE)[8:],
]


class Failures(BinaryTest):
    """Runs with no TPM unless a test starts cls.tpm, the TPM that made cls.sealed."""

    @classmethod
    def setUpClass(cls):
        cls.tpm = SoftwareTpm()
        cls.key = os.urandom(32)
        with cls.tpm:
            cls.sealed = run("seal", stdin=base64.b64encode(cls.key)).stdout
        cls.record = record_from_text(cls.sealed)

    def check_spoilt(self, rows, record=None):
        """Each row: members put into the record, and the failure that must follow."""
        for members, message in rows:
            with self.subTest(members=members):
                stdin = text_from_record((record or self.record) | members)
                self.assert_fails(run("unseal", stdin=stdin), message)

    def check_no_tpm(self, env=None):
        with self.subTest(tcti_link=env is None):
            result, unread = run_leaving_stdin("seal", stdin=b"QUJD\n", env=env)
            self.assert_fails(result, "no Secure Enclave")
            self.assertEqual(unread, b"QUJD\n", "standard input was read")
            self.assert_fails(run("unseal", stdin=self.sealed, env=env),
                              "unsealing failed: no TPM found")

    def test_no_tpm(self):
        self.check_no_tpm()
        with self.tpm:  # reachable only where the TCTI loader's own list looks
            self.check_no_tpm(env_without_tcti_link())

    def test_bad_key_text(self):
        with self.tpm:
            for text in [b"QUJD RA==", base64.encodebytes(bytes(100)), b"QUI"]:
                with self.subTest(text=text):
                    self.assert_fails(run("seal", stdin=text), "expected a base64 key on stdin")

    def test_not_a_sealed_key_text(self):
        for tpm in (contextlib.nullcontext(), self.tpm):
            with tpm:
                for stdin in NOT_SEALED:
                    with self.subTest(stdin=stdin, tpm=tpm is self.tpm):
                        self.assert_fails(run("unseal", stdin=stdin),
                                          "expected a sealed key on stdin")

    def test_member_not_base64(self):
        # Decoding all three comes before the TPM and before the box's length.
        enclave, short_box = self.record["enclave"], b64(bytes(27))
        self.check_spoilt([(members, "unsealing failed: input") for members in [
            {"enclave": enclave[:4] + " " + enclave[4:], "box": short_box},
            {"ephemeral": self.record["ephemeral"].removesuffix("=")},
            {"box": "-" + short_box[1:]},
        ]])

    def test_bad_members(self):
        point = unb64(self.record["ephemeral"])
        with self.tpm:
            other = record_from_text(self.seal_key(self.key))
            self.check_spoilt([
                ({"enclave": ""}, "unsealing failed: enclave key is not a TPM key blob"),
                ({"box": b64(bytes(27))}, SHORT_BOX),
                ({"ephemeral": other["ephemeral"]}, NO_OPEN),
                ({"ephemeral": b64(b"\x04" + bytes(64))}, "unsealing failed: invalidPoint"),
                ({"ephemeral": b64(point[1:])}, "unsealing failed: incorrectKeySize"),
            ])

    def test_every_changed_bit_and_length_of_a_box(self):
        with self.tpm:
            record = record_from_text(self.seal_key(b"k"))
            box = unb64(record["box"])
            rows = [({"box": b64(box[:n])}, SHORT_BOX if n < 28 else NO_OPEN)
                    for n in range(len(box))]
            number = int.from_bytes(box, "big")
            rows += [({"box": b64((number ^ 1 << i).to_bytes(len(box), "big"))}, NO_OPEN)
                     for i in range(8 * len(box))]
            self.check_spoilt(rows, record)

    def test_record_of_another_tpm(self):
        with SoftwareTpm():
            self.assert_fails(
                run("unseal", stdin=self.sealed),
                "unsealing failed: key was not made by this TPM, or the TPM was cleared")
        with self.tpm:
            self.unseal_to(self.sealed, self.key)

    def test_unwritable_standard_output(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        self.addCleanup(os.close, write_end)
        with self.tpm, open("/dev/full", "wb") as full:
            for command, stdin in (("seal", base64.b64encode(self.key)), ("unseal", self.sealed)):
                for stdout in (full, write_end):
                    with self.subTest(command, stdout=stdout):
                        result = run(command, stdin=stdin, stdout=stdout)
                        self.assert_fails(result, "cannot write to standard output")


if __name__ == "__main__":
    unittest.main()
