"""Helpers of the simulator tests: a raw line client and a wait for an axis."""

import os
import select
import time
import tty

from support import TIME_SCALE, WAIT  # noqa: F401  (the tests import them from here)


def checksum(text):
    value = 0
    for byte in text.encode("ascii"):
        value ^= byte
    return "%02X" % value


def frame(body, start="@"):
    text = start + body
    return (text + checksum(text) + "\r").encode("ascii")


class RawClient:
    """The client end of a pseudo-terminal, in raw mode, without the master."""

    def __init__(self, port):
        self.fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def send(self, data):
        os.write(self.fd, data)

    def read_line(self, timeout=2.0):
        """One reply up to its CR, or b"" when none comes within `timeout`."""
        data = b""
        deadline = time.monotonic() + timeout
        while not data.endswith(b"\r"):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                chunk = os.read(self.fd, 1)
                if not chunk:
                    break
                data += chunk
        return data

    def request(self, body, timeout=2.0):
        self.send(frame(body))
        return self.read_line(timeout)

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


def wait_idle(bus, station):
    """Polls the pulse output until it drops, as the controller does."""
    deadline = time.monotonic() + WAIT
    while bus.get_coil(station, "Y1"):
        assert time.monotonic() < deadline, "axis still running"
        time.sleep(0.002)
