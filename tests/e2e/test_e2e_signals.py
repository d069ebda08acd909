"""Signal configuration changes what the simulated module does; raw coil access."""

import pytest

from e2e_helpers import PPMM, WAIT, events, requests, stop_and_settle, wait_until

LIMITS = {
    "negative": dict(
        disable=lambda c: c.disable_negative_limit(1),
        enable=lambda c: c.enable_negative_limit(1),
        is_disabled=lambda c: c.negative_limit_is_disabled(1),
        at_limit=lambda c: c.at_negative_limit(1),
        jog=lambda c: c.run_negative(1),
        relay="R12",
        beyond=lambda position: position < -25000,
        code=3,
    ),
    "positive": dict(
        disable=lambda c: c.disable_positive_limit(1),
        enable=lambda c: c.enable_positive_limit(axis=1),
        is_disabled=lambda c: c.positive_limit_is_disabled(1),
        at_limit=lambda c: c.at_positive_limit(1),
        jog=lambda c: c.run_positive(1),
        relay="R13",
        beyond=lambda position: position > 25000,
        code=4,
    ),
}


def prepare(ctl):
    ctl.set_ppmm(1, PPMM)
    ctl.set_parameters(1, 5.0, 50.0, 0.05)


@pytest.mark.parametrize("side", sorted(LIMITS))
def test_a_disabled_limit_no_longer_stops_a_jog(sim, ctl, log, side):
    limit = LIMITS[side]
    prepare(ctl)
    limit["disable"](ctl)
    assert limit["is_disabled"](ctl) is True
    assert sim.get_coil(1, limit["relay"]) is True

    limit["jog"](ctl)
    wait_until(lambda: limit["beyond"](sim.state(1)["position"]), "the jog to pass the limit")
    assert ctl.is_running(1) is True
    assert limit["at_limit"](ctl) is True  # the switch is on, it just does not stop the axis
    log.clear()

    # Enabled again while beyond it and moving into it: the axis stops at once.
    limit["enable"](ctl)
    assert limit["is_disabled"](ctl) is False
    with pytest.raises(OSError, match="^定位动作因故未能完成:%d$" % limit["code"]):
        ctl.wait_for_locating_done(1, WAIT)
    assert not sim.state(1)["moving"]
    assert log.messages[0] == "Enable %s limit, station 1" % side


SIGNALS = {
    "alarm": dict(
        input="X4",
        active=True,
        disable=lambda c: c.disable_alarm(1),
        enable=lambda c: c.enable_alarm(1),
        is_disabled=lambda c: c.alarm_is_disabled(1),
        relay="R14",
        code=5,
        source="Alarm",
    ),
    "emergency": dict(
        input="X3",
        active=False,  # normally closed: the input drops when pressed
        disable=lambda c: c.disable_emergency(1),
        enable=lambda c: c.enable_emergency(1),
        is_disabled=lambda c: c.emergency_is_disabled(1),
        relay="R15",
        code=6,
        source="Emergency",
    ),
}


@pytest.mark.parametrize("name", sorted(SIGNALS))
def test_an_active_signal_stops_a_motion_unless_disabled(kov, sim, ctl, log, name):
    signal = SIGNALS[name]
    prepare(ctl)
    sim.set_input(1, signal["input"], signal["active"])

    ctl.locate_relatively(1, 10.0)
    with pytest.raises(OSError, match="^定位动作因故未能完成:%d$" % signal["code"]):
        ctl.wait_for_locating_done(1, WAIT)
    assert sim.state(1)["position"] == 5000  # refused at its start
    assert ctl.get_stop_source(1) is getattr(kov.StopSource, signal["source"])

    signal["disable"](ctl)
    assert signal["is_disabled"](ctl) is True
    assert sim.get_coil(1, signal["relay"]) is True
    ctl.locate_relatively(1)  # the same displacement again
    ctl.wait_for_locating_done(1, WAIT)
    assert sim.state(1)["position"] == 6000
    # The input is still active: only its effect is switched off.
    assert ctl.get_coil(1, signal["input"]) is signal["active"]
    assert "Disable %s, station 1" % name in log.messages


@pytest.mark.parametrize("name", sorted(SIGNALS))
def test_a_signal_enabled_again_during_a_motion_stops_it(kov, sim, ctl, log, name):
    signal = SIGNALS[name]
    prepare(ctl)
    ctl.disable_positive_limit(1)
    signal["disable"](ctl)
    ctl.run_positive(1)
    wait_until(lambda: sim.state(1)["moving"], "the jog to start")
    sim.set_input(1, signal["input"], signal["active"])
    assert ctl.is_running(1) is True  # disabled: the jog goes on
    log.clear()

    signal["enable"](ctl)
    assert signal["is_disabled"](ctl) is False
    with pytest.raises(OSError, match="^定位动作因故未能完成:%d$" % signal["code"]):
        ctl.wait_for_locating_done(1, WAIT)
    assert events(sim, 1)[-1] == "stop " + signal["source"]
    assert log.messages[0] == "Enable %s, station 1" % name


@pytest.mark.parametrize("reverse, y0_going_negative", [(True, False), (False, True)])
def test_direction_output_polarity(sim, ctl, log, reverse, y0_going_negative):
    prepare(ctl)
    ctl.reverse_direction_output(1, reverse)
    assert sim.get_coil(1, "R16") is reverse
    assert log.messages[-1] == "Set reverse direction output to %s, station 1" % reverse
    ctl.disable_negative_limit(1)
    ctl.run_negative(1)
    wait_until(lambda: sim.state(1)["moving"], "the jog to start")
    assert ctl.get_coil(1, "Y0") is y0_going_negative
    stop_and_settle(sim, 1)


def test_raw_coil_access_reaches_any_coil(sim, ctl, log):
    ctl.set_coil(1, "Y5", True)
    assert sim.get_coil(1, "Y5") is True
    assert ctl.get_coil_uint16(1, "WY0") == 1 << 5
    ctl.set_coil_uint16(1, "WR1", 0x0011)  # R16 (direction inverted) and R20 (plain memory)
    assert (sim.get_coil(1, "R16"), sim.get_coil(1, "R20")) == (True, True)
    assert ctl.get_coil(1, "R20") is True
    assert ctl.get_coil_uint16(1, "WX0") == sim.state(1)["inputs"]
    assert log.messages == []  # raw access logs nothing

    sim.clear_request_log()
    with pytest.raises(ValueError):
        ctl.set_coil(1, "X1", True)  # an input: refused before anything is sent
    assert requests(sim, 1) == []
