# SPDX-License-Identifier: Apache-2.0
"""A TPM that misbehaves on demand: listens where the binary looks for its TPM (127.0.0.1:2321)
and relays each connection to a swtpm on tpm_port."""

import contextlib, itertools, socket, struct, threading

STARTUP, CREATE_PRIMARY, CREATE, LOAD, ECDH_ZGEN, FLUSH = 0x144, 0x131, 0x153, 0x157, 0x154, 0x165


def read_frame(sock: socket.socket) -> bytes:
    """One command or answer: a 10-byte header whose bytes 2-5 give the whole size, big-endian."""
    frame = b""
    while len(frame) < 10 or len(frame) < int.from_bytes(frame[2:6], "big"):
        if not (chunk := sock.recv(65536)):
            raise EOFError
        frame += chunk
    return frame


def flip(bit: int):
    """An answer with one bit changed, if it has that bit."""
    return lambda answer: bytes(b ^ (0x80 >> bit % 8 if i == bit // 8 else 0)
                                for i, b in enumerate(answer))


def cut(length: int):
    """An answer cut to length bytes, its size field saying so."""
    return lambda answer: answer[:2] + length.to_bytes(4, "big") + answer[6:length]


def when(code: int, action, times: int = 1 << 30):
    """A fault: action for the first `times` commands of that code."""
    seen = itertools.count()
    return lambda n, command: action if command == code and next(seen) < times else None


class TpmProxy:
    """fault(n, code) gives what to do with the n-th command (from 0): None relays it; an int
    answers that response code; a function relays it and hands back function(answer); "stall"
    holds the answer until `released` is set; "drop" closes the connection. `codes` lists the
    commands seen, `refused` where those answered with a code are, `wire` every byte relayed."""

    def __init__(self, tpm_port: int):
        self.tpm_port, self.codes, self.refused, self.wire = tpm_port, [], [], bytearray()
        self.stalled, self.released, self.fault = threading.Event(), threading.Event(), None
        self.server = socket.create_server(("127.0.0.1", 2321))
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self) -> None:
        with contextlib.suppress(OSError):  # closed
            while True:
                client, _ = self.server.accept()
                threading.Thread(target=self.relay, args=(client,), daemon=True).start()

    def relay(self, client: socket.socket) -> None:
        with client, socket.create_connection(("127.0.0.1", self.tpm_port)) as tpm:
            try:
                while command := read_frame(client):
                    code = struct.unpack(">I", command[6:10])[0]
                    action = self.fault and self.fault(len(self.codes), code)
                    self.codes.append(code)
                    if action == "drop":
                        return
                    if isinstance(action, int):
                        self.refused.append(len(self.codes) - 1)
                        client.sendall(struct.pack(">HII", 0x8001, 10, action))
                        continue
                    tpm.sendall(command)
                    answer = read_frame(tpm)
                    if action == "stall":
                        self.stalled.set()
                        self.released.wait()
                    self.wire += command + answer
                    client.sendall(action(answer) if callable(action) else answer)
            except (OSError, EOFError):
                pass  # the binary went

    def close(self) -> None:
        self.released.set()
        self.server.shutdown(socket.SHUT_RDWR)  # wakes accept(); close() alone would not
        self.server.close()
