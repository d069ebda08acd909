"""Checks that the plain-Python peer behaves as the extension does on the measured calls.

Each case runs on a fresh controller of either implementation over a recording master
with the same scripted answers; the results (value and type, or exception type and
message) and the master calls must be the same. bench_controller.py runs the check before
it measures, tests/test_bench_peer.py runs each case as a test.
"""
import math
import sys

import zol_kov

import python_peer

BLOCK = [1000, -2050, 300, (1 << 17) | 5, 99, 0x0105, 7, 8, 9, 10, 11]


class RecordingMaster:
    """Answers each operation from `answers` (a value, or an exception to raise) and
    records every call."""

    def __init__(self, answers):
        self.answers = answers
        self.calls = []

    def _answer(self, op, *args):
        self.calls.append((op,) + args)
        answer = self.answers.get(op)
        if isinstance(answer, BaseException):
            # A fresh one: the scripted instance would keep this call's frames alive.
            raise type(answer)(*answer.args)
        return answer

    def get_coil(self, station, address):
        return self._answer("get_coil", station, address)

    def close(self):  # the extension's finaliser closes its master; not a measured call
        return None

    def get_int32(self, station, address):
        return self._answer("get_int32", station, address)

    def get_multi_int32(self, station, address, count):
        return self._answer("get_multi_int32", station, address, count)


class Case:
    def __init__(self, name, call, answers=None, ppmm=None, overrides=None, patch=None):
        self.name = name
        self.call = call  # controller -> result
        self.answers = answers or {}
        self.ppmm = ppmm or {}
        self.overrides = overrides or {}  # methods of a subclass
        self.patch = patch or {}  # module globals replaced during the call


def _mm(self, station, value):
    return ("mm", station, value)


def _scale(self, station):
    return 10 * station


def _with(controller, name, value):
    setattr(controller, name, value)
    return controller


CASES = [
    Case("is_running(1)", lambda c: c.is_running(1), {"get_coil": True}),
    Case("is_running(2, [])", lambda c: c.is_running(2, []), {"get_coil": "answer"}),
    Case("is_running(1, words)", lambda c: c.is_running(1, list(BLOCK[:5]))),
    Case("is_running off", lambda c: c.is_running(1, [0, 0, 0, 2, 0])),
    Case("is_running, all bits", lambda c: c.is_running(1, status_words=[0, 0, 0, -1])),
    Case("is_running, wide image", lambda c: c.is_running(1, [0, 0, 0, (1 << 100) | (1 << 17)])),
    Case("is_running, float image", lambda c: c.is_running(1, [0, 0, 0, 2.5])),
    Case("is_running, three words", lambda c: c.is_running(1, [0, 0, 0])),
    Case("is_running, tuple", lambda c: c.is_running(1, (0, 0, 0, 0))),
    Case("is_running, bool station", lambda c: c.is_running(True, ())),
    Case("is_running, failing master", lambda c: c.is_running(1), {"get_coil": OSError("bus")}),
    Case("get_position(3)", lambda c: c.get_position(3), {"get_int32": -1234}, {3: 100}),
    Case("get_position from words", lambda c: c.get_position(3, [2.5, 0, 0, 0, 0])),
    Case("get_position, str pulses", lambda c: c.get_position(1), {"get_int32": "x"}),
    Case("get_position, override", lambda c: c.get_position(4), {"get_int32": 7},
         overrides={"from_pulse": _mm}),
    Case("status_words(1)", lambda c: c.status_words(1), {"get_multi_int32": BLOCK}, {1: 100}),
    Case("status_words, override", lambda c: c.status_words(2), {"get_multi_int32": BLOCK},
         overrides={"from_pulse": _mm}),
    Case("status_words, short block", lambda c: c.status_words(1),
         {"get_multi_int32": [0, 0, 0, 0, 0]}),
    Case("status_words, float code", lambda c: c.status_words(1),
         {"get_multi_int32": [0, 0, 0, 0, 0, 7.0]}),
    Case("status_words, str station", lambda c: c.status_words("1")),
    Case("get_stop_source(6)", lambda c: c.get_stop_source(6), {"get_int32": 2}),
    Case("get_stop_source, 261", lambda c: c.get_stop_source(1), {"get_int32": 261}),
    Case("get_stop_source, None", lambda c: c.get_stop_source(1), {"get_int32": None}),
    Case("get_stop_source, replaced global", lambda c: c.get_stop_source(1), {"get_int32": 3},
         patch={"StopSource": lambda value: ("stop source", value)}),
    Case("to_pulse(4, 0.29)", lambda c: c.to_pulse(4, 0.29), ppmm={4: 100}),
    Case("to_pulse, negative", lambda c: c.to_pulse(4, -1.7), ppmm={4: 100}),
    Case("to_pulse, int value", lambda c: c.to_pulse(1, 3)),
    Case("to_pulse, huge", lambda c: c.to_pulse(1, 1e20)),
    Case("to_pulse, infinite", lambda c: c.to_pulse(1, math.inf)),
    Case("to_pulse, NaN", lambda c: c.to_pulse(1, math.nan)),
    Case("to_pulse, str value", lambda c: c.to_pulse(1, "1.5")),
    Case("to_pulse, str value and bool station", lambda c: c.to_pulse(True, "1.5")),
    Case("to_pulse, bool station", lambda c: c.to_pulse(True, 1.5)),
    Case("to_pulse, override", lambda c: c.to_pulse(3, 1.5), overrides={"ppmm": _scale}),
    Case("to_pulse, instance attribute", lambda c: _with(c, "ppmm", lambda s: 8).to_pulse(1, 1.5)),
    Case("from_pulse, replaced table", lambda c: _with(c, "_ppmm", {2: 8}).from_pulse(2, 4)),
    Case("from_pulse(2, 150)", lambda c: c.from_pulse(2, 150), ppmm={2: 100}),
    Case("from_pulse, str value", lambda c: c.from_pulse(2, "8"), ppmm={2: 4}),
    Case("ppmm default", lambda c: c.ppmm(7)),
    Case("ppmm, float station", lambda c: c.ppmm(1.0)),
]


def outcome(module, cls, case):
    """What the case gives on `cls` (a controller class of `module`): the result and the
    master calls."""
    if case.overrides:
        cls = type("Sub", (cls,), dict(case.overrides))
    master = RecordingMaster(case.answers)
    controller = cls(master)
    controller._ppmm.update(case.ppmm)
    saved = {name: getattr(module, name) for name in case.patch}
    for name, value in case.patch.items():
        setattr(module, name, value)
    try:
        result = case.call(controller)
        got = ("returned", type(result).__name__, repr(result))
    except Exception as e:  # the exception is the outcome being compared
        got = ("raised", type(e).__name__, str(e))
    finally:
        for name, value in saved.items():
            setattr(module, name, value)
    return got, master.calls


def outcomes(case):
    """The case's outcome on the extension and on the peer."""
    return (outcome(zol_kov, zol_kov.KOVAxisController, case),
            outcome(python_peer, python_peer.KOVAxisController, case))


def mismatches():
    """Names and outcomes of the cases where the two differ."""
    found = []
    for case in CASES:
        extension, peer = outcomes(case)
        if extension != peer:
            found.append((case.name, extension, peer))
    return found


if __name__ == "__main__":
    differ = mismatches()
    for name, extension, peer in differ:
        print("%s:\n  extension %r\n  peer      %r" % (name, extension, peer))
    print("%d of %d cases differ" % (len(differ), len(CASES)))
    sys.exit(1 if differ else 0)
