"""The binary under a hostile caller: closed standard descriptors, a non-blocking stdin, no
memory, a closed pipe on stderr, an environment that would turn on TSS logging or put the
OpenSSL tpm2 provider in charge. The swtpm is reached through the mssim TCTI, which keeps its
connection open as /dev/tpmrm0 does, so a connection that lands on a closed descriptor 0-2 is
caught; swtpm's control channel moves aside for the simulator's platform port, which a stub
acknowledges."""

import base64, fcntl, os, socket, subprocess, tempfile, threading, time

from harness import BIN, SANITIZED, BinaryTest, SoftwareTpm, line, run

KEY = os.urandom(32)
# Would put the tpm2 provider in charge of the binary's cryptography.
TPM2_FIRST = b"openssl_conf = init\n[init]\nproviders = providers\n[providers]\ntpm2 = active\n" \
    b"default = active\n[active]\nactivate = 1\n"


def acknowledge(server: socket.socket) -> None:
    def serve(conn):
        with conn:
            while conn.recv(4):
                conn.sendall(bytes(4))
    while True:
        threading.Thread(target=serve, args=(server.accept()[0],), daemon=True).start()


class HostileIo(BinaryTest):
    @classmethod
    def setUpClass(cls):
        cls.enterClassContext(SoftwareTpm(ctrl=2330))
        threading.Thread(target=acknowledge, args=(socket.create_server(("127.0.0.1", 2322)),),
                         daemon=True).start()
        lib = tempfile.mkdtemp(dir=os.environ["MORVANE_TEST_TPM_DIR"])
        mssim = subprocess.run("ldconfig -p | awk '/libtss2-tcti-mssim.so.0 /{print $NF}'",
                               shell=True, capture_output=True, text=True).stdout.split()[0]
        os.symlink(mssim, os.path.join(lib, "libtss2-tcti-default.so"))
        cls.mssim = os.environ | {"LD_LIBRARY_PATH": lib}

    def test_closed_standard_descriptors(self):
        sealed = self.seal_key(KEY)
        self.unseal_to(sealed, KEY, env=self.mssim)  # the mssim TCTI reaches the TPM
        for command, fd, stdin, err in [
                ("seal", 0, b"", line("cannot read standard input")),
                ("unseal", 0, b"", line("cannot read standard input")),
                ("seal", 1, base64.b64encode(KEY), line("cannot write to standard output")),
                ("unseal", 1, sealed, line("cannot write to standard output")),
                ("seal", 2, b"QUJD RA==", b""), ("unseal", 2, sealed[:-2], b"")]:
            with self.subTest(command, closed=fd):
                self.assertEqual(run(command, stdin=stdin, env=self.mssim, close=fd)[:3],
                                 (1, b"", err))

    def test_no_memory(self):
        if SANITIZED:
            self.skipTest("AddressSanitizer reserves more address space than any limit allows")
        with open("/dev/zero", "rb") as zero:
            for command in ("seal", "unseal"):
                with self.subTest(command):
                    self.assert_fails(run(command, stdin=zero, limit=256 << 20), "out of memory")

    def test_non_blocking_stdin_written_late(self):
        read_end, write_end = os.pipe()
        fcntl.fcntl(read_end, fcntl.F_SETFL, os.O_NONBLOCK)
        with subprocess.Popen([BIN, "seal"], stdin=read_end, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as proc:
            os.close(read_end)
            time.sleep(0.3)
            os.write(write_end, base64.b64encode(KEY))
            os.close(write_end)
            sealed, err = proc.communicate(timeout=60)
        self.assertEqual((proc.returncode, err), (0, b""))
        self.unseal_to(sealed, KEY)

    def test_environment_changes_nothing(self):
        with tempfile.NamedTemporaryFile(dir=os.environ["MORVANE_TEST_TPM_DIR"]) as conf:
            conf.write(TPM2_FIRST)
            conf.flush()
            for env in ({"OPENSSL_CONF": conf.name}, {"TSS2_LOG": "all+debug"}):
                with self.subTest(**env):
                    self.unseal_to(self.seal_key(KEY, os.environ | env), KEY, os.environ | env)

    def test_closed_pipe_on_stderr(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        for args in (["nonsense"], ["seal"], ["unseal"]):
            with self.subTest(*args):
                self.assertEqual(run(*args, stdin=b"!", stderr=write_end).status, 1)
        os.close(write_end)
