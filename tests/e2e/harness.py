# SPDX-License-Identifier: Apache-2.0
"""The real binary inside `scripts/with-test-tpm --no-tpm`, beside software TPMs the tests start
and stop, one at a time on 127.0.0.1:2321. MORVANE_QUICK=1 thins tables, skips the slowest test."""

import base64, collections, ctypes, json, os, resource, signal, socket, subprocess, tempfile
import time, unittest

BIN, PIPE = os.environ["MORVANE_BIN"], subprocess.PIPE
QUICK = os.environ.get("MORVANE_QUICK") == "1"
SANITIZED = os.environ.get("MORVANE_SANITIZE") == "ON"
# stdin_read: how far the binary read a bytes stdin, a file whose offset it shares with us.
Result = collections.namedtuple("Result", "status stdout stderr stdin_read")


def run(*args: str, stdin=b"", env=None, stdout=PIPE, stderr=PIPE, close=None, limit=None,
        pending=()):
    """stdin: bytes or a file; close: a descriptor it starts without; limit: address space;
    pending: signals it starts with blocked and pending, as a parent may leave them."""
    def prepare():
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG: no binary outlives a test
        signal.pthread_sigmask(signal.SIG_BLOCK, pending)
        for signum in pending:
            os.kill(os.getpid(), signum)
        if close is not None:
            os.close(close)
        if limit:
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    with tempfile.TemporaryFile(buffering=0) as file:
        if isinstance(stdin, bytes):
            stdin, _ = file, file.write(stdin) + file.seek(0)
        proc = subprocess.run([BIN, *args], stdin=stdin, stdout=stdout, stderr=stderr, env=env,
                              preexec_fn=prepare, timeout=120)
        return Result(proc.returncode, proc.stdout or b"", proc.stderr or b"", file.tell())


def line(message: str) -> bytes:
    return b"morvane-keyvault: " + message.encode() + b"\n"


class SoftwareTpm:
    """A swtpm, started as a platform starts a chip at boot. Started again it keeps its state (a
    power cycle); a new SoftwareTpm is another machine."""

    def __init__(self, state_dir="", port=2321, ctrl=2322, log_file=""):
        self.state_dir = state_dir or tempfile.mkdtemp(dir=os.environ["MORVANE_TEST_TPM_DIR"])
        self.log = ["--log", f"file={log_file},level=20"] if log_file else []  # for scripts/bench
        self.port, self.ctrl = port, ctrl

    def start(self) -> "SoftwareTpm":
        # PR_SET_PDEATHSIG: a swtpm must not outlive a crashed test run.
        self.proc = subprocess.Popen(
            ["swtpm", "socket", "--tpm2", "--flags", "not-need-init,startup-clear", "--tpmstate",
             f"dir={self.state_dir}", "--server", f"type=tcp,port={self.port},bindaddr=127.0.0.1",
             "--ctrl", f"type=tcp,port={self.ctrl},bindaddr=127.0.0.1", *self.log],
            stdin=subprocess.DEVNULL,
            preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL))
        for _ in range(1000):
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", self.port)) == 0:
                    return self
            time.sleep(0.01)
        raise RuntimeError("swtpm did not start")

    def stop(self, *exc) -> None:
        self.proc.terminate(), self.proc.wait(timeout=10)

    __enter__, __exit__ = start, stop


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode()


def unb64(text) -> bytes:
    return base64.b64decode(text, validate=True)  # strict: standard alphabet and padding


def record_from_text(sealed_text: bytes) -> dict:
    return json.loads(unb64(sealed_text.rstrip(b"\n")))


def text_from_record(record: dict) -> bytes:
    return base64.b64encode(json.dumps(record, separators=(",", ":")).encode())


class BinaryTest(unittest.TestCase):
    def seal_key(self, key: bytes, env=None) -> bytes:
        result = run("seal", stdin=base64.b64encode(key), env=env)
        self.assertEqual((result.status, result.stderr), (0, b""))
        return result.stdout

    def unseal_to(self, sealed_text: bytes, key: bytes, env=None) -> None:
        result = run("unseal", stdin=sealed_text, env=env)
        self.assertEqual(result[:3], (0, base64.b64encode(key) + b"\n", b""))

    def assert_fails(self, result: Result, message: str) -> None:
        self.assertEqual(result[:3], (1, b"", line(message)))
