"""Homing: starting runs on threads, the two strategies, collecting the result."""

import contextlib
import signal
import threading

import pytest

import zol_kov
from fake_master import Call, FakeMaster, ScriptedAxis
from kov_helpers import argtype
from support import LONG
from zol_kov import Direction, FindingOMethod, KOVAxisController, StopSource

LFTB = FindingOMethod.LimitFirstThenBackward
ONLY = FindingOMethod.OriginOnly
NEG, POS = Direction.Negative, Direction.Positive
NOT_WAITED = "Axis is not finding origin point, or has been waited."
NEG_DISABLED = "禁用了负极限，却往负方向找原点。可能需要把找原点方式改为只使用原点信号"
POS_DISABLED = "禁用了正极限，却往正方向找原点。可能需要把找原点方式改为只使用原点信号"
PROFILE = "Set (start velocity, velocity, acceleration time) to (5.0, 20.0, 0.2)"


@pytest.fixture
def axis():
    return ScriptedAxis()


@pytest.fixture
def hc(kov, axis, log, sleeps):
    """A controller on a scripted axis, with pauses that do not wait."""
    controller = KOVAxisController(axis)
    log.clear()
    return controller


@contextlib.contextmanager
def thread_exceptions():
    seen = []
    old = threading.excepthook
    threading.excepthook = lambda args: seen.append(args.exc_type)
    try:
        yield seen
    finally:
        threading.excepthook = old


def y1(station, polls):
    return [("get_coil", station, "Y1")] * (polls + 1)


def run_and_collect(hc, axis, log, station, direction, method):
    hc.find_o(station, 5.0, 20.0, 0.2, direction)
    assert hc.is_finding_o(station) is True
    result = hc.wait_for_find_o_finish(station, LONG)
    assert hc.is_finding_o(station) is False
    return result


# --- complete runs ---------------------------------------------------------------------

LIMIT = {NEG: StopSource.NegativeLimit, POS: StopSource.PositiveLimit}
START = {  # what find_o reads and writes before the thread starts
    (LFTB, NEG): [("get_coil", 3, "R12"), ("set_multi_uint32", 3, "DT0", [5, 20, 200])],
    (LFTB, POS): [("get_coil", 3, "R13"), ("set_multi_uint32", 3, "DT0", [5, 20, 200])],
    (ONLY, NEG): [("set_multi_uint32", 3, "DT0", [5, 20, 200])],
    (ONLY, POS): [("set_multi_uint32", 3, "DT0", [5, 20, 200])],
}
COLLECT = [("get_int32", 3, "D20")]
ORIGIN_SET = [("set_int32", 3, "DT10", 0)]

# A successful run of station 3 whose every motion polls running once before it stops:
# the thread's device calls, and its log lines (from the thread's first line on).
RUN = {
    (LFTB, NEG): (
        [("get_coil", 3, "X1"), ("set_coil", 3, "R3", True)] + y1(3, 1) + [("get_int32", 3, "D20"),
         ("set_coil", 3, "R6", True)] + y1(3, 1) + [("get_int32", 3, "D20")] + ORIGIN_SET,
        ["Finding o started, method 0, station 3",
         "Station 3 run negative",
         "Station 3, finding O stage 0 stop, source: 3",
         "Start finding O for station 3, direction 1",
         "Station 3, finding O stage 1 stopped, source: 2",
         "Set here O for station 3"],
    ),
    (LFTB, POS): (
        [("get_coil", 3, "X2"), ("set_coil", 3, "R4", True)] + y1(3, 1) + [("get_int32", 3, "D20"),
         ("set_coil", 3, "R5", True)] + y1(3, 1) + [("get_int32", 3, "D20")] + ORIGIN_SET,
        ["Finding o started, method 0, station 3",
         "Station 3 run positive",
         "Station 3, finding O stage 0 stop, source: 4",
         "Start finding O for station 3, direction -1",
         "Station 3, finding O stage 1 stopped, source: 2",
         "Set here O for station 3"],
    ),
    (ONLY, NEG): (
        [("set_coil", 3, "R5", True)] + y1(3, 1) + [("get_int32", 3, "D20")] + ORIGIN_SET,
        ["Finding o started, method 1, station 3",
         "Start finding O for station 3, direction -1",
         "Station 3, finding O(origin only) stopped, source: 2",
         "Set here O for station 3"],
    ),
    (ONLY, POS): (
        [("set_coil", 3, "R6", True)] + y1(3, 1) + [("get_int32", 3, "D20")] + ORIGIN_SET,
        ["Finding o started, method 1, station 3",
         "Start finding O for station 3, direction 1",
         "Station 3, finding O(origin only) stopped, source: 2",
         "Set here O for station 3"],
    ),
}
STAGE_0_END = 3 + 2  # the calls of RUN[LFTB, ...] up to stage 0's stop-source read


def stages(method, direction, origin_search=StopSource.Origin, stage_0=None):
    first = [(1, LIMIT[direction] if stage_0 is None else stage_0)] if method == LFTB else []
    return first + [(1, origin_search)]


@pytest.mark.parametrize("direction", [NEG, POS])
@pytest.mark.parametrize("method", [LFTB, ONLY])
def test_successful_run(hc, axis, log, sleeps, method, direction):
    axis.plan(3, stages=stages(method, direction))
    if method == ONLY:
        hc.finding_o_method = ONLY
        log.clear()
    assert run_and_collect(hc, axis, log, 3, direction, method) is True
    calls, lines = RUN[method, direction]
    assert axis.calls == START[method, direction] + calls + COLLECT
    assert log.records == (
        [("INFO", PROFILE), ("INFO", "Start finding o, station 3")]
        + [("INFO", line) for line in lines]
        + [("INFO", "Wait for finding O done. Station 3, source 2")]
    )
    # One pause of 0.01 s after each poll that found the axis running.
    assert sleeps.calls == [0.01] * (2 if method == LFTB else 1)


@pytest.mark.parametrize("polls", [0, 3])
def test_the_running_state_is_polled_until_the_axis_stops(hc, axis, sleeps, polls):
    axis.plan(3, stages=[(polls, StopSource.NegativeLimit), (polls, StopSource.Origin)])
    assert run_and_collect(hc, axis, None, 3, NEG, LFTB) is True
    assert axis.ops("get_coil").count(("get_coil", 3, "Y1")) == 2 * (polls + 1)
    assert sleeps.calls == [0.01] * (2 * polls)


@pytest.mark.parametrize("direction", [NEG, POS])
def test_already_on_the_limit(hc, axis, log, sleeps, direction):
    axis.plan(3, stages=[(1, StopSource.Origin)],
              inputs={"X1": direction == NEG, "X2": direction == POS})
    assert run_and_collect(hc, axis, log, 3, direction, LFTB) is True
    calls, lines = RUN[LFTB, direction]
    # Stage 0 reads the limit input, finds the axis on it, and neither moves nor logs.
    assert axis.calls == START[LFTB, direction] + calls[:1] + calls[STAGE_0_END:] + COLLECT
    assert log.messages[2:-1] == lines[:1] + lines[3:]


@pytest.mark.parametrize("direction", [NEG, POS])
@pytest.mark.parametrize("source", list(StopSource))
def test_each_stop_source_of_stage_0(hc, axis, log, direction, source):
    axis.plan(3, stages=stages(LFTB, direction, stage_0=source))
    result = run_and_collect(hc, axis, log, 3, direction, LFTB)
    calls, lines = RUN[LFTB, direction]
    if source == LIMIT[direction]:
        assert axis.calls == START[LFTB, direction] + calls + COLLECT
        assert log.messages[2:-1] == lines
    else:
        # Any other source ends the run right after its line: no origin search.
        assert axis.calls == START[LFTB, direction] + calls[:STAGE_0_END] + COLLECT
        assert log.messages[2:-1] == lines[:2] + [lines[2][:-1] + str(source.value)]
    # A stage 0 that stopped on the origin input set no origin: the run failed.
    final = StopSource.Origin if source == LIMIT[direction] else source
    assert result is (source == LIMIT[direction])
    assert log.messages[-1] == "Wait for finding O done. Station 3, source %d" % final


@pytest.mark.parametrize("direction", [NEG, POS])
@pytest.mark.parametrize("method", [LFTB, ONLY])
@pytest.mark.parametrize("source", list(StopSource))
def test_each_stop_source_of_the_origin_search(hc, axis, log, direction, method, source):
    axis.plan(3, stages=stages(method, direction, origin_search=source))
    hc._finding_o_method = method
    result = run_and_collect(hc, axis, log, 3, direction, method)
    calls, lines = RUN[method, direction]
    if source == StopSource.Origin:
        assert axis.calls == START[method, direction] + calls + COLLECT
        assert log.messages[2:-1] == lines
    else:
        # The search's line shows the source; the origin is not set.
        assert axis.calls == START[method, direction] + calls[:-1] + COLLECT
        assert log.messages[2:-1] == lines[:-2] + [lines[-2][:-1] + str(source.value)]
    assert result is (source == StopSource.Origin)


def test_several_stations_at_once_with_the_real_pause(kov, log):
    axis = ScriptedAxis()
    controller = KOVAxisController(axis)
    plans = {
        1: (NEG, [(3, StopSource.NegativeLimit), (5, StopSource.Origin)]),
        2: (POS, [(4, StopSource.PositiveLimit), (2, StopSource.Alarm)]),
        4: (NEG, [(2, StopSource.NegativeLimit), (3, StopSource.Origin)]),
    }
    for station, (direction, stages_) in plans.items():
        axis.plan(station, stages=stages_)
        controller.find_o(station, 5, 20, 0.2, direction)
    results = {station: controller.wait_for_find_o_finish(station, LONG) for station in plans}
    assert results == {1: True, 2: False, 4: True}
    # Each station's own calls, as if it had been alone.
    assert [c[2:] for c in axis.calls if c[1] == 1 and c[2] != "Y1"] == [
        ("R12",), ("DT0", [5, 20, 200]), ("X1",), ("R3", True), ("D20",), ("R6", True),
        ("D20",), ("DT10", 0), ("D20",)]
    assert [c[2:] for c in axis.calls if c[1] == 2 and c[2] != "Y1"] == [
        ("R13",), ("DT0", [5, 20, 200]), ("X2",), ("R4", True), ("D20",), ("R5", True),
        ("D20",), ("D20",)]
    assert [len([c for c in axis.calls if c[1:] == (s, "Y1")]) for s in plans] == [10, 8, 7]
    assert is_subsequence(
        ["Station 2 run positive", "Station 2, finding O stage 0 stop, source: 4",
         "Start finding O for station 2, direction -1",
         "Station 2, finding O stage 1 stopped, source: 5"],
        log.messages)
    assert "Set here O for station 2" not in log.messages


def is_subsequence(part, whole):
    rest = iter(whole)
    return all(any(item == other for other in rest) for item in part)


# --- the run's own failures -------------------------------------------------------------


def test_bus_failure_during_stage_0_ends_the_run_quietly(hc, axis, log):
    axis.plan(3, stages=[(5, StopSource.NegativeLimit)])
    axis.script("get_coil", "Y1", True, True, OSError("bus"))
    with thread_exceptions() as seen:
        hc.find_o(3, 5, 20, 0.2)
        assert hc.wait_for_find_o_finish(3, LONG) is False
    assert seen == []
    assert not any("stage 0" in m for m in log.messages)
    assert axis.axes[3].started == ["R3"]
    assert axis.calls[-2:] == [("get_coil", 3, "Y1"), ("get_int32", 3, "D20")]


@pytest.mark.parametrize("method", [LFTB, ONLY])
def test_unknown_stop_source_code_ends_the_run_quietly(hc, axis, log, method):
    axis.plan(3, stages=[(0, 9)])
    hc._finding_o_method = method
    with thread_exceptions() as seen:
        hc.find_o(3, 5, 20, 0.2, POS if method == ONLY else NEG)
        hc._find_o_threads[3].join(30)
    assert seen == []
    with pytest.raises(ValueError):
        hc.wait_for_find_o_finish(3, LONG)
    assert hc.is_finding_o(3) is False
    assert not any("stop" in m and "source" in m for m in log.messages)


def test_a_failed_origin_write_is_no_success(hc, axis, log):
    # The search stopped on the origin, so the stop source reads Origin; but the position
    # was never made 0.
    axis.plan(3, stages=[(0, StopSource.Origin)])
    axis.fail("set_int32", OSError("write failed"))
    hc.finding_o_method = ONLY
    with thread_exceptions() as seen:
        hc.find_o(3, 5, 20, 0.2)
        assert hc.wait_for_find_o_finish(3, LONG) is False
    assert seen == []
    assert "Set here O for station 3" not in log.messages
    assert log.messages[-1] == "Wait for finding O done. Station 3, source 2"


class Abort(BaseException):
    pass


def test_exceptions_outside_exception_end_the_thread_unhandled(hc, axis, log):
    axis.plan(3, stages=[(3, StopSource.NegativeLimit)])
    axis.script("get_coil", "Y1", Abort())
    with thread_exceptions() as seen:
        hc.find_o(3, 5, 20, 0.2)
        hc._find_o_threads[3].join(30)
    assert seen == [Abort]
    assert hc.wait_for_find_o_finish(3, LONG) is False


def test_unknown_method_runs_nothing(hc, axis, log):
    axis.plan(3)
    hc._finding_o_method = 7
    assert hc._find_o_thread_func(3, NEG) is None
    assert log.messages == ["Finding o started, method 7, station 3"]
    assert axis.calls == []


# --- procedures called directly ---------------------------------------------------------


@pytest.mark.parametrize(
    "direction, coil, shown",
    [(NEG, "R5", "-1"), (POS, "R6", "1"), (-1, "R5", "-1"), (0, "R6", "0"), ("up", "R6", "up")],
)
def test_find_o_writes_the_search_coil(kov, log, direction, coil, shown):
    master = FakeMaster()
    master.script("set_coil", None, "ignored")
    controller = KOVAxisController(master)
    log.clear()
    assert controller._find_o(3, direction) is None
    assert master.calls == [("set_coil", 3, coil, True)]
    assert log.messages == ["Start finding O for station 3, direction %s" % shown]


@pytest.mark.parametrize(
    "direction, limit, run, expected",
    [(POS, "X2", "R4", StopSource.PositiveLimit), (NEG, "X1", "R3", StopSource.NegativeLimit),
     (0, "X1", "R3", StopSource.NegativeLimit)],
)
@pytest.mark.parametrize("source", list(StopSource))
def test_stage_0(hc, axis, log, sleeps, direction, limit, run, expected, source):
    axis.plan(3, stages=[(2, source)])
    stage_0 = hc._KOVAxisController__find_o_stage_0
    if source == expected:
        assert stage_0(3, direction) is None
    else:
        with pytest.raises(OSError) as excinfo:
            stage_0(3, direction)
        assert type(excinfo.value) is OSError
        assert excinfo.value.args == ("找原点阶段一，因故停机:%d" % source,)
    assert axis.calls == [("get_coil", 3, limit), ("set_coil", 3, run, True)] + y1(3, 2) + [
        ("get_int32", 3, "D20")
    ]
    assert log.messages[-1] == "Station 3, finding O stage 0 stop, source: %d" % source
    assert sleeps.calls == [0.01, 0.01]


@pytest.mark.parametrize("direction, limit", [(POS, "X2"), (NEG, "X1")])
def test_stage_0_on_the_limit_does_nothing(hc, axis, log, direction, limit):
    axis.plan(3, inputs={limit: True})
    assert hc._KOVAxisController__find_o_stage_0(3, direction) is None
    assert axis.calls == [("get_coil", 3, limit)]
    assert log.records == []


@pytest.mark.parametrize(
    "name", ["_find_o_thread_func_limit_first_then_backward", "_find_o_origin_only",
             "_find_o_thread_func"]
)
def test_procedures_return_none_whatever_happens(hc, axis, log, name):
    axis.plan(3, stages=[(0, StopSource.Alarm)])
    with thread_exceptions() as seen:
        assert getattr(hc, name)(3, NEG) is None
    assert seen == []


def test_procedures_use_the_instance_operations(axis, log, sleeps):
    seen = []

    class Sub(KOVAxisController):
        def at_negative_limit(self, station):
            seen.append("at_negative_limit")
            return False

        def run_negative(self, station):
            seen.append("run_negative")

        def is_running(self, station):
            seen.append("is_running")
            return seen.count("is_running") % 3 != 0

        def get_stop_source(self, station):
            seen.append("get_stop_source")
            return [StopSource.NegativeLimit, StopSource.Origin][seen.count("get_stop_source") - 1]

        def set_here_o(self, station):
            seen.append("set_here_o")

    axis.plan(3, stages=[(0, StopSource.Origin)])
    controller = Sub(axis)
    controller._find_o_thread_func_limit_first_then_backward(3, NEG)
    assert seen == (
        ["at_negative_limit", "run_negative"] + ["is_running"] * 3 + ["get_stop_source"]
        + ["is_running"] * 3 + ["get_stop_source", "set_here_o"]
    )
    assert axis.calls == [("set_coil", 3, "R6", True)]


@pytest.mark.parametrize(
    "name", ["_find_o", "_KOVAxisController__find_o_stage_0", "_find_o_thread_func",
             "_find_o_origin_only", "_find_o_thread_func_limit_first_then_backward"]
)
def test_procedures_take_exactly_an_int_station(hc, axis, name):
    with pytest.raises(TypeError) as excinfo:
        getattr(hc, name)(True, NEG)
    assert str(excinfo.value) == argtype("station", "int", "bool")
    assert axis.calls == []


# --- the homing method ------------------------------------------------------------------


def test_homing_method_property(hc, log):
    assert hc.finding_o_method is LFTB
    hc.finding_o_method = ONLY
    assert hc.finding_o_method is ONLY and hc._finding_o_method is ONLY
    assert log.records == [("INFO", "Set finding o method to 1")]


@pytest.mark.parametrize("value, shown", [(1, "1"), ("x", "x"), (None, "None"), (StopSource.Command, "1")])
def test_homing_method_must_be_a_member(hc, log, value, shown):
    with pytest.raises(AssertionError) as excinfo:
        hc.finding_o_method = value
    assert excinfo.value.args == ("未知的找原点方式值：%s" % shown,)
    assert hc.finding_o_method is LFTB
    assert log.records == []


def test_refused_homing_method_is_shown_by_its_format_text(hc, log):
    from kov_helpers import Shown

    with pytest.raises(AssertionError) as excinfo:
        hc.finding_o_method = Shown()
    assert excinfo.value.args == ("未知的找原点方式值：<format ''>",)


def test_homing_method_cannot_be_deleted(hc):
    with pytest.raises(AttributeError):
        del hc.finding_o_method
    assert hc.finding_o_method is LFTB


# --- starting a run ---------------------------------------------------------------------


@pytest.fixture
def gated(monkeypatch):
    """Threads made by the module record how they were made and wait for their gate."""

    class GatedThread(threading.Thread):
        made = []

        def __init__(self, *args, **kwargs):
            self.made_with = (args, dict(kwargs))
            self.joins = []
            super().__init__(*args, **kwargs)
            self.gate = threading.Event()
            GatedThread.made.append(self)

        def run(self):
            self.gate.wait(30)
            super().run()

        def join(self, timeout=None):
            self.joins.append(timeout)
            super().join(timeout)

    monkeypatch.setattr(zol_kov, "_Thread", GatedThread)
    yield GatedThread
    for thread in GatedThread.made:
        thread.gate.set()


def test_thread_is_made_with_target_and_args_only(hc, axis, log, gated):
    axis.plan(3, stages=[(0, StopSource.NegativeLimit), (0, StopSource.Origin)])
    hc.find_o(3, 5, 20, 0.2)
    thread, = gated.made
    args, kwargs = thread.made_with
    assert args == () and sorted(kwargs) == ["args", "target"]
    assert kwargs["args"] == (3, NEG) and kwargs["args"][1] is NEG
    assert kwargs["target"].__self__ is hc
    assert kwargs["target"].__name__ == "_find_o_thread_func"
    assert hc._find_o_threads == {3: thread}
    assert thread.daemon is threading.current_thread().daemon
    assert log.messages == [PROFILE, "Start finding o, station 3"]
    thread.gate.set()
    assert hc.wait_for_find_o_finish(3, LONG) is True


@pytest.mark.parametrize("timeout", [None, 0.0, 0.25, -3.0])
def test_collection_joins_with_the_callers_timeout(hc, axis, log, gated, timeout):
    axis.plan(3, stages=[(0, StopSource.NegativeLimit), (0, StopSource.Origin)])
    hc.find_o(3, 5, 20, 0.2)
    thread = gated.made[0]
    thread.gate.set()
    threading.Thread.join(thread, 30)
    assert hc.wait_for_find_o_finish(3, timeout) is True
    assert thread.joins == [timeout]


def test_method_changed_before_the_thread_begins(hc, axis, log, gated):
    axis.plan(3, stages=[(1, StopSource.Origin)])
    hc.find_o(3, 5, 20, 0.2)
    assert axis.calls[0] == ("get_coil", 3, "R12")
    hc.finding_o_method = ONLY
    gated.made[0].gate.set()
    assert hc.wait_for_find_o_finish(3, LONG) is True
    assert "Finding o started, method 1, station 3" in log.messages
    assert axis.axes[3].started == ["R5"]


def test_unknown_method_set_before_the_thread_begins(hc, axis, log, gated):
    axis.plan(3)
    hc.find_o(3, 5, 20, 0.2)
    hc._finding_o_method = 7
    axis.clear()
    log.clear()
    gated.made[0].gate.set()
    assert hc.wait_for_find_o_finish(3, LONG) is False
    assert log.messages == ["Finding o started, method 7, station 3",
                            "Wait for finding O done. Station 3, source 0"]
    assert axis.calls == [("get_int32", 3, "D20")]


def test_overridden_thread_function_is_the_target(axis, log, sleeps):
    ran = []

    class Sub(KOVAxisController):
        def _find_o_thread_func(self, station, direction):
            ran.append((station, direction))

    controller = Sub(axis)
    controller.find_o(2, 1, 2, 0, POS)
    assert controller.wait_for_find_o_finish(2, 30.0) is False
    assert ran == [(2, POS)]


def test_start_with_integer_speeds(hc, axis):
    axis.plan(3, stages=[(0, StopSource.NegativeLimit), (0, StopSource.Origin)])
    hc.find_o(3, 5, 20, 1)
    assert axis.calls[:2] == [("get_coil", 3, "R12"), ("set_multi_uint32", 3, "DT0", [5, 20, 1000])]
    assert hc.wait_for_find_o_finish(3, LONG) is True


def test_start_writes_the_profile_through_the_instance(axis, log, sleeps):
    seen = []

    class Sub(KOVAxisController):
        def set_parameters(self, *args):
            seen.append(args)

    axis.plan(3, stages=[(0, StopSource.NegativeLimit), (0, StopSource.Origin)])
    controller = Sub(axis)
    controller.find_o(3, 5, 20, 1)
    assert seen == [(3, 5.0, 20.0, 1.0)]
    assert [type(a) for a in seen[0]] == [int, float, float, float]
    assert controller.wait_for_find_o_finish(3, LONG) is True


@pytest.mark.parametrize("direction", [1, -1, "negative", None])
def test_start_needs_a_direction_member(hc, axis, log, direction):
    hc._find_o_threads[3] = None  # even before the registry test
    with pytest.raises(AssertionError) as excinfo:
        hc.find_o(3, 5, 20, 0.2, direction)
    assert excinfo.value.args == ()
    assert axis.calls == [] and log.records == []
    del hc._find_o_threads[3]


def test_start_on_a_registered_station_is_refused(hc, axis, log):
    axis.plan(3, stages=[(0, StopSource.NegativeLimit), (0, StopSource.Origin)])
    hc.find_o(3, 5, 20, 0.2)
    hc._find_o_threads[3].join(30)  # long ended, still registered
    assert hc.is_finding_o(3) is True
    axis.clear()
    log.clear()
    with pytest.raises(BlockingIOError) as excinfo:
        hc.find_o(3, 5, 20, 0.2)
    assert type(excinfo.value) is BlockingIOError
    assert str(excinfo.value) == "Axis 3 has been finding o."
    assert axis.calls == [] and log.records == []
    assert hc.wait_for_find_o_finish(3, LONG) is True
    axis.plan(3, stages=[(0, StopSource.NegativeLimit), (0, StopSource.Origin)])
    hc.find_o(3, 5, 20, 0.2)
    assert hc.wait_for_find_o_finish(3, LONG) is True


@pytest.mark.parametrize(
    "direction, relays, message, read",
    [(NEG, {"R12": True}, NEG_DISABLED, "R12"), (POS, {"R13": True}, POS_DISABLED, "R13")],
)
def test_start_towards_a_disabled_limit_is_refused(hc, axis, log, direction, relays, message, read):
    axis.plan(3, relays=relays)
    with pytest.raises(AssertionError) as excinfo:
        hc.find_o(3, 5, 20, 0.2, direction)
    assert excinfo.value.args == (message,)
    assert axis.calls == [("get_coil", 3, read)]
    assert hc.is_finding_o(3) is False
    assert log.records == []


@pytest.mark.parametrize("direction, relays", [(POS, {"R12": True}), (NEG, {"R13": True})])
def test_only_the_limit_of_the_direction_is_consulted(hc, axis, direction, relays):
    axis.plan(3, relays=relays, stages=[(0, LIMIT[direction]), (0, StopSource.Origin)])
    hc.find_o(3, 5, 20, 0.2, direction)
    assert hc.wait_for_find_o_finish(3, LONG) is True


@pytest.mark.parametrize("direction", [NEG, POS])
def test_origin_only_consults_no_limit(hc, axis, direction):
    axis.plan(3, relays={"R12": True, "R13": True}, stages=[(0, StopSource.Origin)])
    hc.finding_o_method = ONLY
    hc.find_o(3, 5, 20, 0.2, direction)
    assert hc.wait_for_find_o_finish(3, LONG) is True
    assert not any(c[2] in ("R12", "R13") for c in axis.calls)


def test_limit_queries_go_through_the_instance(axis, log):
    class Sub(KOVAxisController):
        def negative_limit_is_disabled(self, station):
            return True

    controller = Sub(axis)
    with pytest.raises(AssertionError) as excinfo:
        controller.find_o(3, 5, 20, 0.2)
    assert excinfo.value.args == (NEG_DISABLED,)
    assert axis.calls == []


@pytest.mark.parametrize("args", [(0, 20, 0.2), (30, 20, 0.2), (5, 20, -1)])
def test_refused_profile_starts_nothing(hc, axis, log, args):
    axis.plan(3)
    before = threading.active_count()
    with pytest.raises(AssertionError):
        hc.find_o(3, *args)
    assert threading.active_count() == before
    assert hc.is_finding_o(3) is False
    assert axis.calls == [("get_coil", 3, "R12")]


def test_station_is_taken_while_the_start_writes_the_profile():
    master = FakeMaster()
    controller = KOVAxisController(master)
    seen = {}

    def write_profile(*args):
        seen["busy"] = controller.is_finding_o(3)
        with pytest.raises(BlockingIOError, match=r"^Axis 3 has been finding o\.$"):
            controller.find_o(3, 5, 20, 0.2)
        with pytest.raises(RuntimeError, match="Some is finding o"):
            controller.close()
        # Not yet collectable: there is no run to wait for.
        with pytest.raises(ValueError):
            controller.wait_for_find_o_finish(3, 0.0)

    master.script("set_multi_uint32", "DT0", Call(write_profile))
    master.script("get_coil", "X1", True)  # on the negative limit: stage 0 has nothing to do
    master.script("get_coil", "Y1", False)
    master.script("get_int32", "D20", 2)
    controller.find_o(3, 5, 20, 0.2)
    assert seen == {"busy": True}
    assert isinstance(controller._find_o_threads[3], threading.Thread)
    assert controller.wait_for_find_o_finish(3) is True
    # The nested refusals wrote nothing to the device.
    assert master.ops("set_multi_uint32") == [("set_multi_uint32", 3, "DT0", [5, 20, 200])]
    controller.close()


@pytest.mark.parametrize("failing_step", ["profile", "log"])
def test_a_start_that_fails_after_the_registry_test_gives_the_station_back(
    monkeypatch, failing_step
):
    master = FakeMaster()
    controller = KOVAxisController(master)
    created = []
    error = OSError("bus down" if failing_step == "profile" else "disk full")

    class RecordingThread(threading.Thread):
        def __init__(self, **kwargs):
            super().__init__(**kwargs)
            created.append(self)

    monkeypatch.setattr(zol_kov, "_Thread", RecordingThread)
    if failing_step == "profile":
        master.fail("set_multi_uint32", error)
    else:

        class Refusing:
            def info(self, message):
                if message.startswith("Start finding o"):
                    raise error

        monkeypatch.setattr(zol_kov, "logger", Refusing())
    with pytest.raises(OSError) as excinfo:
        controller.find_o(3, 5, 20, 0.2)
    assert excinfo.value is error
    assert controller.is_finding_o(3) is False
    assert all(not t.is_alive() and t.ident is None for t in created)
    controller.close()


@pytest.mark.parametrize(
    "args, message",
    [((True, 5, 20, 0.2), argtype("station", "int", "bool")),
     (("3", 5, 20, 0.2), argtype("station", "int", "str"))],
)
def test_start_argument_types(hc, axis, args, message):
    with pytest.raises(TypeError) as excinfo:
        hc.find_o(*args)
    assert str(excinfo.value) == message
    assert axis.calls == []


def test_start_converts_speeds_before_testing_the_station(hc, axis):
    with pytest.raises(TypeError) as excinfo:
        hc.find_o(True, 5, "20", 0.2)
    assert "station" not in str(excinfo.value)
    assert axis.calls == []


def test_failed_thread_start_leaves_the_station_free(hc, axis, log, monkeypatch):
    error = RuntimeError("can't start new thread")

    class Unstartable(threading.Thread):
        def start(self):
            raise error

    monkeypatch.setattr(zol_kov, "_Thread", Unstartable)
    axis.plan(3, stages=[(0, StopSource.NegativeLimit), (0, StopSource.Origin)])
    with pytest.raises(RuntimeError) as excinfo:
        hc.find_o(3, 5, 20, 0.2)
    assert excinfo.value is error
    assert hc.is_finding_o(3) is False
    assert 3 not in hc._find_o_threads
    monkeypatch.setattr(zol_kov, "_Thread", threading.Thread)
    hc.find_o(3, 5, 20, 0.2)
    assert hc.wait_for_find_o_finish(3, LONG) is True


def start_interrupted(hc, axis, monkeypatch, thread_type, interrupt):
    """find_o(3, ...) with homing threads of `thread_type`, whose start() raises `interrupt`:
    find_o raises that very exception."""
    monkeypatch.setattr(zol_kov, "_Thread", thread_type)
    axis.plan(3, stages=[(0, StopSource.NegativeLimit), (0, StopSource.Origin)])
    with pytest.raises(KeyboardInterrupt) as excinfo:
        hc.find_o(3, 5, 20, 0.2)
    assert excinfo.value is interrupt


def test_a_start_interrupted_after_the_spawn_keeps_the_run_registered(hc, axis, monkeypatch):
    # Ctrl-C while Thread.start() waits for the spawned thread: the run goes on, so the
    # caller's stop and collection must still find it.
    interrupt = KeyboardInterrupt()
    gate = threading.Event()

    class InterruptedWhileStarting(threading.Thread):
        def run(self):
            gate.wait(30)
            super().run()

        def start(self):
            super().start()
            raise interrupt

    try:
        start_interrupted(hc, axis, monkeypatch, InterruptedWhileStarting, interrupt)
        assert hc.is_finding_o(3) is True
    finally:
        gate.set()
    assert hc.wait_for_find_o_finish(3, LONG) is True
    assert 3 not in hc._find_o_threads


def test_a_start_interrupted_before_the_spawn_frees_the_station(hc, axis, monkeypatch):
    # Ctrl-C between Thread.start() listing the thread and spawning it: threading lists a
    # thread that will never run. The station must not stay registered to it.
    interrupt = KeyboardInterrupt()

    class InterruptedBeforeSpawning(threading.Thread):
        def start(self):
            with threading._active_limbo_lock:
                threading._limbo[self] = self
            raise interrupt

    try:
        start_interrupted(hc, axis, monkeypatch, InterruptedBeforeSpawning, interrupt)
        assert hc.is_finding_o(3) is False
    finally:
        with threading._active_limbo_lock:
            for thread in [t for t in threading._limbo if isinstance(t, InterruptedBeforeSpawning)]:
                del threading._limbo[thread]


def test_simultaneous_starts_for_one_station(hc, axis, log):
    axis.plan(3, stages=[(0, StopSource.NegativeLimit), (0, StopSource.Origin)])
    meet = threading.Barrier(2)

    def write_profile(*args):
        # Hold the first caller here until the second has either arrived too or given up.
        try:
            meet.wait(30)
        except threading.BrokenBarrierError:
            pass

    axis.script("set_multi_uint32", "DT0", Call(write_profile))
    go = threading.Barrier(2)
    results = []
    first = threading.Event()

    def start():
        go.wait(30)
        try:
            hc.find_o(3, 5, 20, 0.2)
            results.append("started")
        except BlockingIOError as e:
            results.append(str(e))
        first.set()

    callers = [threading.Thread(target=start) for _ in range(2)]
    for caller in callers:
        caller.start()
    assert first.wait(60)
    meet.abort()
    for caller in callers:
        caller.join(60)
    assert sorted(results) == ["Axis 3 has been finding o.", "started"]
    assert len(axis.ops("set_multi_uint32")) == 1
    assert hc.wait_for_find_o_finish(3, LONG) is True
    assert axis.axes[3].started == ["R3", "R6"]


# --- registry and collection ------------------------------------------------------------


def test_is_finding_o_asks_the_registry_only(hc, axis):
    hc._find_o_threads[4] = "anything"
    assert hc.is_finding_o(4) is True
    assert hc.is_finding_o(5) is False
    assert axis.calls == []
    with pytest.raises(TypeError) as excinfo:
        hc.is_finding_o(True)
    assert str(excinfo.value) == argtype("station", "int", "bool")
    del hc._find_o_threads[4]


def test_collecting_an_unknown_station(hc, axis, log):
    with pytest.raises(ValueError) as excinfo:
        hc.wait_for_find_o_finish(3, LONG)
    assert excinfo.value.args == (NOT_WAITED,)
    assert axis.calls == [] and log.records == []


@pytest.mark.parametrize(
    "args, message",
    [((3, 5), argtype("timeout", "float", "int")),
     ((True, 5), argtype("station", "int", "bool")),
     ((3, "1"), argtype("timeout", "float", "str"))],
)
def test_collect_argument_types(hc, args, message):
    with pytest.raises(TypeError) as excinfo:
        hc.wait_for_find_o_finish(*args)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("timeout", [0.0, -1.0, 0.001])
def test_collect_timeout_while_running(hc, axis, log, timeout):
    axis.plan(3, stages=[(1, StopSource.NegativeLimit), (1, StopSource.Origin)])
    gate = axis.hold(3)
    hc.find_o(3, 5, 20, 0.2)
    assert axis.axes[3].at_gate.wait(30)
    log.clear()
    try:
        assert hc.wait_for_find_o_finish(3, timeout) is None
        assert log.records == [("ERROR", "Wait for finding O timeout, station 3")]
        assert hc.is_finding_o(3) is True
        assert ("get_int32", 3, "D20") not in axis.calls
    finally:
        gate.set()
    assert hc.wait_for_find_o_finish(3, None) is True


def test_repeated_collection_is_refused(hc, axis, log):
    axis.plan(3, stages=[(0, StopSource.NegativeLimit), (0, StopSource.PositiveLimit)])
    hc.find_o(3, 5, 20, 0.2)
    assert hc.wait_for_find_o_finish(3, LONG) is False
    assert log.messages[-1] == "Wait for finding O done. Station 3, source 4"
    with pytest.raises(ValueError) as excinfo:
        hc.wait_for_find_o_finish(3, LONG)
    assert excinfo.value.args == (NOT_WAITED,)


def test_close_is_refused_while_a_run_is_registered(hc, axis, log):
    axis.plan(3, stages=[(0, StopSource.NegativeLimit), (0, StopSource.Origin)])
    hc.find_o(3, 5, 20, 0.2)
    hc._find_o_threads[3].join(30)
    with pytest.raises(RuntimeError):
        hc.close()
    assert axis.ops("close") == []
    assert hc.wait_for_find_o_finish(3, LONG) is True
    hc.close()
    assert axis.ops("close") == [("close",)]


def test_forced_close_mid_run(hc, axis, log):
    axis.plan(3, stages=[(2, StopSource.NegativeLimit), (1, StopSource.Origin)])
    gate = axis.hold(3)
    with thread_exceptions() as seen:
        hc.find_o(3, 5, 20, 0.2)
        assert axis.axes[3].at_gate.wait(30)
        hc.close(force=True)
        assert hc._find_o_threads.keys() == {3}
        gate.set()
        hc._find_o_threads[3].join(30)
    assert seen == []
    assert not any("stage 0" in m for m in log.messages)
    with pytest.raises(AttributeError) as excinfo:
        hc.wait_for_find_o_finish(3, LONG)
    assert "get_int32" in str(excinfo.value)
    assert hc.is_finding_o(3) is False
    with pytest.raises(ValueError):
        hc.wait_for_find_o_finish(3, LONG)


def test_collection_reads_the_stop_source_now(hc, axis, log):
    axis.plan(3, stages=[(0, StopSource.NegativeLimit), (0, StopSource.Origin)])
    hc.find_o(3, 5, 20, 0.2)
    hc._find_o_threads[3].join(30)
    axis.axes[3].stop_source = int(StopSource.Command)  # a stop after the run
    assert hc.wait_for_find_o_finish(3, LONG) is False


def test_an_interrupted_wait_keeps_the_run_until_it_has_ended(hc, axis):
    # Ctrl-C (a timer signal here) inside the wait. On 3.9 to 3.12 the interrupted join
    # leaves the thread reporting itself ended while the run goes on.
    axis.plan(3, stages=[(1, StopSource.NegativeLimit), (1, StopSource.Origin)])
    gate = axis.hold(3)
    hc.find_o(3, 5, 20, 0.2)
    assert axis.axes[3].at_gate.wait(30)
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            hc.wait_for_find_o_finish(3, LONG)
        assert hc.wait_for_find_o_finish(3, 0.01) is None
        assert hc.is_finding_o(3) is True
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gate.set()
    assert hc.wait_for_find_o_finish(3, LONG) is True
