"""The simulator at the edges of its settings and of its use: refused values, a trace
that cannot flood or stall the serving thread, misuse of an uninitialised object, and
Ctrl-C during a long wait."""

import pytest

import support
import zol_mew
from child_python import run_python
from sim_helpers import TIME_SCALE, WAIT

SMALLEST = zol_mew.Simulator.min_trace_interval


@pytest.mark.parametrize(
    "options, names",
    [
        ({"trace_interval": SMALLEST / 2}, ["trace_interval", str(SMALLEST)]),
        ({"trace_interval": 1e-300}, ["trace_interval", str(SMALLEST)]),
        ({"trace_interval": 5e-324}, ["trace_interval", str(SMALLEST)]),
        ({"trace_interval": -SMALLEST}, ["trace_interval", str(SMALLEST)]),
        ({"trace_interval": float("nan")}, ["trace_interval", str(SMALLEST)]),
        ({"stations": 2**40}, ["station", str(2**40), "1..99"]),
        ({"stations": (1, -(2**70))}, ["station", str(-(2**70)), "1..99"]),
        ({"baudrate": 2**70}, ["baudrate"]),
    ],
)
def test_settings_out_of_range_are_refused(options, names):
    with pytest.raises(ValueError) as raised:
        zol_mew.Simulator(**options)
    for name in names:
        assert name in str(raised.value)


def test_defaults_are_the_constructor_defaults():
    # kov-sim and other front ends read the class attribute; a simulator built without
    # arguments must be the one it describes.
    defaults = zol_mew.Simulator.defaults
    with zol_mew.Simulator() as sim:
        assert sim.stations == defaults["stations"]
        assert sim.time_scale == defaults["time_scale"]
        geometry = sim.geometry(defaults["stations"][0])
        assert geometry == {name: defaults[name] for name in geometry}
        assert sim.state(1)["position"] == defaults["position"]
    with pytest.raises(TypeError):
        defaults["position"] = 0  # read-only


@pytest.mark.parametrize("interval", [SMALLEST, 0.0])
def test_trace_of_a_long_run_keeps_the_simulator_serving(interval):
    # A jog observed rarely at a high time scale: the smallest interval asks for far more
    # samples than the trace keeps; 0 asks for none.
    with zol_mew.Simulator(
        1, time_scale=TIME_SCALE, positive_limit=2**30, trace_interval=interval
    ) as sim:
        bus = zol_mew.MewMaster(sim.port, timeout=2.0)
        try:
            bus.set_coil(1, "R4", True)
            for _ in range(3):
                state, error = support.call_bounded(sim.state, 1, limit=WAIT)
                assert error is None and state["moving"]
                # The serving thread is not stuck under the model lock either.
                position, error = support.call_bounded(bus.get_int32, 1, "DT10", limit=WAIT)
                assert error is None and position > 5000
            trace, error = support.call_bounded(sim.trace, 1, limit=WAIT)
            assert error is None
        finally:
            bus.close()
    times = [entry[0] for entry in trace]
    assert times == sorted(times)
    events = [entry[3] for entry in trace if entry[3] is not None]
    if interval:
        assert len(events) < len(trace)  # periodic samples, the oldest given up
    else:
        assert events == ["start jog positive"]


@pytest.mark.parametrize("number", [2**40, -(2**70), -1, 16])
def test_input_number_out_of_range_is_a_value_error(number):
    with zol_mew.Simulator() as sim:
        before = sim.state(1)["inputs"]
        with pytest.raises(ValueError):
            sim.set_input(1, number, True)
        assert sim.state(1)["inputs"] == before


UNINITIALISED = """
import zol_mew
sim = zol_mew.Simulator.__new__(zol_mew.Simulator)
for use in {uses!r}:
    try:
        eval(use)
    except TypeError as e:
        print(use, "->", e)
    else:
        print(use, "-> no error")
"""

USES = [
    "sim.state(1)",
    "sim.port",
    "sim.closed",
    "repr(sim)",
    "sim.close()",
    "sim.now()",
    "sim.wait_stopped(1, 0.1)",
    "sim.set_input(1, 'X3', True)",
    "sim.trace(1)",
    "sim.request_log()",
    "sim.hang_up()",
]


def test_uninitialised_object_raises_a_clear_error(tmp_path):
    result = run_python(UNINITIALISED.format(uses=USES), cwd=tmp_path, timeout=WAIT)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == len(USES)
    for use, line in zip(USES, lines):
        assert line == use + " -> zol_mew.Simulator.__init__() was not called on this object"


INTERRUPTED_WAIT = """
import os, signal, threading, zol_mew
with zol_mew.Simulator(1, positive_limit=2**30) as sim:
    sim.set_coil(1, "R4", True)  # jog: never stops by itself
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        sim.wait_stopped(1, 3600.0)
    except KeyboardInterrupt:
        print("interrupted")
"""


def test_ctrl_c_ends_a_long_wait(tmp_path):
    result = run_python(INTERRUPTED_WAIT, cwd=tmp_path, timeout=WAIT)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["interrupted"]
