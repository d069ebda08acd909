"""Stand-in masters and random Python objects for the zol_kov reliability tests."""

import decimal
import fractions
import threading

from hypothesis import strategies as st


class RecordingMaster:
    """Answers like an idle, healthy axis and records every call (op, *args)."""

    def __init__(self):
        self.calls = []
        self._lock = threading.Lock()

    def _record(self, *call):
        with self._lock:
            self.calls.append(call)

    def close(self):
        self._record("close")

    def get_int32(self, station, address):
        self._record("get_int32", station, address)
        return 0

    def get_multi_int32(self, station, address, count):
        self._record("get_multi_int32", station, address, count)
        return [0] * count

    def get_coil(self, station, address):
        self._record("get_coil", station, address)
        return address == "X3"  # emergency input: on while healthy

    def get_coil_uint16(self, station, address):
        self._record("get_coil_uint16", station, address)
        return 0

    def __getattr__(self, op):
        if not op.startswith("set_"):
            raise AttributeError(op)
        return lambda *args: self._record(op, *args)


class QuietMaster:
    """The cheapest master there is: fixed answers, nothing kept (for leak runs)."""

    def close(self):
        pass

    def get_int32(self, station, address):
        return 0 if address == "D20" else 1234  # D20: the stop source, Null

    def get_multi_int32(self, station, address, count):
        return [1234, 1234, 0, 0x00040008, 0] + [0] * (count - 5)

    def get_coil(self, station, address):
        return False

    def get_coil_uint16(self, station, address):
        return 0

    def set_int32(self, station, address, value):
        pass

    set_uint32 = set_multi_uint32 = set_coil = set_coil_uint16 = set_int32


class IntSub(int):
    pass


class FloatSub(float):
    pass


class ListSub(list):
    pass


def odd_objects(kov):
    """Objects of every kind a caller might pass by mistake."""
    return st.sampled_from(
        [
            object(),
            complex(1, 2),
            decimal.Decimal("1.5"),
            decimal.Decimal("NaN"),
            fractions.Fraction(1, 3),
            IntSub(2),
            FloatSub(2.5),
            ListSub([0, 0, 0, 0, 0]),
            kov.Direction.Negative,
            kov.Direction.Positive,
            kov.StopSource.Origin,
            kov.FindingOMethod.OriginOnly,
            b"R1",
            bytearray(b"1"),
            (0, 0, 0, 0, 0),
            {"a": 1},
            {1, 2},
            range(3),
            Ellipsis,
            type,
            len,
        ]
    )


def any_object(kov):
    return st.one_of(
        st.integers(-3, 100),
        st.integers(-(2**80), 2**80),
        st.floats(allow_nan=True, allow_infinity=True),
        st.floats(-1e3, 1e3),
        st.booleans(),
        st.none(),
        st.text(max_size=6),
        st.sampled_from(["DT10", "D20", "R1", "X4", "Y2", "WR0", "WX0", "WY1", "Z9", "", "R99999"]),
        st.lists(st.integers(-(2**40), 2**40) | st.floats() | st.text(max_size=2), max_size=12),
        odd_objects(kov),
    )
