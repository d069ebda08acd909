"""Importing in a sub-interpreter (as embedders such as mod_wsgi run code) never hangs:
the modules either work there or refuse with ImportError, and a refusal leaves them
importable in the main interpreter.

zol_mew keeps per-process state, so every kind of sub-interpreter is refused; zol_kov
imports zol_mew first and is refused with it.
"""

import pytest

from child_python import run_python

# The child runs `code` in a new sub-interpreter with run_in_sub(code), None where its
# interpreter does not offer that kind.
RUN_IN_NEW_INTERPRETER = """
try:
    import {module} as interpreters
except ImportError:
    run_in_sub = None
else:
    def run_in_sub(code):
        interp = interpreters.create()
        try:
            interpreters.{run}(interp, code)
        finally:
            interpreters.destroy(interp)
"""

RUNNERS = {
    "shared rules (_testcapi)": """
try:
    from _testcapi import run_in_subinterp as run_in_sub
except ImportError:
    run_in_sub = None
""",
    "own rules (_xxsubinterpreters: isolated from 3.12 on)": RUN_IN_NEW_INTERPRETER.format(
        module="_xxsubinterpreters", run="run_string"
    ),
    "isolated (_interpreters)": RUN_IN_NEW_INTERPRETER.format(module="_interpreters", run="exec"),
}

USES = {
    "zol_mew": """
with zol_mew.Simulator(1) as sim:
    bus = zol_mew.MewMaster(sim.port, timeout=2.0)
    bus.set_int32(1, "DT6", 1234)
    assert bus.get_int32(1, "DT6") == 1234
    bus.close()
""",
    "zol_kov": """
import zol_mew
with zol_mew.Simulator(1) as sim:
    ctl = zol_kov.KOVAxisController(sim.port)
    assert ctl.get_position(1) == 5000.0
    ctl.close()
    del ctl
""",
}

SCRIPT = """
import sys
{runner}
if run_in_sub is None:
    print("unavailable")
    sys.exit(0)

ATTEMPT = '''
import sys
try:
    import {module}
except ImportError as error:
    print("{{where}}: ImportError:", error, flush=True)
else:
{use}
    print("{{where}}: works", flush=True)
'''
run_in_sub(ATTEMPT.format(where="sub"))
exec(ATTEMPT.format(where="main"))
"""


def indented(code):
    return "".join("    " + line + "\n" for line in code.strip().splitlines())


def outcome(line, where):
    assert line.startswith(where + ": "), line
    return line[len(where) + 2 :]


@pytest.mark.parametrize("runner", sorted(RUNNERS))
@pytest.mark.parametrize("module", sorted(USES))
def test_import_in_a_sub_interpreter_works_or_is_refused(tmp_path, module, runner):
    attempt = SCRIPT.format(runner=RUNNERS[runner], module=module, use=indented(USES[module]))
    # The child is killed after the time-out: a hang fails the test.
    result = run_python(attempt, cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    if lines == ["unavailable"]:
        pytest.skip("this interpreter does not offer %s" % runner)
    assert len(lines) == 2, result.stdout + result.stderr
    sub, main = outcome(lines[0], "sub"), outcome(lines[1], "main")

    # An isolated interpreter refuses by itself (3.12+), before the module is asked.
    assert sub.startswith("ImportError: ")
    assert "main interpreter" in sub or "does not support loading in subinterpreters" in sub
    # Refused without being claimed: the main interpreter can still use it.
    assert main == "works"
