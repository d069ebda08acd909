"""Controllers still alive when the interpreter exits are finalised once, quietly, with
their closed line in the log file, wherever they are referenced from."""

from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent

SCRIPT = """
import sys, types, zol_kov
sys.path.insert(0, {here!r})
from fake_master import FakeMaster

# A module imported after zol_kov and its logging: torn down before it at exit.
holder = types.ModuleType("holder")
sys.modules["holder"] = holder
holder.controller = zol_kov.KOVAxisController(FakeMaster("held"))

class Machine:
    axes = zol_kov.KOVAxisController(None)

def uses_the_globals():  # a function keeps this module's globals alive in a cycle
    return machine

machine = Machine()
machine.me = machine
machine.local = zol_kov.KOVAxisController(FakeMaster("cycle"))

# A module imported before zol_kov: cleared after zol_kov's and logging's globals are gone.
import os
os.kov_controller = zol_kov.KOVAxisController(FakeMaster("early"))
{extra}
print("exiting")
"""


@pytest.mark.parametrize("extra", ["", "zol_kov.logger.info('last words')"])
def test_each_live_controller_writes_one_closed_line(run_python, tmp_path, extra):
    result = run_python(SCRIPT.format(here=str(HERE), extra=extra))
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().split() == ["exiting"]
    assert result.stderr.decode() == ""
    (log_file,) = (tmp_path / "log").glob("zol_kov-*.log")
    lines = [line.split(" - ", 2)[2] for line in log_file.read_text("utf-8").splitlines()]
    created = [line for line in lines if line.startswith("KOV Axis Controller created")]
    closed = [line for line in lines if line.startswith("KOV Axis Controller closed")]
    assert len(created) == 4
    assert closed == ["KOV Axis Controller closed. force = False"] * 4
    assert lines.index(closed[0]) > max(lines.index(line) for line in created)
