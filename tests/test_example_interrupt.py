"""examples/minimal.py interrupted by Ctrl-C leaves the axis stopped.

The example runs against kov-sim in another process, as it would against a real
port. kov-sim logs every request it serves, so the test sends SIGINT right after the
request that begins the moment under test (the homing run starting, its jog to the
limit, its origin search, a positioning).
"""

import signal
import subprocess
import sys
import time
from datetime import date
from pathlib import Path
from typing import Dict, Iterator, List

import pytest

import zol_mew
from child_python import child_environment
from kov_sim_process import WAIT, KovSim

MINIMAL = Path(__file__).resolve().parents[1] / "examples" / "minimal.py"
STATION = 1
# Short travels and a doubled clock keep each run near two seconds: homing jogs
# 3000 pulses to the limit and searches 2000 back; the first positioning is 2500 pulses.
KOV_SIM = ["--time-scale", "2", "--position", "1000", "--negative-limit", "-2000"]
STOP_SOURCE_COMMAND = 1


def _env() -> Dict[str, str]:
    env = child_environment()
    env.pop("KOV_SIM", None)
    return env


@pytest.fixture
def kov_sim(tmp_path: Path) -> Iterator[KovSim]:
    sim = KovSim(KOV_SIM, cwd=tmp_path, env=_env())
    try:
        yield sim
    finally:
        sim.close()


def _sigint_default() -> None:
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def _coil_write(relay: int) -> str:
    # "@01WC" + tag + "R0003" + "1" + checksum: the module is told to start a command
    return r"@%02dWC.R%04d1" % (STATION, relay)


# The request after which Ctrl-C comes, and whether a motion was under way then.
MOMENTS = [
    pytest.param(r"@%02dRC.R0012" % STATION, False, id="homing-starts"),  # find_o's limit check
    pytest.param(_coil_write(3), True, id="homing-jog-to-limit"),
    pytest.param(_coil_write(6), True, id="homing-origin-search"),
    pytest.param(_coil_write(1), True, id="absolute-move"),
]


# Timing-sensitive: each case expects the example to react to Ctrl-C while the motion it
# interrupts is still under way (well under a second), which a machine loaded by the
# parallel tests does not promise.
@pytest.mark.serial
@pytest.mark.parametrize("trigger, moving", MOMENTS)
def test_interrupted_example_leaves_the_axis_stopped(
    kov_sim: KovSim, tmp_path: Path, trigger: str, moving: bool
) -> None:
    example = subprocess.Popen(
        [sys.executable, str(MINIMAL), kov_sim.port, "--station", str(STATION)],
        cwd=str(tmp_path),
        env=_env(),
        # A test run started as a background job inherits SIGINT ignored, and Python
        # keeps an ignored SIGINT so: give the example the default a terminal gives.
        preexec_fn=_sigint_default,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
    )
    try:
        kov_sim.wait_for(trigger)
        example.send_signal(signal.SIGINT)
        stdout, stderr = example.communicate(timeout=WAIT)
    finally:
        if example.poll() is None:
            example.kill()
            example.communicate()

    # The interrupt propagated: the interpreter ended by SIGINT (status 130 in a shell),
    # with nothing hiding it and no error from a finaliser.
    assert example.returncode == -signal.SIGINT, stdout + stderr
    assert stderr.rstrip().endswith("KeyboardInterrupt"), stderr
    assert "Exception ignored" not in stderr and "RuntimeError" not in stderr, stderr
    assert stdout == ""

    with zol_mew.MewMaster(kov_sim.port) as bus:
        assert not bus.get_coil(STATION, "Y1")  # no pulses
        position = bus.get_int32(STATION, "DT10")
        time.sleep(0.1)  # 0.2 s of simulated time: a creeping axis would show
        assert bus.get_int32(STATION, "DT10") == position
        assert not bus.get_coil(STATION, "Y1")
        if moving:  # the motion under way was cut short by a stop command
            assert bus.get_int32(STATION, "D20") == STOP_SOURCE_COMMAND

    log = tmp_path / "log" / ("zol_kov-%s.log" % date.today().strftime("%Y%m%d"))
    lines: List[str] = log.read_text(encoding="utf8").splitlines()
    assert any(line.endswith("Stop station %d" % STATION) for line in lines)
    assert any(line.endswith("KOV Axis Controller closed. force = True") for line in lines)
