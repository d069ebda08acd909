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


def child_environment(extra_paths=(), env=None):
    """This process's environment for a child: the modules under test (after
    `extra_paths`) on its path, assertions on, and `env` on top."""
    environ = dict(os.environ)
    environ["PYTHONPATH"] = os.pathsep.join([str(p) for p in extra_paths] + [module_path()])
    environ.pop("PYTHONOPTIMIZE", None)
    environ.update(env or {})
    return environ


def run_python(code, *args, cwd, timeout=60, flags=(), extra_paths=(), env=None, text=True):
    """`python flags... -c code args...` in `cwd`; the completed process (its output
    as text, or as bytes with `text=False`).

    A run that does not end within `timeout` seconds raises subprocess.TimeoutExpired
    (the child is killed), so a hang fails the test."""
    return subprocess.run(
        [sys.executable] + list(flags) + ["-c", code] + [str(a) for a in args],
        cwd=str(cwd),
        env=child_environment(extra_paths, env),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=text,
        timeout=timeout,
    )
