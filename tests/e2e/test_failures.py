"""Failures of `seal` and `unseal` through the real binary, with and without a software TPM:
the exact stderr line, status 1 and an empty stdout."""

import base64
import os
import subprocess

from harness import BinaryTest, SoftwareTpm, b64, record_from_text, run, text_from_record, unb64

TEMPLATE = {"enclave": "AAAA", "ephemeral": "BBBB", "box": "AAAA"}
NOT_SEALED = [(text, "expected a sealed key on stdin") for text in [
    b"",
    b"not base64!",
    base64.b64encode(b"not json"),
    text_from_record({"enclave": "AAAA", "ephemeral": "BBBB"}),
    text_from_record(TEMPLATE | {"box": 1}),
    text_from_record(TEMPLATE)[:8] + b" " + text_from_record(TEMPLATE)[8:],
]]


class Failures(BinaryTest):
    """Runs with no TPM unless a test starts cls.tpm, the TPM that made cls.sealed."""

    @classmethod
    def setUpClass(cls):
        cls.tpm = SoftwareTpm()
        cls.key = os.urandom(32)
        with cls.tpm:
            cls.sealed = run("seal", stdin=base64.b64encode(cls.key)).stdout
        cls.record = record_from_text(cls.sealed)

    def check(self, command, rows):
        """Each row: the stdin, and the failure that must follow."""
        for row, (stdin, message) in enumerate(rows):
            with self.subTest(command, row=row, want=message):
                self.assert_fails(run(command, stdin=stdin), message)

    def spoilt(self, rows, record=None):
        """Each row: members put into the record, and the failure that must follow."""
        return [(text_from_record((record or self.record) | members), "unsealing failed: " + why)
                for members, why in rows]

    def test_without_its_tpm(self):
        result = run("seal", stdin=b"QUJD\n")
        self.assert_fails(result, "no Secure Enclave")
        self.assertEqual(result.stdin_read, 0, "standard input was read")
        # Decoding all three members comes before the TPM and before the box's length.
        enclave, short_box = self.record["enclave"], b64(bytes(27))
        self.check("unseal", NOT_SEALED + self.spoilt([
            ({}, "no TPM found"),
            ({"enclave": enclave[:4] + " " + enclave[4:], "box": short_box}, "input"),
            ({"ephemeral": self.record["ephemeral"].removesuffix("=")}, "input"),
            ({"box": "-" + short_box[1:]}, "input"),
        ]))
        with SoftwareTpm():
            self.check("unseal", self.spoilt(
                [({}, "key was not made by this TPM, or the TPM was cleared")]))
            subprocess.run(["tpm2_changeauth", "-c", "o", "secret"], check=True)
            self.check("seal", [(b"", "sealing failed: the TPM's owner hierarchy has a password; "
                                      "this tool needs it empty")])

    def test_with_its_tpm(self):
        point = unb64(self.record["ephemeral"])
        with self.tpm:
            other = record_from_text(self.seal_key(self.key))
            self.check("seal", [(text, "expected a base64 key on stdin")
                                for text in [b"QUJD RA==", base64.encodebytes(bytes(100)), b"QUI"]])
            self.check("unseal", NOT_SEALED + self.spoilt([
                ({"enclave": ""}, "enclave key is not a TPM key blob"),
                ({"ephemeral": other["ephemeral"]}, "authenticationFailure"),
                ({"ephemeral": b64(b"\x04" + bytes(64))}, "invalidPoint"),
                ({"ephemeral": b64(point[1:])}, "incorrectKeySize"),
            ]))
            self.unseal_to(self.sealed, self.key)

    def test_every_changed_bit_and_length_of_a_box(self):
        with self.tpm:
            record = record_from_text(self.seal_key(b"k"))
            box = unb64(record["box"])
            rows = [(box[:n], "incorrectParameterSize" if n < 28 else "authenticationFailure")
                    for n in range(len(box))]
            number = int.from_bytes(box, "big")
            rows += [((number ^ 1 << i).to_bytes(len(box), "big"), "authenticationFailure")
                     for i in range(8 * len(box))]
            self.check("unseal", self.spoilt([({"box": b64(b)}, why) for b, why in rows], record))

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
