"""The frame codec (through zol_mew._codec) against the documentation and a
second, independent Python reading of the protocol (mew_peer)."""

import pathlib
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zol_mew import _codec as codec

import mew_peer

DOC = pathlib.Path(__file__).resolve().parents[2] / "docs" / "protocol.md"


def documented_exchanges():
    """(request bytes, reply bytes) pairs from the ```frames blocks of the docs."""
    blocks = re.findall(r"^```frames\n(.*?)^```", DOC.read_text(encoding="utf-8"), re.M | re.S)
    pairs, request = [], None
    for block in blocks:
        for line in block.splitlines():
            direction, wire = line[:3], line[3:].split()[0].encode() + b"\r"
            if direction == "-> ":
                request = wire
            else:
                assert direction == "<- ", line
                pairs.append((request, wire))
    return pairs


EXCHANGES = documented_exchanges()


def decode_stream(data):
    """All outcomes of decoding `data` front to back, as a receiver would."""
    out = []
    while True:
        status, consumed, frame = codec.decode(data)
        if status == "need_more":
            assert consumed == 0
            return out, data
        assert 0 < consumed <= len(data)
        out.append((status, data[:consumed], frame))
        data = data[consumed:]


def frames_in(data):
    return [raw for status, raw, _ in decode_stream(data)[0] if status == "frame"]


def test_docs_hold_enough_examples():
    assert len(EXCHANGES) >= 10
    commands = {req[3:5] for req, _ in EXCHANGES}
    assert {b"RD", b"WD", b"RC", b"WC", b"RW", b"WW"} <= commands


@pytest.mark.parametrize("request_bytes, reply_bytes", EXCHANGES, ids=[r.decode().strip() for r, _ in EXCHANGES])
def test_documented_exchange_is_what_the_codec_builds(request_bytes, reply_bytes):
    status, consumed, req = codec.decode(request_bytes)
    assert consumed == len(request_bytes)
    rstatus, rconsumed, rep = codec.decode(reply_bytes)
    assert (rstatus, rconsumed) == ("frame", len(reply_bytes))
    assert rep["kind"] == "reply"
    assert (rep["station"], rep["command"], rep["tag"]) == (req["station"], req["command"], req["tag"])
    # The independent Python checksum agrees with the documented one.
    assert mew_peer.checksum(reply_bytes[:-3]) == reply_bytes[-3:-1]

    if rep["error_code"] == 1:
        # A checksum error reply answers a request that arrived corrupted.
        assert status == "bad_checksum"
        assert mew_peer.checksum(request_bytes[:-3]) != request_bytes[-3:-1]
    else:
        assert status == "frame"
        assert mew_peer.checksum(request_bytes[:-3]) == request_bytes[-3:-1]
        error, parsed = codec.parse_request(req["station"], req["command"], req["tag"], req["body"])
        assert error == rep["error_code"]
        if error == 0:
            rebuilt = codec.encode_request(
                req["station"], req["tag"], parsed["command"], parsed["device"], parsed["number"],
                parsed["count"], parsed["words"], parsed["coil"])
            assert rebuilt == request_bytes
    if rep["error_code"]:
        built = codec.encode_error_reply(req["station"], req["command"], req["tag"], rep["error_code"])
    else:
        built = codec.encode_reply(req["station"], req["command"], req["tag"], rep["body"])
    assert built == reply_bytes


ROUND_TRIPS = [
    ("RD", "D", 10, 2, [], False),
    ("RD", "D", 9968, 32, [], False),
    ("WD", "D", 0, 32, list(range(0, 65536, 2048)), False),
    ("WD", "D", 9998, 2, [0xFFFF, 0], False),
    ("RC", "X", 9999, 0, [], False),
    ("WC", "Y", 2, 0, [], True),
    ("WC", "R", 0, 0, [], False),
    ("RW", "R", 624, 0, [], False),
    ("WW", "Y", 0, 0, [0x8001], False),
]


@pytest.mark.parametrize("command, device, number, count, words, coil", ROUND_TRIPS)
def test_request_round_trip(command, device, number, count, words, coil):
    wire = codec.encode_request(37, "q", command, device, number, count, words, coil)
    assert len(wire) <= codec.MAX_FRAME_LENGTH
    status, consumed, frame = codec.decode(wire)
    assert (status, consumed) == ("frame", len(wire))
    assert (frame["kind"], frame["station"], frame["command"], frame["tag"]) == ("request", 37, command, "q")
    error, parsed = codec.parse_request(37, command, "q", frame["body"])
    assert error == 0
    assert (parsed["device"], parsed["number"], parsed["words"], parsed["coil"]) == (device, number, words, coil)
    # The independent reading of the protocol sees the same request.
    req = mew_peer.Request(wire)
    assert (req.station, req.command, req.tag, req.checksum_ok) == (37, command.encode(), b"q", True)


@pytest.mark.parametrize(
    "args",
    [
        (0, "a", "RD", "D", 0, 1),
        (100, "a", "RD", "D", 0, 1),
        (1, "A", "RD", "D", 0, 1),
        (1, "a", "RD", "D", 9999, 2),
        (1, "a", "RD", "D", 0, 33),
        (1, "a", "RD", "D", 0, 0),
        (1, "a", "RC", "D", 0, 0),
        (1, "a", "RC", "R", 10000, 0),
        (1, "a", "RW", "Y", 625, 0),
    ],
)
def test_encoder_refuses_what_it_cannot_carry(args):
    with pytest.raises(ValueError):
        codec.encode_request(*args)


FIRST = mew_peer.frame(ord(">"), 5, b"RD", b"q", b"00FF00EE")
SECOND = mew_peer.frame(ord(">"), 6, b"WD", b"r", b"!01")
TWO = FIRST + SECOND


def test_whole_stream_gives_both_frames():
    assert frames_in(TWO) == [FIRST, SECOND]


@pytest.mark.parametrize("piece", [1, 2, 3, 5, 7, 17, 100])
def test_fed_in_pieces(piece):
    got, pending = [], b""
    for i in range(0, len(TWO), piece):
        pending += TWO[i : i + piece]
        outcomes, pending = decode_stream(pending)
        got += [raw for status, raw, _ in outcomes if status == "frame"]
    assert got == [FIRST, SECOND]
    assert pending == b""


@pytest.mark.parametrize("split", range(1, len(FIRST)))
def test_split_at_every_point(split):
    head, tail = TWO[:split], TWO[split:]
    outcomes, pending = decode_stream(head)
    assert outcomes == [] and pending == head
    assert frames_in(pending + tail) == [FIRST, SECOND]


@pytest.mark.parametrize(
    "before, between, after",
    [
        (b"\n", b"\n", b"\n"),
        (b"\x00\xff junk", b"\r\r", b"trailing"),
        (b"@01", b"xx", b"@"),  # a cut-off frame before, a stray start after
        (b">" + b"7" * 500, b"", b""),  # an over-long line without terminator
    ],
)
def test_garbage_around_frames(before, between, after):
    data = before + FIRST + between + SECOND + after
    assert frames_in(data) == [FIRST, SECOND]


def test_bad_checksum_is_reported_with_header():
    good = mew_peer.frame(ord("@"), 3, b"RD", b"k", b"000101")
    bad = good[:-3] + (b"0" if good[-3:-2] != b"0" else b"1") + good[-2:]
    status, consumed, frame = codec.decode(bad)
    assert (status, consumed) == ("bad_checksum", len(bad))
    assert (frame["station"], frame["command"], frame["tag"]) == (3, "RD", "k")
    # The decoder moves on to the next frame after it.
    assert frames_in(bad + good) == [good]


@pytest.mark.parametrize(
    "line",
    [b"@01RD\r", b"@00RDa00100247\r", b"@01RDa001002zz\r", b"@01rda0010020F\r", b">01RDa!XX4C\r",
     # Error code 00 is none: as a plain reply it would tell a write it succeeded.
     mew_peer.frame(ord(">"), 1, b"WC", b"a", b"!00")],
)
def test_malformed_lines_are_no_frames(line):
    outcomes, _ = decode_stream(line)
    assert outcomes and all(status != "frame" for status, _, _ in outcomes)


def test_overlong_input_is_discarded_in_bounded_steps():
    flood = b"@" + b"1" * 10000
    outcomes, pending = decode_stream(flood)
    assert pending == b"" and all(status == "skipped_garbage" for status, _, _ in outcomes)
    status, consumed, _ = codec.decode(b"@" + b"1" * (codec.MAX_FRAME_LENGTH - 2))
    assert (status, consumed) == ("need_more", 0)


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=400))
def test_decoder_survives_any_bytes(data):
    outcomes, pending = decode_stream(data)
    assert sum(len(raw) for _, raw, _ in outcomes) + len(pending) == len(data)
    for status, raw, _ in outcomes:
        if status == "frame":
            assert mew_peer.checksum(raw[:-3]) == raw[-3:-1]


@settings(max_examples=200, deadline=None)
@given(
    st.integers(1, 99),
    st.sampled_from("abcdefghijklmnopqrstuvwxyz"),
    st.integers(0, 9968),
    st.lists(st.integers(0, 0xFFFF), min_size=1, max_size=32),
)
def test_register_write_round_trip(station, tag, number, words):
    wire = codec.encode_request(station, tag, "WD", "D", number, len(words), words)
    status, _, frame = codec.decode(wire)
    assert status == "frame"
    assert codec.parse_request(station, "WD", tag, frame["body"])[1]["words"] == words
    expected = mew_peer.frame(ord("@"), station, b"WD", tag.encode(),
                              b"%04d%02d" % (number, len(words)) + b"".join(b"%04X" % w for w in words))
    assert wire == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("DT0", ("data", "D", 0)),
        ("D20", ("data", "D", 20)),
        ("DT9999", ("data", "D", 9999)),
        ("R1", ("coil", "R", 1)),
        ("X4", ("coil", "X", 4)),
        ("Y2", ("coil", "Y", 2)),
        ("WR0", ("word", "R", 0)),
        ("WX624", ("word", "X", 624)),
        ("WY3", ("word", "Y", 3)),
    ],
)
def test_addresses(text, expected):
    assert codec.parse_address(text) == expected


@pytest.mark.parametrize("text", ["", "DT", "dt10", "DT-1", "DT10000", "DT 1", "Q1", "WR625", "R1.5", "DT1a", "WD1"])
def test_bad_addresses(text):
    assert isinstance(codec.parse_address(text), str)
