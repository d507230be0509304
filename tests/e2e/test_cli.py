# SPDX-License-Identifier: Apache-2.0
"""The command line through the real binary, with its software TPM, without it, and under a
hostile caller. The mssim TCTI keeps its connection open, as /dev/tpmrm0 does, so one that lands on
a closed descriptor 0-2 is caught; a stub acknowledges the simulator's platform port."""

import base64, contextlib, os, pathlib, socket, subprocess, tempfile, threading, time
import unittest

from harness import BIN, SANITIZED, BinaryTest, SoftwareTpm, b64, line, \
    record_from_text, run, text_from_record, unb64

TMP = os.environ["MORVANE_TEST_TPM_DIR"]
USAGE = line("usage: morvane-keyvault available | seal | unseal")
NOT_A_COMMAND = [[], [""], ["Available"], ["SEAL"], [" seal"], ["unsealx", "seal"]]
NO_ACCESS = 'mount -t tmpfs none /dev && touch /dev/tpmrm0 && chmod 0 /dev/tpmrm0 && exec ' \
    'setpriv --bounding-set=-dac_override,-dac_read_search "$0" unseal'
TEMPLATE = {"enclave": "AAAA", "ephemeral": "BBBB", "box": "AAAA"}
NOT_SEALED = [(text, "expected a sealed key on stdin") for text in [
    b"", b"not base64!", base64.b64encode(b"not json"),
    text_from_record({"enclave": "AAAA", "ephemeral": "BBBB"}),
    text_from_record(TEMPLATE | {"box": 1}),
    text_from_record(TEMPLATE)[:8] + b" " + text_from_record(TEMPLATE)[8:]]]
# Would put the tpm2 provider in charge of the binary's cryptography.
TPM2_FIRST = b"openssl_conf = init\n[init]\nproviders = providers\n[providers]\ntpm2 = active\n" \
    b"default = active\n[active]\nactivate = 1\n"
# (X5, 5) lies on P-256.
X5 = bytes.fromhex("d7325d7646cd60d80a92738ceb345f844cffaf35841022cab176f692de8de1d7")
P256_P = 2**256 - 2**224 + 2**192 + 2**96 - 1


def acknowledge(server: socket.socket) -> None:
    def serve(conn):
        with conn, contextlib.suppress(ConnectionError):  # a killed client: its run is over
            while conn.recv(4):
                conn.sendall(bytes(4))
    while True:
        threading.Thread(target=serve, args=(server.accept()[0],), daemon=True).start()


class Cli(BinaryTest):
    @classmethod
    def setUpClass(cls):
        cls.tpm = cls.enterClassContext(SoftwareTpm(ctrl=2330))
        threading.Thread(target=acknowledge, args=(socket.create_server(("127.0.0.1", 2322)),),
                         daemon=True).start()
        lib = tempfile.mkdtemp(dir=TMP)
        # Beside the swtpm TCTI that scripts/with-test-tpm found (ldconfig is not on a user's PATH).
        swtpm = os.path.realpath(os.path.join(TMP, "lib", "libtss2-tcti-default.so"))
        mssim = os.path.join(os.path.dirname(swtpm), "libtss2-tcti-mssim.so.0")
        os.symlink(mssim, os.path.join(lib, "libtss2-tcti-default.so"))
        cls.mssim = os.environ | {"LD_LIBRARY_PATH": lib}
        cls.key = os.urandom(32)
        cls.sealed = run("seal", stdin=base64.b64encode(cls.key)).stdout
        cls.record = record_from_text(cls.sealed)

    def check(self, command, rows):
        # Each row: the stdin, or members put into the record, and the failure that follows.
        rows = [(text_from_record(self.record | stdin), "unsealing failed: " + why)
                if isinstance(stdin, dict) else (stdin, why) for stdin, why in rows]
        self.assertEqual([run(command, stdin=stdin)[:3] for stdin, _ in rows],
                         [(1, b"", line(why)) for _, why in rows])

    def dispatch(self, available):
        # A valid key text, so a command that wrongly read it could act on it.
        every = NOT_A_COMMAND + [["available", "seal", "x"]]
        self.assertEqual([run(*args, stdin=b"QUJD\n") for args in every],
                         [(1, b"", USAGE, 0)] * len(NOT_A_COMMAND) + [(available, b"", b"", 0)])

    def test_round_trips_and_the_record_form(self):
        for size in [0, 1, 32, 1 << 20]:
            with self.subTest(size=size):
                key = os.urandom(size)
                sealed = self.seal_key(key)
                record = record_from_text(sealed)
                self.assertEqual(sealed, text_from_record(record) + b"\n", "not compact, one line")
                ephemeral, box = unb64(record["ephemeral"]), unb64(record["box"])
                self.assertEqual((list(record), len(record["ephemeral"]), ephemeral[0], len(box)),
                                 (["enclave", "ephemeral", "box"], 88, 4, size + 28))
                self.unseal_to(sealed, key)
        # White space and line breaks around either text are not part of it: all 25 code points.
        sealed = run("seal", stdin=" \t\v\f\u0085\u1680\u2000\u2001\u2002".encode() +
                     base64.b64encode(self.key) + "\u2003\u2004\u2005\u2006\r\n\u2028".encode())
        self.unseal_to("\u2007\u2008\u2009\u200a\u2029\r\n".encode() + sealed.stdout +
                       " \u202f\u205f\u3000".encode(), self.key)
        self.unseal_to(run("seal", stdin=" \r\n\u00a0".encode()).stdout, b"")
        other = record_from_text(self.seal_key(self.key))
        self.assertFalse([m for m in other if other[m] == self.record[m]], "two seals share")
        pathlib.Path(TMP, "tpm2-first.cnf").write_bytes(TPM2_FIRST)  # the environment is ignored
        for env in ({"OPENSSL_CONF": TMP + "/tpm2-first.cnf"}, {"TSS2_LOG": "all+debug"}):
            self.unseal_to(self.seal_key(self.key, os.environ | env), self.key, os.environ | env)

    def test_failures_with_its_tpm(self):
        point, other = unb64(self.record["ephemeral"]), record_from_text(self.seal_key(b"k"))
        box = unb64(self.record["box"])
        self.dispatch(0)
        # A swtpm reachable only where the TCTI loader's own list looks is not a TPM.
        self.assertEqual(run("available", env=os.environ | {"LD_LIBRARY_PATH": ""})[:3],
                         (1, b"", b""))
        # Lookalikes of white space and ill-formed UTF-8 (U+0085, U+00A0 in Latin-1) stay.
        self.check("seal", [(text, "expected a base64 key on stdin") for text in [
            b"QUJD RA==", base64.encodebytes(bytes(100)), b"QUI",
            "\u180e\u200bQUJD\ufeff".encode(), b"\x85QUJD\xa0", b"QUJD\xe2\x80"]])
        self.check("unseal", NOT_SEALED + [
            ({"enclave": ""}, "enclave key is not a TPM key blob"),
            # Nested this deep, a parser that builds a tree overflows the stack.
            (base64.b64encode(b'{"x":%s,"enclave":"","ephemeral":"","box":""}'
                              % (b"[" * 10**6 + b"]" * 10**6)),
             "unsealing failed: enclave key is not a TPM key blob"),
            ({"ephemeral": other["ephemeral"]}, "authenticationFailure"),
            ({"ephemeral": b64(b"\x04" + bytes(64))}, "invalidPoint"),
            # The hybrid form, which OpenSSL would take, and a y not reduced modulo p; p - 5 is.
            ({"ephemeral": b64(bytes([6 + point[64] % 2]) + point[1:])}, "invalidPoint"),
            ({"ephemeral": b64(b"\x04" + X5 + (5 + P256_P).to_bytes(32, "big"))}, "invalidPoint"),
            ({"ephemeral": b64(b"\x04" + X5 + (P256_P - 5).to_bytes(32, "big"))},
             "authenticationFailure"),
            ({"ephemeral": b64(point[1:])}, "incorrectKeySize"),
            ({"box": b64(box[:27])}, "incorrectParameterSize"),
            ({"box": b64(box[:-1] + bytes([box[-1] ^ 1]))}, "authenticationFailure")])

    def test_failures_without_a_tpm(self):
        self.tpm.stop()
        self.addCleanup(self.tpm.start)
        self.assertEqual(run("seal", stdin=b"QUJD\n"), (1, b"", line("no Secure Enclave"), 0))
        self.dispatch(1)
        # Decoding all three members comes before the TPM and before the box's length.
        enclave, short_box = self.record["enclave"], b64(bytes(27))
        self.check("unseal", NOT_SEALED + [
            ({}, "no TPM found"),
            ({"enclave": enclave[:4] + " " + enclave[4:], "box": short_box}, "input"),
            ({"ephemeral": self.record["ephemeral"].removesuffix("=")}, "input"),
            ({"box": "-" + short_box[1:]}, "input")])
        # A TPM device this user may not open: a root without the capabilities that bypass modes.
        # With stdin closed too, and no /dev/null to put in its place, it stops at once: status 1.
        for closed, said in [("", line("unsealing failed: no access to /dev/tpmrm0 (join the tss "
                                       "group)")), (" <&-", b"")]:
            result = subprocess.run(["unshare", "--mount", "sh", "-c", NO_ACCESS + closed, BIN],
                                    input=self.sealed, capture_output=True)
            self.assertEqual((result.returncode, result.stdout + result.stderr), (1, said))
        with SoftwareTpm(ctrl=2330):
            self.check("unseal", [({}, "key was not made by this TPM, or the TPM was cleared")])

    def test_standard_descriptors(self):
        self.unseal_to(self.sealed, self.key, env=self.mssim)  # the mssim TCTI reaches the TPM
        read_end, broken = os.pipe()
        full = os.open("/dev/full", os.O_WRONLY)
        self.addCleanup(lambda: [os.close(fd) for fd in (broken, full)])
        os.close(read_end)
        cannot_write = line("cannot write to standard output")
        for command, stdin, options, err in [
                ("seal", b"", {"close": 0}, line("cannot read standard input")),
                ("unseal", b"", {"close": 0}, line("cannot read standard input")),
                ("seal", base64.b64encode(self.key), {"close": 1}, cannot_write),
                ("unseal", self.sealed, {"close": 1}, cannot_write),
                ("seal", b"QUJD RA==", {"close": 2}, b""), ("unseal", b"x", {"close": 2}, b""),
                ("seal", b"!", {"stderr": broken}, b""), ("x", b"", {"stderr": broken}, b""),
                ("seal", base64.b64encode(self.key), {"stdout": broken}, cannot_write),
                ("unseal", self.sealed, {"stdout": full}, cannot_write)]:
            with self.subTest(command, **{k: str(v) for k, v in options.items()}):
                self.assertEqual(run(command, stdin=stdin, env=self.mssim, **options)[:3],
                                 (1, b"", err))
        # Non-blocking pipes: stdin written late, stdout smaller than the record (written in parts).
        # No process of the same user without capabilities may trace it; it may leave no core.
        key, (in_r, in_w), (out_r, out_w) = os.urandom(1 << 20), os.pipe(), os.pipe()
        os.set_blocking(in_r, False), os.set_blocking(out_w, False)
        no_caps = ["setpriv", "--bounding-set=-all", "--inh-caps=-all"]
        with subprocess.Popen([*no_caps, BIN, "seal"], stdin=in_r, stdout=out_w) as proc:
            os.close(in_r), os.close(out_w)
            for _ in range(1000):  # waiting for input it sleeps: reading in a loop would spin
                if (state := pathlib.Path(f"/proc/{proc.pid}/stat").read_text().split()[2]) == "S":
                    break
                time.sleep(0.01)
            limits = pathlib.Path(f"/proc/{proc.pid}/limits").read_text()
            seize = f"import ctypes; exit(ctypes.CDLL(None).ptrace(0x4206, {proc.pid}, 0, 0) + 1)"
            traced = subprocess.run([*no_caps, "python3", "-c", seize]).returncode
            os.write(in_w, base64.b64encode(key)), os.close(in_w)
            with open(out_r, "rb") as out:
                self.unseal_to(out.read(), key)
        self.assertEqual((state, traced), ("S", 0), "spins, or another process may trace it")
        self.assertRegex(limits, r"Max core file size +0 +0 ")

    @unittest.skipIf(SANITIZED, "AddressSanitizer reserves more address space than any limit")
    def test_no_memory(self):
        with open("/dev/zero", "rb") as zero:
            for command in ("seal", "unseal"):
                self.assert_fails(run(command, stdin=zero, limit=256 << 20), "out of memory")
