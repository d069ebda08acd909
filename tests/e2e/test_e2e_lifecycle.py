"""Closing and re-opening a controller on the simulator's line: what survives, what is refused."""

import pytest

import zol_mew
from e2e_helpers import PPMM, WAIT, events, finish_homing, requests, wait_until

SPEEDS = (5.0, 50.0, 0.05)


def master_of(ctl):
    return ctl._KOVAxisController__mew


def test_close_and_open_keep_scales_and_homing_method(kov, sim, ctl, log):
    ctl.set_ppmm(1, PPMM)
    ctl.set_ppmm(2, 250.0)
    ctl.finding_o_method = kov.FindingOMethod.OriginOnly
    first = master_of(ctl)

    ctl.close()
    assert master_of(ctl) is None and first.closed
    sim.clear_request_log()
    with pytest.raises(AttributeError):
        ctl.get_position(1)
    assert sim.request_log() == []

    log.clear()
    ctl.open(sim.port)
    assert log.messages == ["KOV Axis Controller is opened again with port %s." % sim.port]
    assert master_of(ctl) is not first
    assert ctl._ppmm == {1: PPMM, 2: 250.0}
    assert ctl.finding_o_method is kov.FindingOMethod.OriginOnly

    ctl.locate_absolutely(1, 10.0)
    ctl.wait_for_locating_done(1, WAIT)
    assert sim.state(1)["position"] == 1000
    ctl.set_position(2, 4.0)
    assert sim.state(2)["position"] == 1000

    sim.clear_trace(2)
    ctl.find_o(2, *SPEEDS)
    assert finish_homing(ctl, 2) is True
    assert "Finding o started, method 1, station 2" in log.messages
    assert events(sim, 2) == ["start origin search negative", "stop Origin"]  # no limit first

    with pytest.raises(RuntimeError, match="^设备已经打开，要重新打开或打开其他端口，请先调用 close 关闭设备。$"):
        ctl.open(sim.port)


def test_a_given_master_is_closed_and_open_makes_a_new_one(kov, sim, make_controller, log):
    given = zol_mew.MewMaster(sim.port, timeout=1.0, retries=0)
    ctl = make_controller(given)
    assert log.messages[0] == "KOV Axis Controller created with port %s, baudrate 115200" % given
    ctl.set_ppmm(1, PPMM)
    ctl.close()
    assert given.closed
    with pytest.raises(ValueError, match="not an empty string$"):
        ctl.open("")  # refused by the master class: the controller stays closed
    assert master_of(ctl) is None

    ctl.baudrate = 9600
    ctl.open(sim.port)
    made = master_of(ctl)
    assert isinstance(made, zol_mew.MewMaster) and made is not given
    assert (made.port, made.baudrate) == (sim.port, 9600)
    ctl.locate_absolutely(1, -3.0)
    ctl.wait_for_locating_done(1, WAIT)
    assert sim.state(1)["position"] == -300


def test_close_waits_for_homing_unless_forced(kov, sim, ctl, log):
    ctl.set_ppmm(1, PPMM)
    ctl.finding_o_method = kov.FindingOMethod.OriginOnly
    ctl.disable_negative_limit(1)
    sim.set_input(1, "X0", False)  # the search cannot end by itself
    ctl.find_o(1, *SPEEDS, kov.Direction.Negative)
    wait_until(lambda: sim.state(1)["moving"], "the origin search to start")

    with pytest.raises(RuntimeError, match="^Not all axis are ready for close. Some is finding o.$"):
        ctl.close()
    assert ctl.is_running(1) is True  # still open and usable

    thread = ctl._find_o_threads[1]
    ctl.close(force=True)
    # The run meets the closed controller at its next poll and ends quietly.
    thread.join(WAIT)
    assert not thread.is_alive()
    assert ctl.is_finding_o(1)  # a forced close leaves the registry alone
    assert sim.state(1)["moving"]  # nobody stopped the axis

    with pytest.raises(AttributeError):
        ctl.wait_for_find_o_finish(1, WAIT)  # the stop source cannot be read now
    assert not ctl.is_finding_o(1)  # ... but the run counts as collected
    with pytest.raises(ValueError):
        ctl.wait_for_find_o_finish(1, WAIT)

    ctl.open(sim.port)
    ctl.stop(1)
    with pytest.raises(OSError, match="^定位动作因故未能完成:1$"):
        ctl.wait_for_locating_done(1, WAIT)
    assert "Set here O for station 1" not in log.messages


def test_reopen_after_the_line_hung_up(kov, sim, ctl, log):
    ctl.set_ppmm(1, PPMM)
    old_port = sim.port
    sim.hang_up()
    with pytest.raises(zol_mew.MewError) as info:
        ctl.get_position(1)
    assert not isinstance(info.value, zol_mew.MewTimeoutError)  # at once, not after waiting
    ctl.close()
    assert sim.port != old_port  # a new pseudo-terminal
    ctl.open(sim.port)
    ctl.locate_relatively(1, 2.5)
    ctl.wait_for_locating_done(1, WAIT)
    assert sim.state(1)["position"] == 5250
    assert requests(sim, 1)[-1] == ("RD", "002002")  # the wait's stop-source read
