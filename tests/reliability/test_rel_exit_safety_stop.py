"""A safety stop in the application's own clean-up reaches the module at interpreter exit.

The application jogs an axis over a real pseudo-terminal to a simulator in this test
process and exits without stopping it; its clean-up (an object's `__del__`, a
`weakref.finalize`, an `atexit` handler registered before `import zol_kov`) stops the
axis. The controller is created first: the interpreter would finalise it before the
objects made after it. Each scenario runs in its own interpreter, several times, since
what runs first at exit depends on the collector's lists and the import order.
"""

import pytest

import zol_mew
from child_python import run_python

RUNS = 3

# An application object that stops the axis when it goes.
MACHINE = """
class Machine:
    def __init__(self, axes):
        self.axes = axes
    def __del__(self):
        self.axes.stop(1)
machine = Machine(ctl)
"""

# The clean-up each scenario installs; `ctl` is the controller, created before it.
CLEAN_UPS = {
    "__del__": MACHINE,
    "__del__ in a cycle through the controller": MACHINE + "ctl.owner = machine\n",
    "__del__ of an object that survived a young collection": MACHINE
    + "import gc\ngc.collect(0)\n",
    "__del__, with automatic collection switched off": MACHINE
    + "import gc\ngc.collect(0)\ngc.disable()\n",
    "weakref.finalize": """
class Machine:
    pass
machine = Machine()
weakref.finalize(machine, ctl.stop, 1)
""",
    "atexit handler registered before import": """
stop_at_exit.append(ctl)
""",
}

SCRIPT = """
import atexit, sys, weakref

# weakref's own exit hook and this handler run after any hook registered by the import.
weakref.finalize(type("Early", (), {{}})(), int)
stop_at_exit = []
atexit.register(lambda: [c.stop(1) for c in stop_at_exit])

import zol_kov

ctl = zol_kov.KOVAxisController(sys.argv[1])
{clean_up}
ctl.run_positive(1)
print("jogging")
"""

STOP_LINE = "Stop station 1"
CLOSED_LINE = "KOV Axis Controller closed. force = False"


def log_messages(directory):
    (log_file,) = (directory / "log").glob("zol_kov-*.log")
    return [line.split(" - ", 2)[2] for line in log_file.read_text("utf-8").splitlines()]


@pytest.mark.parametrize("run", range(RUNS))
@pytest.mark.parametrize("clean_up", sorted(CLEAN_UPS))
def test_safety_stop_in_clean_up_reaches_the_module(tmp_path, clean_up, run):
    with zol_mew.Simulator(1, positive_limit=2**30) as sim:
        result = run_python(SCRIPT.format(clean_up=CLEAN_UPS[clean_up]), sim.port, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["jogging"]
        assert result.stderr == ""
        assert sim.wait_stopped(1, 5.0), "the axis is still jogging: %r" % sim.state(1)
        assert sim.state(1)["stop_source"] == 1  # Command: stopped by R0, not by a switch
    messages = log_messages(tmp_path)
    # The controller was still open for the stop, and finalised afterwards, once.
    assert messages[-2:] == [STOP_LINE, CLOSED_LINE]
    assert messages.count(CLOSED_LINE) == 1
