"""Every failure of `seal` and `unseal` through the real binary, with and without a software
TPM: the exact stderr line, status 1 and an empty stdout."""

import base64
import os
import unittest

from harness import (MEMBERS, PREFIX, BinaryTest, SoftwareTpm, b64, env_without_tcti_link,
                     error_line, member_bytes, record_from_text, run, run_leaving_stdin,
                     strict_b64decode, text_from_record)

BAD_KEY_TEXT = error_line("expected a base64 key on stdin")
NOT_SEALED = error_line("expected a sealed key on stdin")
MEMBER_NOT_BASE64 = error_line("unsealing failed: input")
SHORT_BOX = error_line("unsealing failed: incorrectParameterSize")
BOX_DOES_NOT_OPEN = error_line("unsealing failed: authenticationFailure")
NO_OUTPUT = error_line("cannot write to standard output")

BAD_KEY_TEXTS = [
    b"QUJD RA==",
    b"QUJD\tRA==",
    "QUJD\u00a0RA==".encode(),
    b"QUJDRA==\x00",
    "QUJDRA==\u200b".encode(),  # a format character, not white space
    "\ufeffQUJDRA==".encode(),
    base64.encodebytes(bytes(100)),  # wrapped at 76 columns
    base64.encodebytes(bytes(100)).replace(b"\n", b"\r\n"),
    b"QQ",
    b"QUI",
    b"QQ=",
    b"Q===",
    b"QQ==QQ==",
    b"AAAAA",
    b"=",
    b"-_8=",  # URL-safe alphabet
    b"\xff",
    b"QUJD\xc3",
    b"\xc3\xa9QUJD",
]

_TEMPLATE = {"enclave": "AAAA", "ephemeral": "BBBB", "box": "AAAA"}


def _json(text: str) -> bytes:
    return base64.b64encode(text.encode())


NOT_SEALED_TEXTS = [
    ("empty", b""),
    ("blanks only", b" \t\r\n "),
    ("not base64", b"not base64!"),
    ("invalid UTF-8", b"\xff\xfe"),
    ("base64 of non-JSON", _json("not json")),
    ("JSON array", _json('["AAAA", "BBBB", "AAAA"]')),
    ("JSON string", _json('"AAAA"')),
    ("JSON null", _json("null")),
    ("empty object", _json("{}")),
    ("two values", _json('{"enclave":"AAAA","ephemeral":"BBBB","box":"AAAA"} {}')),
    ("trailing comma", _json('{"enclave":"AAAA","ephemeral":"BBBB","box":"AAAA",}')),
    ("comment", _json('{"enclave":"AAAA",/* c */"ephemeral":"BBBB","box":"AAAA"}')),
    ("trailing text", _json('{"enclave":"AAAA","ephemeral":"BBBB","box":"AAAA"}x')),
    ("single quotes", _json("{'enclave':'AAAA','ephemeral':'BBBB','box':'AAAA'}")),
    ("Enclave", text_from_record({"Enclave": "AAAA", "ephemeral": "BBBB", "box": "AAAA"})),
] + [
    (f"{member} {kind}", text_from_record(_TEMPLATE | {member: value}))
    for member in MEMBERS
    for kind, value in [("null", None), ("number", 1), ("true", True), ("array", ["AAAA"]),
                        ("object", {"a": "AAAA"})]
] + [
    (f"{member} missing", text_from_record({k: v for k, v in _TEMPLATE.items() if k != member}))
    for member in MEMBERS
]


def not_base64_variants(value: str) -> list:
    """A member value spoilt in each way strict base64 must reject."""
    unpadded = value.rstrip("=") if value.endswith("=") else value[:-1]
    return [
        ("inner space", value[:4] + " " + value[4:]),
        ("inner line feed", value[:4] + "\n" + value[4:]),
        ("trailing line feed", value + "\n"),
        ("leading blank", " " + value),
        ("missing padding", unpadded),
        ("URL-safe character", "-" + value[1:]),
        ("non-ASCII", value[:4] + "é" + value[4:]),
        ("padding only", "===="),
    ]


def spoilt_records(record: dict) -> list:
    return [(f"{m} {kind}", record | {m: bad}) for m in MEMBERS
            for kind, bad in not_base64_variants(record[m])]


class UnsealingTest(BinaryTest):
    def assert_unsealing_error(self, result, not_one_of=()) -> bytes:
        """A failure whose message is "unsealing failed: " and some one-line text."""
        self.assertEqual((result.status, result.stdout), (1, b""))
        lead = PREFIX + b"unsealing failed: "
        self.assertTrue(result.stderr.startswith(lead), result.stderr)
        self.assertTrue(result.stderr.endswith(b"\n") and result.stderr.count(b"\n") == 1)
        self.assertGreater(len(result.stderr), len(lead) + 1)
        self.assertNotIn(result.stderr, [MEMBER_NOT_BASE64, *not_one_of])
        return result.stderr


class WithTpm(UnsealingTest):
    @classmethod
    def setUpClass(cls):
        cls.tpm = SoftwareTpm().start()
        cls.key = os.urandom(32)
        cls.sealed = run("seal", stdin=base64.b64encode(cls.key)).stdout
        cls.record = record_from_text(cls.sealed)

    @classmethod
    def tearDownClass(cls):
        cls.tpm.stop()

    def test_bad_key_text(self):
        for text in BAD_KEY_TEXTS:
            with self.subTest(text=text):
                self.assert_fails(run("seal", stdin=text), BAD_KEY_TEXT)

    def test_not_a_sealed_key_text(self):
        text = self.sealed.strip()
        envelopes = [
            ("inner blank", text[:40] + b" " + text[40:]),
            ("broken over lines", base64.encodebytes(strict_b64decode(text.decode()))),
            ("missing padding", text.rstrip(b"=") if text.endswith(b"=") else text[:-1]),
        ]
        for name, stdin in NOT_SEALED_TEXTS + envelopes:
            with self.subTest(name):
                self.assert_fails(run("unseal", stdin=stdin), NOT_SEALED)

    def test_member_not_base64(self):
        for name, record in spoilt_records(self.record):
            with self.subTest(name):
                result = run("unseal", stdin=text_from_record(record))
                self.assert_fails(result, MEMBER_NOT_BASE64)

    def test_enclave_member_that_is_not_a_blob(self):
        # The enclave is restored before the box is looked at, so a short box cannot mask it.
        for enclave in [b"", b"\x30\x00", b"not a key blob", os.urandom(400)]:
            with self.subTest(enclave=enclave[:16]):
                record = self.record | {"enclave": b64(enclave), "box": b64(bytes(27))}
                result = run("unseal", stdin=text_from_record(record))
                self.assert_unsealing_error(result, not_one_of=[SHORT_BOX])

    def test_ephemeral_member_that_is_not_a_point(self):
        point = strict_b64decode(self.record["ephemeral"])
        not_points = [
            b"", b"\x00", point[1:], point + b"\x00", b"\x05" + point[1:],
            b"\x04" + bytes(64), point[:-1] + bytes([point[-1] ^ 1]),
        ]
        for ephemeral in not_points:
            with self.subTest(ephemeral=ephemeral[:8]):
                for box in (self.record["box"], b64(bytes(27))):
                    record = self.record | {"ephemeral": b64(ephemeral), "box": box}
                    result = run("unseal", stdin=text_from_record(record))
                    self.assert_unsealing_error(result, [SHORT_BOX, BOX_DOES_NOT_OPEN])

    def test_box_of_27_bytes(self):
        record = self.record | {"box": b64(member_bytes(self.record)[2][:27])}
        self.assert_fails(run("unseal", stdin=text_from_record(record)), SHORT_BOX)

    def test_members_of_different_sealings(self):
        other = record_from_text(self.seal_key(self.key))
        for member in ("ephemeral", "enclave"):
            with self.subTest(member):
                record = self.record | {member: other[member]}
                self.assert_fails(run("unseal", stdin=text_from_record(record)),
                                  BOX_DOES_NOT_OPEN)

    def test_every_changed_bit_and_length_of_a_box(self):
        record = record_from_text(self.seal_key(b"k"))
        box = member_bytes(record)[2]
        variants = [(f"bit {i}", box[:i // 8] + bytes([box[i // 8] ^ (0x80 >> i % 8)]) +
                     box[i // 8 + 1:], BOX_DOES_NOT_OPEN) for i in range(8 * len(box))]
        variants += [(f"length {n}", box[:n], SHORT_BOX if n < 28 else BOX_DOES_NOT_OPEN)
                     for n in range(len(box))]
        variants.append(("one byte more", box + b"\x00", BOX_DOES_NOT_OPEN))
        for name, spoilt, stderr in variants:
            with self.subTest(name):
                result = run("unseal", stdin=text_from_record(record | {"box": b64(spoilt)}))
                self.assert_fails(result, stderr)

    def test_unwritable_standard_output(self):
        for command, stdin in (("seal", base64.b64encode(self.key)), ("unseal", self.sealed)):
            with self.subTest(command, stdout="/dev/full"), open("/dev/full", "wb") as full:
                self.assertEqual(run(command, stdin=stdin, stdout=full), (1, b"", NO_OUTPUT))
            with self.subTest(command, stdout="closed pipe"):
                read_end, write_end = os.pipe()
                os.close(read_end)
                try:
                    result = run(command, stdin=stdin, stdout=write_end)
                finally:
                    os.close(write_end)
                self.assertEqual(result, (1, b"", NO_OUTPUT))

    def test_tpm_not_chosen_by_the_tss_configuration(self):
        env = env_without_tcti_link()
        self.assert_fails(run("seal", stdin=b"QUJD", env=env), error_line("no Secure Enclave"))
        self.assert_fails(run("unseal", stdin=self.sealed, env=env),
                          error_line("unsealing failed: no TPM found"))


class AnotherTpm(BinaryTest):
    def test_record_of_another_tpm(self):
        key = os.urandom(32)
        home = SoftwareTpm()
        with home:
            sealed = self.seal_key(key)
        with SoftwareTpm():
            self.assert_fails(
                run("unseal", stdin=sealed),
                error_line("unsealing failed: key was not made by this TPM, or the TPM was cleared"))
        with SoftwareTpm(home.state_dir):
            self.unseal_to(sealed, key)


class NoTpm(BinaryTest):
    @classmethod
    def setUpClass(cls):
        with SoftwareTpm():
            cls.sealed = run("seal", stdin=b"QUJD").stdout
        cls.record = record_from_text(cls.sealed)

    def test_seal_says_no_secure_enclave_before_reading_stdin(self):
        for stdin in [b"QUJD\n", b"not base64!"]:
            with self.subTest(stdin=stdin):
                result, unread = run_leaving_stdin("seal", stdin=stdin)
                self.assert_fails(result, error_line("no Secure Enclave"))
                self.assertEqual(unread, stdin, "standard input was read")
        self.assert_fails(run("seal"), error_line("no Secure Enclave"))

    def test_unseal_finds_no_tpm(self):
        self.assert_fails(run("unseal", stdin=self.sealed),
                          error_line("unsealing failed: no TPM found"))

    def test_not_a_sealed_key_text(self):
        for name, stdin in NOT_SEALED_TEXTS:
            with self.subTest(name):
                self.assert_fails(run("unseal", stdin=stdin), NOT_SEALED)

    def test_member_not_base64_even_with_a_short_box(self):
        # Decoding all three members comes before the TPM and before the box's length.
        for name, record in spoilt_records(self.record | {"box": b64(bytes(27))}):
            with self.subTest(name):
                self.assert_fails(run("unseal", stdin=text_from_record(record)),
                                  MEMBER_NOT_BASE64)


if __name__ == "__main__":
    unittest.main()
