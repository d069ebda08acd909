"""Transaction tags against devices that answer late or not at all: a tag that a
reply may still come back with is not given to another request to that station."""

import time

import pytest

import zol_mew
from mew_peer import Device

VALUES = {100: 111, 200: 222, 300: 333}  # register: its value


class LateInOrder:
    """Answers in order, but holds the replies to the first 26 requests back: a
    held reply goes out when a request with its tag arrives (the tags came
    round), or once no request has come for `quiet` s. Later requests are
    answered at once, after the held replies."""

    def __init__(self, quiet=0.3):
        self.device = Device()
        for register, value in VALUES.items():
            self.device.set_int32(1, register, value)
        self.quiet = quiet
        self.held = []
        self.count = 0
        self.last = time.monotonic()

    def __call__(self, request):
        self.count += 1
        self.last = time.monotonic()
        out = []
        tags = [held[5:6] for held in self.held]
        if request.tag in tags:
            come_round = tags.index(request.tag) + 1
            out, self.held = self.held[:come_round], self.held[come_round:]
        self.held.append(self.device.handle(request))
        if self.count > 26:
            out, self.held = out + self.held, []
        return out

    def idle(self):
        if not self.held or time.monotonic() - self.last < self.quiet:
            return None
        out, self.held = self.held, []
        return out


def test_a_late_reply_is_not_taken_when_its_tag_comes_round(pty_bus):
    """26 reads time out, their replies still to come: no later read may get one
    of their tags and with it another register's value."""
    master, _ = pty_bus(LateInOrder(), timeout=0.02, retries=0)
    registers = list(VALUES)
    results = []  # (value of the register read, value returned)
    calls = 0
    deadline = time.monotonic() + 30
    while len(results) < 6 and time.monotonic() < deadline:
        register = registers[calls % 3]
        calls += 1
        try:
            results.append((VALUES[register], master.get_int32(1, "DT%d" % register)))
        except zol_mew.MewTimeoutError:
            pass
    assert len(results) == 6  # answered in time once the late replies were in
    assert [got for _, got in results] == [want for want, _ in results]


def test_a_silent_station_holds_only_its_own_tags(pty_bus):
    device = Device()
    device.set_int32(1, 10, 7)
    master, peer = pty_bus(lambda r: None if r.station == 5 else device.handle(r),
                           timeout=0.01, retries=0)
    for _ in range(26):
        with pytest.raises(zol_mew.MewTimeoutError, match="no reply from station 5"):
            master.get_int32(5, "DT10")
    with pytest.raises(zol_mew.MewTimeoutError, match="no transaction tag free for station 5"):
        master.get_int32(5, "DT10")
    assert len(peer.requests) == 26  # nothing sent without a free tag
    assert master.get_int32(1, "DT10") == 7
