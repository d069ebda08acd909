"""The native operations against plain Python functions of the same signature: binding,
introspection, argument errors, conversion order and substitution of module globals."""

import inspect
import sys
import types

import pytest

import kov_table
import zol_kov
from fake_master import FakeMaster

K = zol_kov.KOVAxisController
FUNCTIONS = {
    key: value for key, value in vars(K).items() if type(value).__name__ == "function"
}


def twin(function):
    """A Python function with the same parameters, defaults and annotations."""
    sig = inspect.signature(function)
    params = ", ".join(p.name for p in sig.parameters.values())
    namespace = {}
    exec("def %s(%s): pass" % (function.__name__, params), namespace)
    py = namespace[function.__name__]
    py.__defaults__ = function.__defaults__
    py.__annotations__ = dict(function.__annotations__)
    py.__qualname__ = function.__qualname__
    return py


@pytest.mark.parametrize("key", sorted(FUNCTIONS))
def test_functions_introspect_like_python_functions(key):
    f = FUNCTIONS[key]
    assert f.__module__ == "zol_kov"
    assert f.__qualname__ == "KOVAxisController." + f.__name__
    assert key in (f.__name__, "_KOVAxisController" + f.__name__)
    sig = inspect.signature(f)
    assert list(sig.parameters)[0] == "self"
    defaults = tuple(p.default for p in sig.parameters.values() if p.default is not p.empty)
    assert (f.__defaults__ or ()) == defaults
    annotations = {
        name: p.annotation for name, p in sig.parameters.items() if p.annotation is not p.empty
    }
    if sig.return_annotation is not sig.empty:
        annotations["return"] = sig.return_annotation
    assert f.__annotations__ == annotations
    assert all(type(a) is str for a in annotations.values())
    assert f.__kwdefaults__ is None
    assert repr(f).startswith("<function KOVAxisController.%s at 0x" % f.__name__)


def test_binding_follows_the_function_protocol():
    f = K.__dict__["stop"]
    controller = K(FakeMaster())
    assert f.__get__(None, K) is f and K.stop is f
    bound = controller.stop
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is f and bound.__self__ is controller
    assert str(inspect.signature(bound)) == "(station: 'int')"
    f.extra = 1  # functions carry a __dict__ of their own
    assert f.__dict__ == {"extra": 1}
    del f.extra


CALL_SHAPES = [
    ((), {}),
    ((1,), {}),
    ((1, 2.0, 3.0, 4.0), {}),
    ((1, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0), {}),
    ((1,), {"station": 1}),
    ((), {"nope": 1}),
    ((1,), {"velocity": 1.0, "target": 2.0}),
]


def own_call_shapes(key):
    """Wrong calls built from the function's own parameters, with valid values: one
    required argument short, one too many, the first one twice, an unknown keyword far from
    every parameter name and one close to the first (3.13 suggests that one)."""
    row = kov_table.BY_NAME[key]
    values = [v for _, v in kov_table.sample_values(row, zol_kov)]
    if not values:
        return []
    first = row.params[0].name
    required = values[: len(values) - len(row.defaults)]
    return [
        (tuple(required[:-1]), {}),
        (tuple(values) + (0,), {}),
        (tuple(values), {first: values[0]}),
        (tuple(values), {"no_such_argument": 1}),
        (tuple(values), {first + "s": 1}),
    ]


@pytest.mark.parametrize("key", sorted(FUNCTIONS))
def test_argument_errors_are_worded_as_for_python_functions(key, log):
    """Every wrong call is refused as a Python function of the same signature refuses
    it, before the controller reaches its master or its log."""
    f = FUNCTIONS[key]
    checked = 0
    for args, kwargs in CALL_SHAPES + own_call_shapes(key):
        try:
            twin(f)(None, *args, **kwargs)
            continue  # the call shape fits: nothing to compare
        except TypeError as error:
            expected = str(error)
        master = FakeMaster()
        controller = K(master)
        log.clear()
        with pytest.raises(TypeError) as excinfo:
            f(controller, *args, **kwargs)
        assert str(excinfo.value) == expected, (args, kwargs)
        assert master.calls == [] and log.records == [], (args, kwargs)
        checked += 1
    assert checked >= 4


def misspellings(name):
    """Keywords near `name` and far from it: a letter more or less, case flipped, letters
    swapped, much longer, and one that cannot be encoded."""
    return [name + "s", name[:-1], name.upper(), name.title(), name[1:] + name[0],
            name[::-1], "x" * 41 + name, name + "x" * 41, name + "\udc80"]


@pytest.mark.skipif(sys.version_info < (3, 13), reason="the interpreter suggests from 3.13")
@pytest.mark.parametrize("rule", ["_suggestions", "own"])
def test_an_unknown_keyword_gets_the_interpreters_suggestion(rule, monkeypatch):
    """The interpreter's "Did you mean" hint for a close keyword, by its own closeness rule,
    also where the build lacks the module that offers it."""
    if rule == "own":
        monkeypatch.setitem(sys.modules, "_suggestions", None)  # its import fails
    controller = K(FakeMaster())
    hinted = 0
    for f in FUNCTIONS.values():
        for keyword in {k for p in inspect.signature(f).parameters for k in misspellings(p)}:
            try:
                twin(f)(None, **{keyword: 1})
                continue  # the keyword is a parameter
            except TypeError as error:
                expected = str(error)
            with pytest.raises(TypeError) as excinfo:
                f(controller, **{keyword: 1})
            assert str(excinfo.value) == expected
            hinted += "Did you mean" in expected
    assert hinted > 100


class Recorded:
    """A number that notes when the float conversion reads it."""

    seen = []

    def __init__(self, value, tag):
        self.value, self.tag = value, tag

    def __float__(self):
        Recorded.seen.append(self.tag)
        return float(self.value)


number = Recorded


def test_floats_are_converted_in_order_before_the_type_tests():
    Recorded.seen = []
    master = FakeMaster()
    controller = K(master)
    with pytest.raises(TypeError, match="Argument 'station' has incorrect type"):
        controller.find_o("3", number(1, "a"), number(2, "b"), number(3, "c"))
    assert Recorded.seen == ["a", "b", "c"]
    with pytest.raises(TypeError) as excinfo:
        controller.find_o("3", number(1, "a"), "fast", 0.1)
    assert "Argument" not in str(excinfo.value)  # the float conversion's own error
    assert master.calls == []


def test_module_globals_are_looked_up_at_each_call(monkeypatch):
    lines = []

    class Recorder:
        def info(self, message):
            lines.append(message)

    controller = K(FakeMaster())
    monkeypatch.setattr(zol_kov, "logger", Recorder())
    controller.stop(2)
    monkeypatch.setattr(zol_kov, "_MaxPulsePerSecond", 10)
    with pytest.raises(AssertionError):
        controller.set_velocity(2, 11)
    controller.set_velocity(2, 10)
    assert lines == ["Stop station 2", "Set velocity to 10.0, station 2"]


def test_overrides_in_a_subclass_take_part():
    class Geared(K):
        def ppmm(self, station):
            return 8

        def is_running(self, station, status_words=None):
            self.polls = getattr(self, "polls", 0) + 1
            return self.polls < 3

    master = FakeMaster()
    master.script("get_int32", "D20", 0)
    controller = Geared(master)
    controller.locate_absolutely(1, 2.5)
    controller.wait_for_locating_done(1)
    assert master.calls[:2] == [("set_int32", 1, "DT6", 20), ("set_coil", 1, "R1", True)]
    assert controller.polls == 3
