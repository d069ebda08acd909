"""The controller over a real MewMaster and a pseudo-terminal to the simulator."""

import pytest

import zol_kov
from zol_kov import Direction, FindingOMethod, KOVAxisController, StopSource

zol_mew = pytest.importorskip("zol_mew")
if not hasattr(zol_mew, "Simulator"):
    pytest.skip("zol_mew has no simulator", allow_module_level=True)

PPMM = 100  # pulses per millimetre
WAIT = 120.0  # seconds; generous, the machine may be busy


@pytest.fixture
def line():
    with zol_mew.Simulator((1, 2, 3), time_scale=20.0) as sim:
        controller = KOVAxisController(sim.port)
        for station in sim.stations:
            controller.set_ppmm(station, PPMM)
            controller.set_parameters(station, 5.0, 50.0, 0.1)
            controller.enable_axis(station)
        try:
            yield sim, controller
        finally:
            controller.close(force=True)


def test_positioning_reaches_its_target(line):
    _, controller = line
    controller.locate_absolutely(1, 30.0)
    controller.wait_for_locating_done(1, WAIT)
    assert controller.get_position(1) == 30.0
    controller.locate_relatively(1, -12.5)
    controller.wait_for_locating_done(1, WAIT)
    words = controller.status_words(1)
    assert words[0] == 17.5 and words[4] == StopSource.Null
    assert controller.is_running(1, words) is False
    assert controller.get_stop_source(1) is StopSource.Null


def test_a_move_into_the_limit_raises_the_stop_source(line):
    _, controller = line
    controller.locate_absolutely(2, 300.0)  # beyond the positive limit switch
    with pytest.raises(OSError) as excinfo:
        controller.wait_for_locating_done(2, WAIT)
    assert str(excinfo.value) == "定位动作因故未能完成:4"
    assert controller.at_positive_limit(2)
    assert controller.get_stop_source(2) is StopSource.PositiveLimit


@pytest.mark.parametrize("method", list(FindingOMethod))
def test_several_stations_home_at_once(line, method):
    _, controller = line
    controller.finding_o_method = method
    # The axes stand above the origin window: an origin-only search must go negative,
    # while limit-first reaches the window from either limit.
    limit_first = method == FindingOMethod.LimitFirstThenBackward
    second = Direction.Positive if limit_first else Direction.Negative
    directions = {1: Direction.Negative, 2: second, 3: Direction.Negative}
    for station, direction in directions.items():
        controller.find_o(station, 5.0, 50.0, 0.1, direction)
    results = {s: controller.wait_for_find_o_finish(s, WAIT) for s in directions}
    assert results == {1: True, 2: True, 3: True}
    assert [controller.get_position(s) for s in directions] == [0.0, 0.0, 0.0]
    assert controller._find_o_threads == {}


@pytest.mark.parametrize("method, source", [
    (FindingOMethod.OriginOnly, StopSource.NegativeLimit),
    (FindingOMethod.LimitFirstThenBackward, StopSource.PositiveLimit),
])
def test_homing_without_an_origin_sensor_ends_false_on_a_limit(line, method, source):
    sim, controller = line
    # Move the origin window out of reach, beyond the positive limit switch.
    sim.set_geometry(1, origin_low=30000, origin_high=31000)
    controller.finding_o_method = method
    controller.find_o(1, 5.0, 50.0, 0.1, Direction.Negative)
    assert controller.wait_for_find_o_finish(1, WAIT) is False
    assert controller.get_stop_source(1) is source
