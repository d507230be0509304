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

Result = collections.namedtuple("Result", "status stdout stderr")


def error_line(message: str) -> bytes:
    return b"morvane-keyvault: " + message.encode() + b"\n"


def run(*args: str, stdin: bytes = b"", env=None, stdout=subprocess.PIPE) -> Result:
    proc = subprocess.run([os.environ["MORVANE_BIN"], *args], input=stdin, stdout=stdout,
                          stderr=subprocess.PIPE, env=env, timeout=120)
    return Result(proc.returncode, proc.stdout or b"", proc.stderr)


def run_leaving_stdin(*args: str, stdin: bytes, env=None) -> tuple:
    """Runs the binary with stdin in a pipe that stays open; returns the Result and the bytes
    left unread. A run that waits for end of file fails the test."""
    read_end, write_end = os.pipe()
    os.write(write_end, stdin)
    with os.fdopen(read_end, "rb") as pending:
        proc = subprocess.Popen([os.environ["MORVANE_BIN"], *args], stdin=pending,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        try:
            out, err = proc.communicate(timeout=5)  # ample for a run that does not wait
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            raise AssertionError(f"{args}: waits for end of standard input")
        finally:
            os.close(write_end)
        return Result(proc.returncode, out, err), pending.read()


def env_without_tcti_link() -> dict:
    """A TSS with no administrator-chosen TPM: the default-TCTI link off the library path."""
    link_dir = os.path.join(os.environ["MORVANE_TEST_TPM_DIR"], "lib")
    paths = os.environ.get("LD_LIBRARY_PATH", "").split(":")
    return os.environ | {"LD_LIBRARY_PATH": ":".join(p for p in paths if p != link_dir)}


class SoftwareTpm:
    """A swtpm on 127.0.0.1:2321, started unstarted as after power-on. Starting it again keeps
    its state (the same TPM after a power cycle); a new SoftwareTpm is another machine."""

    def __init__(self):
        self.state_dir = tempfile.mkdtemp(dir=os.environ["MORVANE_TEST_TPM_DIR"])
        self.proc = None

    def start(self) -> "SoftwareTpm":
        # PR_SET_PDEATHSIG: a swtpm must not outlive a crashed test run.
        self.proc = subprocess.Popen(
            ["swtpm", "socket", "--tpm2", "--flags", "not-need-init",
             "--server", "type=tcp,port=2321,bindaddr=127.0.0.1",
             "--ctrl", "type=tcp,port=2322,bindaddr=127.0.0.1",
             "--tpmstate", f"dir={self.state_dir}"],
            stdin=subprocess.DEVNULL,
            preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL))
        deadline = time.monotonic() + 10
        while self.proc.poll() is None and time.monotonic() < deadline:
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", 2321)) == 0:
                    return self
            time.sleep(0.01)
        self.stop()
        raise RuntimeError("swtpm did not start")

    def stop(self) -> None:
        if self.proc:
            self.proc.terminate()
            self.proc.wait(timeout=10)
            self.proc = None

    def __enter__(self) -> "SoftwareTpm":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode()


def unb64(text) -> bytes:
    """Strict RFC 4648 base64 (standard alphabet, padding), or an error."""
    return base64.b64decode(text, validate=True)


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
        self.assertEqual(run("unseal", *extra, stdin=sealed_text),
                         (0, base64.b64encode(key) + b"\n", b""))

    def assert_fails(self, result: Result, message: str) -> None:
        self.assertEqual(result, (1, b"", error_line(message)))
