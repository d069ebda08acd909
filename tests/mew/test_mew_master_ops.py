"""Every MewMaster operation against a scripted device, over a pseudo-terminal
and over TCP (the `bus` fixture runs each test on both)."""

import pathlib
import re

import pytest

import zol_mew
import mew_peer


def test_get_int32_reads_low_word_first(bus):
    master, peer = bus()
    peer.device.registers[(1, 10)] = 0x2345
    peer.device.registers[(1, 11)] = 0x0001
    assert master.get_int32(1, "DT10") == 0x12345
    assert peer.requests[0].body == b"001002"


@pytest.mark.parametrize("value", [0, 1, -1, 2**31 - 1, -(2**31), 123456789, -70000])
def test_set_then_get_int32(bus, value):
    master, peer = bus()
    assert master.set_int32(7, "DT6", value) is None
    assert peer.device.int32(7, 6) == value
    assert master.get_int32(7, "DT6") == value


def test_d20_is_data_register_20(bus):
    master, peer = bus()
    peer.device.set_int32(1, 20, 0x0105)
    assert master.get_int32(1, "D20") == 261
    assert peer.requests[0].body == b"002002"


@pytest.mark.parametrize("value", [0, 70000, 2**31, 2**32 - 1])
def test_set_uint32(bus, value):
    master, peer = bus()
    master.set_uint32(2, "DT0", value)
    assert peer.device.reg(2, 0) | peer.device.reg(2, 1) << 16 == value


def test_get_multi_int32_status_block(bus):
    master, peer = bus()
    values = [100, -200, 3000, -2**31, 0, 0x0105, 7, 8, 9, 10, 2**31 - 1]
    for k, v in enumerate(values):
        peer.device.set_int32(3, 10 + 2 * k, v)
    got = master.get_multi_int32(3, "DT10", 11)
    assert type(got) is list and got == values
    assert all(type(v) is int for v in got)
    # One transfer, and "D20" reads the same value as element 5.
    assert len(peer.requests) == 1
    assert master.get_int32(3, "D20") == got[5]


def test_set_multi_uint32_equals_three_single_writes(bus):
    master, peer = bus()
    master.set_multi_uint32(1, "DT0", [200, 1000, 4294967295])
    multi = dict(peer.device.registers)
    assert len(peer.requests) == 1
    peer.device.registers.clear()
    for k, v in enumerate([200, 1000, 4294967295]):
        master.set_uint32(1, "DT%d" % (2 * k), v)
    assert peer.device.registers == multi


def test_set_multi_uint32_takes_any_iterable(bus):
    master, peer = bus()
    master.set_multi_uint32(1, "DT100", (v for v in (1, 2)))
    assert [peer.device.int32(1, 100), peer.device.int32(1, 102)] == [1, 2]


@pytest.mark.parametrize("address, key", [("R10", (b"R", 10)), ("X4", (b"X", 4)), ("Y1", (b"Y", 1))])
def test_get_coil_returns_bool(bus, address, key):
    master, peer = bus()
    assert master.get_coil(1, address) is False
    peer.device.coils[(1,) + key] = True
    assert master.get_coil(1, address) is True


@pytest.mark.parametrize("value, expected", [(True, True), (False, False), (1, True), (0, False),
                                             ("x", True), ("", False), ([], False), (None, False)])
def test_set_coil_takes_truth_value(bus, value, expected):
    master, peer = bus()
    peer.device.coils[(4, b"Y", 2)] = not expected
    master.set_coil(4, "Y2", value)
    assert peer.device.coils[(4, b"Y", 2)] is expected


def test_coil_words(bus):
    master, peer = bus()
    master.set_coil_uint16(1, "WR1", 0x8001)
    assert [peer.device.coil(1, b"R", n) for n in (15, 16, 17, 30, 31, 32)] == [False, True, False, False, True, False]
    assert master.get_coil_uint16(1, "WR1") == 0x8001
    peer.device.coils[(1, b"X", 0)] = True
    peer.device.coils[(1, b"X", 4)] = True
    assert master.get_coil_uint16(1, "WX0") == 0x11
    master.set_coil_uint16(1, "WY0", 0xFFFF)
    assert master.get_coil_uint16(1, "WY0") == 0xFFFF
    assert master.get_coil(1, "Y15") is True


@pytest.mark.parametrize(
    "call, exception",
    [
        (lambda m: m.get_int32(0, "DT10"), ValueError),
        (lambda m: m.get_int32(100, "DT10"), ValueError),
        (lambda m: m.get_int32(10**30, "DT10"), ValueError),
        (lambda m: m.get_int32(1, "DT9999"), ValueError),  # the pair runs past 9999
        (lambda m: m.get_int32(1, "R1"), ValueError),
        (lambda m: m.get_int32(1, "dt10"), ValueError),
        (lambda m: m.get_int32(1, "DT"), ValueError),
        (lambda m: m.get_int32(1, "DT10x"), ValueError),
        (lambda m: m.set_int32(1, "DT6", 2**31), OverflowError),
        (lambda m: m.set_int32(1, "DT6", -(2**31) - 1), OverflowError),
        (lambda m: m.set_int32(1, "DT6", 2**100), OverflowError),
        (lambda m: m.set_uint32(1, "DT0", -1), OverflowError),
        (lambda m: m.set_uint32(1, "DT0", 2**32), OverflowError),
        (lambda m: m.set_uint32(1, "DT0", 1.5), TypeError),
        (lambda m: m.get_multi_int32(1, "DT10", 0), ValueError),
        (lambda m: m.get_multi_int32(1, "DT10", 17), ValueError),
        (lambda m: m.get_multi_int32(1, "DT9990", 6), ValueError),
        (lambda m: m.set_multi_uint32(1, "DT0", []), ValueError),
        (lambda m: m.set_multi_uint32(1, "DT0", [1] * 17), ValueError),
        (lambda m: m.set_multi_uint32(1, "DT0", iter(int, 1)), ValueError),  # endless
        (lambda m: m.set_multi_uint32(1, "DT0", [1, -1]), OverflowError),
        (lambda m: m.set_multi_uint32(1, "DT0", [2**32]), OverflowError),
        (lambda m: m.get_coil(1, "DT0"), ValueError),
        (lambda m: m.get_coil(1, "R10000"), ValueError),
        (lambda m: m.get_coil(1, "WR0"), ValueError),
        (lambda m: m.set_coil(1, "X1", True), ValueError),  # inputs are read-only
        (lambda m: m.get_coil_uint16(1, "R0"), ValueError),
        (lambda m: m.get_coil_uint16(1, "WR625"), ValueError),
        (lambda m: m.set_coil_uint16(1, "WX0", 1), ValueError),
        (lambda m: m.set_coil_uint16(1, "WY0", 0x10000), OverflowError),
        (lambda m: m.set_coil_uint16(1, "WY0", -1), OverflowError),
        (lambda m: m.get_int32(1, 10), TypeError),
        (lambda m: m.get_int32("1", "DT10"), TypeError),
    ],
)
def test_bad_arguments_are_refused_before_sending(bus, call, exception):
    master, peer = bus()
    with pytest.raises(exception):
        call(master)
    assert master.stats["bytes_sent"] == 0
    # The line is untouched and still usable.
    assert master.get_int32(1, "DT10") == 0
    assert len(peer.requests) == 1


# (operation, positional arguments after self): good calls and refused ones.
CALL_FORMS = [
    ("get_int32", (1, "DT10")),
    ("set_int32", (1, "DT6", -5)),
    ("set_uint32", (1, "DT0", 2**32 - 1)),
    ("get_multi_int32", (1, "DT10", 3)),
    ("set_multi_uint32", (1, "DT0", [1, 2])),
    ("set_multi_uint32", (1, "DT0", (3,))),
    ("get_coil", (1, "Y1")),
    ("set_coil", (1, "Y2", [])),
    ("get_coil_uint16", (1, "WR0")),
    ("set_coil_uint16", (1, "WY0", 5)),
    ("get_int32", (0, "DT10")),
    ("get_int32", (10**30, "DT10")),
    ("get_int32", (1, "\ud800")),  # not encodable
    ("get_int32", (1, b"DT10")),
    ("set_uint32", (1, "DT0", -1)),
    ("set_uint32", (1, "DT0", 1.5)),
    ("get_multi_int32", (1, "DT10", 17)),
    ("set_multi_uint32", (1, "DT0", [1] * 17)),
    ("set_multi_uint32", (1, "DT0", [1, -1])),
    ("set_coil", (1, "X1", True)),
]


def _outcome(call):
    try:
        return "returned", call()
    except Exception as e:  # the comparison is the test
        # pybind11 ends a refusal with the call as written, which differs by design.
        return "raised", type(e), str(e).split("\n\nInvoked with:")[0]


@pytest.mark.parametrize("name, args", CALL_FORMS)
def test_positional_and_keyword_calls_agree(bus, name, args):
    """Plain positional calls take a shorter way in than keyword calls: both give the
    same results, errors and requests."""
    master, peer = bus()
    method = getattr(master, name)
    # pybind11 writes the signature as the docstring's first line.
    params = re.findall(r"(\w+):", method.__doc__.splitlines()[0])[1:]
    def requests():  # without the tag, which changes from request to request
        return [(r.station, r.command, r.body) for r in peer.requests]

    positional = _outcome(lambda: method(*args))
    sent = requests()
    assert _outcome(lambda: method(**dict(zip(params, args)))) == positional
    assert requests()[len(sent):] == sent
    unbound = getattr(zol_mew.MewMaster, name)
    for self in (object(), zol_mew.MewMaster.__new__(zol_mew.MewMaster)):
        assert _outcome(lambda: unbound(self, *args)) == _outcome(
            lambda: unbound(self, **dict(zip(params, args))))


def test_error_messages_name_station_and_address(bus):
    master, _ = bus()
    with pytest.raises(ValueError, match=r"station 0"):
        master.get_int32(0, "DT10")
    with pytest.raises(ValueError, match=r"'Q7'"):
        master.get_coil(1, "Q7")
    with pytest.raises(OverflowError, match=r"set_uint32: .*-5"):
        master.set_uint32(1, "DT0", -5)


DOC = pathlib.Path(__file__).resolve().parents[2] / "docs" / "protocol.md"

# The first documented exchanges, in the order (and so with the tags) that a
# fresh master produces them.
TRANSCRIPT = [
    (lambda m: m.get_int32(1, "DT10"), 4660),
    (lambda m: m.get_int32(1, "D20"), 261),
    (lambda m: m.set_multi_uint32(2, "DT0", [200, 1000, 0]), None),
    (lambda m: m.get_coil(1, "X4"), True),
    (lambda m: m.set_coil(1, "R1", True), None),
    (lambda m: m.get_coil_uint16(3, "WY0"), 6),
    (lambda m: m.set_coil_uint16(3, "WR1", 0x8001), None),
]


def test_documented_transcript_byte_for_byte(bus):
    frames = re.findall(r"^(->|<-) (\S+)", DOC.read_text(encoding="utf-8"), re.M)
    exchanges = list(zip(frames[0::2], frames[1::2]))[: len(TRANSCRIPT)]
    assert all(a[0] == "->" and b[0] == "<-" for a, b in exchanges)
    answers = {a[1].encode() + b"\r": b[1].encode() + b"\r" for a, b in exchanges}

    master, peer = bus(lambda req: answers.get(req.raw))
    for call, expected in TRANSCRIPT:
        assert call(master) == expected
    assert [r.raw for r in peer.requests] == [a[1].encode() + b"\r" for a, _ in exchanges]


def test_stats_count_traffic(bus):
    master, peer = bus()
    master.set_int32(1, "DT8", -5)
    master.get_int32(1, "DT8")
    stats = master.stats
    assert stats["transactions"] == 2 and stats["retries"] == 0 and stats["errors"] == 0
    assert stats["bytes_sent"] == len(peer.received)
    replies = mew_peer.frame(ord(">"), 1, b"WD", b"a") + mew_peer.frame(ord(">"), 1, b"RD", b"b", b"FFFBFFFF")
    assert stats["bytes_received"] == len(replies)
