"""Runs the real morvane-keyvault binary inside `scripts/with-test-tpm --no-tpm`, beside
software TPMs the tests start and stop: one at a time on 127.0.0.1:2321, found by the binary
through the default-TCTI link on LD_LIBRARY_PATH. Whoever starts a SoftwareTpm stops it."""

import base64
import collections
import ctypes
import json
import os
import signal
import socket
import subprocess
import tempfile
import time
import unittest

# stdin_read: how far the binary read its stdin, a file whose offset it shares with us.
Result = collections.namedtuple("Result", "status stdout stderr stdin_read")


def run(*args: str, stdin: bytes = b"", env=None, stdout=subprocess.PIPE) -> Result:
    with tempfile.TemporaryFile(buffering=0) as stdin_file:
        stdin_file.write(stdin)
        stdin_file.seek(0)
        proc = subprocess.run([os.environ["MORVANE_BIN"], *args], stdin=stdin_file,
                              stdout=stdout, stderr=subprocess.PIPE, env=env, timeout=120)
        return Result(proc.returncode, proc.stdout or b"", proc.stderr, stdin_file.tell())


class SoftwareTpm:
    """A swtpm on 127.0.0.1:port (the binary looks at 2321), control on 2322, started as the
    platform starts a chip at boot, or not (as after a reset under the platform). Started again it
    keeps its state (the same TPM after a power cycle); a new SoftwareTpm is another machine."""

    def __init__(self, state_dir: str = "", log_file: str = "", port: int = 2321,
                 started: bool = True):
        self.state_dir = state_dir or tempfile.mkdtemp(dir=os.environ["MORVANE_TEST_TPM_DIR"])
        self.log = ["--log", f"file={log_file},level=20"] if log_file else []
        self.port, self.flags = port, "not-need-init" + (",startup-clear" if started else "")

    def start(self) -> "SoftwareTpm":
        # PR_SET_PDEATHSIG: a swtpm must not outlive a crashed test run.
        self.proc = subprocess.Popen(
            ["swtpm", "socket", "--tpm2", "--flags", self.flags,
             "--server", f"type=tcp,port={self.port},bindaddr=127.0.0.1",
             "--ctrl", "type=tcp,port=2322,bindaddr=127.0.0.1",
             "--tpmstate", f"dir={self.state_dir}", *self.log],
            stdin=subprocess.DEVNULL,
            preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL))
        for _ in range(1000):
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", self.port)) == 0:
                    return self
            time.sleep(0.01)
        self.stop()
        raise RuntimeError("swtpm did not start")

    def stop(self, *exc) -> None:
        self.proc.terminate()
        self.proc.wait(timeout=10)

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
    def seal_key(self, key: bytes, *extra: str) -> bytes:
        result = run("seal", *extra, stdin=base64.b64encode(key))
        self.assertEqual((result.status, result.stderr), (0, b""))
        return result.stdout

    def unseal_to(self, sealed_text: bytes, key: bytes, *extra: str) -> None:
        result = run("unseal", *extra, stdin=sealed_text)
        self.assertEqual(result[:3], (0, base64.b64encode(key) + b"\n", b""))

    def assert_fails(self, result: Result, message: str) -> None:
        self.assertEqual(result[:3], (1, b"", b"morvane-keyvault: " + message.encode() + b"\n"))
