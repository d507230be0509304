"""Runs the real morvane-keyvault binary beside software TPMs that the tests start and stop.

The tests run inside `scripts/with-test-tpm --no-tpm`: a private network namespace in which
nothing listens on 127.0.0.1:2321 until a SoftwareTpm starts, and a libtss2-tcti-default.so link
to the swtpm TCTI on LD_LIBRARY_PATH, which is how the binary finds the TPM. Only one
SoftwareTpm can run at a time (the port is fixed); whoever starts one stops it. A swtpm whose
test process dies is killed with it (parent-death signal), so none outlives a crashed run.
Also here: independent decoding of the texts, and the assertions every test file shares.
"""

import base64
import ctypes
import fcntl
import json
import os
import signal
import socket
import subprocess
import tempfile
import time
import unittest
from typing import NamedTuple, Optional

PREFIX = b"morvane-keyvault: "
USAGE = PREFIX + b"usage: morvane-keyvault available | seal | unseal\n"
RUN_TIMEOUT = 120
# Long enough for any run that does not wait for end of file; one that does hangs forever.
STDIN_TIMEOUT = 5
TPM_PORT = 2321
CTRL_PORT = 2322


def binary() -> str:
    return os.environ["MORVANE_BIN"]


def scratch_root() -> str:
    return os.environ["MORVANE_TEST_TPM_DIR"]


def tcti_link_dir() -> str:
    return os.path.join(scratch_root(), "lib")


def error_line(message: str) -> bytes:
    return PREFIX + message.encode() + b"\n"


class Result(NamedTuple):
    status: int
    stdout: bytes
    stderr: bytes


def env_without_tcti_link() -> dict:
    """The environment with the default-TCTI link off the library path: a machine whose TSS
    has no administrator-chosen TPM."""
    env = dict(os.environ)
    parts = [p for p in env.get("LD_LIBRARY_PATH", "").split(":") if p and p != tcti_link_dir()]
    env["LD_LIBRARY_PATH"] = ":".join(parts)
    return env


def run(*args: str, stdin: bytes = b"", env: Optional[dict] = None, stdout=None) -> Result:
    """Runs the binary to the end with stdin as its whole standard input. stdout, if given,
    is a file object to use as standard output in place of a capturing pipe."""
    proc = subprocess.run(
        [binary(), *args],
        input=stdin,
        stdout=subprocess.PIPE if stdout is None else stdout,
        stderr=subprocess.PIPE,
        env=env,
        timeout=RUN_TIMEOUT,
    )
    return Result(proc.returncode, proc.stdout if stdout is None else b"", proc.stderr)


def run_leaving_stdin(*args: str, stdin: bytes, env: Optional[dict] = None) -> tuple:
    """Runs the binary with stdin waiting in a pipe that never reaches end of file.

    Returns (Result, unread bytes). A run that reads standard input to the end never finishes
    and raises AssertionError; one that reads some of it and stops leaves less than stdin
    unread, which the caller sees. stdin must be non-empty and fit in a pipe buffer.
    """
    assert 0 < len(stdin) < 4096
    read_end, write_end = os.pipe()
    try:
        os.write(write_end, stdin)
        proc = subprocess.Popen([binary(), *args], stdin=read_end, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env, start_new_session=True)
        try:
            out, err = proc.communicate(timeout=STDIN_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
            raise AssertionError(f"{list(args)}: still waiting for end of standard input")
        fcntl.fcntl(read_end, fcntl.F_SETFL, os.O_NONBLOCK)
        try:
            unread = os.read(read_end, 65536)
        except BlockingIOError:
            unread = b""
        return Result(proc.returncode, out, err), unread
    finally:
        os.close(read_end)
        os.close(write_end)


def run_in_pieces(*args: str, pieces: list, pause: float = 0.3) -> Result:
    """Runs the binary with standard input arriving in pieces, a pause before each but the
    first, as from a terminal or a slow writer."""
    proc = subprocess.Popen([binary(), *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    for i, piece in enumerate(pieces):
        if i:
            time.sleep(pause)
        try:
            proc.stdin.write(piece)
            proc.stdin.flush()
        except BrokenPipeError:
            break
    out, err = proc.communicate(timeout=RUN_TIMEOUT)
    return Result(proc.returncode, out, err)


def _kill_with_parent():
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_pdeathsig = 1
    libc.prctl(pr_set_pdeathsig, signal.SIGKILL)


def _port_open(port: int) -> bool:
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex(("127.0.0.1", port)) == 0


class SoftwareTpm:
    """A swtpm on 127.0.0.1:2321 (control 2322) with one state directory.

    Restarting keeps the state directory: the same TPM after a power cycle (unstarted, so the
    binary must send TPM2_Startup). A new SoftwareTpm gets a fresh state directory: another
    machine. log_file, if set, gets swtpm's log at level 20 (every command and response).
    """

    def __init__(self, state_dir: Optional[str] = None, log_file: Optional[str] = None):
        self.state_dir = state_dir or tempfile.mkdtemp(prefix="state-", dir=scratch_root())
        self.log_file = log_file
        self._proc: Optional[subprocess.Popen] = None

    def start(self) -> "SoftwareTpm":
        assert self._proc is None, "already running"
        if _port_open(TPM_PORT):
            raise RuntimeError("something already listens on 127.0.0.1:2321")
        cmd = ["swtpm", "socket", "--tpm2"]
        cmd += ["--server", f"type=tcp,port={TPM_PORT},bindaddr=127.0.0.1"]
        cmd += ["--ctrl", f"type=tcp,port={CTRL_PORT},bindaddr=127.0.0.1"]
        cmd += ["--tpmstate", f"dir={self.state_dir}", "--flags", "not-need-init"]
        if self.log_file:
            cmd += ["--log", f"level=20,file={self.log_file}"]
        self._proc = subprocess.Popen(
            cmd, stdin=subprocess.DEVNULL, preexec_fn=_kill_with_parent
        )
        deadline = time.monotonic() + 10
        while not _port_open(TPM_PORT):
            if self._proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("swtpm did not start")
            time.sleep(0.01)
        return self

    def stop(self) -> None:
        if self._proc is None:
            return
        self._proc.terminate()
        try:
            self._proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self._proc.wait()
        self._proc = None

    def restart(self) -> "SoftwareTpm":
        self.stop()
        return self.start()

    def __enter__(self) -> "SoftwareTpm":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


# Records and their texts, decoded independently of the binary.


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode()


def strict_b64decode(text: str) -> bytes:
    """RFC 4648 standard alphabet with padding and nothing else, or ValueError."""
    return base64.b64decode(text.encode("ascii"), validate=True)


def record_from_text(sealed_text: bytes) -> dict:
    """The JSON object inside a sealed-key text (as printed, with its line feed)."""
    return json.loads(strict_b64decode(sealed_text.rstrip(b"\n").decode("ascii")))


def text_from_record(record: dict, **dumps_options) -> bytes:
    """A sealed-key text for record, without a line feed; compact JSON unless told."""
    options = {"separators": (",", ":")} | dumps_options
    return base64.b64encode(json.dumps(record, **options).encode())


MEMBERS = ("enclave", "ephemeral", "box")


def member_bytes(record: dict) -> tuple:
    return tuple(strict_b64decode(record[m]) for m in MEMBERS)


class BinaryTest(unittest.TestCase):
    """Runs of the binary with the assertions every run shares."""

    def seal(self, key_text: bytes, *extra: str) -> bytes:
        result = run("seal", *extra, stdin=key_text)
        self.assertEqual((result.status, result.stderr), (0, b""))
        return result.stdout

    def seal_key(self, key: bytes) -> bytes:
        return self.seal(base64.b64encode(key))

    def unseal_to(self, sealed_text: bytes, key: bytes, *extra: str) -> None:
        self.assertEqual(run("unseal", *extra, stdin=sealed_text),
                         (0, base64.b64encode(key) + b"\n", b""))

    def assert_fails(self, result: Result, stderr: bytes) -> None:
        self.assertEqual(result, (1, b"", stderr))
