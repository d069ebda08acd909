"""Every master operation against every fault the simulator can inject.

Each call must come back (within ten times its time-out budget; a generous bound
that only a hang can break) with the documented outcome; the master must work
again afterwards (after close and reopen for a hang-up); and the device must have
carried a write out at most once: a relative move whose reply was lost moves once.
"""

import os
import threading
import time
import tty

import pytest

import zol_mew
from rel_helpers import call_bounded
from support import TIME_SCALE

# Long enough that a busy machine (or a sanitizer build) does not fake a lost reply.
TIMEOUT = 0.5
RELATIVE_STEP = 2000


class Op:
    def __init__(self, name, args, effect=None, expected=None, matches=None):
        self.name, self.args = name, args
        self.effect = effect  # sim -> True once the write took effect
        self.expected = expected  # sim -> the value a read must return
        self.matches = matches  # request-log frame -> True for this operation's request

    @property
    def is_write(self):
        return self.expected is None

    def __repr__(self):
        return self.name


def frame_of(command, payload_prefix):
    return lambda f: f[3:5] == command and f[6:].startswith(payload_prefix)


OPS = [
    Op("get_int32", (1, "DT10"), expected=lambda s: s.get_int32(1, "DT10"),
       matches=frame_of("RD", "001002")),
    Op("get_multi_int32", (1, "DT10", 11),
       expected=lambda s: [s.get_int32(1, "DT%d" % (10 + 2 * k)) for k in range(11)],
       matches=frame_of("RD", "001022")),
    Op("get_coil", (1, "X3"), expected=lambda s: s.get_coil(1, "X3"),
       matches=frame_of("RC", "X0003")),
    Op("get_coil_uint16", (1, "WX0"), expected=lambda s: s.get_coil_uint16(1, "WX0"),
       matches=frame_of("RW", "X000")),
    Op("set_int32", (1, "DT100", -123456), effect=lambda s: s.get_int32(1, "DT100") == -123456,
       matches=frame_of("WD", "010002")),
    Op("set_uint32", (1, "DT102", 3000000000),
       effect=lambda s: s.read_registers(1, "DT102", 2) == [3000000000 & 0xFFFF, 3000000000 >> 16],
       matches=frame_of("WD", "010202")),
    Op("set_multi_uint32", (1, "DT104", [1, 2, 70000]),
       effect=lambda s: s.read_registers(1, "DT104", 6) == [1, 0, 2, 0, 70000 & 0xFFFF, 1],
       matches=frame_of("WD", "010406")),
    Op("set_coil", (1, "R100", True), effect=lambda s: s.get_coil(1, "R100"),
       matches=frame_of("WC", "R01001")),
    Op("set_coil_uint16", (1, "WR50", 0xBEEF), effect=lambda s: s.get_coil_uint16(1, "WR50") == 0xBEEF,
       matches=frame_of("WW", "R050")),
    # The motion command: a relative move by DT8, which must never run twice.
    Op("set_coil", (1, "R2", True), effect=lambda s: moved_by(s, RELATIVE_STEP),
       matches=frame_of("WC", "R00021")),
]
OP_IDS = ["%s-%s" % (op.name, op.args[1]) for op in OPS]


def relative_starts(sim):
    return sum(1 for entry in sim.trace(1) if entry[3] == "start relative")


def moved_by(sim, step):
    assert sim.wait_stopped(1, 30.0)
    return relative_starts(sim) == 1 and sim.get_int32(1, "DT10") == 5000 + step


def make_line(tcp=False):
    sim = zol_mew.Simulator((1,), time_scale=TIME_SCALE, tcp=tcp)
    sim.set_int32(1, "DT8", RELATIVE_STEP)
    masters = []

    def open_master(**options):
        options.setdefault("timeout", TIMEOUT)
        master = zol_mew.MewMaster(sim.port, **options)
        masters.append(master)
        return master

    def close():
        for master in masters:
            master.close()
        sim.close()

    return sim, open_master, close


@pytest.fixture
def line():
    sim, open_master, close = make_line()
    yield sim, open_master
    close()


@pytest.fixture(params=["pty", "tcp"])
def any_line(request):
    """A pseudo-terminal, or a serial device server: after a hang-up the first
    gets a new name, the second keeps its port."""
    sim, open_master, close = make_line(tcp=request.param == "tcp")
    yield sim, open_master
    close()


def budget(master, extra=0.0):
    """Seconds a call may take by the documented time-outs, with slack for the wire."""
    attempts = master.retries + 1
    return attempts * (master.timeout + 0.5 + 4 * master.inter_byte_timeout) + extra


def run(master, op, extra_budget=0.0):
    result, error = call_bounded(
        getattr(master, op.name), *op.args, limit=max(10 * budget(master, extra_budget), 10.0)
    )
    return result, error


def requests_of(sim, op):
    return [f for f in sim.request_log() if op.matches(f)]


def check_usable(sim, master, op):
    """The same operation succeeds straight after the fault."""
    sim.clear_faults()
    result, error = run(master, op)
    assert error is None, error
    if op.is_write:
        assert op.effect(sim)
    else:
        assert result == op.expected(sim)


def inject(sim, fault):
    kind, arg = fault
    if kind == "drop":
        sim.drop_replies(arg)
    elif kind == "corrupt":
        sim.corrupt_next_reply()
    elif kind == "corrupt_at":
        sim.corrupt_next_reply(offset=arg)
    elif kind == "error":
        sim.error_next_reply(arg)
    elif kind == "delay":
        sim.delay_next_reply(arg)
    elif kind == "split":
        sim.split_next_reply(at=4, pause=arg)
    elif kind == "garbage":
        sim.emit_garbage(arg)
    elif kind == "wrong_station":
        sim.answer_next_as(2)
    else:
        raise AssertionError(kind)


# fault, exception with retries=0 (None: the call succeeds), did the device act?
FAULTS = [
    (("drop", 1), zol_mew.MewTimeoutError, True),
    (("corrupt", None), zol_mew.MewProtocolError, True),
    (("corrupt_at", 7), zol_mew.MewProtocolError, True),
    (("error", 4), zol_mew.MewDeviceError, False),
    (("error", 2), zol_mew.MewDeviceError, False),
    (("delay", 2 * TIMEOUT), zol_mew.MewTimeoutError, True),
    (("split", 0.5), zol_mew.MewTimeoutError, True),
    (("wrong_station", None), zol_mew.MewTimeoutError, True),
    # Noise, and frame starts that never end, but no complete line.
    # (A start character followed by a CR would make a malformed reply.)
    (("garbage", b"\x00\xff\r\n noise \x7f" * 20 + b">01RDz00@@@>0"), None, True),
]
FAULT_IDS = ["%s-%s" % (f[0][0], f[0][1] if not isinstance(f[0][1], bytes) else "bytes")
             for f in FAULTS]


@pytest.mark.parametrize("fault, exception, acted", FAULTS, ids=FAULT_IDS)
@pytest.mark.parametrize("op", OPS, ids=OP_IDS)
def test_fault_without_retries(line, op, fault, exception, acted):
    sim, open_master = line
    master = open_master(retries=0)
    inject(sim, fault)
    extra = fault[1] if fault[0] in ("delay", "split") else 0.0
    result, error = run(master, op, extra)
    if exception is None:
        assert error is None, error
        assert result == (None if op.is_write else op.expected(sim))
    else:
        assert type(error) is exception, (result, error)
        if exception is zol_mew.MewDeviceError:
            assert error.code == fault[1]
    assert len(requests_of(sim, op)) == 1  # never sent twice
    if op.is_write:
        assert op.effect(sim) == acted
    # The device answers again once the delayed or cut reply is out (it is busy
    # until then, as a real one would be). Its tail, late, must not be taken for
    # the next reply.
    if fault[0] in ("delay", "split"):
        time.sleep(fault[1])
    if op.is_write and acted:
        check_next_read(sim, master)  # writing again would move the axis again
    else:
        check_usable(sim, master, op)


def check_next_read(sim, master):
    sim.clear_faults()
    result, error = run(master, Op("get_int32", (1, "DT8")))
    assert error is None, error
    assert result == RELATIVE_STEP


RECOVERABLE = [
    (("drop", 1), 2),
    (("corrupt", None), 2),
    # The reply stops after four bytes for longer than the inter-byte time-out; its
    # tail comes in while the read is being retried and must be skipped.
    (("split", 0.15), 2),
    (("wrong_station", None), 2),
    (("drop", 3), 3),  # every attempt lost: a read gives up after retries + 1
]


@pytest.mark.parametrize("fault, attempts", RECOVERABLE, ids=["drop", "corrupt", "split",
                                                              "wrong_station", "drop-all"])
@pytest.mark.parametrize("op", OPS, ids=OP_IDS)
def test_reads_retry_writes_never(line, op, fault, attempts):
    sim, open_master = line
    master = open_master(retries=2)
    inject(sim, fault)
    extra = fault[1] if fault[0] == "split" else 0.0
    result, error = run(master, op, extra)
    sent = requests_of(sim, op)
    if op.is_write:
        # The device may have acted: raise at once, never send it again.
        assert isinstance(error, zol_mew.MewError), (result, error)
        assert len(sent) == 1
        assert op.effect(sim)
    elif attempts <= master.retries:
        assert error is None, error
        assert result == op.expected(sim)
        assert len(sent) == attempts
    else:
        assert type(error) is zol_mew.MewTimeoutError
        assert len(sent) == master.retries + 1
        assert "3 attempts" in str(error)


@pytest.mark.parametrize("op", OPS, ids=OP_IDS)
def test_checksum_error_reply_resends_once_and_acts_once(line, op):
    sim, open_master = line
    master = open_master(retries=2)
    sim.error_next_reply(1)  # "I ignored your request": safe to send again
    result, error = run(master, op)
    assert error is None, error
    assert len(requests_of(sim, op)) == 2
    if op.is_write:
        assert op.effect(sim)
    else:
        assert result == op.expected(sim)


@pytest.mark.parametrize("mid_reply", [False, True], ids=["instead-of-reply", "mid-reply"])
@pytest.mark.parametrize("op", OPS, ids=OP_IDS)
def test_hang_up(any_line, op, mid_reply):
    sim, open_master = any_line
    # At 50 baud the inter-byte time-out (ten characters) is 2 s, so a reply cut
    # after four bytes is still being waited for when the line drops.
    options = dict(retries=2, reconnect=False)
    master = open_master(baudrate=50, **options) if mid_reply else open_master(**options)
    if mid_reply:
        sim.split_next_reply(at=4, pause=0.6)
        seen = sim.request_count

        def drop_line_while_paused():
            deadline = time.monotonic() + 30
            while sim.request_count == seen and time.monotonic() < deadline:
                time.sleep(0.005)
            sim.hang_up()

        dropper = threading.Thread(target=drop_line_while_paused, daemon=True)
        dropper.start()
    else:
        sim.hang_up(on_next_request=True)
    result, error = run(master, op, 1.0)
    if mid_reply:
        dropper.join(30)
        assert not dropper.is_alive()
    assert isinstance(error, zol_mew.MewError), (result, error)
    assert not isinstance(error, zol_mew.MewTimeoutError), error
    assert error.errno, error
    assert len(requests_of(sim, op)) == 1  # a failed line is never retried
    if op.is_write:
        assert op.effect(sim) == mid_reply
    # The old master keeps failing cleanly; a reopened one on the new line works.
    _, again = run(master, OPS[0])
    assert isinstance(again, zol_mew.MewError)
    master.close()
    master.close()
    _, closed = run(master, op)
    assert isinstance(closed, zol_mew.MewError) and "closed" in str(closed)
    if op.is_write and mid_reply:
        check_next_read(sim, open_master(retries=2))
    else:
        check_usable(sim, open_master(retries=2), op)


# ---- the controller's motion commands -----------------------------------------------

MOTIONS = [
    ("locate_relatively", "start relative", "R00021"),
    ("run_positive", "start jog positive", "R00041"),
    ("run_negative", "start jog negative", "R00031"),
]
LOST_REPLIES = [
    (("drop", 1), zol_mew.MewTimeoutError),
    (("corrupt", None), zol_mew.MewProtocolError),
    (("delay", 2 * TIMEOUT), zol_mew.MewTimeoutError),
    (("split", 0.5), zol_mew.MewTimeoutError),
]


@pytest.mark.parametrize("fault, exception", LOST_REPLIES, ids=[f[0][0] for f in LOST_REPLIES])
@pytest.mark.parametrize("name, event, payload", MOTIONS, ids=[m[0] for m in MOTIONS])
def test_controller_motion_whose_reply_is_lost_runs_once(kov, line, name, event, payload, fault,
                                                         exception):
    sim, open_master = line
    controller = kov.KOVAxisController(open_master(retries=2))
    inject(sim, fault)
    _, error = call_bounded(getattr(controller, name), 1, limit=30.0)
    assert type(error) is exception, error  # passed on unchanged
    assert sim.wait_stopped(1, 30.0)
    starts = [e for e in sim.trace(1) if e[3] is not None and e[3].startswith("start")]
    assert [e[3] for e in starts] == [event]
    assert [f for f in sim.request_log() if f[3:5] == "WC"] == [
        f for f in sim.request_log() if f[6:].startswith(payload)
    ]
    assert len([f for f in sim.request_log() if f[6:].startswith(payload)]) == 1
    if fault[0] in ("delay", "split"):
        time.sleep(fault[1])
    assert controller.is_running(1) is False  # the controller goes on working
    controller.close()


@pytest.mark.parametrize(
    "noise",
    [b"\x00noise\xff" * 30000, b"@" + b"1" * 200000, (b"@01RDa" + b"7" * 150) * 1000],
    ids=["no-start", "endless-frame", "overlong-frames"],
)
def test_device_side_discards_endless_noise(line, noise):
    """The simulator's decoder, fed far more than a frame without a frame end,
    throws it away and answers the next request."""
    sim, open_master = line
    master = open_master(retries=0)
    fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(fd)
        for start in range(0, len(noise), 4096):
            os.write(fd, noise[start : start + 4096])
    finally:
        os.close(fd)
    # What is left of the noise ends at the next start character: the request's.
    result, error = run(master, Op("get_int32", (1, "DT8")))
    assert error is None, error
    assert result == RELATIVE_STEP
