"""The surface of KOVAxisController that callers and tools see: class shape, member order,
function attributes, and argument parsing common to every operation."""

import fractions

import pytest

from fake_master import FakeMaster
from kov_helpers import (
    ANNOTATIONS, DEFAULTS, DOCS, MEMBERS, METHODS, NO_DOC, PARAM_ANNOTATIONS, argtype,
    python_name,
)
from zol_kov import Direction, KOVAxisController

# Every operation that takes a station, with a valid argument list (name, value) in
# parameter order, as used by the generic tests below. Homing start is tested apart.
SAMPLES = {
    "set_ppmm": [("station", 1), ("ppmm", 2)],
    "ppmm": [("station", 1)],
    "to_pulse": [("station", 1), ("value", 2.5)],
    "from_pulse": [("station", 1), ("value", 5)],
    "stop": [("station", 1)],
    "set_start_velocity": [("station", 1), ("velocity", 2.0)],
    "set_velocity": [("station", 1), ("velocity", 2.0)],
    "set_acceleration_time": [("station", 1), ("time", 0.5)],
    "set_parameters": [("station", 1), ("start_velocity", 1.0), ("velocity", 2.0),
                       ("acceleration_time", 0.5)],
    "set_absolute_target": [("station", 1), ("target", 1.5)],
    "set_relative_target": [("station", 1), ("target", 1.5)],
    "locate_absolutely": [("station", 1), ("target", 1.5)],
    "locate_relatively": [("station", 1), ("target", 1.5)],
    "wait_for_locating_done": [("station", 1), ("timeout", 1.0)],
    "run_positive": [("station", 1)],
    "run_negative": [("station", 1)],
    "enable_axis": [("station", 1)],
    "disable_axis": [("station", 1)],
    "_find_o": [("station", 1), ("direction", Direction.Negative)],
    "status_words": [("station", 1)],
    "get_position": [("station", 1), ("status_words", None)],
    "set_position": [("station", 1), ("position", 1.5)],
    "set_here_o": [("station", 1)],
    "is_alarming": [("station", 1), ("status_words", None)],
    "is_running": [("station", 1), ("status_words", None)],
    "at_o": [("station", 1), ("status_words", None)],
    "at_positive_limit": [("station", 1), ("status_words", None)],
    "at_negative_limit": [("station", 1), ("status_words", None)],
    "at_emergency": [("station", 1), ("status_words", None)],
    "get_stop_source": [("station", 1)],
    "get_coil": [("station", 1), ("name", "R7")],
    "set_coil": [("station", 1), ("name", "R7"), ("value", True)],
    "get_coil_uint16": [("station", 1), ("name", "WR0")],
    "set_coil_uint16": [("station", 1), ("name", "WR0"), ("value", 3)],
    "_KOVAxisController__find_o_stage_0": [("station", 1), ("direction", Direction.Positive)],
    "_find_o_thread_func": [("station", 1), ("direction", Direction.Negative)],
    "_find_o_origin_only": [("station", 1), ("direction", Direction.Negative)],
    "_find_o_thread_func_limit_first_then_backward": [("station", 1),
                                                      ("direction", Direction.Negative)],
    "is_finding_o": [("station", 1)],
    "wait_for_find_o_finish": [("station", 1), ("timeout", None)],
    "origin_rising_valid": [("station", 1), ("value", True)],
    "disable_negative_limit": [("station", 1)],
    "enable_negative_limit": [("station", 1)],
    "negative_limit_is_disabled": [("station", 1)],
    "disable_positive_limit": [("station", 1)],
    "enable_positive_limit": [("axis", 1)],
    "positive_limit_is_disabled": [("station", 1)],
    "disable_alarm": [("station", 1)],
    "enable_alarm": [("station", 1)],
    "alarm_is_disabled": [("station", 1)],
    "disable_emergency": [("station", 1)],
    "enable_emergency": [("station", 1)],
    "emergency_is_disabled": [("station", 1)],
    "reverse_direction_output": [("station", 1), ("value", False)],
}

STATION_OPS = [name for name in SAMPLES if name != "enable_positive_limit"]

FLOAT_PARAMS = [
    ("to_pulse", "value"),
    ("set_start_velocity", "velocity"),
    ("set_velocity", "velocity"),
    ("set_acceleration_time", "time"),
    ("set_parameters", "start_velocity"),
    ("set_parameters", "velocity"),
    ("set_parameters", "acceleration_time"),
    ("locate_absolutely", "target"),
    ("wait_for_locating_done", "timeout"),
    ("set_position", "position"),
]


def outcome(func, *args, **kwargs):
    try:
        return ("returned", func(*args, **kwargs))
    except Exception as e:  # the outcome itself is compared
        return ("raised", type(e), e.args)


def fresh():
    master = FakeMaster()
    return master, KOVAxisController(master)


@pytest.fixture(autouse=True)
def _quick(sleeps):
    pass


# --- class ------------------------------------------------------------------------------


def test_class_shape():
    cls = KOVAxisController
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "zol_kov"
    assert cls.__name__ == cls.__qualname__ == "KOVAxisController"


def test_members_in_definition_order():
    present = [name for name in vars(KOVAxisController) if name in MEMBERS]
    assert present == MEMBERS
    own = [n for n in vars(KOVAxisController) if not (n.startswith("__") and n.endswith("__"))]
    assert sorted(own) == sorted(m for m in MEMBERS if not m.startswith("__"))


def test_homing_method_is_a_property():
    prop = vars(KOVAxisController)["finding_o_method"]
    assert type(prop) is property
    assert prop.fdel is None
    for func in (prop.fget, prop.fset):
        assert func.__name__ == "finding_o_method"
        assert func.__qualname__ == "KOVAxisController.finding_o_method"
        assert func.__module__ == "zol_kov"
        assert func.__doc__ is None
    assert prop.fget.__annotations__ == {"return": "FindingOMethod"}
    assert prop.fset.__annotations__.get("value") == "FindingOMethod"


# --- function attributes ----------------------------------------------------------------


@pytest.mark.parametrize("member", METHODS)
def test_function_names(member):
    func = vars(KOVAxisController)[member]
    assert func.__name__ == python_name(member)
    assert func.__qualname__ == "KOVAxisController." + python_name(member)
    assert func.__module__ == "zol_kov"
    assert getattr(KOVAxisController, member) is func


@pytest.mark.parametrize("member", METHODS)
def test_defaults(member):
    func = vars(KOVAxisController)[member]
    if member in DEFAULTS:
        assert func.__defaults__ == DEFAULTS[member]
        assert [type(d) for d in func.__defaults__] == [type(d) for d in DEFAULTS[member]]
    elif member != "find_o":
        assert not func.__defaults__


def test_find_o_default_is_the_member_itself():
    assert KOVAxisController.find_o.__defaults__ == (Direction.Negative,)
    assert KOVAxisController.find_o.__defaults__[0] is Direction.Negative


@pytest.mark.parametrize("member", sorted(ANNOTATIONS))
def test_annotations(member):
    annotations = vars(KOVAxisController)[member].__annotations__
    assert type(annotations) is dict
    assert annotations == ANNOTATIONS[member]


@pytest.mark.parametrize("member", sorted(PARAM_ANNOTATIONS))
def test_parameter_annotations_of_homing_control(member):
    annotations = dict(vars(KOVAxisController)[member].__annotations__)
    annotations.pop("return", None)
    assert annotations == PARAM_ANNOTATIONS[member]


@pytest.mark.parametrize("member", sorted(DOCS))
def test_docstrings(member):
    assert vars(KOVAxisController)[member].__doc__ == DOCS[member]


@pytest.mark.parametrize("member", NO_DOC)
def test_no_docstring(member):
    assert vars(KOVAxisController)[member].__doc__ is None


def test_run_negative_docstring_mirrors_run_positive():
    text = KOVAxisController.run_negative.__doc__
    positive = DOCS["run_positive"]
    assert text.startswith("\n\t\t") and text.endswith("\n\t\t")
    lines = text[:-3].split("\n\t\t")[1:]
    assert len(lines) == 2
    assert lines[1] == ":param station: 电机控制模块的站号"
    assert "负" in lines[0] and lines[0] != positive.split("\n\t\t")[1]
    assert "\t" not in lines[0] and "\n" not in lines[0]


def test_instance_access_binds():
    master, controller = fresh()
    bound = controller.ppmm
    assert bound.__self__ is controller
    assert bound(4) == 1
    assert KOVAxisController.ppmm(controller, 4) == 1


# --- argument parsing, common to all operations -----------------------------------------


@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_keywords_and_positions_are_equivalent(name, log):
    params = SAMPLES[name]
    results, keep = [], []
    for style in ("positional", "keyword", "mixed"):
        master, controller = fresh()
        keep.append(controller)
        log.clear()
        method = getattr(controller, name)
        if style == "positional":
            got = outcome(method, *[v for _, v in params])
        elif style == "keyword":
            got = outcome(method, **dict(params))
        else:
            got = outcome(method, params[0][1], **dict(params[1:]))
        results.append((got, list(master.calls), list(log.records)))
    assert results[0] == results[1] == results[2]


@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_missing_surplus_duplicate_and_unknown_arguments(name, log):
    params = SAMPLES[name]
    values = [v for _, v in params]
    master, controller = fresh()
    log.clear()
    method = getattr(controller, name)
    with pytest.raises(TypeError):
        method()
    with pytest.raises(TypeError):
        method(*values, 0)
    with pytest.raises(TypeError) as excinfo:
        method(*values, **{params[0][0]: values[0]})
    assert params[0][0] in str(excinfo.value)
    with pytest.raises(TypeError) as excinfo:
        method(*values, no_such_argument=1)
    assert "no_such_argument" in str(excinfo.value)
    assert master.calls == [] and log.records == []


@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_missing_argument_is_named(name):
    params = SAMPLES[name]
    required = [p for p, _ in params]
    defaults = DEFAULTS.get(name, ())
    if defaults:
        required = required[: len(required) - len(defaults)]
    master, controller = fresh()
    with pytest.raises(TypeError) as excinfo:
        getattr(controller, name)(*[v for _, v in params][: len(required) - 1])
    assert "'%s'" % required[-1] in str(excinfo.value)


LONG = type("L" * 250, (), {})

BAD_STATIONS = [
    (True, "bool"),
    (None, "NoneType"),
    ("1", "str"),
    (1.0, "float"),
    (Direction.Positive, "Direction"),
    (LONG(), "L" * 200),
]


@pytest.mark.parametrize("name", STATION_OPS)
@pytest.mark.parametrize("bad, type_name", BAD_STATIONS, ids=[t[:8] for _, t in BAD_STATIONS])
def test_station_must_be_exactly_int(name, bad, type_name, log):
    params = SAMPLES[name]
    master, controller = fresh()
    log.clear()
    with pytest.raises(TypeError) as excinfo:
        getattr(controller, name)(bad, *[v for _, v in params[1:]])
    assert str(excinfo.value) == argtype("station", "int", type_name)
    assert master.calls == [] and log.records == []


@pytest.mark.parametrize("name, param", FLOAT_PARAMS)
def test_float_conversion_comes_before_the_station_test(name, param, log):
    params = dict(SAMPLES[name])
    params["station"] = True
    params[param] = "1.5"
    master, controller = fresh()
    log.clear()
    with pytest.raises(TypeError) as excinfo:
        getattr(controller, name)(**params)
    assert "station" not in str(excinfo.value)
    assert "str" in str(excinfo.value)
    assert master.calls == [] and log.records == []


def test_float_conversions_run_in_parameter_order():
    master, controller = fresh()
    with pytest.raises(TypeError) as excinfo:
        controller.set_parameters(1, 1.0, b"x", "y")
    assert "bytes" in str(excinfo.value) and "str" not in str(excinfo.value)
    with pytest.raises(TypeError) as excinfo:
        controller.set_parameters(1, 1.0, 2.0, [])
    assert "list" in str(excinfo.value)
    assert master.calls == []


@pytest.mark.parametrize(
    "value, converted",
    [(2, 2.0), (True, 1.0), (fractions.Fraction(1, 4), 0.25), (2 ** 60, 2.0 ** 60)],
)
def test_float_parameters_take_real_numbers(value, converted, log):
    master, controller = fresh()
    log.clear()
    controller.set_acceleration_time(1, value)
    assert master.calls == [("set_uint32", 1, "DT4", int(converted * 1000.0))]
    assert log.messages == ["Set acceleration time to %r, station 1" % converted]


def test_float_parameter_refuses_overflowing_int():
    master, controller = fresh()
    with pytest.raises(OverflowError):
        controller.set_acceleration_time(1, 10 ** 400)
    assert master.calls == []
