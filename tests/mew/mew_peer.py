"""Device side of a bus line for the master's tests.

Written from docs/protocol.md alone, independently of the C++ codec, so that
the master is checked against a second reading of the protocol. A `ScriptedPeer`
runs in a thread on the far end of a pseudo-terminal or a TCP connection and
answers each request through a handler; by default a small in-memory device.
"""

import os
import select
import socket
import threading
import time

HANGUP = object()  # handler result: close the line


def checksum(text):
    value = 0
    for byte in text:
        value ^= byte
    return b"%02X" % value


def frame(start, station, command, tag, body=b""):
    head = b"%c%02d%s%s%s" % (start, station, command, tag, body)
    return head + checksum(head) + b"\r"


def reply(request, data=b""):
    return frame(ord(">"), request.station, request.command, request.tag, data)


def error_reply(request, code):
    return frame(ord(">"), request.station, request.command, request.tag, b"!%02d" % code)


class Request:
    def __init__(self, raw):
        self.raw = raw
        self.station = int(raw[1:3])
        self.command = raw[3:5]
        self.tag = raw[5:6]
        self.body = raw[6:-3]
        self.checksum_ok = checksum(raw[:-3]) == raw[-3:-1]

    def __repr__(self):
        return "Request(%r)" % self.raw


class Device:
    """Registers and coils of one or more stations, as the protocol describes them."""

    def __init__(self):
        self.registers = {}  # (station, n) -> 16-bit word
        self.coils = {}  # (station, device letter, n) -> bool

    def reg(self, station, n):
        return self.registers.get((station, n), 0)

    def set_int32(self, station, n, value):
        value &= 0xFFFFFFFF
        self.registers[(station, n)] = value & 0xFFFF
        self.registers[(station, n + 1)] = value >> 16

    def int32(self, station, n):
        value = self.reg(station, n) | self.reg(station, n + 1) << 16
        return value - (1 << 32) if value & 0x80000000 else value

    def coil(self, station, device, n):
        return self.coils.get((station, device, n), False)

    def handle(self, req):
        s, cmd, body = req.station, req.command, req.body
        if not req.checksum_ok:
            return error_reply(req, 1)
        if cmd == b"RD":
            n, count = int(body[0:4]), int(body[4:6])
            return reply(req, b"".join(b"%04X" % self.reg(s, n + i) for i in range(count)))
        if cmd == b"WD":
            n, count = int(body[0:4]), int(body[4:6])
            for i in range(count):
                self.registers[(s, n + i)] = int(body[6 + 4 * i : 10 + 4 * i], 16)
            return reply(req)
        if cmd == b"RC":
            return reply(req, b"1" if self.coil(s, body[0:1], int(body[1:5])) else b"0")
        if cmd == b"WC":
            if body[0:1] == b"X":
                return error_reply(req, 6)
            self.coils[(s, body[0:1], int(body[1:5]))] = body[5:6] == b"1"
            return reply(req)
        if cmd == b"RW":
            dev, word = body[0:1], int(body[1:4])
            value = sum(self.coil(s, dev, 16 * word + k) << k for k in range(16))
            return reply(req, b"%04X" % value)
        if cmd == b"WW":
            dev, word, value = body[0:1], int(body[1:4]), int(body[4:8], 16)
            if dev == b"X":
                return error_reply(req, 6)
            for k in range(16):
                self.coils[(s, dev, 16 * word + k)] = bool(value >> k & 1)
            return reply(req)
        return error_reply(req, 2)


class ScriptedPeer:
    """Answers requests on `fd` from a thread.

    handler(request) returns bytes to send, a list of bytes / float (seconds to
    pause) / HANGUP, or None for silence. The default handler is `device`. A
    handler with an `idle()` method is also asked, whenever no request has come
    for a moment, what to do (the same kinds of result).
    """

    def __init__(self, fd, handler=None, sock=None):
        self.fd = fd
        self.sock = sock
        self.device = Device()
        self.handler = handler or self.device.handle
        self.requests = []
        self.overlaps = 0  # requests that arrived while another was unanswered
        self.received = b""
        self._stop = threading.Event()
        self._closed = False
        self._thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self._thread.start()
        return self

    def write(self, data):
        os.write(self.fd, data)

    def stop(self):
        self._stop.set()
        self._thread.join(10)
        assert not self._thread.is_alive()
        self._close()

    def _close(self):
        if not self._closed:
            self._closed = True
            if self.sock is not None:
                self.sock.close()
            else:
                os.close(self.fd)

    def _run(self):
        pending = b""
        while not self._stop.is_set() and not self._closed:
            ready, _, _ = select.select([self.fd], [], [], 0.02)
            if not ready:
                if hasattr(self.handler, "idle"):
                    self._act(self.handler.idle())
                continue
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:
                return
            if not chunk:
                return
            self.received += chunk
            pending += chunk
            while b"\r" in pending:
                line, pending = pending.split(b"\r", 1)
                start = line.rfind(b"@")
                if start < 0 or len(line) - start < 8:
                    continue
                if b"\r" in pending:
                    self.overlaps += 1
                request = Request(line[start:] + b"\r")
                self.requests.append(request)
                self._act(self.handler(request))
                if self._closed:
                    return

    def _act(self, actions):
        if actions is None:
            return
        if not isinstance(actions, list):
            actions = [actions]
        for action in actions:
            if action is HANGUP:
                self._close()
                return
            if isinstance(action, float):
                time.sleep(action)
            else:
                os.write(self.fd, action)


def open_pty_line():
    """Returns (port path, peer fd, fd to keep the slave side alive)."""
    master_fd, slave_fd = os.openpty()
    return os.ttyname(slave_fd), master_fd, slave_fd


class TcpLine:
    """A loopback listener; `accept()` gives the peer's socket once the master connected."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = "tcp://127.0.0.1:%d" % self.listener.getsockname()[1]

    def accept(self):
        self.listener.settimeout(10)
        conn, _ = self.listener.accept()
        self.listener.close()
        return conn
