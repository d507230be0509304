"""`seal` and `unseal` through the real binary: round trips, the form of the sealed-key text,
and white space around both texts."""

import json
import os

from harness import BinaryTest, SoftwareTpm, b64, record_from_text, run, unb64

MEMBERS = ("enclave", "ephemeral", "box")
# Trimmed: ASCII blanks, CRLF, a Unicode space and a Unicode line separator.
AROUND = [(" \t", "\r\n"), ("\r\n\u00a0", "\u2028")]


class SealUnseal(BinaryTest):
    @classmethod
    def setUpClass(cls):
        cls.tpm = cls.enterClassContext(SoftwareTpm())

    def test_round_trip_by_key_size(self):
        for size in [0, 1, 31, 32, 33, 1000, 1 << 20]:
            with self.subTest(size=size):
                key = os.urandom(size)
                sealed = self.seal_key(key)
                self.assertRegex(sealed, rb"\A\S+\n\Z", "not one line without white space")
                json_text = unb64(sealed[:-1])
                self.assertNotRegex(json_text, rb"\s", "JSON is not compact")
                record = json.loads(json_text)
                self.assertEqual({k: type(v) for k, v in record.items()},
                                 dict.fromkeys(MEMBERS, str))
                ephemeral, box = unb64(record["ephemeral"]), unb64(record["box"])
                self.assertEqual((len(record["ephemeral"]), len(ephemeral), ephemeral[0], len(box)),
                                 (88, 65, 4, size + 28))
                self.unseal_to(sealed, key)

    def test_white_space_around_the_texts(self):
        key = os.urandom(32)
        for before, after in AROUND:
            with self.subTest(before=before, after=after):
                sealed = run("seal", stdin=(before + b64(key) + after).encode()).stdout
                self.unseal_to(sealed, key)
                self.unseal_to(before.encode() + sealed.strip() + after.encode(), key)
        self.unseal_to(run("seal", stdin=" \r\n\u00a0".encode()).stdout, b"")

    def test_two_seals_differ_and_survive_a_restart_of_their_tpm(self):
        key = os.urandom(32)
        first, second = self.seal_key(key), self.seal_key(key, "unseal", "x")
        for member in MEMBERS:
            self.assertNotEqual(record_from_text(first)[member], record_from_text(second)[member])
        self.tpm.stop()
        self.tpm.start()
        self.unseal_to(first, key, "seal", "")
        self.unseal_to(second, key)
