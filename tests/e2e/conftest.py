"""Fixtures of the end-to-end tests: zol_kov over a real MewMaster on a simulator's pty."""

import gc
import logging
import os
import shutil
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest

import zol_mew
from e2e_helpers import STATIONS, TIME_SCALE, WAIT

# zol_kov makes `log/` in the current directory at import, and its handler opens
# `log/...` relative to the current directory for every record: import it (if no
# other test directory has) from a private directory and run every test from there.
KOV_HOME = Path(tempfile.mkdtemp(prefix="kov-e2e-home-"))
(KOV_HOME / "log").mkdir(parents=True, exist_ok=True)
if "zol_kov" not in sys.modules:
    _cwd = os.getcwd()
    os.chdir(str(KOV_HOME))
    try:
        import zol_kov  # noqa: F401  (the `kov` fixture imports it again and fails loudly)
    except ImportError:
        pass
    finally:
        os.chdir(_cwd)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    # Controllers are finalised (and log their closed line) when pytest drops the
    # fixture values at the very end of the protocol: stay in the private directory
    # until then.
    (KOV_HOME / "log").mkdir(parents=True, exist_ok=True)
    previous = os.getcwd()
    os.chdir(str(KOV_HOME))
    try:
        yield
    finally:
        gc.collect()
        os.chdir(previous)


def pytest_unconfigure(config):
    shutil.rmtree(str(KOV_HOME), ignore_errors=True)


@pytest.fixture(autouse=True)
def _no_threads_left():
    """Fails a test after which a thread it started still runs, once the line is gone.

    This is the last word: the controller fixture has already failed a run that was
    never collected; this one catches a homing thread that does not even end when its
    controller is closed and the simulator has gone.
    """
    before = set(threading.enumerate())
    yield
    deadline = time.monotonic() + WAIT
    leftover = []
    for thread in threading.enumerate():
        if thread in before or thread is threading.current_thread():
            continue
        thread.join(max(0.0, deadline - time.monotonic()))
        if thread.is_alive():
            leftover.append(thread)
    if leftover:
        pytest.fail("threads still running after the test: %r" % (leftover,))


@pytest.fixture(scope="session")
def kov():
    import zol_kov

    return zol_kov


class LogCapture(logging.Handler):
    """Collects (level name, message) of every record of the `zol_kov` logger."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append((record.levelname, record.getMessage()))

    @property
    def messages(self):
        return [message for _, message in self.records]

    def clear(self):
        del self.records[:]


@pytest.fixture
def log(kov):
    # Controllers of earlier tests left in reference cycles would otherwise write
    # their finaliser's line into this capture.
    gc.collect()
    capture = LogCapture()
    logger = logging.getLogger("zol_kov")
    logger.addHandler(capture)
    try:
        yield capture
    finally:
        logger.removeHandler(capture)


@pytest.fixture
def sim():
    with zol_mew.Simulator(STATIONS, time_scale=TIME_SCALE) as simulator:
        yield simulator


@pytest.fixture
def make_controller(kov, sim, log):
    """Makes controllers on the simulator; afterwards checks that homing was collected.

    A run that is still registered once the test body is over, or a thread of the
    test that does not end once the controllers are closed with force, fails the test.
    """
    made = []
    threads_before = set(threading.enumerate())

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
    deadline = time.monotonic() + WAIT
    for thread in threading.enumerate():
        if thread in threads_before or thread is threading.current_thread():
            continue
        thread.join(max(0.0, deadline - time.monotonic()))
        if thread.is_alive():
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
    """A master that gives up after one attempt: a lost or bad reply raises at once."""
    master = zol_mew.MewMaster(sim.port, timeout=1.0, retries=0)
    yield master
    master.close()


@pytest.fixture
def quick_ctl(quick_master, make_controller, log):
    # The master is set up first so that it is closed only after the controller
    # fixture has checked for homing threads left running.
    controller = make_controller(quick_master)
    log.clear()
    return controller
