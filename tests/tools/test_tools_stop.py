"""zol_kov_tools: the safe stop and the wait for several axes.

The homing races (a stop that lands while the axis stands between two motions of a run,
a run that a bus error ended with the axis moving, a thread that never ends) are played
by a fake controller, which can hold each of them as long as a test needs; the rest runs
on the simulator.
"""

import signal
import threading
import time

import pytest

import zol_mew
import zol_kov_tools as tools
from support import TIME_SCALE, WAIT


class FakeAxes:
    """Stations with a homing run each that starts `motions` more motions whenever its
    axis stands, as a run's thread does when a stop landed between two of its motions.
    A stop makes a moving axis ramp down over a few polls."""

    RAMP_POLLS = 3

    def __init__(self, motions=0, stations=(1,)):
        self.running = {s: False for s in stations}
        self.speed = {s: 0.0 for s in stations}
        self.ramp = {s: 0 for s in stations}
        self.motions = {s: motions for s in stations}
        self.registered = {s: motions > 0 for s in stations}
        self.stops = []
        self.closed = None
        self.fail_stop = set()
        self.ignore_stop = set()  # a thread that never ends keeps its axis going

    def _poll(self, station):
        if self.running[station]:
            if self.ramp[station]:
                self.ramp[station] -= 1
                self.speed[station] -= 1.0
                self.running[station] = self.ramp[station] > 0
            else:
                self.speed[station] += 1.0  # accelerating or cruising to the limit
        elif self.registered[station] and self.motions[station] > 0:
            self._start_motion(station)

    def _start_motion(self, station):
        self.motions[station] -= 1
        self.running[station], self.speed[station] = True, 5.0

    def stop(self, station):
        if station in self.fail_stop:
            raise zol_mew.MewTimeoutError("no reply from station %d" % station)
        self.stops.append((station, signal.getsignal(signal.SIGINT)))
        if self.running[station] and station not in self.ignore_stop and not self.ramp[station]:
            self.ramp[station] = self.RAMP_POLLS

    def is_running(self, station, status_words=None):
        if status_words is not None:
            return bool(status_words[3] & (1 << 17))
        self._poll(station)
        return self.running[station]

    def status_words(self, station):
        self._poll(station)
        return [0.0, 0.0, -self.speed[station], int(self.running[station]) << 17, 1]

    def is_finding_o(self, station):
        return self.registered[station]

    def wait_for_find_o_finish(self, station, timeout=None):
        if not self.registered[station]:
            raise ValueError("Axis is not finding origin point, or has been waited.")
        if self.running[station] or self.motions[station] > 0 or station in self.ignore_stop:
            time.sleep(timeout)
            return None
        self.registered[station] = False
        return False

    def close(self, force=False):
        self.closed = force


def test_a_run_that_starts_its_next_motions_is_stopped_each_time():
    axes = FakeAxes(motions=4, stations=(1, 2))
    assert tools.stop_axes(axes, [1, 2, 1]) == []
    for station in (1, 2):
        assert not axes.running[station] and not axes.registered[station]
        assert axes.motions[station] == 0
        assert len([s for s, _ in axes.stops if s == station]) >= 5  # one per motion


def test_an_axis_that_a_collected_run_left_moving_is_stopped():
    axes = FakeAxes(motions=0)
    axes.registered[1] = True
    collect = axes.wait_for_find_o_finish

    def collect_leaving_it_moving(station, timeout=None):
        result = collect(station, timeout)
        axes.running[1], axes.speed[1] = True, 5.0  # the run's last jog, its thread gone
        return result

    axes.wait_for_find_o_finish = collect_leaving_it_moving
    assert tools.stop_axes(axes, [1]) == []
    assert not axes.running[1] and not axes.registered[1]


def test_the_deadline_holds_and_what_still_moves_is_returned(caplog):
    axes = FakeAxes(motions=1, stations=(1, 2, 3))
    axes.ignore_stop.add(2)  # its thread never ends (a blocked log handler, say)
    axes.fail_stop.add(3)
    started = time.monotonic()
    assert tools.stop_axes(axes, [1, 2, 3], timeout=0.3) == [2, 3]
    assert time.monotonic() - started < 0.3 + 0.2
    assert not axes.running[1] and not axes.registered[1]
    assert "Station 3 may still move: no reply from station 3" in caplog.text


def test_stop_on_error_stops_closes_and_reraises_with_ctrl_c_held_back():
    axes = FakeAxes(motions=2)
    before = signal.getsignal(signal.SIGINT)
    with pytest.raises(KeyboardInterrupt):
        with tools.stop_on_error(axes, [1]) as inside:
            assert inside is axes
            raise KeyboardInterrupt
    assert axes.closed is True and not axes.registered[1] and not axes.running[1]
    assert {handler for _, handler in axes.stops} == {signal.SIG_IGN}
    assert signal.getsignal(signal.SIGINT) is before

    untouched = FakeAxes()
    with tools.stop_on_error(untouched, [1]):
        pass
    assert untouched.stops == [] and untouched.closed is None


@pytest.fixture
def sim():
    with zol_mew.Simulator((1, 2, 3), time_scale=TIME_SCALE) as simulator:
        yield simulator


@pytest.mark.parametrize("start", [5000, -19950], ids=["in-the-jog", "in-the-search"])
def test_homing_stopped_at_any_moment_on_the_simulator_logs_no_error(kov, sim, log, start):
    # From 5000 the jog to the limit takes 0.3 s, from -19950 a millisecond, and the
    # origin search the next 0.25 s: the stops land before, in and between the stages.
    axes = kov.KOVAxisController(sim.port)
    axes.set_ppmm(1, 100)
    for delay in (0.0, 0.002, 0.01, 0.03):
        sim.place_axis(1, start)
        axes.find_o(1, 5.0, 20.0, 0.2, kov.Direction.Negative)
        time.sleep(delay)
        assert tools.stop_axes(axes, [1], timeout=WAIT) == [], delay
        assert not axes.is_finding_o(1) and not sim.state(1)["moving"]
        position = sim.state(1)["position"]
        time.sleep(0.05)
        assert sim.state(1)["position"] == position
    assert [m for level, m in log.records if level == "ERROR"] == []
    axes.close()


def test_wait_all_names_the_first_axis_that_failed_and_times_out_naming_the_rest(kov, sim):
    axes = kov.KOVAxisController(sim.port)
    for station in (1, 2, 3):
        axes.set_ppmm(station, 100)
    axes.locate_absolutely(1, 10.0)
    axes.locate_absolutely(2, 250.0)  # beyond the positive limit at 200 mm
    with pytest.raises(OSError) as failed:
        tools.wait_all(axes, [1, 2], WAIT)
    assert type(failed.value) is OSError and failed.value.station == 2
    assert str(failed.value) == "station 2: 定位动作因故未能完成:4"
    assert axes.get_position(1) == 10.0

    axes.run_negative(1)
    axes.run_positive(3)
    sim.set_input(1, "X1", False)  # limits held off: the jogs never end
    sim.set_input(3, "X2", False)
    with pytest.raises(TimeoutError, match=r"^station 1, 3: 定位超时$"):
        tools.wait_all(axes, [1, 3], 0.1)
    assert tools.stop_axes(axes, [1, 3]) == []
    axes.close()


def test_wait_all_polls_one_axis_at_a_time_and_leaves_the_bus_free(kov, sim):
    axes = kov.KOVAxisController(sim.port)
    for station in (1, 2, 3):
        sim.set_input(station, "X2", False)  # limit held off: only the stop ends the jogs
        axes.run_positive(station)
    stop_later = threading.Timer(0.3, lambda: [axes.stop(s) for s in (1, 2, 3)])
    before = sim.request_count
    stop_later.start()
    with pytest.raises(OSError, match="定位动作因故未能完成:1"):
        tools.wait_all(axes, [1, 2, 3], WAIT)
    stop_later.join()
    # 0.3 s of polling: one read per 10 ms at most (three pollers would make ~90).
    assert sim.request_count - before < 40
    tools.stop_axes(axes, [1, 2, 3])
    axes.close()
