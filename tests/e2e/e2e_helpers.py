"""Helpers of the end-to-end tests: time scale, bounds, and readers of the simulator."""

import time

import support
from support import TIME_SCALE, WAIT  # noqa: F401  (the tests import them from here)

STATIONS = (1, 2, 3)

# Pulses per millimetre used by most tests, so that millimetres and pulses differ.
PPMM = 100


def events(sim, station):
    """The trace events of a station (periodic samples left out)."""
    return [entry[3] for entry in sim.trace(station) if entry[3] is not None]


def requests(sim, station):
    """(command, payload) of each request to `station` in the simulator's log."""
    prefix = "@%02d" % station
    found = []
    for request in sim.request_log():
        if request.startswith(prefix):
            # '@' station(2) command(2) tag(1) payload checksum(2)
            found.append((request[3:5], request[6:-2]))
    return found


def wait_until(condition, what, limit=WAIT):
    """Polls `condition()` until it is true; fails clearly instead of hanging."""
    deadline = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < deadline, "still waiting after %.0f s for %s" % (limit, what)
        time.sleep(0.005)


def wait_moving(sim, station):
    wait_until(lambda: sim.state(station)["moving"], "station %d to move" % station)


def stop_and_settle(sim, station):
    """Ends a motion that a test left running, straight on the device."""
    sim.set_coil(station, "R0", True)
    assert sim.wait_stopped(station, WAIT), "station %d did not stop" % station


def finish_homing(controller, station):
    """Collects a homing run, failing (not hanging) when it does not end in time."""
    result = controller.wait_for_find_o_finish(station, WAIT)
    assert result is not None, "homing of station %d still running after %.0f s" % (station, WAIT)
    return result


def call_bounded(func, *args, limit=WAIT):
    """Runs func(*args) on a helper thread; returns (result, exception). A call
    that has not come back within `limit` seconds fails the test as a hang."""
    return support.call_bounded(func, *args, limit=limit)
