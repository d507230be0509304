"""The binary under a hostile caller: closed standard descriptors, a non-blocking stdin, no
memory, a closed pipe on stderr, an environment that would turn on TSS logging or put the
OpenSSL tpm2 provider in charge. One swtpm serves two TCTIs: the harness's default (swtpm) and
the mssim TCTI, which keeps its connection open as /dev/tpmrm0 does, so a connection that lands
on a closed descriptor 0-2 is caught."""

import base64
import fcntl
import os
import resource
import socket
import subprocess
import tempfile
import threading
import time

from harness import BinaryTest, record_from_text, text_from_record, unb64

BIN = os.environ["MORVANE_BIN"]
KEY = os.urandom(32)
TPM2_FIRST = b"""openssl_conf = init
[init]
providers = providers
[providers]
tpm2 = active
default = active
[active]
activate = 1
"""


def execute(*args, stdin=b"", env=None, close=None, limit=None, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE):
    """(status, stdout, stderr) of one run. stdin: bytes, or a file; close: a descriptor the
    binary starts without; limit: its address space in bytes."""
    def prepare():
        if close is not None:
            os.close(close)
        if limit:
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    piped = isinstance(stdin, bytes)
    proc = subprocess.run([BIN, *args], input=stdin if piped else None,
                          stdin=None if piped else stdin, stdout=stdout, stderr=stderr, env=env, preexec_fn=prepare, timeout=60)
    return proc.returncode, proc.stdout or b"", proc.stderr or b""


def line(message: str) -> bytes:
    return b"morvane-keyvault: " + message.encode() + b"\n"


class HostileIo(BinaryTest):
    @classmethod
    def setUpClass(cls):
        # swtpm's control channel moves aside: the mssim TCTI wants port 2322 for the simulator's
        # platform commands, which a stub acknowledges.
        tmp = os.environ["MORVANE_TEST_TPM_DIR"]
        cls.swtpm = subprocess.Popen(
            ["swtpm", "socket", "--tpm2", "--flags", "not-need-init,startup-clear",
             "--server", "type=tcp,port=2321,bindaddr=127.0.0.1",
             "--ctrl", "type=tcp,port=2330,bindaddr=127.0.0.1",
             "--tpmstate", "dir=" + tempfile.mkdtemp(dir=tmp)])
        platform = socket.create_server(("127.0.0.1", 2322))
        threading.Thread(target=cls.acknowledge, args=(platform,), daemon=True).start()
        mssim_lib = os.path.join(tmp, "mssim")
        os.mkdir(mssim_lib)
        mssim = subprocess.run("ldconfig -p | awk '/libtss2-tcti-mssim.so.0 /{print $NF}'",
                               shell=True, capture_output=True, text=True).stdout.split()[0]
        os.symlink(mssim, os.path.join(mssim_lib, "libtss2-tcti-default.so"))
        cls.mssim_env = dict(os.environ, LD_LIBRARY_PATH=mssim_lib)
        for _ in range(500):
            if execute("available")[0] == 0:
                break
            time.sleep(0.01)

    @classmethod
    def tearDownClass(cls):
        cls.swtpm.terminate()
        cls.swtpm.wait()

    @staticmethod
    def acknowledge(server):
        def serve(conn):
            with conn:
                while conn.recv(4):
                    conn.sendall(bytes(4))
        while True:
            threading.Thread(target=serve, args=(server.accept()[0],), daemon=True).start()

    def round_trip(self, env=None):
        status, sealed, err = execute("seal", stdin=base64.b64encode(KEY), env=env)
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(execute("unseal", stdin=sealed, env=env),
                         (0, base64.b64encode(KEY) + b"\n", b""))
        return sealed

    def test_closed_standard_descriptors(self):
        sealed = self.round_trip(self.mssim_env)  # the mssim TCTI reaches the TPM
        rows = [("seal", 0, None, 1, line("cannot read standard input")),
                ("unseal", 0, None, 1, line("cannot read standard input")),
                ("seal", 1, base64.b64encode(KEY), 1, line("cannot write to standard output")),
                ("unseal", 1, sealed, 1, line("cannot write to standard output")),
                ("seal", 2, b"QUJD RA==", 1, b""),
                ("unseal", 2, sealed[:-2], 1, b"")]
        for command, fd, stdin, status, err in rows:
            with self.subTest(command, closed=fd):
                result = execute(command, stdin=stdin, env=self.mssim_env, close=fd,
                                 stdout=None if fd == 1 else subprocess.PIPE,
                                 stderr=None if fd == 2 else subprocess.PIPE)
                self.assertEqual(result, (status, b"", err))

    def test_no_memory(self):
        if os.environ.get("MORVANE_SANITIZE") == "ON":
            self.skipTest("AddressSanitizer reserves more address space than any limit allows")
        with open("/dev/zero", "rb") as zero:
            for command in ("seal", "unseal"):
                with self.subTest(command):
                    self.assertEqual(execute(command, stdin=zero, limit=256 << 20),
                                     (1, b"", line("out of memory")))

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
                    sealed = self.round_trip(dict(os.environ, **env))
                    # A key the TPM refuses to load: the TSS reports it, the tool alone speaks.
                    record = record_from_text(sealed)
                    blob = bytearray(unb64(record["enclave"]))
                    blob[-1] ^= 1
                    record["enclave"] = base64.b64encode(blob).decode()
                    status, out, err = execute("unseal", stdin=text_from_record(record),
                                               env=dict(os.environ, **env))
                    self.assertEqual((status, out, err.count(b"\n")), (1, b"", 1))
                    self.assertTrue(err.startswith(line("unsealing failed:")[:-1]), err)

    def test_closed_pipe_on_stderr(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        for args in (["nonsense"], ["seal"], ["unseal"]):
            with self.subTest(*args):
                self.assertEqual(execute(*args, stdin=b"!", stderr=write_end)[0], 1)
        os.close(write_end)
