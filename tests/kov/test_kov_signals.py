"""Signal configuration relays and raw coil access."""

import pytest

from kov_helpers import argtype
from zol_kov import KOVAxisController

SWITCHES = [
    ("disable_negative_limit", "R12", True, "Disable negative limit, station {}"),
    ("enable_negative_limit", "R12", False, "Enable negative limit, station {}"),
    ("disable_positive_limit", "R13", True, "Disable positive limit, station {}"),
    ("enable_positive_limit", "R13", False, "Enable positive limit, station {}"),
    ("disable_alarm", "R14", True, "Disable alarm, station {}"),
    ("enable_alarm", "R14", False, "Enable alarm, station {}"),
    ("disable_emergency", "R15", True, "Disable emergency, station {}"),
    ("enable_emergency", "R15", False, "Enable emergency, station {}"),
]

QUERIES = [
    ("negative_limit_is_disabled", "R12"),
    ("positive_limit_is_disabled", "R13"),
    ("alarm_is_disabled", "R14"),
    ("emergency_is_disabled", "R15"),
]


class Name(str):
    pass


@pytest.mark.parametrize("name, relay, value, text", SWITCHES)
def test_switches(ctl, fake, log, name, relay, value, text):
    assert getattr(ctl, name)(1) is None
    assert fake.calls == [("set_coil", 1, relay, value)]
    assert type(fake.calls[0][3]) is bool
    assert log.records == [("INFO", text.format(1))]


@pytest.mark.parametrize("name, relay", QUERIES)
def test_queries_return_the_relay_unchanged(ctl, fake, log, name, relay):
    answer = object()
    fake.script("get_coil", relay, answer)
    assert getattr(ctl, name)(9) is answer
    assert fake.calls == [("get_coil", 9, relay)]
    assert log.records == []


def test_disable_then_query(ctl, fake, log):
    fake.script("get_coil", "R14", True)
    ctl.disable_alarm(1)
    assert ctl.alarm_is_disabled(1) is True
    assert fake.calls == [("set_coil", 1, "R14", True), ("get_coil", 1, "R14")]
    assert log.messages == ["Disable alarm, station 1"]


@pytest.mark.parametrize("axis", [3, "abc", None, True])
def test_enable_positive_limit_takes_any_axis(ctl, fake, log, axis):
    ctl.enable_positive_limit(axis=axis)
    assert fake.calls == [("set_coil", axis, "R13", False)]
    assert fake.calls[0][1] is axis
    assert log.messages == ["Enable positive limit, station %s" % (axis,)]


def test_enable_positive_limit_has_no_station_keyword(ctl, fake):
    with pytest.raises(TypeError) as excinfo:
        ctl.enable_positive_limit(station=3)
    assert "station" in str(excinfo.value)
    assert fake.calls == []


@pytest.mark.parametrize(
    "value, edge",
    [(True, "rising"), (False, "falling"), (1, "rising"), (0, "falling"), ([], "falling"),
     ("x", "rising"), (None, "falling")],
)
def test_origin_rising_valid(ctl, fake, log, value, edge):
    assert ctl.origin_rising_valid(2, value=value) is None
    assert fake.calls == [("set_coil", 2, "R10", value)]
    assert fake.calls[0][3] is value
    assert log.records == [("INFO", "Set origin trigger edge as %s, station 2" % edge)]


def test_origin_rising_valid_needs_a_value(ctl):
    with pytest.raises(TypeError):
        ctl.origin_rising_valid(2)


@pytest.mark.parametrize("args, value, shown", [((), True, "True"), ((False,), False, "False"),
                                                ((0,), 0, "0"), (("on",), "on", "on")])
def test_reverse_direction_output(ctl, fake, log, args, value, shown):
    assert ctl.reverse_direction_output(2, *args) is None
    assert fake.calls == [("set_coil", 2, "R16", value)]
    assert fake.calls[0][3] is value
    assert log.records == [("INFO", "Set reverse direction output to %s, station 2" % shown)]


# --- raw access -------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["get_coil", "get_coil_uint16"])
def test_raw_reads(ctl, fake, log, name):
    answer = object()
    fake.script(name, "WX0", answer)
    assert getattr(ctl, name)(1, name="WX0") is answer
    assert fake.calls == [(name, 1, "WX0")]
    assert log.records == []


@pytest.mark.parametrize("value", [True, 1, "any", None])
def test_raw_set_coil_passes_the_value_unchanged(ctl, fake, log, value):
    assert ctl.set_coil(1, "Y7", value) is None
    assert fake.calls == [("set_coil", 1, "Y7", value)]
    assert fake.calls[0][3] is value
    assert log.records == []


def test_raw_set_coil_uint16(ctl, fake, log):
    assert ctl.set_coil_uint16(1, "WY0", 0xBEEF) is None
    assert fake.calls == [("set_coil_uint16", 1, "WY0", 0xBEEF)]
    assert log.records == []


@pytest.mark.parametrize("name", ["get_coil", "set_coil", "get_coil_uint16", "set_coil_uint16"])
@pytest.mark.parametrize("bad, type_name", [(b"X0", "bytes"), (Name("X0"), "Name"), (None, "NoneType"),
                                            (0, "int")])
def test_raw_names_must_be_str(ctl, fake, name, bad, type_name):
    args = (1, bad) + ((1,) if name.startswith("set") else ())
    with pytest.raises(TypeError) as excinfo:
        getattr(ctl, name)(*args)
    assert str(excinfo.value) == argtype("name", "str", type_name)
    assert fake.calls == []


@pytest.mark.parametrize("bad, type_name", [(3.0, "float"), (True, "bool"), ("3", "str"),
                                            (None, "NoneType")])
def test_raw_word_value_must_be_int(ctl, fake, bad, type_name):
    with pytest.raises(TypeError) as excinfo:
        ctl.set_coil_uint16(1, "WY0", bad)
    assert str(excinfo.value) == argtype("value", "int", type_name)
    assert fake.calls == []


def test_raw_argument_tests_in_parameter_order(ctl):
    with pytest.raises(TypeError) as excinfo:
        ctl.set_coil_uint16(True, b"x", 1.0)
    assert str(excinfo.value) == argtype("station", "int", "bool")
    with pytest.raises(TypeError) as excinfo:
        ctl.set_coil_uint16(1, b"x", 1.0)
    assert str(excinfo.value) == argtype("name", "str", "bytes")


def test_queries_follow_the_current_master(fake):
    controller = KOVAxisController(fake)
    controller.close()
    from fake_master import FakeMaster

    other = FakeMaster()
    other.script("get_coil", "R12", True)
    controller._KOVAxisController__mew = other
    assert controller.negative_limit_is_disabled(1) is True
    assert other.calls == [("get_coil", 1, "R12")]


def test_values_are_logged_by_their_format_text(ctl, fake, log):
    from kov_helpers import Shown

    ctl.enable_positive_limit(Shown())
    ctl.reverse_direction_output(2, Shown())
    assert log.messages == [
        "Enable positive limit, station <format ''>",
        "Set reverse direction output to <format ''>, station 2",
    ]
