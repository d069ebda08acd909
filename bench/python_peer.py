"""A plain-Python peer of the controller calls that bench_controller.py measures.

A measuring stick, not a product: `KOVAxisController` here does in plain Python what
zol_kov's controller does for `ppmm`, `to_pulse`, `from_pulse`, `status_words`,
`get_position`, `is_running` and `get_stop_source`, with the same per-call lookups
(the master, `from_pulse`, `ppmm` and `_ppmm` through the instance, `StopSource` in this
module's globals) and the same argument tests (an exact int station, an exact list or
None for the status words, the interpreter's float conversion before the station test),
so that "x times faster than plain Python" compares like with like. It takes a ready
master object only, writes no log lines and has none of the other operations.
peer_check.py checks it against the extension before every measurement.

Importing it imports zol_kov (for its enumerations), which makes `log/` in the current
directory.
"""
import math

from zol_kov import FindingOMethod, StopSource

_ARGTYPE = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"

# math.ldexp(x, 0) is x after the float conversion that C code gets from PyFloat_AsDouble:
# ints and objects with __float__ or __index__ accepted, strings refused (float() would
# parse them). The extension's float parameters convert that way.
_as_float = math.ldexp


def _wrong_type(name, expected, value):
    return TypeError(_ARGTYPE % (name, expected, type(value).__name__))


class KOVAxisController:
    def __init__(self, port, baudrate=115200):
        # The same instance attributes, in the same order, as the extension's controller.
        self.__mew = port
        self.baudrate = baudrate
        self._ppmm = {}
        self._find_o_threads = {}
        self._finding_o_method = FindingOMethod.LimitFirstThenBackward

    def ppmm(self, station):
        if type(station) is not int:
            raise _wrong_type("station", "int", station)
        return self._ppmm.get(station, 1)

    def to_pulse(self, station, value):
        value = _as_float(value, 0)
        if type(station) is not int:
            raise _wrong_type("station", "int", station)
        return int(value * self.ppmm(station))

    def from_pulse(self, station, value):
        if type(station) is not int:
            raise _wrong_type("station", "int", station)
        return value / self.ppmm(station)

    def status_words(self, station):
        if type(station) is not int:
            raise _wrong_type("station", "int", station)
        data = self.__mew.get_multi_int32(station, "DT10", 11)
        words = [0, 0, 0, 0, 0]
        words[0] = self.from_pulse(station, data[0])
        words[1] = self.from_pulse(station, data[1])
        words[2] = self.from_pulse(station, data[2])
        words[3] = data[3]
        words[4] = data[5] & 255
        return words

    def get_position(self, station, status_words=None):
        if type(station) is not int:
            raise _wrong_type("station", "int", station)
        if status_words is not None and type(status_words) is not list:
            raise _wrong_type("status_words", "list", status_words)
        if not status_words:
            pulses = self.__mew.get_int32(station, "DT10")
            return self.from_pulse(station, pulses)
        return status_words[0]

    def is_running(self, station, status_words=None):
        if type(station) is not int:
            raise _wrong_type("station", "int", station)
        if status_words is not None and type(status_words) is not list:
            raise _wrong_type("status_words", "list", status_words)
        if not status_words:
            return self.__mew.get_coil(station, "Y1")
        return (status_words[3] >> 16) & 2 != 0

    def get_stop_source(self, station):
        if type(station) is not int:
            raise _wrong_type("station", "int", station)
        value = self.__mew.get_int32(station, "D20")
        return StopSource(value)
