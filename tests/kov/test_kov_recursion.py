"""Runaway recursion through the controller's operations raises RecursionError, as it
would between Python functions, and leaves the controller and the interpreter usable.

Each shape runs in a fresh interpreter: a regression shows as a crash (a negative
return code) instead of ending the test run.
"""

from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent

# Each shape defines `ctl` (the controller that ends up in the cycle) and `provoke()`.
SHAPES = {
    "own master": """
ctl = zol_kov.KOVAxisController(None)
ctl.__init__(ctl)
provoke = lambda: ctl.is_running(1)
""",
    "two controllers, each the other's master": """
ctl = zol_kov.KOVAxisController(None)
other = zol_kov.KOVAxisController(ctl)
ctl.__init__(other)
def provoke():
    ctl.stop(1)
""",
    "a Python proxy as its master": """
class Proxy:
    def __init__(self, target):
        self.target = target
    def __getattr__(self, name):
        return getattr(self.target, name)
ctl = zol_kov.KOVAxisController(None)
ctl.__init__(Proxy(ctl))
provoke = lambda: ctl.enable_axis(1)
""",
    "a master method that calls the controller": """
class Master(FakeMaster):
    def get_coil(self, station, address):
        return ctl.is_running(station)
ctl = zol_kov.KOVAxisController(Master())
provoke = lambda: ctl.at_o(1)
""",
    "a re-entrant __float__": """
ctl = zol_kov.KOVAxisController(device)
class Millimetres:
    def __float__(self):
        ctl.locate_absolutely(1, self)
        return 1.0
provoke = lambda: ctl.locate_absolutely(1, Millimetres())
""",
    "a log handler that calls the controller": """
import logging
class Echo(logging.Handler):
    def emit(self, record):
        ctl.stop(1)
ctl = zol_kov.KOVAxisController(device)
zol_kov.logger.addHandler(Echo())
provoke = lambda: ctl.stop(1)
""",
    "own master, on a thread with a small stack": """
import threading
ctl = zol_kov.KOVAxisController(None)
ctl.__init__(ctl)
def provoke():
    failure = []
    def run():
        try:
            ctl.stop(1)
        except BaseException as e:
            failure.append(e)
    threading.stack_size(1 << 20)
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    if failure:
        raise failure[0]
""",
}

SCRIPT = """
import gc, sys, zol_kov
sys.path.insert(0, {here!r})
from fake_master import FakeMaster

def depth_reached():
    # How deep a cycle through a proxy gets before the limit: the same before and after
    # a shape unless the shape left levels of the recursion count behind.
    count = [0]
    class Counting:
        def __getattr__(self, name):
            count[0] += 1
            return getattr(probe, name)
    probe = zol_kov.KOVAxisController(Counting())
    try:
        probe.stop(1)
    except RecursionError:
        pass
    probe.__init__(None)
    del probe, Counting
    gc.collect()  # the probe sits in a cycle: finalise it now, not amid a shape
    return count[0]

before = depth_reached()
device = FakeMaster()
{shape}
for attempt in range(2):
    try:
        provoke()
    except RecursionError as e:
        print("RecursionError:", e)
    else:
        print("returned")
zol_kov.logger.handlers[1:] = []
print("conversions wrote nothing" if not device.calls else "wrote %r" % device.calls[:3])
ctl.__init__(device)
device.calls.clear()
ctl.stop(1)
print("usable" if device.calls == [("set_coil", 1, "R0", True)] else device.calls)
print("depth kept" if depth_reached() == before else "depth lost")
"""


@pytest.mark.parametrize("shape", sorted(SHAPES))
def test_recursion_raises_recursion_error(run_python, shape):
    script = SCRIPT.format(here=str(HERE), shape=SHAPES[shape])
    result = run_python(script, timeout=120)
    out = result.stdout.decode().splitlines()
    assert result.returncode == 0, (result.returncode, result.stderr.decode()[-2000:])
    for line in out[:2]:
        assert line.startswith("RecursionError: maximum recursion depth exceeded"), out
    expected_writes = "conversions wrote nothing"
    if shape == "a log handler that calls the controller":
        expected_writes = out[2]  # each level wrote its stop command before logging it
        assert expected_writes.startswith("wrote [('set_coil', 1, 'R0', True)")
    assert out[2:] == [expected_writes, "usable", "depth kept"]
    assert result.stderr.decode() == ""
