"""Runs Python code in a fresh interpreter that imports the modules under test from
where this test run imports them: for exit scenarios, whose faults must show as a
failure of the test, not as a dead test run."""

import os
import subprocess
import sys
from pathlib import Path

import zol_kov
import zol_mew


def module_path():
    dirs = {str(Path(m.__file__).resolve().parent) for m in (zol_kov, zol_mew)}
    return os.pathsep.join(sorted(dirs))


def run_python(code, *args, cwd, timeout=60, executable=sys.executable):
    """`python -c code args...` in `cwd`; the completed process (text output).

    A run that does not end within `timeout` seconds raises subprocess.TimeoutExpired
    (the child is killed), so a hang fails the test."""
    environ = dict(os.environ)
    environ["PYTHONPATH"] = module_path()
    environ.pop("PYTHONOPTIMIZE", None)
    return subprocess.run(
        [executable, "-c", code] + [str(a) for a in args],
        cwd=str(cwd),
        env=environ,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=timeout,
    )
