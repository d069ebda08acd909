"""What the controller remembers between calls never outlives what it was taken from.

The controller keeps lookups of methods and attributes (on the controller and on its
master), the stop-source enumeration's members and the per-station table between calls.
Each case warms those up with a few calls, then changes one thing: a class, an instance,
the master, a module global or the enumeration. The next call must see the change,
exactly as plain Python would: the plain-Python peer of bench/ (the same calls with the
same lookups) runs every case too, and both must give the same result and master calls.
Every change is one that alters the result, so a stale fast path cannot pass unnoticed.
"""

import enum
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))
try:
    import peer_check
    import python_peer
finally:
    sys.path.remove(str(BENCH))

import zol_kov  # noqa: E402  (after the peer, which imports it too)

WARM_UP = 20
ANSWERS = {"get_coil": False, "get_int32": 2,
           "get_multi_int32": [100, 200, 300, 1 << 17, 0, 3, 0, 0, 0, 0, 0]}


def seven(*args):
    return 7


def scaled_by_four(self, station):
    return 4


class OtherInt(int):
    """An int with arithmetic of its own: the status bits must ask it."""

    def __rshift__(self, other):
        return OtherInt(2)

    def __and__(self, other):
        return 2


class Side:
    """One implementation in one case: its module, a fresh subclass of its controller (so
    class changes stay within the case) and a fresh master class."""

    def __init__(self, module, methods):
        self.module = module
        self.cls = type("Controller", (module.KOVAxisController,), dict(methods))
        self.master_cls = type("Master", (peer_check.RecordingMaster,), {})
        self.master = self.master_cls(dict(ANSWERS))
        self.controller = self.cls(self.master)
        self.controller._ppmm[1] = 10


def outcome(side, call):
    side.master.calls.clear()
    try:
        result = call(side.controller)
        got = ("returned", type(result).__name__, repr(result))
    except Exception as e:  # the exception is the outcome being compared
        got = ("raised", type(e).__name__, str(e))
    return got, list(side.master.calls)


def replace_module_global(name, value):
    def change(side):
        saved = getattr(side.module, name)
        setattr(side.module, name, value)
        return lambda: setattr(side.module, name, saved)
    return change


def patch_class(target, name, value):
    """Sets `target.name` (a process-wide class such as the enumeration); undone after."""
    def change(side):
        had = name in vars(target)
        saved = vars(target).get(name)
        setattr(target, name, value)

        def undo():
            if had:
                setattr(target, name, saved)
            else:
                delattr(target, name)
        return undo
    return change


def on_side(action):
    """A change confined to the case's own objects: nothing to undo."""
    def change(side):
        action(side)
        return lambda: None
    return change


def patched_value_map(side):
    saved = zol_kov.StopSource._value2member_map_[2]
    zol_kov.StopSource._value2member_map_[2] = "patched member"
    return lambda: zol_kov.StopSource._value2member_map_.__setitem__(2, saved)


def metaclass_call(cls, value, *args, **kwargs):
    return ("through the patched metaclass", value)


def enum_new(cls, value):
    return ("through the patched __new__", value)


def __class__to_subclass(side):
    side.controller.__class__ = type("Other", (side.cls,), {"ppmm": scaled_by_four})


def master_class_changed(side):
    side.master.__class__ = type("OtherMaster", (side.master_cls,), {"get_int32": seven})


def replaced_master(side):
    other = side.master_cls(dict(ANSWERS, get_int32=5, get_coil="other master"))
    side.controller._KOVAxisController__mew = other
    side.master = other


def replaced_instance_dict(side):
    side.controller.__dict__ = dict(side.controller.__dict__, _ppmm={1: 1000})


def store_through_warm_code(side):
    """The interpreter specialises an attribute store after a few runs; the run that makes
    the change goes through that specialised store."""
    code = compile("def put(o, v):\n    o.ppmm = v\n", "warm", "exec")
    namespace = {}
    exec(code, namespace)
    other = side.cls(side.master)
    other.from_pulse(1, 100)
    for _ in range(WARM_UP):
        namespace["put"](other, len)
    namespace["put"](side.controller, lambda station: 8)


def master_answers(**answers):
    return on_side(lambda side: side.master.answers.update(answers))


# name, call, change (side -> undo), and the methods the controller class starts with
CASES = [
    # the controller's own operations, found through the instance
    ("override added to the class", lambda c: c.get_position(1),
     on_side(lambda s: setattr(s.cls, "from_pulse", lambda self, st, v: ("mm", v)))),
    ("override removed", lambda c: c.get_position(1),
     on_side(lambda s: delattr(s.cls, "from_pulse")), {"from_pulse": lambda self, st, v: "mm"}),
    ("instance attribute shadows the method", lambda c: c.to_pulse(1, 1.5),
     on_side(lambda s: setattr(s.controller, "ppmm", lambda station: 8))),
    ("instance attribute stored by warm code", lambda c: c.to_pulse(1, 1.5),
     on_side(store_through_warm_code)),
    ("__class__ set to a subclass", lambda c: c.status_words(1), on_side(__class__to_subclass)),
    ("data descriptor on the class", lambda c: c.from_pulse(1, 100),
     on_side(lambda s: setattr(s.cls, "ppmm", property(lambda self: lambda st: 5)))),
    ("instance dict replaced", lambda c: c.from_pulse(1, 100), on_side(replaced_instance_dict)),
    # the per-station table
    ("table entry changed", lambda c: c.to_pulse(1, 2.0),
     on_side(lambda s: s.controller._ppmm.__setitem__(1, 40))),
    ("table becomes a dict subclass", lambda c: c.to_pulse(1, 2.0),
     on_side(lambda s: setattr(s.controller, "_ppmm",
                               type("Table", (dict,), {"get": lambda self, k, d: 9})()))),
    ("table shadowed by a class property", lambda c: c.from_pulse(1, 100),
     on_side(lambda s: setattr(s.cls, "_ppmm", property(lambda self: {1: 25})))),
    # the master and its methods
    ("master's class method replaced", lambda c: c.get_position(1),
     on_side(lambda s: setattr(s.master_cls, "get_int32", seven))),
    ("master's instance attribute", lambda c: c.is_running(1),
     on_side(lambda s: setattr(s.master, "get_coil", lambda station, address: "own"))),
    ("master's __class__ changed", lambda c: c.get_stop_source(1), on_side(master_class_changed)),
    ("master's method becomes a property", lambda c: c.is_running(1),
     on_side(lambda s: setattr(s.master_cls, "get_coil",
                               property(lambda self: lambda st, a: "property")))),
    ("master replaced", lambda c: c.is_running(1), on_side(replaced_master)),
    # the stop-source enumeration
    ("StopSource global replaced", lambda c: c.get_stop_source(1),
     replace_module_global("StopSource", lambda value: ("replaced", value))),
    ("metaclass __call__ patched", lambda c: c.get_stop_source(1),
     patch_class(type(zol_kov.StopSource), "__call__", metaclass_call)),
    ("enumeration __new__ patched", lambda c: c.get_stop_source(1),
     patch_class(zol_kov.StopSource, "__new__", enum_new)),
    ("value map entry replaced", lambda c: c.get_stop_source(1), patched_value_map),
    ("value no member has", lambda c: c.get_stop_source(1), master_answers(get_int32=9)),
    ("value of an int subclass", lambda c: c.get_stop_source(1),
     master_answers(get_int32=enum.IntEnum("Codes", {"Three": 3}).Three)),
    # the status-word bits
    ("image with arithmetic of its own", lambda c: c.is_running(1, [0, 0, 0, OtherInt(0)]),
     None),
    ("image beyond a C long", lambda c: c.is_running(1, [0, 0, 0, (1 << 80) | (1 << 17)]),
     None),
    ("negative image", lambda c: c.is_running(1, [0, 0, 0, -(1 << 40)]), None),
]


def run(module, call, change, methods):
    side = Side(module, methods)
    for _ in range(WARM_UP):
        before = outcome(side, call)
    undo = change(side) if change else (lambda: None)
    try:
        after = outcome(side, call)
    finally:
        undo()
    return before, after


@pytest.mark.parametrize("call, change, methods", [(c + ({},))[1:4] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_a_change_after_warm_up_takes_effect_at_the_next_call(call, change, methods):
    before, after = run(zol_kov, call, change, methods)
    peer_before, peer_after = run(python_peer, call, change, methods)
    assert (before, after) == (peer_before, peer_after)
    if change is not None:
        assert after != before, "the change does not alter the result: the case proves nothing"
