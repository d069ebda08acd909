"""Faults on the line: the caller gets the master's exceptions, homing runs end quietly.

Every fault knob of the simulator is used up by the next request that gets an
answer. Each test sets one only when the request it is meant for is the next one
on the line: either the test's own next call, or the poll of a homing thread whose
motion cannot end by itself (so no other request can come first).
"""

import pytest

import zol_mew
from e2e_helpers import PPMM, WAIT, events, finish_homing, requests, stop_and_settle, wait_until

SPEEDS = (5.0, 50.0, 0.05)
FAR_AWAY = 2000000000  # pulses: beyond reach of any motion of a test

# name: (set the fault, exception the master raises, whether the device carried
# out the request)
FAULTS = {
    "dropped": (lambda sim: sim.drop_replies(1), zol_mew.MewTimeoutError, True),
    "corrupt": (lambda sim: sim.corrupt_next_reply(), zol_mew.MewProtocolError, True),
    "error-04": (lambda sim: sim.error_next_reply(4), zol_mew.MewDeviceError, False),
}


def master_of(ctl):
    return ctl._KOVAxisController__mew


def check_master_error(error, fault, sim, operation):
    expected = FAULTS[fault][1]
    assert type(error) is expected
    assert isinstance(error, OSError)
    assert "%s(1, " % operation in str(error) and "on %s:" % sim.port in str(error)
    if expected is zol_mew.MewDeviceError:
        assert error.code == 4


READS = {
    "get_position": (lambda c: c.get_position(1), "get_int32"),
    "status_words": (lambda c: c.status_words(1), "get_multi_int32"),
    "is_running": (lambda c: c.is_running(1), "get_coil"),
    "get_stop_source": (lambda c: c.get_stop_source(1), "get_int32"),
    "negative_limit_is_disabled": (lambda c: c.negative_limit_is_disabled(1), "get_coil"),
}


@pytest.mark.parametrize("read", sorted(READS))
@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_a_failed_read_reaches_the_caller(sim, quick_ctl, log, fault, read):
    call, operation = READS[read]
    FAULTS[fault][0](sim)
    with pytest.raises(OSError) as info:
        call(quick_ctl)
    check_master_error(info.value, fault, sim, operation)
    # The line is fine again for the next call.
    assert quick_ctl.get_position(1) == 5000.0
    assert log.messages == []


def _dt6(sim):
    return sim.get_int32(1, "DT6")


def _profile(sim):
    return [sim.get_int32(1, "DT%d" % n) for n in (0, 2, 4)]


# name: (call, master operation of its first request, reader of what that request
# changes, its value before, after it was carried out)
WRITES = {
    "locate_absolutely": (lambda c: c.locate_absolutely(1, 10.0), "set_int32", _dt6, 0, 1000),
    "set_parameters": (
        lambda c: c.set_parameters(1, 5.0, 50.0, 0.05),
        "set_multi_uint32",
        _profile,
        [1000, 10000, 100],
        [500, 5000, 50],
    ),
    "enable_axis": (lambda c: c.enable_axis(1), "set_coil", lambda s: s.get_coil(1, "Y2"), False, True),
}


@pytest.mark.parametrize("write", sorted(WRITES))
@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_a_failed_write_reaches_the_caller_and_logs_nothing(sim, ctl, log, fault, write):
    # The default master: a write is never repeated after a lost or corrupt reply.
    call, operation, read_back, before, after = WRITES[write]
    ctl.set_ppmm(1, PPMM)
    log.clear()
    assert read_back(sim) == before
    sim.clear_request_log()
    FAULTS[fault][0](sim)
    with pytest.raises(OSError) as info:
        call(ctl)
    check_master_error(info.value, fault, sim, operation)
    assert len(requests(sim, 1)) == 1  # not repeated, nothing after it
    assert read_back(sim) == (after if FAULTS[fault][2] else before)
    assert not sim.state(1)["moving"]  # a positioning whose target write failed never starts
    assert log.messages == []


def test_a_relative_move_whose_reply_was_lost_runs_once(sim, ctl, log):
    ctl.set_ppmm(1, PPMM)
    ctl.locate_relatively(1, 10.0)
    ctl.wait_for_locating_done(1, WAIT)
    sim.clear_request_log()
    log.clear()
    sim.drop_replies(1)
    with pytest.raises(zol_mew.MewTimeoutError):
        ctl.locate_relatively(1)  # only R2: the device acted, the reply was lost
    assert sim.wait_stopped(1, WAIT)
    assert sim.state(1)["position"] == 7000
    assert requests(sim, 1) == [("WC", "R00021")]
    assert log.messages == []


def test_a_write_the_device_ignored_is_sent_again(sim, ctl, log):
    ctl.set_ppmm(1, PPMM)
    log.clear()
    sim.clear_request_log()
    sim.error_next_reply(1)  # checksum error: the device says it did not act
    ctl.locate_absolutely(1, 10.0)
    ctl.wait_for_locating_done(1, WAIT)
    assert sim.state(1)["position"] == 1000
    dt6_writes = [r for r in requests(sim, 1) if r[0] == "WD"]
    assert len(dt6_writes) == 2
    assert log.messages[0] == "Absolutely locating with target 10.0, station 1"


@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_a_fault_in_the_positioning_wait_reaches_the_caller(sim, quick_ctl, log, fault):
    quick_ctl.disable_positive_limit(1)
    quick_ctl.run_positive(1)
    log.clear()
    FAULTS[fault][0](sim)  # meets the wait's first poll of the running output
    with pytest.raises(OSError) as info:
        quick_ctl.wait_for_locating_done(1, WAIT)
    check_master_error(info.value, fault, sim, "get_coil")
    assert str(info.value) != "定位超时"
    assert log.messages == []
    assert sim.state(1)["moving"]
    stop_and_settle(sim, 1)


def _origin_search_that_cannot_end(kov, sim, ctl):
    """An origin-only search towards a disabled limit with the origin sensor held off."""
    ctl.finding_o_method = kov.FindingOMethod.OriginOnly
    ctl.disable_negative_limit(1)
    ctl.origin_rising_valid(1, True)
    sim.set_input(1, "X0", False)
    sim.place_axis(1, FAR_AWAY)  # and nowhere near the counter's zero


def _limit_first_stage_0_that_cannot_end(kov, sim, ctl):
    """Limit first, the axis placed out of reach of its negative limit switch."""
    sim.place_axis(1, FAR_AWAY)


RIGS = {
    "origin-only-search": (_origin_search_that_cannot_end, "start origin search negative"),
    "limit-first-stage-0": (_limit_first_stage_0_that_cannot_end, "start jog negative"),
}


@pytest.mark.parametrize("rig", sorted(RIGS))
@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_a_homing_run_hit_by_a_fault_ends_quietly_and_reports_false(
    kov, sim, quick_ctl, log, fault, rig
):
    arrange, started = RIGS[rig]
    quick_ctl.set_ppmm(1, PPMM)
    arrange(kov, sim, quick_ctl)
    sim.clear_trace(1)
    log.clear()
    quick_ctl.find_o(1, *SPEEDS, kov.Direction.Negative)
    wait_until(lambda: sim.state(1)["moving"], "the homing motion to start")
    FAULTS[fault][0](sim)  # the run's next poll meets it; nothing else is on the line

    assert finish_homing(quick_ctl, 1) is False
    assert sim.state(1)["moving"]  # the run ended without stopping the axis
    assert events(sim, 1) == [started]
    assert "Set here O for station 1" not in log.messages
    assert not [m for m in log.messages if "stop" in m]  # no stage ended by a stop
    assert log.messages[-1] == "Wait for finding O done. Station 1, source 0"
    stop_and_settle(sim, 1)


@pytest.mark.parametrize("fault, result", [("dropped", True), ("corrupt", True), ("error-04", False)])
def test_a_homing_run_on_the_default_master_rides_out_a_bad_read(kov, sim, ctl, log, fault, result):
    ctl.set_ppmm(1, PPMM)
    _origin_search_that_cannot_end(kov, sim, ctl)
    ctl.find_o(1, *SPEEDS, kov.Direction.Negative)
    wait_until(lambda: sim.state(1)["moving"], "the origin search to start")
    stats = master_of(ctl).stats
    FAULTS[fault][0](sim)
    # A lost or corrupt poll is asked again and the search goes on to the origin;
    # an error reply is not asked again: the run ends, the axis is then stopped.
    if result:
        wait_until(lambda: master_of(ctl).stats["retries"] > stats["retries"], "the poll's retry")
        assert ctl.is_finding_o(1) and ctl._find_o_threads[1].is_alive()
        sim.set_input(1, "X0", True)  # the sensor comes on: the search stops on the origin
        assert sim.wait_stopped(1, WAIT)
    else:
        ctl._find_o_threads[1].join(WAIT)
        assert not ctl._find_o_threads[1].is_alive()
        stop_and_settle(sim, 1)

    assert finish_homing(ctl, 1) is result
    assert sim.state(1)["stop_source"] == (2 if result else 1)
    assert (sim.state(1)["position"] == 0) is result
    assert ("Set here O for station 1" in log.messages) is result


@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_a_fault_on_the_collecting_read_reaches_the_caller(kov, sim, quick_ctl, log, fault):
    quick_ctl.set_ppmm(1, PPMM)
    quick_ctl.finding_o_method = kov.FindingOMethod.OriginOnly
    quick_ctl.find_o(1, *SPEEDS)
    thread = quick_ctl._find_o_threads[1]
    thread.join(WAIT)
    assert not thread.is_alive()
    assert sim.state(1)["position"] == 0  # the run itself succeeded

    FAULTS[fault][0](sim)  # meets the stop-source read of the collection
    with pytest.raises(OSError) as info:
        quick_ctl.wait_for_find_o_finish(1, WAIT)
    check_master_error(info.value, fault, sim, "get_int32")
    assert not quick_ctl.is_finding_o(1)  # collected all the same
    with pytest.raises(ValueError):
        quick_ctl.wait_for_find_o_finish(1, WAIT)


@pytest.mark.parametrize(
    "method, operation",
    [("LimitFirstThenBackward", "get_coil"), ("OriginOnly", "set_multi_uint32")],
    ids=["limit-check", "profile-write"],
)
@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_find_o_whose_own_request_fails_starts_nothing(
    kov, sim, quick_ctl, log, fault, method, operation
):
    quick_ctl.finding_o_method = getattr(kov.FindingOMethod, method)
    log.clear()
    FAULTS[fault][0](sim)
    with pytest.raises(OSError) as info:
        quick_ctl.find_o(1, *SPEEDS)
    check_master_error(info.value, fault, sim, operation)
    assert not quick_ctl.is_finding_o(1)
    assert quick_ctl._find_o_threads == {}
    assert not sim.state(1)["moving"]
    assert log.messages == []
