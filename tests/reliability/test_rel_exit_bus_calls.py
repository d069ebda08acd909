"""A thread inside a bus call while the interpreter finalises.

CPython ends a thread that takes the GIL back during finalisation (pthread_exit);
the forced unwind must pass every frame of the binding, or the C++ runtime
aborts the process ("terminate called without an active exception", rc 134).
Each scenario runs in its own interpreter, several times at once, since the race
depends on timing: a finaliser that sleeps 0.3 s releases the GIL while the
interpreter is finalising, and the threads on the bus try to take it back.
"""

import subprocess
import sys
import textwrap

import pytest

from child_python import child_environment

RUNS = 6
LIMIT = 60.0

PROLOGUE = """
import threading, time
import zol_mew
"""

# Garbage in a reference cycle, made last: the interpreter's own collection at
# finalisation runs its finaliser, which releases the GIL while the other threads
# are still busy on the bus.
EPILOGUE = """
class SlowFinaliser:
    def __del__(self, _sleep=time.sleep):  # bound now: globals may be gone then
        _sleep(0.3)

slow = SlowFinaliser()
slow.cycle = slow
del slow
"""

SCENARIOS = {
    # Station 1 answers; station 9 does not, so that calls sit in their
    # time-out, with the GIL released, most of the time.
    "daemon-threads-poll-a-master": """
sim = zol_mew.Simulator((1,), time_scale=40.0)
master = zol_mew.MewMaster(sim.port, timeout=0.1, retries=0)
polling = threading.Barrier(4)

def poll(station):
    polling.wait()
    while True:
        try:
            master.get_int32(station, "DT10")
        except zol_mew.MewError:
            pass

for station in (1, 1, 9):
    threading.Thread(target=poll, args=(station,), daemon=True).start()
polling.wait(10)
time.sleep(0.05)
""",
    "homing-started-from-a-daemon-thread": """
import zol_kov
sim = zol_mew.Simulator((1,), time_scale=1.0)
sim.set_geometry(1, negative_limit=-10**8)  # the search runs far longer than the test
controller = zol_kov.KOVAxisController(sim.port)
controller.set_ppmm(1, 100)
homing = threading.Event()

def home():
    controller.find_o(1, 5.0, 50.0, 0.05)
    homing.set()
    controller.wait_for_find_o_finish(1, 60.0)

threading.Thread(target=home, daemon=True).start()
assert homing.wait(10)
time.sleep(0.1)
""",
}


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_exit_while_a_thread_is_on_the_bus(scenario, tmp_path):
    (tmp_path / "log").mkdir()  # zol_kov logs under the current directory
    env = child_environment()
    code = "".join(textwrap.dedent(part) for part in (PROLOGUE, SCENARIOS[scenario], EPILOGUE))
    runs = [
        subprocess.Popen(
            [sys.executable, "-c", code],
            cwd=str(tmp_path),
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        for _ in range(RUNS)
    ]
    outcomes = []
    for run in runs:
        try:
            _, err = run.communicate(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            run.kill()
            _, err = run.communicate()
        outcomes.append((run.returncode, err.decode(errors="replace")))
    for rc, err in outcomes:
        assert "terminate called" not in err, err
        assert rc == 0, (rc, err)
