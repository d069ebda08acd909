import gc
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent

# zol_kov creates `log/` under the current directory when it is imported, and its
# handler opens `log/...` relative to the current directory for every record. Import it
# (if nobody has yet) from a private directory, and run every test of this directory
# from there, so that no test writes into the source tree.
KOV_HOME = Path(tempfile.mkdtemp(prefix="kov-home-"))
(KOV_HOME / "log").mkdir(parents=True, exist_ok=True)
if "zol_kov" not in sys.modules:
    _cwd = os.getcwd()
    os.chdir(str(KOV_HOME))
    try:
        import zol_kov  # noqa: F401  (test modules import it again and fail loudly if missing)
    except ImportError:
        pass
    finally:
        os.chdir(_cwd)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    # Controllers made by a test are finalised (and log their closed line) only when
    # pytest drops the test's fixture values, at the very end of the protocol: stay in
    # the private directory until then.
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
def _no_leftover_threads():
    """Fail a test that leaves threads of its own running (a homing run never collected)."""
    before = set(threading.enumerate())
    yield
    deadline = time.monotonic() + 20.0
    leftover = []
    for thread in threading.enumerate():
        if thread in before or thread is threading.current_thread():
            continue
        thread.join(max(0.0, deadline - time.monotonic()))
        if thread.is_alive():
            leftover.append(thread)
    if leftover:
        pytest.fail("test left threads running: %r" % (leftover,))


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
    # Controllers of earlier tests that sit in reference cycles would otherwise write
    # their finaliser's line into this test's capture.
    gc.collect()
    capture = LogCapture()
    logger = logging.getLogger("zol_kov")
    logger.addHandler(capture)
    try:
        yield capture
    finally:
        logger.removeHandler(capture)


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


def _module_dirs():
    dirs = [str(HERE)]
    for name in ("zol_kov", "zol_mew"):
        module = sys.modules.get(name)
        if module is None:
            __import__(name)
            module = sys.modules[name]
        dirs.append(str(Path(module.__file__).resolve().parent))
    return dirs


@pytest.fixture
def run_python(kov, tmp_path):
    """Runs a Python snippet in a fresh interpreter, by default in an empty directory."""

    def run(code, *flags, cwd=None, env=None, timeout=120):
        environ = dict(os.environ)
        environ["PYTHONPATH"] = os.pathsep.join(_module_dirs())
        environ.pop("PYTHONOPTIMIZE", None)
        environ.update(env or {})
        return subprocess.run(
            [sys.executable] + list(flags) + ["-c", code],
            cwd=str(cwd or tmp_path),
            env=environ,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            timeout=timeout,
        )

    return run
