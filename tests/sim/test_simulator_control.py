"""The simulator's own Python surface, and its line spoken to byte by byte."""

import math
import os
import subprocess
import sys
import termios
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zol_mew
from sim_helpers import TIME_SCALE, WAIT, RawClient, frame
from support import open_fds


# ---- life cycle ----------------------------------------------------------------


@pytest.mark.serial
@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((), {"stations": ()}, ValueError),
        (((0,),), {}, ValueError),
        (((100,),), {}, ValueError),
        (((1, 1),), {}, ValueError),
        ((("1",),), {}, TypeError),
        ((True,), {}, TypeError),
        ((), {"time_scale": 0.0}, ValueError),
        ((), {"time_scale": -1.0}, ValueError),
        ((), {"time_scale": math.nan}, ValueError),
        ((), {"baudrate": 0}, ValueError),
        ((), {"baudrate": 9600.0}, TypeError),
        ((), {"negative_limit": 100, "positive_limit": 100}, ValueError),
        ((), {"origin_low": 1, "origin_high": 0}, ValueError),
        ((), {"tcp": True, "tcp_port": 70000}, ValueError),
    ],
)
def test_bad_options_are_refused(args, kwargs, error):
    before = open_fds()
    with pytest.raises(error):
        zol_mew.Simulator(*args, **kwargs)
    assert open_fds() == before


def test_port_is_a_raw_pseudo_terminal():
    with zol_mew.Simulator() as sim:
        assert sim.stations == (1,)
        fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
        try:
            assert os.isatty(fd)
            lflag = termios.tcgetattr(fd)[3]
            assert not lflag & (termios.ICANON | termios.ECHO | termios.ISIG)
        finally:
            os.close(fd)


@pytest.mark.serial
def test_close_joins_and_releases_everything():
    before = open_fds()
    threads = len(os.listdir("/proc/self/task"))  # native threads too
    sim = zol_mew.Simulator((1, 5))
    assert len(os.listdir("/proc/self/task")) == threads + 1
    port = sim.port
    assert sum((open_fds() - before).values()) >= 3  # pty master, our slave handle, wake pipe
    with sim as same:
        assert same is sim
    assert sim.closed
    assert open_fds() == before
    assert len(os.listdir("/proc/self/task")) == threads
    assert not os.path.exists(port)  # the pseudo-terminal is gone
    sim.close()  # idempotent
    assert sim.get_int32(5, "DT10") == 5000  # the model stays readable


@pytest.mark.serial
def test_tcp_close_releases_port():
    before = open_fds()
    sim = zol_mew.Simulator(tcp=True)
    assert sim.port.startswith("tcp://127.0.0.1:")
    sim.close()
    assert open_fds() == before


# ---- control of registers and surroundings -------------------------------------


def test_unknown_station_and_bad_addresses(sim):
    with pytest.raises(ValueError, match="station 3"):
        sim.get_int32(3, "DT10")
    with pytest.raises(ValueError):
        sim.get_int32(1, "R1")
    with pytest.raises(ValueError):
        sim.get_coil(1, "DT1")
    with pytest.raises(ValueError):
        sim.set_coil(1, "X1", True)  # inputs are driven with set_input
    with pytest.raises(ValueError):
        sim.set_int32(1, "DT16", 1)
    for too_big in (2**32, -(2**31) - 1, 2**80):
        with pytest.raises(ValueError):
            sim.set_int32(1, "DT6", too_big)
    with pytest.raises(ValueError):
        sim.set_input(1, "X16", True)


def test_register_and_coil_control(sim):
    sim.set_int32(1, "DT6", -5)
    assert sim.get_int32(1, "DT6") == -5
    assert sim.read_registers(1, "DT6", 2) == [0xFFFB, 0xFFFF]
    sim.write_registers(1, "DT100", [1, 2, 3])
    assert sim.read_registers(1, "DT100", 3) == [1, 2, 3]
    sim.set_int32(1, "DT8", 0xFFFFFFFF)  # the unsigned reading of -1
    assert sim.get_int32(1, "DT8") == -1
    sim.set_coil(1, "R14", True)
    assert sim.get_coil_uint16(1, "WR0") == 1 << 14
    sim.set_coil_uint16(1, "WY0", 1 << 2)
    assert sim.get_coil(1, "Y2")


@pytest.mark.parametrize(
    "input_name, value, bit",
    [("X0", True, 0), ("X1", True, 1), ("X2", True, 2), ("X3", False, 3), ("X4", True, 4), (9, True, 9)],
)
def test_inputs_can_be_driven_and_released(sim, input_name, value, bit):
    idle = sim.get_coil_uint16(1, "WX0")
    sim.set_input(1, input_name, value)
    assert bool(sim.get_coil_uint16(1, "WX0") >> bit & 1) is value
    assert sim.get_int32(1, "DT16") & 0xFFFF == sim.get_coil_uint16(1, "WX0")
    sim.set_input(1, input_name, None)
    assert sim.get_coil_uint16(1, "WX0") == idle


def test_place_axis_and_geometry(sim):
    assert sim.geometry(1) == {
        "negative_limit": -20000,
        "positive_limit": 20000,
        "origin_low": -1000,
        "origin_high": 0,
    }
    sim.place_axis(1, -500)
    state = sim.state(1)
    assert (state["position"], state["axis"], state["moving"]) == (-500, -500, False)
    assert state["inputs"] & 1  # inside the origin window
    sim.set_geometry(1, origin_low=-100)
    assert not sim.get_coil(1, "X0")
    assert sim.geometry(1)["origin_high"] == 0
    assert sim.geometry(2)["origin_low"] == -1000  # per station
    with pytest.raises(ValueError):
        sim.set_geometry(1, origin_high=-200)
    assert sim.geometry(1)["origin_high"] == 0
    sim.set_geometry(1, negative_limit=-400)
    assert sim.get_coil(1, "X1")


def test_constructor_geometry_applies_to_every_station():
    with zol_mew.Simulator((1, 2), position=-3000, negative_limit=-3000) as sim:
        for station in (1, 2):
            assert sim.get_int32(station, "DT10") == -3000
            assert sim.get_coil(station, "X1")


def test_trace_records_motion(sim):
    sim.set_coil(1, "R3", True)
    assert sim.wait_stopped(1, WAIT)
    trace = sim.trace(1)
    assert trace[0][3] == "start jog negative"
    assert trace[-1][3] == "stop NegativeLimit"
    assert trace[-1][1] == -20000 and trace[-1][2] == 0.0
    samples = trace[1:-1]
    assert samples and all(event is None for _, _, _, event in samples)
    assert all(v < 0 for _, _, v, _ in samples)
    times = [t for t, _, _, _ in trace]
    positions = [p for _, p, _, _ in trace]
    assert times == sorted(times) and positions == sorted(positions, reverse=True)
    sim.clear_trace(1)
    assert sim.trace(1) == []


def test_trace_without_samples():
    with zol_mew.Simulator(time_scale=TIME_SCALE, trace_interval=0.0) as sim:
        sim.set_int32(1, "DT8", 2500)
        sim.set_coil(1, "R2", True)
        assert sim.wait_stopped(1, WAIT)
        trace = sim.trace(1)
        assert [event for _, _, _, event in trace] == ["start relative", "stop Null"]
        assert trace[-1][1] == 7500


def test_time_runs_scaled(sim):
    assert sim.time_scale == TIME_SCALE
    first = sim.now()
    sim.set_coil(1, "R4", True)
    assert sim.wait_stopped(1, WAIT)
    assert sim.now() > first


def test_wait_stopped_is_bounded(sim):
    sim.set_coil(1, "R13", True)
    sim.set_coil(1, "R4", True)
    assert sim.wait_stopped(1, 0.05) is False
    sim.set_coil(1, "R0", True)
    assert sim.wait_stopped(1, WAIT) is True
    assert sim.state(1)["stop_source"] == 1


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.drop_replies(-1),
        lambda s: s.error_next_reply(0),
        lambda s: s.error_next_reply(100),
        lambda s: s.answer_next_as(0),
        lambda s: s.delay_next_reply(-1.0),
        lambda s: s.split_next_reply(-1, 0.1),
        lambda s: s.corrupt_next_reply(-3),
    ],
)
def test_bad_fault_arguments(sim, call):
    with pytest.raises(ValueError):
        call(sim)


def test_control_calls_race_the_serving_thread(sim):
    """Control calls from several threads while a master polls: no crash, and
    every answer stays consistent."""
    errors = []
    stop = threading.Event()

    def poke():
        try:
            while not stop.is_set():
                sim.set_coil(1, "R4", True)
                sim.set_input(1, "X0", True)
                sim.set_input(1, "X0", None)
                sim.set_coil(1, "R0", True)
                sim.trace(1)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    workers = [threading.Thread(target=poke) for _ in range(2)]
    for w in workers:
        w.start()
    try:
        with zol_mew.MewMaster(sim.port) as bus:
            for _ in range(40):
                block = bus.get_multi_int32(1, "DT10", 11)
                assert 0 <= block[5] <= 6
                assert bus.get_int32(2, "DT10") == 5000
    finally:
        stop.set()
        for w in workers:
            w.join()
    assert not errors


_GC_RACE = r"""
import gc, sys, threading, time
import zol_mew

# Collect on almost every allocation, and let each collection hand the GIL
# to another thread: any Python object built while the simulator holds its
# lock then deadlocks against a control call waiting for that lock.
gc.set_threshold(1, 1, 1)
gc.callbacks.append(lambda phase, info: time.sleep(0))
sys.setswitchinterval(1e-6)

with zol_mew.Simulator((1, 2), time_scale=20.0) as sim:
    stop = threading.Event()

    def poke():
        while not stop.is_set():
            sim.set_coil(1, "R4", True)
            sim.state(1)
            sim.trace(1)
            sim.geometry(2)
            sim.set_coil(1, "R0", True)

    workers = [threading.Thread(target=poke) for _ in range(3)]
    for w in workers:
        w.start()
    with zol_mew.MewMaster(sim.port) as bus:
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            bus.get_int32(2, "DT10")
    stop.set()
    for w in workers:
        w.join()
print("ok")
"""


def test_control_calls_survive_gc_callbacks_that_switch_threads():
    """A garbage-collector callback may let another thread run in the middle
    of any allocation; the simulator must not be holding its lock then."""
    done = subprocess.run(
        [sys.executable, "-c", _GC_RACE], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


# ---- the line, byte by byte ----------------------------------------------------


@pytest.mark.parametrize(
    "request_frame, reply_frame",
    [
        (frame("01RDa001002"), frame("01RDa13880000", ">")),
        (frame("01RCbX0003"), frame("01RCb1", ">")),
        (frame("01WCcX00011"), frame("01WCc!06", ">")),  # inputs are read-only
        (frame("01WCdY00011"), frame("01WCd!06", ">")),  # so is the pulse output
        (frame("01RCeY0016"), frame("01RCe!04", ">")),
        (frame("01RDf999902"), frame("01RDf!04", ">")),
        (frame("01RDg001000"), frame("01RDg!05", ">")),
        (frame("01ZZh0010"), frame("01ZZh!02", ">")),
        (frame("01RDi0010"), frame("01RDi!03", ">")),
        (b"@01RDj00100200\r", frame("01RDj!01", ">")),  # bad checksum
        (frame("01RDk001002")[:-3] + b"ZZ\r", frame("01RDk!03", ">")),  # no hex checksum
    ],
)
def test_replies_on_the_line(raw, request_frame, reply_frame):
    raw.send(request_frame)
    assert raw.read_line() == reply_frame


def test_silence_for_other_stations_and_replies(raw):
    raw.send(frame("03RDa001002"))  # a station nobody simulates
    raw.send(frame("01RDb13880000", ">"))  # another device's reply
    raw.send(b"\x00\xff\r\r@@@\r" + b"X" * 500)
    assert raw.read_line(timeout=0.3) == b""
    assert raw.request("02RDc001002") == frame("02RDc13880000", ">")


def test_back_to_back_and_split_requests(raw):
    raw.send(frame("01RDa000002") + frame("02RDb000002"))
    assert raw.read_line() == frame("01RDa03E80000", ">")
    assert raw.read_line() == frame("02RDb03E80000", ">")
    for byte in frame("01RCcX0003"):
        raw.send(bytes([byte]))
    assert raw.read_line() == frame("01RCc1", ">")


def test_corrupt_reply_keeps_frame_shape(raw, sim):
    sim.corrupt_next_reply()
    reply = raw.request("01RDa001002")
    good = frame("01RDa13880000", ">")
    assert reply != good and len(reply) == len(good) and reply[:-3] == good[:-3]
    sim.corrupt_next_reply(offset=3)
    reply = raw.request("01RDb001002")
    assert reply[3:4] == b"S"  # 'R' ^ 1


def test_answer_as_other_station_still_acts(raw, sim):
    sim.answer_next_as(7)
    assert raw.request("01WCaY00021") == frame("07WCa", ">")
    assert sim.get_coil(1, "Y2")


def test_garbage_emitted_on_the_line(raw, sim):
    sim.emit_garbage(b"\x07junk\r")
    assert raw.read_line() == b"\x07junk\r"


def test_log_of_requests(raw, sim):
    raw.request("01RDa001002")
    raw.send(b"noise")
    raw.request("01RCbX0003")
    assert sim.request_log()[-2:] == [frame("01RDa001002")[:-1].decode(), frame("01RCbX0003")[:-1].decode()]
    assert sim.request_count == 2
    sim.clear_request_log()
    assert sim.request_log() == []


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(noise=st.binary(max_size=300))
def test_survives_any_bytes(raw, noise):
    raw.send(noise)
    # Whatever the noise left half-read, a fresh frame after a terminator is answered.
    raw.send(b"\r")
    # Replies the noise itself provoked may come first; ours carries tag 'q'.
    raw.send(frame("01RCqX0003"))
    expected = frame("01RCq1", ">")
    for _ in range(20):
        line = raw.read_line()
        if line in (expected, b""):
            break
    assert line == expected


def test_serves_after_client_reopens(sim):
    first = RawClient(sim.port)
    assert first.request("01RCaX0003") == frame("01RCa1", ">")
    first.close()
    second = RawClient(sim.port)
    try:
        assert second.request("01RCbX0003") == frame("01RCb1", ">")
    finally:
        second.close()
