"""Positioning, jogs and the positioning wait, through the master to the simulated modules."""

import threading

import pytest

from e2e_helpers import PPMM, WAIT, call_bounded, events, requests, wait_until

# A target the axis cannot reach within any test (2e9 pulses at 5000 pulses/s):
# a positioning that has to be caught running.
FAR = 2e9 / PPMM


def prepare(ctl, station=1):
    ctl.set_ppmm(station, PPMM)
    ctl.set_parameters(station, 5.0, 50.0, 0.05)  # 500 and 5000 pulses/s, 50 ms ramps


def locating_done(station, code):
    return "Station %d locating done. Stop source: %d" % (station, code)


@pytest.mark.parametrize(
    "target, pulses",
    [(12.5, 1250), (-5.5, -550), (123.459, 12345), (50.0, 5000)],
    ids=["positive", "negative", "truncated", "where-it-stands"],
)
def test_absolute_positioning_ends_on_the_target(kov, sim, ctl, log, target, pulses):
    prepare(ctl)
    log.clear()
    ctl.locate_absolutely(1, target)
    ctl.wait_for_locating_done(1, WAIT)

    assert sim.state(1)["position"] == pulses
    assert sim.get_int32(1, "DT6") == pulses
    assert ctl.get_position(1) == pytest.approx(pulses / PPMM)
    assert ctl.get_stop_source(1) is kov.StopSource.Null
    assert events(sim, 1)[-2:] == ["start absolute", "stop Null"]
    assert log.messages == [
        "Absolutely locating with target %r, station 1" % target,
        locating_done(1, 0),
    ]


def test_stations_move_at_the_same_time_to_their_own_targets(sim, ctl):
    for station in (1, 2, 3):
        prepare(ctl, station)
    targets = {1: 100.0, 2: -100.0, 3: 0.25}
    for station, target in targets.items():
        ctl.locate_absolutely(station, target)
    for station in targets:
        ctl.wait_for_locating_done(station, WAIT)
    assert [sim.state(s)["position"] for s in (1, 2, 3)] == [10000, -10000, 25]
    assert [ctl.get_position(s) for s in (1, 2, 3)] == pytest.approx([100.0, -100.0, 0.25])


@pytest.mark.parametrize("displacement, pulses", [(7.5, 750), (-20.0, -2000)])
def test_relative_positioning_and_its_repeats_without_a_target(
    sim, ctl, log, displacement, pulses
):
    prepare(ctl)
    sim.clear_request_log()
    log.clear()

    ctl.locate_relatively(1, displacement)
    ctl.wait_for_locating_done(1, WAIT)
    positions = [sim.state(1)["position"]]
    for _ in range(2):
        ctl.locate_relatively(1)
        # timeout 0.0 waits without a limit; bounded here so a hang fails the test
        _, error = call_bounded(ctl.wait_for_locating_done, 1)
        assert error is None
        positions.append(sim.state(1)["position"])

    assert positions == [5000 + pulses, 5000 + 2 * pulses, 5000 + 3 * pulses]
    writes = [r for r in requests(sim, 1) if r[0] in ("WD", "WC")]
    # DT8 is written once; the repeats only trigger R2 again.
    assert [w for w in writes if w[1].startswith("0008")] == [
        ("WD", "000802%04X%04X" % (pulses & 0xFFFF, (pulses >> 16) & 0xFFFF))
    ]
    assert [w for w in writes if w[0] == "WC"] == [("WC", "R00021")] * 3
    assert log.messages == [
        "Relatively locating with target %r, station 1" % displacement,
        locating_done(1, 0),
        "Relatively locating with target None, station 1",
        locating_done(1, 0),
        "Relatively locating with target None, station 1",
        locating_done(1, 0),
    ]


def test_an_int_relative_target_is_refused_before_anything_is_sent(sim, ctl):
    sim.clear_request_log()
    with pytest.raises(TypeError, match="target"):
        ctl.locate_relatively(1, 5)
    assert sim.request_log() == []
    assert not sim.state(1)["moving"]


@pytest.mark.parametrize(
    "start, limit, source, code, started",
    [
        (lambda c: c.run_negative(1), -20000, "NegativeLimit", 3, "start jog negative"),
        (lambda c: c.run_positive(1), 20000, "PositiveLimit", 4, "start jog positive"),
        (lambda c: c.locate_absolutely(1, -250.0), -20000, "NegativeLimit", 3, "start absolute"),
        (lambda c: c.locate_relatively(1, 300.0), 20000, "PositiveLimit", 4, "start relative"),
    ],
    ids=["jog-negative", "jog-positive", "absolute-beyond", "relative-beyond"],
)
def test_motion_ending_on_a_limit_fails_the_wait(
    kov, sim, ctl, log, start, limit, source, code, started
):
    prepare(ctl)
    start(ctl)
    with pytest.raises(OSError) as info:
        ctl.wait_for_locating_done(1, WAIT)

    assert type(info.value) is OSError  # neither a time-out nor a line failure
    assert str(info.value) == "定位动作因故未能完成:%d" % code
    assert sim.state(1)["position"] == limit
    assert events(sim, 1)[-2:] == [started, "stop " + source]
    assert ctl.get_stop_source(1) is getattr(kov.StopSource, source)
    assert ctl.at_negative_limit(1) is (limit < 0)
    assert ctl.at_positive_limit(1) is (limit > 0)
    assert ctl.is_running(1) is False
    assert log.messages[-1] == locating_done(1, code)


def test_wait_times_out_while_the_axis_moves_on(sim, ctl, log):
    prepare(ctl)
    ctl.disable_positive_limit(1)
    ctl.locate_absolutely(1, FAR)
    log.clear()

    with pytest.raises(TimeoutError) as info:
        ctl.wait_for_locating_done(1, 0.2)

    assert type(info.value) is TimeoutError
    assert str(info.value) == "定位超时"
    assert sim.state(1)["moving"]
    assert ctl.is_running(1) is True
    assert log.messages == []  # no "locating done" line, and no stop command
    assert "decelerate" not in events(sim, 1)

    ctl.stop(1)
    with pytest.raises(OSError, match="^定位动作因故未能完成:1$"):
        ctl.wait_for_locating_done(1, WAIT)


@pytest.mark.parametrize(
    "start",
    [lambda c: c.locate_absolutely(1, FAR), lambda c: c.run_positive(1)],
    ids=["positioning", "jog"],
)
def test_stop_from_another_thread_ends_the_wait(kov, sim, ctl, log, start):
    prepare(ctl)
    ctl.disable_positive_limit(1)
    start(ctl)
    sim.clear_request_log()
    log.clear()

    def stop_once_the_wait_polls():
        # The wait's first poll of Y1 shows it has begun; only then stop the axis.
        wait_until(
            lambda: ("RC", "Y0001") in requests(sim, 1), "the wait to poll the running output"
        )
        ctl.stop(1)

    stopper = threading.Thread(target=stop_once_the_wait_polls)
    stopper.start()
    try:
        with pytest.raises(OSError) as info:
            ctl.wait_for_locating_done(1, WAIT)
    finally:
        stopper.join(WAIT)
    assert not stopper.is_alive()

    assert not isinstance(info.value, TimeoutError)
    assert str(info.value) == "定位动作因故未能完成:1"
    assert events(sim, 1)[-2:] == ["decelerate", "stop Command"]
    assert ctl.get_stop_source(1) is kov.StopSource.Command
    assert not sim.state(1)["moving"]
    assert log.messages == ["Stop station 1", locating_done(1, 1)]
