"""Checks written as assertions run only while assertions are enabled; the limit checks of
homing run always. Each case runs in a fresh interpreter, with and without -O."""

import json

import pytest

SCRIPT = r"""
import json, logging, sys
import zol_kov
from fake_master import FakeMaster, ScriptedAxis

zol_kov._sleep = lambda seconds: None
lines = []
class Capture(logging.Handler):
    def emit(self, record):
        lines.append(record.getMessage())
logging.getLogger("zol_kov").addHandler(Capture())

def case(build, action):
    master = build()
    controller = zol_kov.KOVAxisController(master)
    del lines[:]
    try:
        result = ["returned", repr(action(controller))]
    except Exception as e:
        result = ["raised", type(e).__name__, list(e.args)]
    return {"outcome": result, "calls": [list(map(repr, c)) for c in master.calls],
            "log": list(lines)}

def scaled(scale, action):
    def run(c):
        c.set_ppmm(1, scale)
        del lines[:]
        return action(c)
    return run

def homing(c):
    c._finding_o_method = zol_kov.FindingOMethod.OriginOnly
    c.find_o(3, 5, 20, 0.2, -1)
    return c.wait_for_find_o_finish(3, 30.0)

def origin_axis():
    axis = ScriptedAxis()
    axis.plan(3, stages=[(1, zol_kov.StopSource.Origin)])
    return axis

def disabled_axis():
    axis = ScriptedAxis()
    axis.plan(3, relays={"R12": True})
    return axis

def set_method(c):
    c.finding_o_method = 1
    return c._finding_o_method

out = {
    "optimize": sys.flags.optimize,
    "zero_scale": case(FakeMaster, lambda c: (c.set_ppmm(1, 0), c.ppmm(1))),
    "velocity": case(FakeMaster, scaled(1000, lambda c: c.set_velocity(1, 70.001))),
    "start_velocity": case(FakeMaster, scaled(1000, lambda c: c.set_start_velocity(1, 70.001))),
    "zero_start": case(FakeMaster, lambda c: c.set_parameters(1, 0, 10, 0.1)),
    "start_above": case(FakeMaster, lambda c: c.set_parameters(1, 10, 5, 0.1)),
    "negative_time": case(FakeMaster, lambda c: c.set_parameters(1, 5, 10, -0.1)),
    "profile_limit": case(FakeMaster, scaled(1000, lambda c: c.set_parameters(1, 1, 71, 1))),
    "method": case(FakeMaster, set_method),
    "direction": case(origin_axis, homing),
    "disabled_limit": case(disabled_axis, lambda c: c.find_o(3, 5, 20, 0.2)),
}
print(json.dumps(out))
"""

NEG_DISABLED = "禁用了负极限，却往负方向找原点。可能需要把找原点方式改为只使用原点信号"


_results = {}


def run(run_python, flags):
    result = run_python(SCRIPT, *flags)
    assert result.returncode == 0, result.stderr.decode()
    return json.loads(result.stdout.decode())


@pytest.fixture(params=[(), ("-O",)], ids=["asserts", "optimized"])
def mode(request, run_python):
    if request.param not in _results:
        _results[request.param] = run(run_python, request.param)
    return request.param, _results[request.param]


def raised(*args):
    return ["raised"] + list(args)


def test_interpreter_mode(mode):
    flags, out = mode
    assert out["optimize"] == (1 if flags else 0)


@pytest.mark.parametrize(
    "case, write",
    [
        ("zero_scale", None),
        ("velocity", ["'set_uint32'", "1", "'DT2'", "70001"]),
        ("start_velocity", ["'set_uint32'", "1", "'DT0'", "70001"]),
        ("zero_start", ["'set_multi_uint32'", "1", "'DT0'", "[0, 10, 100]"]),
        ("start_above", ["'set_multi_uint32'", "1", "'DT0'", "[10, 5, 100]"]),
        ("negative_time", ["'set_multi_uint32'", "1", "'DT0'", "[5, 10, -100]"]),
        ("profile_limit", ["'set_multi_uint32'", "1", "'DT0'", "[1000, 71000, 1000]"]),
    ],
)
def test_assertion_checks_of_units(mode, case, write):
    flags, out = mode
    got = out[case]
    if not flags:
        assert got["outcome"] == raised("AssertionError", [])
        assert got["calls"] == [] and got["log"] == []
    elif write is None:
        assert got["outcome"] == ["returned", "(None, 0)"]
        assert got["log"] == ["Set PPMM to 0 for station 1"]
    else:
        assert got["outcome"] == ["returned", "None"]
        assert got["calls"] == [write]
        assert len(got["log"]) == 1


def test_homing_method_check(mode):
    flags, out = mode
    got = out["method"]
    if flags:
        assert got["outcome"] == ["returned", "1"]
        assert got["log"] == ["Set finding o method to 1"]
    else:
        assert got["outcome"] == raised("AssertionError", ["未知的找原点方式值：1"])
        assert got["log"] == []


def test_direction_check(mode):
    flags, out = mode
    got = out["direction"]
    if flags:
        assert got["outcome"] == ["returned", "True"]
        assert ["'set_coil'", "3", "'R5'", "True"] in got["calls"]
        assert "Start finding O for station 3, direction -1" in got["log"]
    else:
        assert got["outcome"] == raised("AssertionError", [])
        assert got["calls"] == []


def test_disabled_limit_check_runs_always(mode):
    flags, out = mode
    assert out["disabled_limit"]["outcome"] == raised("AssertionError", [NEG_DISABLED])
    assert out["disabled_limit"]["calls"] == [["'get_coil'", "3", "'R12'"]]
