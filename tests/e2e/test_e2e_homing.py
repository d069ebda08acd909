"""Homing on background threads, several stations at once, against the simulated modules."""

import pytest

from e2e_helpers import PPMM, WAIT, events, finish_homing, wait_until

# find_o speeds: 5 and 50 mm/s at 100 pulses/mm, 50 ms ramps.
SPEEDS = (5.0, 50.0, 0.05)

# Per station: direction, where the axis stands first (None: the power-up +5000),
# origin edge, and the mechanical axis position where the search stops (default
# window [-1000, 0], limits at -20000 and +20000), then the trace of the run.
LIMIT_FIRST = {
    1: ("Negative", None, "falling", 1,
        ["start jog negative", "stop NegativeLimit", "start origin search positive", "stop Origin"]),
    2: ("Positive", None, "falling", -1001,
        ["start jog positive", "stop PositiveLimit", "start origin search negative", "stop Origin"]),
    # Already on the limit: stage 0 starts no motion.
    3: ("Negative", -20000, "rising", -1000,
        ["start origin search positive", "stop Origin"]),
}
ORIGIN_ONLY = {
    1: ("Negative", None, "falling", -1001, ["start origin search negative", "stop Origin"]),
    2: ("Positive", -5000, "falling", 1, ["start origin search positive", "stop Origin"]),
    3: ("Negative", None, "rising", 0, ["start origin search negative", "stop Origin"]),
}


def expected_log(method, station, direction, stage_0, reverse):
    """The lines a successful run of `station` logs, in order."""
    lines = ["Finding o started, method %d, station %d" % (method, station)]
    if method == 0:
        if stage_0:
            lines += [
                "Station %d run %s" % (station, "negative" if direction < 0 else "positive"),
                "Station %d, finding O stage 0 stop, source: %d" % (station, 3 if direction < 0 else 4),
            ]
        lines += [
            "Start finding O for station %d, direction %d" % (station, reverse),
            "Station %d, finding O stage 1 stopped, source: 2" % station,
        ]
    else:
        lines += [
            "Start finding O for station %d, direction %d" % (station, direction),
            "Station %d, finding O(origin only) stopped, source: 2" % station,
        ]
    lines += ["Set here O for station %d" % station]
    return lines


@pytest.mark.parametrize(
    "method, cases",
    [("LimitFirstThenBackward", LIMIT_FIRST), ("OriginOnly", ORIGIN_ONLY)],
)
def test_several_stations_home_at_once(kov, sim, ctl, log, method, cases):
    ctl.finding_o_method = getattr(kov.FindingOMethod, method)
    for station, (direction, place, edge, _, _) in cases.items():
        ctl.set_ppmm(station, PPMM)
        ctl.origin_rising_valid(station, edge == "rising")
        if place is not None:
            sim.place_axis(station, place)
        sim.clear_trace(station)
    log.clear()

    for station, (direction, _, _, _, _) in cases.items():
        ctl.find_o(station, *SPEEDS, getattr(kov.Direction, direction))
        assert ctl.is_finding_o(station)
    results = {station: finish_homing(ctl, station) for station in cases}

    assert results == {station: True for station in cases}
    for station, (direction, place, _, stops_at, trace) in cases.items():
        assert not ctl.is_finding_o(station)
        state = sim.state(station)
        assert (state["axis"], state["position"], state["stop_source"]) == (stops_at, 0, 2)
        assert ctl.get_position(station) == 0.0
        assert ctl.get_stop_source(station) is kov.StopSource.Origin
        assert events(sim, station) == trace
        sign = getattr(kov.Direction, direction).value
        lines = expected_log(
            ctl.finding_o_method.value, station, sign, stage_0=place is None, reverse=-sign
        )
        own = [m for m in log.messages if "station %d" % station in m.lower()]
        assert own == (
            ["Start finding o, station %d" % station]
            + lines
            + ["Wait for finding O done. Station %d, source 2" % station]
        )
        with pytest.raises(ValueError, match="^Axis is not finding origin point, or has been waited.$"):
            ctl.wait_for_find_o_finish(station, WAIT)


def test_a_homed_axis_positions_from_its_new_origin(kov, sim, ctl):
    ctl.set_ppmm(1, PPMM)
    ctl.find_o(1, *SPEEDS)  # default: limit first, negative
    assert finish_homing(ctl, 1) is True
    axis_at_origin = sim.state(1)["axis"]
    ctl.locate_absolutely(1, 25.0)
    ctl.wait_for_locating_done(1, WAIT)
    assert sim.state(1)["position"] == 2500
    assert sim.state(1)["axis"] == axis_at_origin + 2500


def test_a_second_find_o_is_refused_until_the_run_is_collected(kov, sim, ctl):
    ctl.set_ppmm(2, PPMM)
    ctl.find_o(2, *SPEEDS)
    thread = ctl._find_o_threads[2]
    thread.join(WAIT)
    assert not thread.is_alive()
    sim.clear_request_log()
    # Long ended, still registered: refused without touching the bus.
    with pytest.raises(BlockingIOError, match="^Axis 2 has been finding o.$"):
        ctl.find_o(2, *SPEEDS)
    assert sim.request_log() == []
    assert finish_homing(ctl, 2) is True
    ctl.find_o(2, *SPEEDS)
    assert finish_homing(ctl, 2) is True


def test_limit_first_refuses_a_disabled_limit_origin_only_does_not(kov, sim, ctl):
    ctl.set_ppmm(1, PPMM)
    ctl.disable_negative_limit(1)
    with pytest.raises(AssertionError, match="^禁用了负极限，却往负方向找原点。"):
        ctl.find_o(1, *SPEEDS, kov.Direction.Negative)
    assert not ctl.is_finding_o(1)
    assert not sim.state(1)["moving"]
    ctl.finding_o_method = kov.FindingOMethod.OriginOnly
    ctl.find_o(1, *SPEEDS, kov.Direction.Negative)
    assert finish_homing(ctl, 1) is True
    assert sim.state(1)["position"] == 0


def _origin_held_off(sim, station):
    sim.set_input(station, "X0", False)


def _origin_beyond_the_limits(sim, station):
    sim.set_geometry(station, origin_low=30000, origin_high=31000)


@pytest.mark.parametrize("remove_origin", [_origin_held_off, _origin_beyond_the_limits],
                         ids=["forced-off", "geometry"])
@pytest.mark.parametrize(
    "method, direction, ends_on, stage_line",
    [
        # Stage 0 reaches the negative limit, the search back runs onto the positive one.
        ("LimitFirstThenBackward", "Negative", "PositiveLimit",
         "Station 1, finding O stage 1 stopped, source: 4"),
        ("OriginOnly", "Negative", "NegativeLimit",
         "Station 1, finding O(origin only) stopped, source: 3"),
        ("OriginOnly", "Positive", "PositiveLimit",
         "Station 1, finding O(origin only) stopped, source: 4"),
    ],
)
def test_homing_without_an_origin_sensor_ends_false_on_a_limit(
    kov, sim, ctl, log, remove_origin, method, direction, ends_on, stage_line
):
    ctl.set_ppmm(1, PPMM)
    ctl.finding_o_method = getattr(kov.FindingOMethod, method)
    remove_origin(sim, 1)
    log.clear()
    ctl.find_o(1, *SPEEDS, getattr(kov.Direction, direction))
    assert finish_homing(ctl, 1) is False

    limit = sim.geometry(1)["positive_limit" if ends_on == "PositiveLimit" else "negative_limit"]
    state = sim.state(1)
    # The origin was not redefined: the counter still equals the mechanical axis.
    assert (state["axis"], state["position"]) == (limit, limit)
    assert ctl.get_stop_source(1) is getattr(kov.StopSource, ends_on)
    assert stage_line in log.messages
    assert "Set here O for station 1" not in log.messages
    code = getattr(kov.StopSource, ends_on).value
    assert log.messages[-1] == "Wait for finding O done. Station 1, source %d" % code


def test_an_expired_homing_wait_returns_none_and_keeps_the_run(kov, sim, ctl, log):
    ctl.set_ppmm(1, PPMM)
    ctl.finding_o_method = kov.FindingOMethod.OriginOnly
    ctl.disable_negative_limit(1)
    ctl.origin_rising_valid(1, True)
    sim.set_input(1, "X0", False)  # the search can only end when the test lets it
    ctl.find_o(1, *SPEEDS, kov.Direction.Negative)
    wait_until(lambda: sim.state(1)["moving"], "the origin search to start")
    log.clear()

    assert ctl.wait_for_find_o_finish(1, 0.05) is None
    assert ("ERROR", "Wait for finding O timeout, station 1") in log.records
    assert ctl.is_finding_o(1)
    assert sim.state(1)["moving"]

    sim.set_input(1, "X0", True)  # the sensor comes on: a rising edge ends the search
    assert finish_homing(ctl, 1) is True
    assert sim.state(1)["position"] == 0
