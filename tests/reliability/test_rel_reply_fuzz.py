"""A scripted device on a pseudo-terminal answers MewMaster with random and
mutated replies: every call ends within its time-out budget, with a result of
the right type or a MewError subclass, and the master keeps working."""

import collections
import os
import select
import threading
import time
import tty

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zol_mew
from support import HANG
from zol_mew import _codec

TIMEOUT = 0.05
RETRIES = 1


class FuzzPeer:
    """The device end of a pty. Each request takes the next scripted action:
    ("reply", data, flips, noise_before, stale_before), ("raw", bytes) or ("silent",).
    The reply is sent in one write, so leftovers are stale before the next request."""

    def __init__(self):
        self.fd, self.slave_fd = os.openpty()
        tty.setraw(self.slave_fd)
        self.port = os.ttyname(self.slave_fd)
        self.actions = collections.deque()
        self.requests = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def close(self):
        self._stop.set()
        self._thread.join(10)
        assert not self._thread.is_alive()
        os.close(self.fd)
        os.close(self.slave_fd)

    def _run(self):
        pending = b""
        while not self._stop.is_set():
            ready, _, _ = select.select([self.fd], [], [], 0.02)
            if not ready:
                continue
            try:
                pending += os.read(self.fd, 4096)
            except OSError:
                return
            while b"\r" in pending:
                line, pending = pending.split(b"\r", 1)
                status, _, frame = _codec.decode(line + b"\r")
                if status != "frame":
                    continue
                self.requests.append(line + b"\r")
                out = self._answer(frame)
                if out:
                    os.write(self.fd, out)

    def _answer(self, request):
        action = self.actions.popleft() if self.actions else ("silent",)
        if action[0] == "raw":
            return action[1]
        if action[0] == "silent":
            return b""
        _, data, flips, noise, stale = action
        if isinstance(data, int):
            reply = _codec.encode_error_reply(
                request["station"], request["command"], request["tag"], data
            )
        else:
            reply = _codec.encode_reply(
                request["station"], request["command"], request["tag"], data
            )
        reply = bytearray(reply)
        for where, mask in flips:
            reply[where % len(reply)] ^= mask
        out = noise
        if stale:
            other = chr((ord(request["tag"]) - ord("a") + 1) % 26 + ord("a"))
            out += _codec.encode_reply(request["station"], request["command"], other, data
                                       if isinstance(data, str) else "")
        return out + bytes(reply)


# operation name, arguments, reply data a correct device would give, check of the result
OPERATIONS = {
    "get_int32": ((1, "DT10"), "2345FFFF", lambda r: r == -56507),
    "get_multi_int32": ((1, "DT10", 2), "0100000002000000", lambda r: r == [256, 512]),
    "get_coil": ((1, "X4"), "1", lambda r: r is True),
    "get_coil_uint16": ((1, "WY0"), "8001", lambda r: r == 0x8001),
    "set_int32": ((1, "DT6", -5), "", lambda r: r is None),
    "set_uint32": ((1, "DT0", 7), "", lambda r: r is None),
    "set_multi_uint32": ((1, "DT0", [1, 2, 3]), "", lambda r: r is None),
    "set_coil": ((1, "R1", True), "", lambda r: r is None),
    "set_coil_uint16": ((1, "WR1", 5), "", lambda r: r is None),
}


def result_type_ok(name, result):
    if name == "get_int32":
        return type(result) is int and -(2**31) <= result < 2**31
    if name == "get_multi_int32":
        return isinstance(result, list) and len(result) == 2
    if name == "get_coil":
        return type(result) is bool
    if name == "get_coil_uint16":
        return type(result) is int and 0 <= result <= 0xFFFF
    return result is None


@pytest.fixture(scope="module")
def line():
    peer = FuzzPeer()
    master = zol_mew.MewMaster(peer.port, timeout=TIMEOUT, retries=RETRIES)
    yield master, peer
    master.close()
    peer.close()


def call(master, name):
    args = OPERATIONS[name][0]
    started = time.monotonic()
    try:
        result, error = getattr(master, name)(*args), None
    except zol_mew.MewError as exc:
        result, error = None, exc
    # Far above (retries + 1) x (time-out + inter-byte time-out): a hang, not slowness.
    assert time.monotonic() - started < HANG / 2, name
    return result, error


def call_expecting_success(master, peer, name, action):
    """The call with a correct reply scripted. The time-out is short to keep the
    fuzzing fast, so on a loaded machine the scripted device (a Python thread) can
    miss it: a time-out is tried again, a few times. A master left broken by the
    fuzzing fails every try."""
    for _ in range(5):
        peer.actions.clear()
        peer.actions.append(action)
        result, error = call(master, name)
        if not isinstance(error, zol_mew.MewTimeoutError):
            break
    assert error is None, error
    assert OPERATIONS[name][2](result), result


noise = st.binary(max_size=300).map(lambda b: bytes(c for c in b if c not in b"@>"))
flips = st.lists(st.tuples(st.integers(0, 200), st.integers(1, 255)), max_size=3)
actions = st.one_of(
    st.tuples(st.just("raw"), st.binary(max_size=700)),
    st.tuples(st.just("raw"), st.lists(st.sampled_from(b">@01RDWCa0F!\r"), max_size=300).map(bytes)),
    st.tuples(st.just("reply"), st.text("0123456789ABCDEF", max_size=70), flips, noise, st.booleans()),
    st.tuples(st.just("reply"), st.integers(1, 99), flips, noise, st.booleans()),
    st.just(("silent",)),
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                     HealthCheck.function_scoped_fixture])
@given(name=st.sampled_from(sorted(OPERATIONS)), script=st.lists(actions, min_size=1, max_size=3))
def test_random_replies_give_a_result_or_a_mew_error(line, name, script):
    master, peer = line
    peer.actions.clear()
    peer.actions.extend(script)
    result, error = call(master, name)
    if error is None:
        assert result_type_ok(name, result), result
    else:
        assert isinstance(error, zol_mew.MewError)
        assert not isinstance(error, zol_mew.MewDeviceError) or 1 <= error.code <= 99
    # Whatever that did to the line, a good reply is understood again at once.
    call_expecting_success(master, peer, name, ("reply", OPERATIONS[name][1], [], b"", False))


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                     HealthCheck.function_scoped_fixture])
@given(name=st.sampled_from(sorted(OPERATIONS)), before=noise, stale=st.booleans())
def test_a_good_reply_behind_noise_and_a_late_reply_is_found(line, name, before, stale):
    master, peer = line
    call_expecting_success(master, peer, name, ("reply", OPERATIONS[name][1], [], before, stale))


@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_endless_noise_ends_the_call(line, name):
    master, peer = line
    peer.actions.clear()
    # More noise than the master is willing to look through, for every attempt.
    peer.actions.extend([("raw", b"\x00garbage" * 200)] * (RETRIES + 1))
    result, error = call(master, name)
    assert isinstance(error, zol_mew.MewProtocolError), (result, error)
