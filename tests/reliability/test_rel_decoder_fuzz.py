"""Random and mutated input for the frame decoder, as a receiver feeds it.

The decoder is driven through zol_mew's codec binding exactly as the master and
the simulator drive it: append what arrived, take results until it needs more.
"""

import itertools

from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from zol_mew import _codec

MAX = _codec.MAX_FRAME_LENGTH
STARTS = (ord("@"), ord(">"))

FUZZ = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def receive(data, chunk_sizes):
    """Feeds `data` in chunks; returns (outcomes, rest). Checks the decoder's contract."""
    outcomes = []
    pending = b""
    sizes = itertools.cycle(chunk_sizes)
    pos = 0
    while pos < len(data):
        n = next(sizes)
        pending += data[pos : pos + n]
        pos += n
        while True:
            status, consumed, frame = _codec.decode(pending)
            assert 0 <= consumed <= len(pending)
            if status == "need_more":
                assert consumed == 0
                assert pending == b"" or pending[0] in STARTS
                assert b"\r" not in pending
                break
            assert consumed > 0, (status, pending)
            taken = pending[:consumed]
            if status == "skipped_garbage":
                assert not any(b in STARTS for b in taken[1:]), taken
                if outcomes and outcomes[-1][0] == status:
                    # noise is cut where it happened to end: one run, one outcome
                    outcomes[-1] = (status, outcomes[-1][1] + taken, None)
                else:
                    outcomes.append((status, taken, None))
            else:
                assert taken[0] in STARTS and taken.endswith(b"\r"), (status, taken)
                if status == "frame":
                    assert len(taken) >= 9 and 1 <= frame["station"] <= 99
                    assert "a" <= frame["tag"] <= "z"
                outcomes.append((status, taken, frame))
            pending = pending[consumed:]
        # Anything without a frame end is given up within one frame length.
        assert len(pending) < MAX
    return outcomes, pending


def frames_of(outcomes):
    return [(o[1], o[2]) for o in outcomes if o[0] == "frame"]


# Bytes biased towards what the protocol is made of, so that near-frames happen.
wire_bytes = st.lists(
    st.one_of(
        st.integers(0, 255),
        st.sampled_from(b"@>\r0123456789ABCDEFRDWCWX!abcz"),
    ),
    max_size=1200,
).map(bytes)
chunkings = st.lists(st.integers(1, 300), min_size=1, max_size=8)


@FUZZ
@given(data=wire_bytes, chunks=chunkings)
@example(data=b"@" + b"1" * 5000, chunks=[7])
@example(data=b"\x00" * 3000 + b">01RDa123400004C\r", chunks=[1])
def test_random_input_is_bounded_and_independent_of_chunking(data, chunks):
    whole, rest_whole = receive(data, [len(data) + 1])
    chunked, rest_chunked = receive(data, chunks)
    assert chunked == whole
    assert rest_chunked == rest_whole


commands = st.sampled_from(["RD", "WD", "RC", "WC", "RW", "WW"])
tags = st.sampled_from("abcdefghijklmnopqrstuvwxyz")
hex_data = st.text("0123456789ABCDEF", max_size=128)
# Noise that holds no start character, so it cannot hide the frames after it.
noise = st.binary(max_size=200).map(lambda b: bytes(c for c in b if c not in STARTS))


@st.composite
def replies(draw):
    station = draw(st.integers(1, 99))
    command, tag = draw(commands), draw(tags)
    if draw(st.booleans()):
        raw = _codec.encode_error_reply(station, command, tag, draw(st.integers(1, 99)))
    else:
        raw = _codec.encode_reply(station, command, tag, draw(hex_data))
    return raw


@FUZZ
@given(parts=st.lists(st.tuples(noise, replies()), max_size=12), chunks=chunkings)
def test_every_frame_survives_the_noise_around_it(parts, chunks):
    data = b"".join(n + r for n, r in parts)
    outcomes, rest = receive(data, chunks)
    assert [raw for raw, _ in frames_of(outcomes)] == [r for _, r in parts]
    assert rest == b""
    assert not any(o[0] in ("bad_checksum", "malformed") for o in outcomes)


@FUZZ
@given(reply=replies(), where=st.integers(0, 10_000), flip=st.integers(1, 255))
def test_one_damaged_byte_never_yields_the_original_frame(reply, where, flip):
    damaged = bytearray(reply)
    where %= len(damaged)
    damaged[where] ^= flip
    original = frames_of(receive(reply, [len(reply)])[0])
    assert len(original) == 1
    outcomes, _ = receive(bytes(damaged) + b"\r", [len(damaged) + 1])
    assert original[0][1] not in [f for _, f in frames_of(outcomes)]


@FUZZ
@given(
    station=st.integers(1, 99),
    tag=tags,
    command=st.sampled_from(["RD", "WD", "RC", "WC", "RW", "WW", "ZZ"]),
    body=st.text("0123456789ABCDEFRXY", max_size=140),
)
def test_request_parser_round_trips_what_it_accepts(station, tag, command, body):
    error, request = _codec.parse_request(station, command, tag, body)
    assert 0 <= error <= 6
    if error == 0:
        raw = _codec.encode_request(
            station,
            tag,
            request["command"],
            request["device"],
            request["number"],
            request["count"],
            request["words"],
            request["coil"],
        )
        assert raw.decode()[6:-3] == body
    else:
        assert request is None


@FUZZ
@given(text=st.text(max_size=12) | st.text("DTWRXY0123456789", max_size=9))
def test_address_parser_gives_a_reason_or_a_canonical_address(text):
    parsed = _codec.parse_address(text)
    if isinstance(parsed, str):
        assert parsed  # the reason for refusing it
    else:
        kind, device, number = parsed
        assert device in "DRXY" and number >= 0
        limit = {"data": 9999, "coil": 9999, "word": 624}[kind]
        assert number <= limit
