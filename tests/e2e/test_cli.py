"""The command line through the real binary, beside its software TPM and without it: dispatch,
round trips, the sealed-key text's form, and every failure's exact line, status 1 and empty
stdout."""

import base64, json, os, subprocess

from harness import BIN, QUICK, BinaryTest, SoftwareTpm, b64, line, record_from_text, run, \
    text_from_record, unb64

USAGE = line("usage: morvane-keyvault available | seal | unseal")
NOT_A_COMMAND = [[], [""], ["Available"], ["SEAL"], [" seal"], ["unsealx", "seal"]]
# Trimmed: ASCII blanks, CRLF, a Unicode space and a Unicode line separator.
AROUND = [(" \t", "\r\n"), ("\r\n\u00a0", "\u2028")]
NO_ACCESS = 'mount -t tmpfs none /dev && touch /dev/tpmrm0 && chmod 0 /dev/tpmrm0 && exec ' \
    'setpriv --bounding-set=-dac_override,-dac_read_search "$0" unseal'
TEMPLATE = {"enclave": "AAAA", "ephemeral": "BBBB", "box": "AAAA"}
NOT_SEALED = [(text, "expected a sealed key on stdin") for text in [
    b"", b"not base64!", base64.b64encode(b"not json"),
    text_from_record({"enclave": "AAAA", "ephemeral": "BBBB"}),
    text_from_record(TEMPLATE | {"box": 1}),
    text_from_record(TEMPLATE)[:8] + b" " + text_from_record(TEMPLATE)[8:]]]


class Cli(BinaryTest):
    @classmethod
    def setUpClass(cls):
        cls.tpm = cls.enterClassContext(SoftwareTpm())
        cls.key = os.urandom(32)
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

    def dispatch(self, available):
        rows = [(args, 1, USAGE) for args in NOT_A_COMMAND]
        for args, status, stderr in rows + [(["available", "seal", "x"], available, b"")]:
            with self.subTest(args=args, available=available):
                # A valid key text, so a command that wrongly read it could act on it.
                self.assertEqual(run(*args, stdin=b"QUJD\n"), (status, b"", stderr, 0))

    def test_round_trips_and_the_record_form(self):
        for size in [0, 1, 32, 1 << 20]:
            with self.subTest(size=size):
                key = os.urandom(size)
                sealed = self.seal_key(key)
                self.assertRegex(sealed, rb"\A\S+\n\Z")
                record = json.loads(unb64(sealed[:-1]))
                self.assertEqual(text_from_record(record), sealed[:-1], "not compact JSON")
                self.assertEqual(list(record), ["enclave", "ephemeral", "box"])
                ephemeral, box = unb64(record["ephemeral"]), unb64(record["box"])
                self.assertEqual((len(record["ephemeral"]), ephemeral[0], len(box)),
                                 (88, 4, size + 28))
                self.unseal_to(sealed, key)
        for before, after in AROUND:
            with self.subTest(before=before, after=after):
                sealed = run("seal", stdin=(before + b64(self.key) + after).encode()).stdout
                self.unseal_to(before.encode() + sealed.strip() + after.encode(), self.key)
        self.unseal_to(run("seal", stdin=" \r\n\u00a0".encode()).stdout, b"")
        other = record_from_text(self.seal_key(self.key))
        self.assertFalse([m for m in other if other[m] == self.record[m]], "two seals share")

    def test_failures_with_its_tpm(self):
        point, other = unb64(self.record["ephemeral"]), record_from_text(self.seal_key(b"k"))
        self.dispatch(0)
        # A swtpm reachable only where the TCTI loader's own list looks is not a TPM.
        self.assertEqual(run("available", env=os.environ | {"LD_LIBRARY_PATH": ""})[:3],
                         (1, b"", b""))
        self.check("seal", [(text, "expected a base64 key on stdin")
                            for text in [b"QUJD RA==", base64.encodebytes(bytes(100)), b"QUI"]])
        self.check("unseal", NOT_SEALED + self.spoilt([
            ({"enclave": ""}, "enclave key is not a TPM key blob"),
            ({"ephemeral": other["ephemeral"]}, "authenticationFailure"),
            ({"ephemeral": b64(b"\x04" + bytes(64))}, "invalidPoint"),
            ({"ephemeral": b64(point[1:])}, "incorrectKeySize")]))
        with open("/dev/full", "wb") as full:
            for command, stdin in (("seal", base64.b64encode(self.key)), ("unseal", self.sealed)):
                self.assert_fails(run(command, stdin=stdin, stdout=full),
                                  "cannot write to standard output")
        read_end, write_end = os.pipe()
        os.close(read_end)
        self.assert_fails(run("unseal", stdin=self.sealed, stdout=write_end),
                          "cannot write to standard output")
        os.close(write_end)

    def test_every_changed_bit_and_length_of_a_box(self):
        record = record_from_text(self.seal_key(b"k"))
        box = unb64(record["box"])
        rows = [(box[:n], "incorrectParameterSize" if n < 28 else "authenticationFailure")
                for n in range(len(box))]
        number = int.from_bytes(box, "big")
        rows += [((number ^ 1 << i).to_bytes(len(box), "big"), "authenticationFailure")
                 for i in range(0, 8 * len(box), 7 if QUICK else 1)]
        self.check("unseal", self.spoilt([({"box": b64(b)}, why) for b, why in rows], record))

    def test_failures_without_a_tpm(self):
        self.tpm.stop()
        self.addCleanup(self.tpm.start)
        result = run("seal", stdin=b"QUJD\n")
        self.assertEqual(result, (1, b"", line("no Secure Enclave"), 0))
        self.dispatch(1)
        # Decoding all three members comes before the TPM and before the box's length.
        enclave, short_box = self.record["enclave"], b64(bytes(27))
        self.check("unseal", NOT_SEALED + self.spoilt([
            ({}, "no TPM found"),
            ({"enclave": enclave[:4] + " " + enclave[4:], "box": short_box}, "input"),
            ({"ephemeral": self.record["ephemeral"].removesuffix("=")}, "input"),
            ({"box": "-" + short_box[1:]}, "input")]))
        # A TPM device this user may not open: a root without the capabilities that bypass modes.
        no_access = subprocess.run(["unshare", "--mount", "sh", "-c", NO_ACCESS, BIN],
                                   input=self.sealed, capture_output=True)
        self.assertEqual((no_access.returncode, no_access.stdout), (1, b""))
        self.assertEqual(no_access.stderr, line("unsealing failed: " + "no access to /dev/tpmrm0 "
                                                "(join the tss group)"))
        with SoftwareTpm():
            self.check("unseal", self.spoilt(
                [({}, "key was not made by this TPM, or the TPM was cleared")]))
