"""Every KOVAxisController operation called with random Python objects.

Only the documented exceptions may come out, never a crash; and an argument that
is refused is refused before anything is written to the device: the recording
master sees no write, and a real simulator receives no write request. (A refusal
may follow a read: find_o asks whether the limit is disabled before it checks
its speeds.)
"""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kov_table
import zol_kov as kov
import zol_mew
from kov_fuzz_support import RecordingMaster, any_object
from kov_table import ANY, DIR, F, INT, OF, OL, STR, S
from rel_helpers import call_bounded
from support import TIME_SCALE

# operation: kinds of its parameters, in order (the internal homing procedures,
# which only find_o's thread calls, are left out)
OPERATIONS = {
    row.name: [prm.kind for prm in row.params]
    for row in kov_table.OPERATIONS
    if not row.name.startswith("_")
}

BASE_ERRORS = (TypeError, ValueError, OverflowError, AssertionError)
# A status-words list too short for the flag asked for fails at its indexing.
INDEXING = {"get_position", "is_alarming", "is_running", "at_o", "at_positive_limit",
            "at_negative_limit", "at_emergency"}
# Refusals that come from the bus master of a real line, before anything is sent.
NOT_ON_THE_BUS = {"find_o", "wait_for_find_o_finish", "wait_for_locating_done"}


def arguments(kinds):
    """Random arguments: mostly wrong, sometimes right, so both paths are taken."""
    anything = any_object(kov)
    good = {
        S: st.integers(1, 3),
        F: st.floats(-50, 50) | st.integers(-50, 50),
        OF: st.none() | st.floats(-50, 50),
        OL: st.none() | st.lists(st.integers(-(2**31), 2**31 - 1), min_size=5, max_size=5),
        STR: st.sampled_from(["R1", "X4", "Y2", "WR0", "R20"]),
        INT: st.integers(0, 0xFFFF),
        ANY: anything,
        DIR: st.sampled_from([kov.Direction.Negative, kov.Direction.Positive]),
    }
    return st.tuples(*[st.one_of(good[k], anything) for k in kinds])


def allowed(name, exc):
    if type(exc) in BASE_ERRORS:
        return True
    return name in INDEXING and type(exc) is IndexError


def collect_homing(controller):
    for station in list(controller._find_o_threads):
        result, error = call_bounded(controller.wait_for_find_o_finish, station)
        assert error is None, error


FUZZ = settings(max_examples=40, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])


@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_random_arguments_with_a_recording_master(name):
    @FUZZ
    @given(args=arguments(OPERATIONS[name]))
    def check(args):
        master = RecordingMaster()
        controller = kov.KOVAxisController(master)
        _, error = call_bounded(getattr(controller, name), *args)
        try:
            if error is not None:
                assert allowed(name, error), repr(error)
                # Refused: nothing was written.
                writes = [c for c in master.calls if c[0].startswith("set_")]
                assert writes == [], (error, master.calls)
        finally:
            collect_homing(controller)
            controller.close(force=True)

    check()


@pytest.fixture(scope="module")
def bus():
    with zol_mew.Simulator((1, 2, 3), time_scale=TIME_SCALE) as sim:
        master = zol_mew.MewMaster(sim.port, timeout=0.05, retries=0)
        yield sim, master
        master.close()


@pytest.mark.parametrize("name", sorted(set(OPERATIONS) - NOT_ON_THE_BUS))
def test_random_arguments_on_a_real_line(bus, name):
    """Arguments the controller passes on unchecked (coil names, values, the
    station of enable_positive_limit) are refused by the master, before sending."""
    sim, master = bus

    @FUZZ
    @given(args=arguments(OPERATIONS[name]))
    def check(args):
        controller = kov.KOVAxisController(master)
        sim.clear_request_log()
        _, error = call_bounded(getattr(controller, name), *args)
        if error is not None and not isinstance(error, zol_mew.MewError):
            assert allowed(name, error), repr(error)
            writes = [f for f in sim.request_log() if f[3:5] in ("WD", "WC", "WW")]
            assert writes == [], (error, writes)
        # Stations that exist only on paper time out: that is a MewError.
        controller._KOVAxisController__mew = None  # the shared master stays open

    check()
    for station in sim.stations:
        # Stop what the examples started, on the device itself: the master's short
        # time-out is for the examples, not for a loaded machine.
        sim.set_coil(station, "R0", True)


@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_closed_controller_refuses_cleanly(name):
    """With no master every device access fails with AttributeError, nothing worse."""

    @FUZZ
    @given(args=arguments(OPERATIONS[name]))
    def check(args):
        controller = kov.KOVAxisController(None)
        _, error = call_bounded(getattr(controller, name), *args)
        if error is not None:
            assert allowed(name, error) or type(error) is AttributeError, repr(error)
        assert controller._find_o_threads == {}

    check()
