"""Pulses per millimetre, conversions and the velocity profile."""

import fractions
import math

import pytest

import zol_kov
from zol_kov import KOVAxisController


class Recorder(KOVAxisController):
    """Overrides the scale and conversion lookups, to see that operations use them."""

    def __init__(self, port, pulses=None):
        super().__init__(port)
        self.pulses = pulses or {}
        self.seen = []

    def to_pulse(self, station, value):
        self.seen.append(("to_pulse", station, value))
        return self.pulses[value]


# --- scale ------------------------------------------------------------------------------


def test_scale_defaults_to_the_int_one(ctl):
    assert type(ctl.ppmm(7)) is int and ctl.ppmm(7) == 1
    assert ctl._ppmm == {}


@pytest.mark.parametrize("value, text", [(100, "100"), (0.5, "0.5"), (-20, "-20"),
                                         (fractions.Fraction(1, 3), "1/3")])
def test_set_ppmm_stores_the_value_unchanged(ctl, fake, log, value, text):
    assert ctl.set_ppmm(1, value) is None
    assert ctl.ppmm(1) is value
    assert ctl._ppmm == {1: value}
    assert log.records == [("INFO", "Set PPMM to %s for station 1" % text)]
    assert fake.calls == []


@pytest.mark.parametrize("zero", [0, 0.0, -0.0])
def test_zero_scale_is_refused_and_the_old_one_kept(ctl, log, zero):
    ctl.set_ppmm(1, 50)
    log.clear()
    with pytest.raises(AssertionError) as excinfo:
        ctl.set_ppmm(1, zero)
    assert excinfo.value.args == ()
    assert ctl.ppmm(1) == 50
    assert log.records == []


def test_scale_is_per_station_and_replaced(ctl):
    ctl.set_ppmm(1, 10)
    ctl.set_ppmm(2, 20)
    ctl.set_ppmm(1, 30)
    assert (ctl.ppmm(1), ctl.ppmm(2), ctl.ppmm(3)) == (30, 20, 1)


# --- conversions ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "scale, mm, pulses",
    [
        (None, 2.9, 2),
        (None, -2.9, -2),
        (None, 0.999, 0),
        (100, 0.29, 28),
        (100, -1.7, -170),
        (100, 2, 200),
        (1000, 70.001, 70001),
        (-10, 1.25, -12),
        (None, 1e20, 100000000000000000000),
        (3, 2 ** 70, 3 * 2 ** 70),
    ],
)
def test_to_pulse_truncates_toward_zero(ctl, scale, mm, pulses):
    if scale is not None:
        ctl.set_ppmm(4, scale)
    result = ctl.to_pulse(4, mm)
    assert type(result) is int
    assert result == pulses


@pytest.mark.parametrize("mm, error", [(math.inf, OverflowError), (-math.inf, OverflowError),
                                       (math.nan, ValueError)])
def test_to_pulse_of_non_finite_values(ctl, mm, error):
    with pytest.raises(error):
        ctl.to_pulse(1, mm)


def test_to_pulse_multiplies_the_float_by_the_scale(ctl):
    class Scale:
        def __rmul__(self, other):
            assert type(other) is float
            return 12345678901234567890123

    class Sub(KOVAxisController):
        def ppmm(self, station):
            return Scale()

    assert Sub(None).to_pulse(1, 3) == 12345678901234567890123


@pytest.mark.parametrize(
    "scale, pulses, mm",
    [(None, 5, 5.0), (100, 150, 1.5), (100, -1, -0.01), (4, 3.0, 0.75), (3, 1, 1 / 3),
     (0.5, 3, 6.0)],
)
def test_from_pulse_divides(ctl, scale, pulses, mm):
    if scale is not None:
        ctl.set_ppmm(2, scale)
    result = ctl.from_pulse(2, pulses)
    assert type(result) is float
    assert result == mm


def test_from_pulse_does_not_convert_its_value(ctl):
    ctl.set_ppmm(2, 4)
    assert ctl.from_pulse(2, fractions.Fraction(3)) == fractions.Fraction(3, 4)
    with pytest.raises(TypeError):
        ctl.from_pulse(2, "8")


def test_conversions_use_the_instance_scale():
    class Sub(KOVAxisController):
        def ppmm(self, station):
            return 10 * station

    sub = Sub(None)
    assert sub.to_pulse(3, 1.5) == 45
    assert sub.from_pulse(2, 10) == 0.5


# --- profile setters --------------------------------------------------------------------

SETTERS = [
    ("set_start_velocity", "DT0", "Set start velocity to {}, station {}"),
    ("set_velocity", "DT2", "Set velocity to {}, station {}"),
]


@pytest.mark.parametrize("name, address, text", SETTERS)
@pytest.mark.parametrize(
    "scale, mm_s, pps, shown",
    [(1000, 70, 70000, "70.0"), (100, 10, 1000, "10.0"), (None, 0.5, 0, "0.5"),
     (None, -5, -5, "-5.0"), (3, 0.1, 0, "0.1")],
)
def test_velocity_setters(ctl, fake, log, name, address, text, scale, mm_s, pps, shown):
    if scale is not None:
        ctl.set_ppmm(6, scale)
    log.clear()
    assert getattr(ctl, name)(6, mm_s) is None
    assert fake.calls == [("set_uint32", 6, address, pps)]
    assert type(fake.calls[0][3]) is int
    assert log.records == [("INFO", text.format(shown, 6))]


@pytest.mark.parametrize("name, address, text", SETTERS)
def test_velocity_above_the_pulse_limit_is_refused(ctl, fake, log, name, address, text):
    ctl.set_ppmm(1, 1000)
    log.clear()
    with pytest.raises(AssertionError) as excinfo:
        getattr(ctl, name)(1, 70.001)
    assert excinfo.value.args == ()
    assert fake.calls == [] and log.records == []


@pytest.mark.parametrize("name, address, text", SETTERS)
def test_pulse_limit_is_read_at_each_call(ctl, fake, monkeypatch, name, address, text):
    monkeypatch.setattr(zol_kov, "_MaxPulsePerSecond", 100)
    getattr(ctl, name)(1, 100)
    with pytest.raises(AssertionError):
        getattr(ctl, name)(1, 101)
    assert fake.calls == [("set_uint32", 1, address, 100)]


@pytest.mark.parametrize("name, address, text", SETTERS)
def test_velocity_setters_convert_through_the_instance(fake, name, address, text):
    sub = Recorder(fake, {2.0: 77})
    getattr(sub, name)(1, 2)
    assert sub.seen == [("to_pulse", 1, 2.0)]
    assert fake.calls == [("set_uint32", 1, address, 77)]


@pytest.mark.parametrize(
    "seconds, ms, shown",
    [(1.001, 1000, "1.001"), (0.0005, 0, "0.0005"), (0.2, 200, "0.2"), (2, 2000, "2.0"),
     (-0.5, -500, "-0.5")],
)
def test_set_acceleration_time(ctl, fake, log, seconds, ms, shown):
    ctl.set_ppmm(1, 100)  # the scale plays no part
    log.clear()
    assert ctl.set_acceleration_time(1, seconds) is None
    assert fake.calls == [("set_uint32", 1, "DT4", ms)]
    assert log.records == [("INFO", "Set acceleration time to %s, station 1" % shown)]


@pytest.mark.parametrize("name", ["set_start_velocity", "set_velocity", "set_acceleration_time"])
def test_non_finite_values_fail_before_the_write(ctl, fake, log, name):
    with pytest.raises(ValueError):
        getattr(ctl, name)(1, math.nan)
    if name == "set_acceleration_time":
        with pytest.raises(OverflowError):
            ctl.set_acceleration_time(1, math.inf)
    assert fake.calls == [] and log.records == []


def test_set_parameters(ctl, fake, log):
    ctl.set_ppmm(1, 100)
    log.clear()
    assert ctl.set_parameters(1, 5, 10, 0.2) is None
    assert fake.calls == [("set_multi_uint32", 1, "DT0", [500, 1000, 200])]
    assert type(fake.calls[0][3]) is list
    assert log.records == [
        ("INFO", "Set (start velocity, velocity, acceleration time) to (5.0, 10.0, 0.2)")
    ]


def test_set_parameters_accepts_equal_velocities_and_zero_time(ctl, fake):
    ctl.set_parameters(2, 5, 5, 0)
    assert fake.calls == [("set_multi_uint32", 2, "DT0", [5, 5, 0])]


@pytest.mark.parametrize(
    "args",
    [(0, 10, 0.1), (-1, 10, 0.1), (10, 5, 0.1), (5, 10, -0.1), (math.nan, 10, 0.1),
     (5, math.nan, 0.1), (5, 10, math.nan)],
)
def test_set_parameters_refuses_a_bad_profile_before_converting(fake, log, args):
    sub = Recorder(fake)
    log.clear()
    with pytest.raises(AssertionError) as excinfo:
        sub.set_parameters(1, *args)
    assert excinfo.value.args == ()
    assert sub.seen == [] and fake.calls == [] and log.records == []


def test_set_parameters_tests_only_the_running_pulse_rate(fake, log):
    sub = Recorder(fake, {5.0: 80000, 10.0: 7})
    sub.set_parameters(1, 5, 10, 0.25)
    assert sub.seen == [("to_pulse", 1, 5.0), ("to_pulse", 1, 10.0)]
    assert fake.calls == [("set_multi_uint32", 1, "DT0", [80000, 7, 250])]
    sub.pulses = {5.0: 7, 10.0: 70001}
    with pytest.raises(AssertionError):
        sub.set_parameters(1, 5, 10, 0.25)
    assert len(fake.calls) == 1


def test_set_parameters_at_the_pulse_limit(ctl, fake):
    ctl.set_ppmm(1, 1000)
    ctl.set_parameters(1, 1, 70, 1.001)
    with pytest.raises(AssertionError):
        ctl.set_parameters(1, 1, 70.001, 1)
    assert fake.calls == [("set_multi_uint32", 1, "DT0", [1000, 70000, 1000])]


def test_master_results_are_ignored(ctl, fake):
    fake.script("set_uint32", None, "ignored")
    fake.script("set_multi_uint32", None, "ignored")
    assert ctl.set_velocity(1, 1) is None
    assert ctl.set_parameters(1, 1, 2, 3) is None


def test_scale_is_logged_by_its_format_text(ctl, log):
    from kov_helpers import Shown

    ctl.set_ppmm(1, Shown())
    assert log.messages == ["Set PPMM to <format ''> for station 1"]
