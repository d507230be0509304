"""`seal` and `unseal` through the real binary against software TPMs: round trips, the exact
form of both texts, and the input forms both commands accept."""

import base64
import os
import re
import unittest

from cryptography.hazmat.primitives.asymmetric import ec

from harness import (MEMBERS, BinaryTest, SoftwareTpm, b64, error_line, member_bytes,
                     record_from_text, run, run_in_pieces, strict_b64decode, text_from_record)

BAD_KEY_TEXT = error_line("expected a base64 key on stdin")

# Surroundings the input trim removes: C0 blanks, line ends, NEL and the Zs/Zl/Zp characters.
TRIMMED_AROUND = [
    (" ", ""), ("", " "), ("\t", "\t"), ("", "\n"), ("", "\r\n"), ("\r\n", "\r\n"),
    ("\n\n ", " \n\n"), ("\x0b\x0c", "\x0d"), ("\u0085", "\u0085"), ("\u00a0", "\u00a0"),
    ("\u3000", "\u3000"), ("\u2028", "\u2029"), ("\u1680\u2003", "\u202f\u205f"),
]


class WithTpm(BinaryTest):
    @classmethod
    def setUpClass(cls):
        cls.tpm = SoftwareTpm().start()
        cls.key = os.urandom(32)
        cls.sealed = run("seal", stdin=base64.b64encode(cls.key)).stdout
        cls.record = record_from_text(cls.sealed)

    @classmethod
    def tearDownClass(cls):
        cls.tpm.stop()

    def assert_record_shape(self, sealed_text: bytes, key_len: int) -> None:
        self.assertTrue(sealed_text.endswith(b"\n"))
        text = sealed_text[:-1]
        self.assertIsNone(re.search(rb"\s", text), "white space in the sealed-key text")
        json_bytes = strict_b64decode(text.decode("ascii"))
        self.assertEqual(base64.b64encode(json_bytes), text)
        self.assertIsNone(re.search(rb"\s", json_bytes), "JSON is not compact")
        record = record_from_text(sealed_text)
        self.assertEqual(sorted(record), sorted(MEMBERS))
        for member in MEMBERS:
            self.assertIsInstance(record[member], str)
            self.assertEqual(b64(strict_b64decode(record[member])), record[member])
        enclave, ephemeral, box = member_bytes(record)
        self.assertEqual(enclave[0], 0x30, "the blob is not a DER SEQUENCE")
        self.assertEqual(len(record["ephemeral"]), 88)
        self.assertTrue(record["ephemeral"].startswith("B"))
        self.assertEqual((len(ephemeral), ephemeral[0]), (65, 0x04))
        ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), ephemeral)  # on the curve
        self.assertEqual(len(box), key_len + 28)
        self.assertEqual(len(record["box"]), 4 * -(-(key_len + 28) // 3))

    def test_round_trip_by_key_size(self):
        for size in [0, 1, 31, 32, 33, 1000, 1 << 20]:
            with self.subTest(size=size):
                key = os.urandom(size)
                sealed = self.seal_key(key)
                self.assert_record_shape(sealed, size)
                self.unseal_to(sealed, key)
        self.assertEqual(run("unseal", stdin=self.seal(b"")), (0, b"\n", b""))

    def test_32_byte_key_record(self):
        self.assert_record_shape(self.sealed, 32)
        self.assertEqual(len(self.record["box"]), 80)
        self.assertNotIn("=", self.record["box"])

    def test_two_seals_of_one_key_differ_in_every_member(self):
        again = record_from_text(self.seal_key(self.key))
        for member in MEMBERS:
            self.assertNotEqual(again[member], self.record[member], member)
        self.assertNotEqual(member_bytes(again)[2][:12], member_bytes(self.record)[2][:12])

    def test_further_arguments_are_ignored(self):
        self.unseal_to(self.seal(base64.b64encode(self.key), "unseal", "x"), self.key, "seal", "")

    def test_trimmed_key_text(self):
        for before, after in TRIMMED_AROUND:
            with self.subTest(before=before, after=after):
                text = (before + b64(self.key) + after).encode()
                self.unseal_to(self.seal(text), self.key)
        self.unseal_to(self.seal(" \t\r\n\u00a0\u3000".encode()), b"")

    def test_trimmed_sealed_key_text(self):
        for before, after in TRIMMED_AROUND[::3]:
            with self.subTest(before=before, after=after):
                text = before.encode() + self.sealed.strip() + after.encode()
                self.unseal_to(text, self.key)

    def test_standard_input_is_read_to_its_end(self):
        # A reader that stops at the first line or the first read would act on "QUJD".
        self.assert_fails(run_in_pieces("seal", pieces=[b"QUJD\n", b"RA==\n"]), BAD_KEY_TEXT)
        half = len(self.sealed) // 2
        self.assertEqual(run_in_pieces("unseal", pieces=[self.sealed[:half], self.sealed[half:]]),
                         (0, base64.b64encode(self.key) + b"\n", b""))

    def test_json_forms_the_reader_accepts(self):
        r = self.record
        escaped = '{"enclave":"%s","ephemeral":"\\u00%x%s","box":"%s"}' % (
            r["enclave"].replace("/", "\\/"), ord(r["ephemeral"][0]), r["ephemeral"][1:],
            r["box"].replace("/", "\\/"))
        forms = [
            ("members reordered", text_from_record({m: r[m] for m in reversed(MEMBERS)})),
            ("white space between tokens", text_from_record(r, indent=2, separators=None)),
            ("extra members", text_from_record(
                {"version": 2, **r, "note": None, "x": {"box": 1}})),
            ("escapes", base64.b64encode(b" \r\n" + escaped.encode() + b"\n")),
        ]
        for name, text in forms:
            with self.subTest(name):
                self.unseal_to(text, self.key)


class RestartedTpm(BinaryTest):
    def test_record_survives_a_restart_of_its_tpm(self):
        key = os.urandom(32)
        with SoftwareTpm() as tpm:
            sealed = self.seal_key(key)
            tpm.restart()
            self.unseal_to(sealed, key)


if __name__ == "__main__":
    unittest.main()
