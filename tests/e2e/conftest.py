"""Fixtures of the end-to-end tests: zol_kov over a real MewMaster on a simulator's pty."""

import pytest

import zol_mew
from e2e_helpers import STATIONS, TIME_SCALE, WAIT


@pytest.fixture(autouse=True)
def _no_threads_left(thread_watch):
    """Fails a test after which a thread it started still runs, once the line is gone.

    This is the last word: the controller fixture has already failed a run that was
    never collected; this one catches a homing thread that does not even end when its
    controller is closed and the simulator has gone.
    """
    yield
    leftover = thread_watch.still_running(WAIT)
    if leftover:
        pytest.fail("threads still running after the test: %r" % (leftover,))


@pytest.fixture
def sim():
    with zol_mew.Simulator(STATIONS, time_scale=TIME_SCALE) as simulator:
        yield simulator


@pytest.fixture
def make_controller(kov, sim, log, thread_watch):
    """Makes controllers on the simulator; afterwards checks that homing was collected.

    A run that is still registered once the test body is over, or a thread of the
    test that does not end once the controllers are closed with force, fails the test.
    """
    made = []

    def make(port=None):
        controller = kov.KOVAxisController(sim.port if port is None else port)
        made.append(controller)
        return controller

    yield make

    problems = []
    for controller in made:
        registered = dict(controller._find_o_threads)
        if registered:
            problems.append("homing never collected for stations %s" % sorted(registered))
        # A run left behind meets the closed master at its next access and ends.
        controller.close(force=True)
    for thread in thread_watch.still_running(WAIT):
        problems.append("thread still alive: %r" % (thread,))
    if problems:
        pytest.fail("; ".join(problems))


@pytest.fixture
def ctl(make_controller, log):
    """A controller on the simulator's port with the master's default settings."""
    controller = make_controller()
    log.clear()
    return controller


@pytest.fixture
def quick_master(sim):
    """A master that gives up after one attempt: a lost or bad reply raises at once.
    Its time-out is long enough that a busy machine or a sanitizer build does not
    fake a lost reply, and short because every dropped-reply test waits it out."""
    master = zol_mew.MewMaster(sim.port, timeout=0.5, retries=0)
    yield master
    master.close()


@pytest.fixture
def quick_ctl(quick_master, make_controller, log):
    # The master is set up first so that it is closed only after the controller
    # fixture has checked for homing threads left running.
    controller = make_controller(quick_master)
    log.clear()
    return controller
