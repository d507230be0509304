# SPDX-License-Identifier: Apache-2.0
"""A TPM that misbehaves (tpm_proxy corrupts, loses, stalls or refuses commands): whatever it does,
the binary prints no record that does not unseal, and leaves no object loaded in a TPM without a
resource manager. tpm2-tools reach the swtpm through the proxy too, with no fault set."""

import base64, ctypes, itertools, os, signal, subprocess, time, unittest

from harness import BIN, PIPE, QUICK, BinaryTest, SoftwareTpm, line, run
from tpm_proxy import CREATE, CREATE_PRIMARY, ECDH_ZGEN, FLUSH, LOAD, STARTUP, TpmProxy, cut, \
    flip, when

RETRY, FAILURE, VALUE, CURVE, RESMGR_TPM = 0x922, 0x101, 0x084, 0x1A6, 0xC0000
INITIALIZE, OBJECT_MEMORY = 0x100, 0x902
GET_CAPABILITY, TEST_PARMS = 0x17A, 0x18A
# A new port for every swtpm: one stopped with a connection open leaves its port in TIME_WAIT.
PORTS = itertools.count(2331)
OWNER_PASSWORD = "the TPM's owner hierarchy has a password; this tool needs it empty"
SRK = "fixedtpm|fixedparent|sensitivedataorigin|userwithauth|noda|restricted|decrypt"
# Objects an administrator may have made persistent at 0x81000001; "srk" and "srk-other" (the
# template, other unique bytes: another key) are the tool's parent, whose refusal it works around.
# "child" has the template's every byte, but under the owner's key, not a primary; "locked" is
# the template's key with a password of its own.
PERSISTENT = {"srk": "-G ecc256:aes128cfb -a " + SRK, "rsa": "-G rsa2048:aes128cfb -a " + SRK,
              "ecc-da": "-G ecc256:aes128cfb -a " + SRK.replace("|noda", ""),
              "aes256": "-G ecc256:aes256cfb -a " + SRK, "child": "-G ecc256:aes128cfb -a " + SRK,
              "locked": "-G ecc256:aes128cfb -p lock -a " + SRK,
              "srk-other": "-G ecc256:aes128cfb -u - -a " + SRK}


def tools(command: str, *args: str) -> str:
    return subprocess.run([*command.split(), *args], input="unique", check=True,
                          capture_output=True, text=True).stdout


class TpmFaults(BinaryTest):
    def setUp(self):
        self.tpm = SoftwareTpm(port=next(PORTS)).start()
        self.proxy = TpmProxy(self.tpm.port)
        self.addCleanup(lambda: (self.proxy.close(), self.tpm.stop()))
        self.key = os.urandom(32)
        self.stdin = {"seal": base64.b64encode(self.key), "unseal": self.seal_key(self.key)}

    def run_with(self, fault, command: str, stdin: bytes = b"", **options):
        self.proxy.codes.clear(), self.proxy.refused.clear()
        self.proxy.fault = fault
        result = run(command, stdin=stdin or self.stdin.get(command, b""), **options)
        self.proxy.fault = None
        return result

    def assert_nothing_loaded(self, others: str = "") -> None:
        """Nothing but `others` (tpm2_getcap's list) is loaded; what else is, goes."""
        loaded = tools("tpm2_getcap handles-transient")
        for handle in set(loaded.split()[1::2]) - set(others.split()):  # a leak fails one row
            tools("tpm2_flushcontext", handle)
        self.assertEqual(loaded, others)

    def test_misbehaving_answers(self):
        # Each row: a fault, and the end of stderr it gives (b"" success, None either).
        decode = ctypes.CDLL("libtss2-rc.so.0").Tss2_RC_Decode
        decode.restype, answers, step = ctypes.c_char_p, {}, 4 if QUICK else 1
        not_started = b"the TPM has not been started\n"
        # Another program's key, which no flush of the binary's may touch: the binary's own
        # parent, made from the same template, so alike in every byte it can read.
        tools(f"tpm2_createprimary -C o -g sha256 {PERSISTENT['srk']} -c",
              self.tpm.state_dir + "/other.ctx")
        others = tools("tpm2_getcap handles-transient")
        self.run_with(lambda n, code: lambda answer: answers.setdefault(code, answer), "seal")
        rows = [(command, when(code, RETRY, times=6), b"") for command, code in
                (("seal", CREATE), ("seal", FLUSH), ("unseal", ECDH_ZGEN))]
        rows += [(command, when(code, rc), b"ing failed: TPM2_%s failed: %s\n" % (name, decode(rc)))
                 for command, code, name, rc in [("seal", CREATE, b"Create", FAILURE), ("unseal",
                     ECDH_ZGEN, b"ECDH_ZGen", FAILURE), ("unseal", LOAD, b"Load", VALUE),
                     ("seal", GET_CAPABILITY, b"GetCapability", FAILURE)]]
        rows.append(("unseal", when(ECDH_ZGEN, flip(160)),  # a bit of x: off the curve
                     b"TPM2_ECDH_ZGen gave a point that is not on the curve\n"))
        # No curve, cipher or ECDH_ZGen (its answer names the next command): no Secure Enclave.
        rows += [("seal", when(TEST_PARMS, CURVE), b": no Secure Enclave\n"),
                 ("seal", when(GET_CAPABILITY, flip(183), times=1), b": no Secure Enclave\n"),
                 # Not started (the TPM, or its resource manager); slots full a while, or for good.
                 ("seal", lambda n, code: INITIALIZE, not_started),
                 ("unseal", lambda n, code: INITIALIZE, not_started),
                 ("seal", when(CREATE, RESMGR_TPM | INITIALIZE), not_started),
                 ("unseal", when(LOAD, OBJECT_MEMORY, times=3), b""),
                 ("seal", when(CREATE_PRIMARY, OBJECT_MEMORY),
                  b"slots; if no other TPM program is running, tpm2_flushcontext -t frees them\n")]
        # Bits 16-47 are the size that frames the answer, not its content.
        rows += [("seal", when(CREATE, flip(bit)), None)
                 for bit in range(0, 8 * len(answers[CREATE]), 29 * step) if not 16 <= bit < 48]
        for code, command in ((CREATE_PRIMARY, "seal"), (LOAD, "unseal")):
            rows += [(command, when(code, cut(n)), None) for n in (10, 14, 18, 40)]
            rows += [(command, when(code, flip(bit)), None) for bit in range(48, 160, 7 * step)]
        rows += [(command, lambda n, code, k=k: "drop" if n == k and code != FLUSH else None, None)
                 for command in ("seal", "unseal") for k in range(0, 10, step)]
        for row, (command, fault, outcome) in enumerate(rows):
            with self.subTest(command, row=row):
                status, out, err, _ = self.run_with(fault, command)
                self.assertNotIn(STARTUP, self.proxy.codes)  # the platform starts a TPM, not it
                if self.proxy.refused:  # a clean refusal loaded nothing: no search for objects
                    self.assertNotIn(GET_CAPABILITY, self.proxy.codes[self.proxy.refused[0] + 1:])
                if outcome is not None:
                    self.assertEqual((status, err.endswith(outcome)), (1 if outcome else 0, True))
                if status == 0:  # a printed record must open, with no fault
                    if command == "seal":
                        out = run("unseal", stdin=out).stdout
                    self.assertEqual((out, err), (self.stdin["seal"] + b"\n", b""))
                else:  # a TPM lost while `seal` checks it is no TPM
                    self.assertRegex(out + err, rf"^morvane-keyvault: ({command}ing failed: "
                                     rf"[^\n]+|no Secure Enclave)\n$".encode())
                self.assert_nothing_loaded(others)

    def test_signal_while_an_object_is_loaded(self):
        # SIGALRM is the 30-second time-out ringing early: its line and status 1.
        timeout = "ing failed: the TPM did not answer within 30 seconds"
        for command, code, signum, outcome in [
                ("seal", CREATE_PRIMARY, signal.SIGINT, None),
                ("seal", CREATE, signal.SIGTERM, None), ("unseal", LOAD, signal.SIGHUP, None),
                ("unseal", ECDH_ZGEN, signal.SIGTERM, None),
                ("seal", CREATE, signal.SIGALRM, (b"", line("seal" + timeout), 1)),
                ("unseal", ECDH_ZGEN, signal.SIGALRM, (b"", line("unseal" + timeout), 1)),
                ("available", GET_CAPABILITY, signal.SIGALRM, (b"", b"", 1))]:
            with self.subTest(command, code=hex(code), signal=signum.name):
                self.proxy.stalled.clear(), self.proxy.released.clear()
                self.proxy.fault = when(code, "stall", times=1)
                read_end, write_end = os.pipe()
                os.write(write_end, self.stdin.get(command, b"")), os.close(write_end)
                proc = subprocess.Popen([BIN, command], stdin=read_end, stdout=PIPE, stderr=PIPE)
                os.close(read_end)
                self.assertTrue(self.proxy.stalled.wait(30))
                proc.send_signal(signum)
                time.sleep(0.2)
                self.proxy.released.set()
                self.assertEqual((*proc.communicate(timeout=30), proc.returncode),
                                 outcome or (b"", b"", -signum))
                if outcome:  # a TPM that does not answer cannot be told to flush
                    tools("tpm2_flushcontext -t")
                else:
                    self.assert_nothing_loaded()

    @unittest.skipIf(QUICK, "takes 30 seconds")
    def test_tpm_that_stops_answering(self):
        # Started with SIGALRM blocked and pending: the line comes from the stalled Create.
        self.assert_fails(self.run_with(when(CREATE, "stall"), "seal", pending=[signal.SIGALRM]),
                          "sealing failed: the TPM did not answer within 30 seconds")
        self.assertEqual(self.proxy.codes[-1], CREATE)

    def test_persistent_storage_key_and_owner_password(self):
        # Rows in turn on one TPM: every record made so far opens whatever the parent, but for
        # those of the template's key once another key is there and the owner has a password.
        records, password = [(self.stdin["unseal"], self.key, "srk")], ""
        context = os.path.join(self.tpm.state_dir, "persistent.ctx")
        for persistent, new_password in [("srk", ""), ("rsa", ""), ("ecc-da", ""), ("aes256", ""),
                                         ("child", ""), ("locked", ""), (None, ""),
                                         (None, "secret"),
                                         ("srk", "secret"), ("rsa", "secret"), ("srk-other", ""),
                                         ("srk-other", "secret")]:
            with self.subTest(persistent=persistent, password=new_password):
                if "0x81000001" in tools("tpm2_getcap handles-persistent"):
                    tools("tpm2_evictcontrol -C o -c 0x81000001 -P", password)
                tools("tpm2_changeauth -c o -p", password, new_password)
                password, parent = new_password, (persistent or "").startswith("srk")
                if persistent:
                    primary = context + (".parent" if persistent == "child" else "")
                    tools(f"tpm2_createprimary -C o -g sha256 {PERSISTENT[persistent]} -c",
                          primary, "-P", password)
                    if persistent == "child":
                        tools(f"tpm2_create -C {primary} -g sha256 {PERSISTENT['child']} -u",
                              context + ".pub", "-r", context + ".priv")
                        tools("tpm2_flushcontext -t")
                        tools(f"tpm2_load -C {primary} -u {context}.pub -r {context}.priv -c",
                              context)
                    tools("tpm2_evictcontrol -C o 0x81000001 -c", context, "-P", password)
                    tools("tpm2_flushcontext -t")
                usable, key = parent or not password, os.urandom(16)
                self.assertEqual(run("available").status, 0 if usable else 1)
                result = self.run_with(None, "seal", base64.b64encode(key))
                if not usable:
                    self.assertEqual(result, (1, b"", line("sealing failed: " + OWNER_PASSWORD), 0))
                    self.assert_fails(run("unseal", stdin=self.stdin["unseal"]),
                                      "unsealing failed: " + OWNER_PASSWORD)
                    continue
                # Only a persisted storage key of the right form spares the seal a CreatePrimary.
                self.assertEqual((result.status, CREATE_PRIMARY in self.proxy.codes),
                                 (0, not parent))
                records.append((result.stdout, key, persistent if parent else "srk"))
                for sealed, key, under in records:
                    if password and parent and under != persistent:
                        self.assert_fails(run("unseal", stdin=sealed), "unsealing failed: key was "
                                          "not made by this TPM, or the TPM was cleared")
                    else:
                        self.unseal_to(sealed, key)
                if parent:  # one Load; a refusal other than integrity is final: no second parent
                    self.assertEqual(self.run_with(None, "unseal", result.stdout).status, 0)
                    self.assertEqual(self.proxy.codes.count(LOAD), 1)
                    self.assertEqual(self.run_with(when(LOAD, FAILURE, times=1), "unseal",
                                                   result.stdout).status, 1)
                self.assert_nothing_loaded()
