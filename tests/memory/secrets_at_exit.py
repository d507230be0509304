"""Searches the binary's memory at its last instruction for secrets it should have wiped.

Runs MORVANE_BIN under gdb, stops it at exit_group, reads every writable mapping and looks for
the given byte strings. secrets_left() is the tool for any such check; run as a script (inside
scripts/with-test-tpm --no-tpm) it checks the key and its text after a seal, an unseal, an
unseal whose output fails (/dev/full) and a seal whose stdin fails partway. A canary in the
environment, which must be found, shows that the search sees the process's memory.
"""

import base64
import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import SoftwareTpm  # noqa: E402

BIN = os.environ["MORVANE_BIN"]
CANARY = os.urandom(16).hex()

# Runs inside gdb. A read of stdin numbered fail_read (from 1) is made to fail with EBADF.
GDB_SCRIPT = r"""
import gdb, json
cfg = json.load(open(CONFIG))
gdb.execute("set pagination off")
gdb.execute("catch syscall exit_group")
gdb.execute("catch syscall read")
gdb.execute("run %s < %s > %s 2>/dev/null" % (" ".join(cfg["args"]), cfg["stdin"], cfg["stdout"]))
entering, reads = True, 0
while int(gdb.parse_and_eval("$orig_rax")) == 0:
    if entering and int(gdb.parse_and_eval("$rdi")) == 0:
        reads += 1
        if reads == cfg["fail_read"]:
            gdb.execute("set $rdi = -1")
    entering = not entering
    gdb.execute("continue")
pid = gdb.selected_inferior().pid
found = []
for line in open("/proc/%d/maps" % pid):
    fields = line.split()
    start, end = (int(x, 16) for x in fields[0].split("-"))
    if "w" not in fields[1] or line.rstrip().endswith(("[vvar]", "[vsyscall]")):
        continue
    memory = bytes(gdb.selected_inferior().read_memory(start, end - start))
    found += [name for name, hex in cfg["needles"].items() if bytes.fromhex(hex) in memory]
print("FOUND " + json.dumps(sorted(set(found))))
gdb.execute("kill")
"""


def secrets_left(args, stdin: bytes, needles: dict, stdout="/dev/null", fail_read=0) -> list:
    """The names of the needles (name: bytes) found in the memory of `BIN args` at exit, and
    "canary" if the search worked."""
    with tempfile.TemporaryDirectory() as tmp:
        paths = {name: os.path.join(tmp, name) for name in ("stdin", "config", "script.py")}
        with open(paths["stdin"], "wb") as f:
            f.write(stdin)
        with open(paths["config"], "w") as f:
            json.dump({"args": args, "stdin": paths["stdin"], "stdout": stdout, "fail_read": fail_read,
                       "needles": {name: data.hex() for name, data in
                                   {**needles, "canary": CANARY.encode()}.items()}}, f)
        with open(paths["script.py"], "w") as f:
            f.write("CONFIG = %r\n" % paths["config"] + GDB_SCRIPT)
        gdb = subprocess.run(["gdb", "-nx", "-batch", "-x", paths["script.py"], BIN],
                             env=dict(os.environ, MORVANE_CANARY=CANARY), capture_output=True,
                             text=True, timeout=300)
    lines = [line for line in gdb.stdout.splitlines() if line.startswith("FOUND ")]
    if not lines:
        raise RuntimeError("gdb did not reach the search:\n" + gdb.stdout + gdb.stderr)
    return json.loads(lines[-1][6:])


class SecretsAtExit(unittest.TestCase):
    def test_key_and_key_text_are_wiped_on_every_path(self):
        if os.environ.get("MORVANE_SANITIZE") == "ON":
            self.skipTest("the sanitizers' shadow memory is too large to search")
        key, big = os.urandom(48), os.urandom(1 << 20)
        text, big_text = base64.b64encode(key), base64.b64encode(big)
        needles = {"key": key, "key text": text}
        with SoftwareTpm():
            sealed = subprocess.run([BIN, "seal"], input=text, capture_output=True).stdout
            rows = [
                (["seal"], text, needles, {}),
                (["unseal"], sealed, needles, {}),
                (["unseal"], sealed, needles, {"stdout": "/dev/full"}),
                # The first read takes 1 MiB of the text, the second fails.
                (["seal"], big_text, {"start of the key text": big_text[:64],
                                      "middle of the key text": big_text[500000:500064]},
                 {"fail_read": 2}),
            ]
            for args, stdin, wanted, options in rows:
                with self.subTest(*args, **options):
                    self.assertEqual(secrets_left(args, stdin, wanted, **options), ["canary"])


if __name__ == "__main__":
    unittest.main()
