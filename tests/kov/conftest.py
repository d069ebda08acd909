"""Fixtures of the controller tests on a recording fake master."""

import time
from pathlib import Path

import pytest

import child_python
from support import WAIT

HERE = Path(__file__).resolve().parent


@pytest.fixture(autouse=True)
def _no_leftover_threads(thread_watch):
    """Fail a test that leaves threads of its own running (a homing run never collected)."""
    yield
    leftover = thread_watch.still_running(WAIT)
    if leftover:
        pytest.fail("test left threads running: %r" % (leftover,))


@pytest.fixture
def fake():
    from fake_master import FakeMaster

    return FakeMaster()


@pytest.fixture
def ctl(kov, fake, log):
    """A controller on a recording fake master, with the creation line already cleared."""
    controller = kov.KOVAxisController(fake)
    log.clear()
    return controller


class SleepRecorder:
    def __init__(self):
        self.calls = []

    def __call__(self, seconds):
        self.calls.append(seconds)
        time.sleep(0)  # let other threads run, as the real pause does


@pytest.fixture
def sleeps(kov, monkeypatch):
    """Replaces the module's pause by a recorder that does not wait."""
    recorder = SleepRecorder()
    monkeypatch.setattr(kov, "_sleep", recorder)
    return recorder


class FakeClock:
    """A wall clock that moves only when the module pauses."""

    def __init__(self, start=1000.0, step=0.25):
        self.t = start
        self.step = step
        self.sleeps = []

    def now(self):
        return self.t

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.t += self.step


@pytest.fixture
def clock(kov, monkeypatch):
    fake_clock = FakeClock()
    monkeypatch.setattr(kov, "_now", fake_clock.now)
    monkeypatch.setattr(kov, "_sleep", fake_clock.sleep)
    return fake_clock


@pytest.fixture
def run_python(kov, tmp_path):
    """Runs a Python snippet in a fresh interpreter, by default in an empty directory;
    the fake master and its helpers importable there too."""

    def run(code, *flags, cwd=None, env=None, timeout=120):
        return child_python.run_python(
            code,
            cwd=cwd or tmp_path,
            timeout=timeout,
            flags=flags,
            extra_paths=[HERE],
            env=env,
            text=False,
        )

    return run
