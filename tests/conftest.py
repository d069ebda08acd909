"""Fixtures shared by every test directory; helpers live in support.py."""

import gc
import logging
import os
import shutil
import tempfile
from pathlib import Path

import pytest

from support import LogCapture, ThreadWatch

# zol_kov makes `log/` in the current directory when it is imported, and its
# handler opens `log/...` relative to the current directory for every record.
# Import it from a private directory, and run every test from there, so that no
# test writes into the source tree.
KOV_HOME = Path(tempfile.mkdtemp(prefix="kov-home-"))
(KOV_HOME / "log").mkdir(parents=True, exist_ok=True)
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
    # Controllers made by a test are finalised (and log their closed line) only
    # when pytest drops the test's fixture values, at the very end of the
    # protocol: stay in the private directory until then.
    (KOV_HOME / "log").mkdir(parents=True, exist_ok=True)
    previous = os.getcwd()
    os.chdir(str(KOV_HOME))
    if item.get_closest_marker("serial"):
        # The leak checks count gc.get_objects(), which leaves the frozen heap out:
        # they get the heap as it is without the freezing.
        gc.unfreeze()
    try:
        yield
    finally:
        collect_and_freeze()
        os.chdir(previous)


def collect_and_freeze():
    """A full collection, then everything that survived it moves to the permanent
    generation: the next collection walks only what was made since, not the whole
    heap of pytest and the collected tests. Done between tests, when the test's
    own objects are gone: what survives is pytest's (reports, modules, fixtures of
    wider scope, which close what they hold themselves)."""
    gc.collect()
    gc.freeze()


def pytest_collection_finish(session):
    collect_and_freeze()


def pytest_unconfigure(config):
    # What a failed test's traceback kept alive was frozen with it: collect it
    # here, so that a controller among it logs its closed line into the private
    # directory, not at exit into a directory that is gone.
    previous = os.getcwd()
    os.chdir(str(KOV_HOME))
    try:
        gc.unfreeze()
        gc.collect()
    finally:
        os.chdir(previous)
    shutil.rmtree(str(KOV_HOME), ignore_errors=True)


@pytest.fixture(scope="session")
def kov():
    import zol_kov

    return zol_kov


@pytest.fixture
def log(kov):
    # Controllers of earlier tests that sit in reference cycles would otherwise
    # write their finaliser's line into this test's capture.
    gc.collect()
    capture = LogCapture()
    logger = logging.getLogger("zol_kov")
    logger.addHandler(capture)
    try:
        yield capture
    finally:
        logger.removeHandler(capture)


@pytest.fixture
def thread_watch():
    """The threads running before the test; `still_running(limit)` names the
    test's own threads that do not end."""
    return ThreadWatch()
