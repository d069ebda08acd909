"""Targets, positioning and jog commands, and waiting for a positioning to end."""

import math
import threading

import pytest

from fake_master import Call, FakeMaster
from kov_helpers import argtype
from zol_kov import KOVAxisController, StopSource


# --- targets ----------------------------------------------------------------------------


@pytest.mark.parametrize("name, address", [("set_absolute_target", "DT6"),
                                           ("set_relative_target", "DT8")])
@pytest.mark.parametrize("mm, pulses", [(-2.5, -250), (10, 1000), (0.0099, 0), (-0.0199, -1)])
def test_targets_are_written_in_pulses_without_a_log_line(ctl, fake, log, name, address, mm, pulses):
    ctl.set_ppmm(1, 100)
    log.clear()
    assert getattr(ctl, name)(1, mm) is None
    assert fake.calls == [("set_int32", 1, address, pulses)]
    assert log.records == []


@pytest.mark.parametrize("name", ["set_absolute_target", "set_relative_target"])
@pytest.mark.parametrize("target, error", [("5", TypeError), (None, TypeError),
                                           (math.inf, OverflowError), (math.nan, ValueError)])
def test_bad_targets_fail_before_the_write(ctl, fake, name, target, error):
    with pytest.raises(error):
        getattr(ctl, name)(1, target)
    assert fake.calls == []


def test_locate_absolutely(ctl, fake, log):
    ctl.set_ppmm(1, 100)
    log.clear()
    assert ctl.locate_absolutely(1, 10) is None
    assert fake.calls == [("set_int32", 1, "DT6", 1000), ("set_coil", 1, "R1", True)]
    assert log.records == [("INFO", "Absolutely locating with target 10.0, station 1")]


def test_locate_absolutely_goes_through_the_target_operation(fake, log):
    seen = []

    class Sub(KOVAxisController):
        def set_absolute_target(self, station, target):
            seen.append((station, target, type(target)))

    controller = Sub(fake)
    controller.locate_absolutely(2, 3)
    assert seen == [(2, 3.0, float)]
    assert fake.calls == [("set_coil", 2, "R1", True)]


def test_locate_relatively_without_target_repeats_the_last_displacement(ctl, fake, log):
    assert ctl.locate_relatively(3) is None
    assert fake.calls == [("set_coil", 3, "R2", True)]
    assert log.records == [("INFO", "Relatively locating with target None, station 3")]


@pytest.mark.parametrize("target, shown", [(5.0, "5.0"), (-0.5, "-0.5"), (0.1, "0.1")])
def test_locate_relatively_with_target(ctl, fake, log, target, shown):
    ctl.set_ppmm(3, 10)
    log.clear()
    ctl.locate_relatively(3, target=target)
    assert fake.calls == [("set_int32", 3, "DT8", int(target * 10)), ("set_coil", 3, "R2", True)]
    assert log.records == [("INFO", "Relatively locating with target %s, station 3" % shown)]


def test_locate_relatively_goes_through_the_target_operation(fake):
    seen = []

    class Sub(KOVAxisController):
        def set_relative_target(self, station, target):
            seen.append((station, target))

    controller = Sub(fake)
    controller.locate_relatively(2, 1.5)
    assert seen == [(2, 1.5)]
    assert fake.calls == [("set_coil", 2, "R2", True)]


@pytest.mark.parametrize("target, type_name", [(5, "int"), (True, "bool"), ("5.0", "str")])
def test_locate_relatively_takes_exactly_a_float(ctl, fake, log, target, type_name):
    with pytest.raises(TypeError) as excinfo:
        ctl.locate_relatively(3, target)
    assert str(excinfo.value) == argtype("target", "float", type_name)
    assert fake.calls == [] and log.records == []


def test_float_subclass_is_no_float_for_the_optional_target(ctl, fake):
    # Exactly float: a subclass is refused too.
    class F(float):
        pass

    with pytest.raises(TypeError) as excinfo:
        ctl.locate_relatively(3, F(1.0))
    assert str(excinfo.value) == argtype("target", "float", "F")
    assert fake.calls == []


def test_station_is_tested_before_the_optional_target(ctl):
    with pytest.raises(TypeError) as excinfo:
        ctl.locate_relatively(True, 5)
    assert str(excinfo.value) == argtype("station", "int", "bool")


@pytest.mark.parametrize(
    "name, coil, value, text",
    [
        ("run_positive", "R4", True, "Station 4 run positive"),
        ("run_negative", "R3", True, "Station 4 run negative"),
        ("stop", "R0", True, "Stop station 4"),
        ("enable_axis", "Y2", True, "Enable axis(station) 4"),
        ("disable_axis", "Y2", False, "Disable axis(station) 4"),
    ],
)
def test_single_coil_commands(ctl, fake, log, name, coil, value, text):
    assert getattr(ctl, name)(4) is None
    assert fake.calls == [("set_coil", 4, coil, value)]
    assert type(fake.calls[0][3]) is bool
    assert log.records == [("INFO", text)]


# --- waiting ----------------------------------------------------------------------------


def running(fake, polls, stop_source, station=1):
    fake.script("get_coil", "Y1", *([True] * polls + [False]))
    fake.script("get_int32", "D20", int(stop_source))


@pytest.mark.parametrize("polls", [0, 1, 4])
def test_wait_polls_until_stopped(ctl, fake, log, sleeps, polls):
    running(fake, polls, StopSource.Null)
    assert ctl.wait_for_locating_done(1) is None
    assert fake.calls == [("get_coil", 1, "Y1")] * (polls + 1) + [("get_int32", 1, "D20")]
    assert sleeps.calls == [0.01] * polls
    assert log.records == [("INFO", "Station 1 locating done. Stop source: 0")]


@pytest.mark.parametrize("source", [s for s in StopSource if s is not StopSource.Null])
def test_wait_raises_for_every_other_stop_source(ctl, fake, log, sleeps, source):
    running(fake, 2, source)
    with pytest.raises(OSError) as excinfo:
        ctl.wait_for_locating_done(2, 10.0)
    assert type(excinfo.value) is OSError
    assert excinfo.value.args == ("定位动作因故未能完成:%d" % source,)
    assert log.records == [("INFO", "Station 2 locating done. Stop source: %d" % source)]


def test_wait_reports_an_unknown_stop_source_code(ctl, fake, log, sleeps):
    running(fake, 0, 261)
    with pytest.raises(ValueError):
        ctl.wait_for_locating_done(1)
    assert log.records == []


def test_wait_times_out_strictly_after_the_limit(ctl, fake, log, clock):
    # The clock moves 0.25 s per pause: 1.0 s passed is not yet "more than 1.0".
    fake.script("get_coil", "Y1", True)
    with pytest.raises(TimeoutError) as excinfo:
        ctl.wait_for_locating_done(1, 1.0)
    assert type(excinfo.value) is TimeoutError
    assert excinfo.value.args == ("定位超时",)
    assert clock.sleeps == [0.01] * 5
    assert fake.calls == [("get_coil", 1, "Y1")] * 6
    assert log.records == []


@pytest.mark.parametrize("timeout", [0.0, -1, 0])
def test_wait_without_limit(ctl, fake, log, clock, timeout):
    running(fake, 200, StopSource.Null)
    ctl.wait_for_locating_done(1, timeout)
    assert len(clock.sleeps) == 200
    assert log.messages == ["Station 1 locating done. Stop source: 0"]


def test_wait_on_a_stopped_axis_never_times_out(ctl, fake, log, clock):
    clock.t += 1e9
    running(fake, 0, StopSource.Null)
    ctl.wait_for_locating_done(1, 0.001)
    assert clock.sleeps == []


def test_wait_asks_the_instance_for_running_state_and_stop_source(fake, log, sleeps):
    seen = []

    class Sub(KOVAxisController):
        def is_running(self, station):
            seen.append(("is_running", station))
            return len(seen) < 3

        def get_stop_source(self, station):
            seen.append(("get_stop_source", station))
            return "custom"

    controller = Sub(fake)
    with pytest.raises(OSError) as excinfo:
        controller.wait_for_locating_done(5)
    assert seen == [("is_running", 5)] * 3 + [("get_stop_source", 5)]
    assert excinfo.value.args == ("定位动作因故未能完成:custom",)
    assert fake.calls == []
    assert sleeps.calls == [0.01, 0.01]


def test_stop_from_another_thread_ends_the_wait(kov, log):
    """With the real pause: another thread's stop command ends the wait with Command."""
    fake = FakeMaster()
    moving = threading.Event()
    state = {"running": True, "source": 0, "polls": 0}

    def y1(station, address):
        state["polls"] += 1
        if state["polls"] == 3:
            moving.set()
        if state["polls"] > 5000:  # bound the test if the stop never arrives
            state["running"] = False
        return state["running"]

    def stop(station, address, value):
        state["running"], state["source"] = False, 1

    fake.script("get_coil", "Y1", Call(y1))
    fake.script("set_coil", "R0", Call(stop))
    fake.script("get_int32", "D20", Call(lambda *a: state["source"]))
    controller = KOVAxisController(fake)
    errors = []

    def wait():
        try:
            controller.wait_for_locating_done(1)
        except OSError as e:
            errors.append(e.args)

    waiter = threading.Thread(target=wait)
    waiter.start()
    assert moving.wait(30)
    controller.stop(1)
    waiter.join(60)
    assert errors == [("定位动作因故未能完成:1",)]
    assert "Station 1 locating done. Stop source: 1" in log.messages


def test_ctrl_c_ends_a_wait_that_runs_no_python_code(run_python):
    """A master and a pause written in C give the interpreter no instruction at which to
    act on a pending Ctrl-C: the wait itself must. Without that this loops forever (the
    child is bounded by its time limit). The interrupt comes from a timer signal, which
    needs no thread to get the GIL."""
    result = run_python(
        """
import signal, zol_kov
class Master:
    pass
master = Master()
master.get_coil = {}.get           # C: answers "Y1", a true value: always running
zol_kov._sleep = {}.get            # C: no pause, no look at signals
controller = zol_kov.KOVAxisController(master)
signal.signal(signal.SIGALRM, signal.default_int_handler)  # raises KeyboardInterrupt
signal.setitimer(signal.ITIMER_REAL, 0.2)
try:
    controller.wait_for_locating_done(1)
except KeyboardInterrupt:
    print("interrupted")
controller._KOVAxisController__mew = None
""",
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == b"interrupted"
