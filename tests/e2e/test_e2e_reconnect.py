"""Recovery after the line is lost, over the simulator's hang-up fault.

Over TCP the device server keeps its address, and the master reopens the line by
it. A pseudo-terminal is never reopened: Linux gives its name to the next one
that any program opens.
"""

import errno
import os
import select
import termios
import threading
import time

import pytest

import zol_mew
from e2e_helpers import PPMM, TIME_SCALE, WAIT

STEP = 2000  # pulses of the relative move started by coil R2


class Line:
    def __init__(self):
        self.sim = zol_mew.Simulator((1,), time_scale=TIME_SCALE, tcp=True)
        self.sim.set_int32(1, "DT8", STEP)
        self.port = self.sim.port

    def requests(self, command, payload):
        return [f for f in self.sim.request_log() if f[3:5] == command and f[6:].startswith(payload)]

    def relative_starts(self):
        assert self.sim.wait_stopped(1, WAIT)
        return [e for e in self.sim.trace(1) if e[3] == "start relative"]


@pytest.fixture
def line():
    made = Line()
    yield made
    made.sim.close()


@pytest.fixture
def master(line):
    bus = zol_mew.MewMaster(line.port, timeout=0.5, retries=1)
    yield bus
    bus.close()


def read(bus):
    return bus.get_int32(1, "DT10")


def move(bus):
    bus.set_coil(1, "R2", True)


@pytest.mark.parametrize("call", [read, move], ids=["read", "relative-move"])
def test_a_line_lost_between_calls_is_reopened_by_the_next(line, master, call):
    assert read(master) == 5000
    line.sim.hang_up()
    call(master)  # reopened on the way, nothing raised
    if call is move:
        assert len(line.relative_starts()) == 1
        assert len(line.requests("WC", "R00021")) == 1
    assert line.sim.wait_stopped(1, WAIT)
    assert read(master) == line.sim.get_int32(1, "DT10")


def drop_line_mid_reply(sim):
    """Cuts the line while the device's reply is paused after its first bytes: the
    device has acted, the master cannot know it."""
    sim.split_next_reply(at=4, pause=0.6)
    seen = sim.request_count

    def drop():
        deadline = time.monotonic() + WAIT
        while sim.request_count == seen and time.monotonic() < deadline:
            time.sleep(0.005)
        sim.hang_up()

    dropper = threading.Thread(target=drop)
    dropper.start()
    return dropper


@pytest.mark.parametrize("mid_reply", [False, True], ids=["instead-of-reply", "mid-reply"])
@pytest.mark.parametrize("call", [read, move], ids=["read", "relative-move"])
def test_a_call_whose_line_is_lost_raises_and_the_next_one_reopens(line, call, mid_reply):
    # At 50 baud the inter-byte time-out is 2 s: the paused reply is still being
    # waited for when the line drops.
    bus = zol_mew.MewMaster(line.port, 50 if mid_reply else 115200, timeout=0.5, retries=1)
    try:
        assert read(bus) == 5000
        if mid_reply:
            dropper = drop_line_mid_reply(line.sim)
        else:
            line.sim.hang_up(on_next_request=True)
        with pytest.raises(zol_mew.MewError) as lost:
            call(bus)
        if mid_reply:
            dropper.join(WAIT)
        assert not isinstance(lost.value, zol_mew.MewTimeoutError)
        assert lost.value.errno and "reopens" in str(lost.value)
        assert line.sim.wait_stopped(1, WAIT)
        assert read(bus) == line.sim.get_int32(1, "DT10")
    finally:
        bus.close()
    if call is move:
        # Sent once, never again on the new line, whether or not the device acted.
        assert len(line.requests("WC", "R00021")) == 1
        assert len(line.relative_starts()) == (1 if mid_reply else 0)


def test_a_line_that_cannot_be_reopened_raises_naming_the_port(line, master):
    assert read(master) == 5000
    line.sim.close()  # the device server is gone
    with pytest.raises(zol_mew.MewError) as failed:
        read(master)
    assert "could not be reopened" in str(failed.value) and line.port in str(failed.value)
    assert failed.value.errno == errno.ECONNREFUSED
    port_number = int(line.port.rsplit(":", 1)[1])
    line.sim = zol_mew.Simulator((1,), time_scale=TIME_SCALE, tcp=True, tcp_port=port_number)
    assert read(master) == 5000  # each call tries again


def test_reconnect_false_keeps_failing(line):
    with zol_mew.MewMaster(line.port, timeout=0.5, reconnect=False) as bus:
        assert read(bus) == 5000
        line.sim.hang_up()
        for _ in range(2):
            with pytest.raises(zol_mew.MewError) as lost:
                read(bus)
            assert "reopen" not in str(lost.value)


def test_a_controller_goes_on_after_the_line_was_lost(line, make_controller):
    controller = make_controller(line.port)
    controller.set_ppmm(1, PPMM)
    assert controller.get_position(1) == 5000 / PPMM
    line.sim.hang_up()
    assert controller.is_running(1) is False
    assert controller.get_position(1) == 5000 / PPMM


def take_the_name(port):
    """Opens pseudo-terminals, as any program may, until one gets the name `port`
    (Linux gives each the lowest free number); returns its (master, slave)."""
    number = int(port.rsplit("/", 1)[1])
    others = []
    try:
        while True:
            peer, slave = os.openpty()
            taken = int(os.ttyname(slave).rsplit("/", 1)[1])
            if taken == number:
                return peer, slave
            others.append((peer, slave))
            if taken > number:
                pytest.skip("another program took %s first" % port)
    finally:
        for fd in (fd for pair in others for fd in pair):
            os.close(fd)


def test_a_lost_pseudo_terminal_is_never_reopened():
    with zol_mew.Simulator((1,), time_scale=TIME_SCALE) as sim:
        old_port = sim.port
        with zol_mew.MewMaster(old_port, timeout=0.2, retries=0) as bus:
            assert read(bus) == 5000
            sim.hang_up()  # a new pseudo-terminal; the old name is free once the master lets go
            with pytest.raises(zol_mew.MewError, match="the line is gone"):
                read(bus)
            peer, slave = take_the_name(old_port)
            try:
                settings = termios.tcgetattr(slave)
                with pytest.raises(zol_mew.MewError, match="the line is gone"):
                    read(bus)
                # The stranger's terminal: not set to raw mode, nothing written into it.
                assert termios.tcgetattr(slave) == settings
                assert select.select([peer], [], [], 0.1)[0] == []
            finally:
                os.close(peer)
                os.close(slave)
