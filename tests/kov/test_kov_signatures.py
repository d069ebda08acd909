"""The surface of KOVAxisController that callers and tools see: class shape, member order,
function attributes, and argument parsing common to every operation."""

import fractions

import pytest

import kov_table
import zol_kov
from fake_master import FakeMaster
from kov_helpers import DOCS, MEMBERS, METHODS, NO_DOC, argtype, python_name
from zol_kov import Direction, KOVAxisController

ROWS = [row for row in kov_table.OPERATIONS if row.name != "find_o"]  # find_o: homing tests
STATION_ROWS = [row for row in ROWS if row.params[0] is kov_table.STATION]
FLOAT_PARAMS = [
    (row.name, prm.name)
    for row in ROWS
    for prm in row.params
    if prm.kind == kov_table.F and prm.annotation == "float"
]


def sample(row):
    return kov_table.sample_values(row, zol_kov)


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
    expected = kov_table.defaults(kov_table.BY_NAME[member], zol_kov)
    assert (func.__defaults__ or ()) == expected
    # Types too (0.0, not 0); an enumeration member is then the member itself.
    assert [type(d) for d in func.__defaults__ or ()] == [type(d) for d in expected]


@pytest.mark.parametrize("name", [row.name for row in kov_table.OPERATIONS])
def test_annotations(name):
    row = kov_table.BY_NAME[name]
    annotations = vars(KOVAxisController)[name].__annotations__
    assert type(annotations) is dict
    annotations = dict(annotations)
    if row.returns is kov_table.FREE:
        annotations.pop("return", None)
    assert annotations == kov_table.annotations(row)


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


@pytest.mark.parametrize("row", ROWS, ids=lambda row: row.name)
def test_keywords_and_positions_are_equivalent(row, log):
    params = sample(row)
    results, keep = [], []
    for style in ("positional", "keyword", "mixed"):
        master, controller = fresh()
        keep.append(controller)
        log.clear()
        method = getattr(controller, row.name)
        if style == "positional":
            got = outcome(method, *[v for _, v in params])
        elif style == "keyword":
            got = outcome(method, **dict(params))
        else:
            got = outcome(method, params[0][1], **dict(params[1:]))
        results.append((got, list(master.calls), list(log.records)))
    assert results[0] == results[1] == results[2]


LONG_NAMED = type("L" * 250, (), {})  # a type name the message cuts at 200

BAD_STATIONS = [
    (True, "bool"),
    (None, "NoneType"),
    ("1", "str"),
    (1.0, "float"),
    (Direction.Positive, "Direction"),
    (LONG_NAMED(), "L" * 200),
]


def refused_station(row, bad, log):
    """The TypeError text of `row` called with station `bad`; nothing may reach the
    master or the log."""
    master, controller = fresh()
    log.clear()
    with pytest.raises(TypeError) as excinfo:
        getattr(controller, row.name)(bad, *[v for _, v in sample(row)[1:]])
    assert master.calls == [] and log.records == []
    return str(excinfo.value)


# One operation per combination of parameter kinds: the station check is the same
# code for all of them (see the next test), met after each kind of conversion.
BY_KINDS = {}
for _row in STATION_ROWS:
    BY_KINDS.setdefault(tuple(prm.kind for prm in _row.params), _row)


@pytest.mark.parametrize("row", list(BY_KINDS.values()), ids=lambda row: row.name)
@pytest.mark.parametrize("bad, type_name", BAD_STATIONS, ids=[t[:8] for _, t in BAD_STATIONS])
def test_station_must_be_exactly_int(row, bad, type_name, log):
    assert refused_station(row, bad, log) == argtype("station", "int", type_name)


def test_every_station_is_the_shared_station_parameter(log):
    texts = {row.name: refused_station(row, True, log) for row in STATION_ROWS}
    assert texts == {row.name: argtype("station", "int", "bool") for row in STATION_ROWS}


@pytest.mark.parametrize("name, param", FLOAT_PARAMS)
def test_float_conversion_comes_before_the_station_test(name, param, log):
    params = dict(sample(kov_table.BY_NAME[name]))
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
