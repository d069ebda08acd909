"""examples/minimal.py, the script users copy, runs on the built-in simulator.

(The demo needs the plotting extra; scripts/demo runs it.)
"""

import subprocess
import sys
from datetime import date
from pathlib import Path
from typing import Dict, List

import pytest
from child_python import child_environment

MINIMAL = Path(__file__).resolve().parents[1] / "examples" / "minimal.py"


def _env(**extra: str) -> Dict[str, str]:
    # The script runs from an empty directory: the modules where this process finds them.
    env = child_environment()
    env.pop("KOV_SIM", None)
    env.update(extra)
    return env


def _run(args: List[str], env: Dict[str, str], cwd: Path) -> "subprocess.CompletedProcess[str]":
    return subprocess.run(
        [sys.executable, str(MINIMAL)] + args,
        cwd=str(cwd),
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=120,
    )


@pytest.mark.parametrize(
    "args, extra, station",
    [(["--sim", "--station", "7"], {}, 7), ([], {"KOV_SIM": "1"}, 1)],
    ids=["option", "environment"],
)
def test_minimal_example_homes_and_moves_on_the_simulator(
    tmp_path: Path, args: List[str], extra: Dict[str, str], station: int
) -> None:
    run = _run(args, _env(**extra), tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout == "station %d at 15.00 mm\n" % station
    log = tmp_path / "log" / ("zol_kov-%s.log" % date.today().strftime("%Y%m%d"))
    lines = log.read_text(encoding="utf8").splitlines()
    for expected in (
        "Wait for finding O done. Station %d, source 2" % station,
        "Station %d locating done. Stop source: 0" % station,
    ):
        assert any(line.endswith(expected) for line in lines), expected


@pytest.mark.parametrize("extra", [{}, {"KOV_SIM": "0"}], ids=["unset", "zero"])
def test_minimal_example_needs_a_port_without_the_simulator(
    tmp_path: Path, extra: Dict[str, str]
) -> None:
    run = _run([], _env(**extra), tmp_path)
    assert run.returncode == 2
    assert "give a serial port, or --sim" in run.stderr


def test_minimal_example_reports_a_port_that_cannot_be_opened(tmp_path: Path) -> None:
    run = _run([str(tmp_path / "no-such-tty")], _env(), tmp_path)
    assert run.returncode == 1
    assert "MewError" in run.stderr and "no-such-tty" in run.stderr
