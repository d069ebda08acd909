"""Fixtures of the reliability tests; shared helpers live in rel_helpers.py."""

import gc
import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

import zol_mew
from rel_helpers import SIM_TIME_SCALE

# zol_kov makes `log/` in the current directory at import and appends a line there
# for every command: keep both out of the source tree.
KOV_HOME = Path(tempfile.mkdtemp(prefix="kov-rel-home-"))
(KOV_HOME / "log").mkdir(exist_ok=True)
if "zol_kov" not in sys.modules:
    _cwd = os.getcwd()
    os.chdir(str(KOV_HOME))
    try:
        import zol_kov  # noqa: F401
    except ImportError:
        pass
    finally:
        os.chdir(_cwd)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
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


@pytest.fixture
def sim():
    with zol_mew.Simulator((1, 2, 3), time_scale=SIM_TIME_SCALE) as simulator:
        yield simulator


@pytest.fixture
def kov():
    """The zol_kov module, or a skip while it is not built."""
    return pytest.importorskip("zol_kov")
