"""MewMaster failure paths, retries, stale input, threads, logging and the
object's life cycle, against scripted peers on a pseudo-terminal and TCP."""

import errno
import logging
import os
import socket
import termios
import threading
import time

import pytest

import zol_mew
from mew_peer import HANGUP, Device, error_reply, frame, open_pty_line, reply

SHORT = dict(timeout=0.1)


def answering(*scripts):
    """Handler that answers the n-th request with scripts[n](request) (the
    device model once the scripts run out)."""
    device = Device()
    calls = []

    def handler(req):
        calls.append(req)
        if len(calls) <= len(scripts):
            return scripts[len(calls) - 1](req)
        return device.handle(req)

    return handler


def silent(req):
    return None


def bad_checksum(req):
    good = reply(req, b"00000000")
    return good[:-3] + (b"00" if good[-3:-1] != b"00" else b"11") + b"\r"


# ---- exception classes ------------------------------------------------------

def test_exception_hierarchy():
    assert issubclass(zol_mew.MewError, OSError)
    assert issubclass(zol_mew.MewTimeoutError, zol_mew.MewError)
    assert issubclass(zol_mew.MewTimeoutError, TimeoutError)
    assert issubclass(zol_mew.MewProtocolError, zol_mew.MewError)
    assert issubclass(zol_mew.MewDeviceError, zol_mew.MewError)
    assert not issubclass(zol_mew.MewProtocolError, TimeoutError)


# ---- time-outs and retries ----------------------------------------------------

def test_read_timeout_is_retried_then_raised(bus):
    master, peer = bus(silent, retries=2, **SHORT)
    with pytest.raises(zol_mew.MewTimeoutError) as info:
        master.get_int32(5, "DT10")
    message = str(info.value)
    assert "station 5" in message and "DT10" in message and master.port in message
    assert len(peer.requests) == 3
    assert len({r.tag for r in peer.requests}) == 3  # a new tag for every attempt
    stats = master.stats
    assert (stats["transactions"], stats["retries"], stats["errors"]) == (1, 2, 3)


def test_read_recovers_on_retry(bus):
    master, peer = bus(answering(silent, bad_checksum, lambda r: reply(r, b"00070000")), retries=2, **SHORT)
    assert master.get_int32(1, "DT10") == 7
    assert len(peer.requests) == 3
    assert master.stats["retries"] == 2


def test_retries_zero_means_one_attempt(bus):
    master, peer = bus(silent, retries=0, **SHORT)
    with pytest.raises(zol_mew.MewTimeoutError):
        master.get_coil(1, "X0")
    assert len(peer.requests) == 1


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.set_int32(1, "DT8", 100),
        lambda m: m.set_coil(1, "R2", True),
        lambda m: m.set_multi_uint32(1, "DT0", [1, 2, 3]),
        lambda m: m.set_coil_uint16(1, "WY0", 4),
    ],
)
@pytest.mark.parametrize(
    "failure, exception",
    [(silent, zol_mew.MewTimeoutError), (bad_checksum, zol_mew.MewProtocolError)],
)
def test_write_is_not_sent_twice(bus, call, failure, exception):
    master, peer = bus(answering(failure), retries=3, **SHORT)
    with pytest.raises(exception):
        call(master)
    assert len(peer.requests) == 1
    assert master.stats["retries"] == 0


def test_write_is_resent_after_checksum_error(bus):
    master, peer = bus(answering(lambda r: error_reply(r, 1)), retries=2, **SHORT)
    master.set_coil(1, "R2", True)
    assert len(peer.requests) == 2
    assert peer.requests[0].tag != peer.requests[1].tag
    assert peer.requests[0].body == peer.requests[1].body == b"R00021"
    assert master.stats["retries"] == 1


def test_checksum_errors_exhaust_retries(bus):
    master, peer = bus(lambda r: error_reply(r, 1), retries=1, **SHORT)
    with pytest.raises(zol_mew.MewDeviceError) as info:
        master.set_int32(1, "DT8", 1)
    assert info.value.code == 1
    assert len(peer.requests) == 2


def test_device_checksum_error_for_a_corrupted_request(bus):
    """The device really sees a corrupted frame (peer flips a byte it
    received), answers 01, and the master's second attempt goes through."""
    device = Device()
    seen = []

    def handler(req):
        seen.append(req)
        if len(seen) == 1:
            req.raw = req.raw[:-3] + b"ZZ\r"
            req.checksum_ok = False
        return device.handle(req)

    master, peer = bus(handler, **SHORT)
    master.set_uint32(1, "DT2", 5000)
    assert device.int32(1, 2) == 5000 and len(seen) == 2


@pytest.mark.parametrize("code, name", [(2, "unknown command"), (4, "address out of range"),
                                        (5, "out of range"), (6, "read-only")])
def test_error_reply_raises_device_error_without_retry(bus, code, name):
    master, peer = bus(lambda r: error_reply(r, code), retries=3, **SHORT)
    with pytest.raises(zol_mew.MewDeviceError) as info:
        master.get_int32(9, "DT400")
    assert info.value.code == code
    assert name in str(info.value) and "station 9" in str(info.value) and "DT400" in str(info.value)
    assert len(peer.requests) == 1


@pytest.mark.parametrize(
    "bad_reply",
    [
        lambda r: reply(r, b"0000"),  # too short for two registers
        lambda r: reply(r, b"00000000FFFF"),  # too long
        lambda r: reply(r, b"0000000g"),  # not hex
        lambda r: b">01RD" + r.tag + b"\r",  # too short to be a frame
    ],
)
def test_corrupt_read_reply_raises_protocol_error_after_retries(bus, bad_reply):
    master, peer = bus(bad_reply, retries=1, **SHORT)
    with pytest.raises(zol_mew.MewProtocolError):
        master.get_int32(1, "DT10")
    assert len(peer.requests) == 2


def test_coil_reply_must_be_zero_or_one(bus):
    master, _ = bus(lambda r: reply(r, b"2"), retries=0, **SHORT)
    with pytest.raises(zol_mew.MewProtocolError):
        master.get_coil(1, "R0")


# ---- replies that are not the answer ---------------------------------------

@pytest.mark.parametrize(
    "wrong",
    [
        lambda r: frame(ord(">"), r.station + 1, r.command, r.tag, b"00010000"),  # other station
        lambda r: frame(ord(">"), r.station, b"RC", r.tag, b"1"),  # other command
        lambda r: frame(ord(">"), r.station, r.command, b"z" if r.tag != b"z" else b"y", b"00010000"),
        lambda r: r.raw,  # its own request echoed
    ],
)
def test_mismatched_reply_is_never_taken(bus, wrong):
    master, peer = bus(wrong, retries=0, **SHORT)
    with pytest.raises(zol_mew.MewTimeoutError):
        master.get_int32(1, "DT10")
    assert len(peer.requests) == 1


def test_mismatched_reply_before_the_right_one_is_skipped(bus):
    def handler(r):
        other = frame(ord(">"), r.station, r.command, b"z", b"DEADBEEF")
        return [other, reply(r, b"00020000")]

    master, _ = bus(handler, **SHORT)
    assert master.get_int32(1, "DT10") == 2


def test_late_reply_to_a_timed_out_request_is_not_taken(bus):
    """The first request times out; its reply arrives just before the reply to
    the second, identical request. Only the tag tells them apart."""
    late = []

    def handler(r):
        if not late:
            late.append(reply(r, b"11110000"))
            return None
        return [late[0], reply(r, b"22220000")]

    master, peer = bus(handler, retries=0, **SHORT)
    with pytest.raises(zol_mew.MewTimeoutError):
        master.get_int32(1, "DT10")
    assert master.get_int32(1, "DT10") == 0x2222
    assert peer.requests[0].raw[6:-3] == peer.requests[1].raw[6:-3]


def replies_with_every_tag(station, data=b"0BAD0000"):
    """Late replies to a DT0 read, one for each tag: whichever tag the next
    request uses, one of them carries it."""
    tags = (bytes([t]) for t in range(ord("a"), ord("z") + 1))
    return b"".join(frame(ord(">"), station, b"RD", tag, data) for tag in tags)


def on_the_line(peer, data):
    """Puts `data` on the idle line and lets it reach the master's side."""
    peer.write(data)
    time.sleep(0.2)


def answer_42(r):
    return reply(r, b"002A0000")

# How the exchange before the one under test ends (None: there was none), and what it raises.
UNSETTLING = {
    "new line": None,
    "time-out": (silent, zol_mew.MewTimeoutError),
    "corrupt reply": (bad_checksum, zol_mew.MewProtocolError),
    "bytes after the reply": (lambda r: reply(r, b"00070000") + b"\n trailing", None),
}


@pytest.mark.parametrize("before", UNSETTLING)
def test_stale_input_is_flushed_when_the_line_is_unsettled(bus, before):
    """On a new line, and after an exchange that did not end cleanly, what is
    waiting is thrown away before the request goes out: even a late reply
    carrying the very tag of the next request is never taken for its answer.
    A clean exchange comes first, so the line is not unsettled for being new."""
    scripts = [answer_42, UNSETTLING[before][0]] if UNSETTLING[before] else []
    master, peer = bus(answering(*scripts, answer_42), retries=0, **SHORT)
    if scripts:
        assert master.get_int32(1, "DT0") == 42
        raised = UNSETTLING[before][1]
        if raised:
            with pytest.raises(raised):
                master.get_int32(1, "DT0")
        else:
            assert master.get_int32(1, "DT0") == 7
    received = master.stats["bytes_received"]
    stale = replies_with_every_tag(1)
    on_the_line(peer, stale)
    assert master.get_int32(1, "DT0") == 42
    assert master.stats["bytes_received"] - received >= len(stale)  # they were there


def test_unasked_input_on_a_settled_line_is_not_taken(bus):
    """After a clean exchange nothing is read before the next request: what a
    device says unasked meanwhile arrives with the reply, and of it only a
    frame with the request's station, command and tag is taken."""
    master, peer = bus(answering(lambda r: reply(r, b"00070000"), answer_42), **SHORT)
    assert master.get_int32(1, "DT0") == 7
    late = reply(peer.requests[-1], b"0BAD0000")  # the last request's tag
    unasked = b"noise" + late + replies_with_every_tag(2)
    received = master.stats["bytes_received"]
    on_the_line(peer, unasked)
    assert master.get_int32(1, "DT0") == 42
    assert master.stats["bytes_received"] - received >= len(unasked)


def test_garbage_around_the_reply_is_skipped(bus):
    master, _ = bus(lambda r: [b"\x00\xff\n junk @@", reply(r, b"00050000"), b"\ntrailing"], **SHORT)
    assert master.get_int32(1, "DT10") == 5


def test_endless_noise_is_a_protocol_error(bus):
    master, _ = bus(lambda r: [b"x" * 2000], retries=0, timeout=2.0)
    with pytest.raises(zol_mew.MewProtocolError, match="unexpected input"):
        master.get_int32(1, "DT10")


def test_reply_stopping_midway_times_out(bus):
    master, peer = bus(lambda r: reply(r, b"00050000")[:8], retries=0, **SHORT)
    with pytest.raises(zol_mew.MewTimeoutError, match="stopped after"):
        master.get_int32(1, "DT10")


def test_reply_in_slow_pieces_is_assembled(bus):
    def handler(r):
        whole = reply(r, b"00050000")
        return [whole[:3], 0.02, whole[3:9], 0.02, whole[9:]]

    master, _ = bus(handler, **SHORT)
    assert master.get_int32(1, "DT10") == 5


def test_peer_hanging_up_mid_reply(bus):
    master, _ = bus(lambda r: [reply(r, b"00050000")[:6], HANGUP], retries=3, timeout=2.0)
    with pytest.raises(zol_mew.MewError) as info:
        master.get_int32(1, "DT10")
    assert not isinstance(info.value, zol_mew.MewTimeoutError)
    assert info.value.errno is not None
    assert master.port in str(info.value) and "DT10" in str(info.value)


# ---- threads -----------------------------------------------------------------

def test_threads_sharing_one_master_each_get_their_reply(bus):
    master, peer = bus()
    for k in range(8):
        peer.device.set_int32(1, 2 * k, 1000 + k)
    errors = []

    def worker(k):
        try:
            for i in range(40):
                assert master.get_int32(1, "DT%d" % (2 * k)) == 1000 + k
                master.set_coil(1, "R%d" % k, i % 2 == 0)
                assert master.get_coil(1, "R%d" % k) is (i % 2 == 0)
        except Exception as e:  # reported to the main thread below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    assert peer.overlaps == 0  # never a second request before the first was answered
    assert master.stats["transactions"] == 8 * 40 * 3


def test_gil_is_released_while_waiting(bus):
    """The reply only comes once another Python thread has run."""
    ran = threading.Event()

    def handler(r):
        ran.wait(10)
        return reply(r, b"00010000")

    master, _ = bus(handler, timeout=10.0)
    other = threading.Thread(target=lambda: (time.sleep(0.05), ran.set()))
    other.start()
    assert master.get_int32(1, "DT10") == 1
    other.join(10)


# ---- logging -----------------------------------------------------------------

def test_frames_are_logged_at_debug(bus, caplog):
    master, _ = bus()
    with caplog.at_level(logging.DEBUG, logger="zol_mew"):
        master.set_coil(1, "R1", True)
    lines = [r.getMessage() for r in caplog.records if r.name == "zol_mew"]
    assert any("->" in line and "@01WCaR00011" in line for line in lines)
    assert any("<-" in line and ">01WCa" in line for line in lines)
    assert all(master.port in line for line in lines)


def test_nothing_logged_above_debug(bus, caplog):
    master, _ = bus()
    with caplog.at_level(logging.INFO, logger="zol_mew"):
        master.get_int32(1, "DT10")
    assert [r for r in caplog.records if r.name == "zol_mew"] == []


def test_failed_exchange_is_logged(bus, caplog):
    master, _ = bus(silent, retries=1, **SHORT)
    with caplog.at_level(logging.DEBUG, logger="zol_mew"):
        with pytest.raises(zol_mew.MewTimeoutError):
            master.get_int32(1, "DT10")
    sent = [r for r in caplog.records if r.name == "zol_mew" and "->" in r.getMessage()]
    assert len(sent) == 2


class _Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


_ZOL_MEW = logging.getLogger("zol_mew")
# (what changes, whether the next call logs its frames): each change made at run time
# must hold from the very next call.
LOGGING_CHANGES = [
    (lambda: _ZOL_MEW.setLevel(logging.INFO), False),
    (lambda: _ZOL_MEW.setLevel(logging.DEBUG), True),
    (lambda: setattr(_ZOL_MEW, "disabled", True), False),
    (lambda: setattr(_ZOL_MEW, "disabled", False), True),
    (lambda: logging.disable(logging.DEBUG), False),
    (lambda: logging.disable(logging.NOTSET), True),
    (lambda: _ZOL_MEW.setLevel(logging.NOTSET), False),  # the root's WARNING then
    (lambda: logging.getLogger().setLevel(logging.DEBUG), True),
    (lambda: logging.getLogger().setLevel(logging.ERROR), False),
]


def test_logging_changes_take_effect_at_the_next_call(bus):
    master, _ = bus()
    root = logging.getLogger()
    saved = (_ZOL_MEW.level, _ZOL_MEW.disabled, root.level)
    handler = _Records()
    _ZOL_MEW.addHandler(handler)
    try:
        root.setLevel(logging.WARNING)
        for step, (change, logs) in enumerate(LOGGING_CHANGES):
            change()
            del handler.records[:]
            master.get_int32(1, "DT10")
            assert bool(handler.records) is logs, step
    finally:
        _ZOL_MEW.removeHandler(handler)
        logging.disable(logging.NOTSET)
        _ZOL_MEW.setLevel(saved[0])
        _ZOL_MEW.disabled = saved[1]
        root.setLevel(saved[2])


# ---- life cycle --------------------------------------------------------------

def test_close_is_idempotent_and_later_calls_fail_clearly(bus):
    master, _ = bus()
    assert not master.closed
    master.close()
    master.close()
    assert master.closed
    assert "closed" in repr(master)
    with pytest.raises(zol_mew.MewError, match="closed"):
        master.get_int32(1, "DT10")
    with pytest.raises(zol_mew.MewError, match="closed"):
        master.set_coil(1, "R1", True)


def test_context_manager_closes(bus):
    master, _ = bus()
    with master as m:
        assert m is master
        m.get_coil(1, "R0")
    assert master.closed


def test_attributes_and_repr(bus):
    master, _ = bus(retries=4)
    assert isinstance(master.port, str) and master.baudrate == 115200 and master.retries == 4
    assert repr(master) == "MewMaster(port=%r, baudrate=115200)" % master.port
    assert str(master) == repr(master)
    assert master.inter_byte_timeout >= 0.05


def test_close_waits_for_a_running_transaction(bus):
    started = threading.Event()

    def handler(r):
        started.set()
        return [0.2, reply(r, b"00030000")]

    master, _ = bus(handler)
    result = []
    t = threading.Thread(target=lambda: result.append(master.get_int32(1, "DT10")))
    t.start()
    started.wait(10)
    master.close()
    t.join(10)
    assert result == [3]


def test_open_missing_port():
    with pytest.raises(zol_mew.MewError) as info:
        zol_mew.MewMaster("/dev/zol-no-such-port")
    assert info.value.errno == errno.ENOENT
    assert "/dev/zol-no-such-port" in str(info.value)


def test_open_non_terminal():
    with pytest.raises(zol_mew.MewError) as info:
        zol_mew.MewMaster("/dev/null")
    assert info.value.errno == errno.ENOTTY


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(baudrate=12345),
        dict(baudrate=0),
        dict(baudrate=-9600),
        dict(bytesize=9),
        dict(parity="X"),
        dict(parity="NE"),
        dict(stopbits=3),
        dict(timeout=0),
        dict(timeout=-1.0),
        dict(timeout=float("nan")),
        dict(retries=-1),
    ],
)
def test_bad_settings_raise_value_error(kwargs):
    port, peer_fd, slave_fd = open_pty_line()
    try:
        with pytest.raises(ValueError):
            zol_mew.MewMaster(port, **kwargs)
    finally:
        os.close(peer_fd)
        os.close(slave_fd)


@pytest.mark.parametrize("baudrate, speed", [(9600, termios.B9600), (115200, termios.B115200), (1200, termios.B1200)])
def test_baud_rate_is_set_on_the_line(pty_bus, baudrate, speed):
    master, _ = pty_bus(baudrate=baudrate)
    fd = os.open(master.port, os.O_RDWR | os.O_NOCTTY)
    try:
        attrs = termios.tcgetattr(fd)
    finally:
        os.close(fd)
    assert attrs[4] == attrs[5] == speed
    assert attrs[2] & termios.CSIZE == termios.CS8
    assert not attrs[3] & (termios.ICANON | termios.ECHO)


@pytest.mark.parametrize("parity", ["E", "O"])
def test_parity_on_a_pseudo_terminal_is_accepted(pty_bus, parity):
    master, peer = pty_bus(parity=parity, bytesize=7, stopbits=2)
    peer.device.set_int32(1, 10, 9)
    assert master.get_int32(1, "DT10") == 9


def test_each_framing_opens_a_pseudo_terminal_that_had_another():
    # The C library reports EINVAL when PARENB did not stick, as on every pseudo-terminal
    # once a raw 8N1 opener was there: a scan over the framings meets exactly that.
    port, peer_fd, slave_fd = open_pty_line()
    try:
        for parity in "NEONOE":
            zol_mew.MewMaster(port, 9600, parity=parity).close()
    finally:
        os.close(peer_fd)
        os.close(slave_fd)


@pytest.mark.parametrize("url", ["tcp://", "tcp://host", "tcp://:80", "tcp://127.0.0.1:0",
                                 "tcp://127.0.0.1:99999", "tcp://127.0.0.1:x", "tcp://[::1"])
def test_malformed_tcp_address(url):
    with pytest.raises(ValueError):
        zol_mew.MewMaster(url)


def test_tcp_connection_refused():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()  # nobody listens there now
    with pytest.raises(zol_mew.MewError) as info:
        zol_mew.MewMaster("tcp://127.0.0.1:%d" % port)
    assert info.value.errno == errno.ECONNREFUSED
    assert str(port) in str(info.value)
