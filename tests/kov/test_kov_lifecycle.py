"""Creating, opening, closing and finalising a controller."""

import contextlib
import gc
import json
import os
import sys

import pytest

import kov_table
import zol_kov
from fake_master import FakeMaster
from zol_kov import FindingOMethod, KOVAxisController

HERE = os.path.dirname(os.path.abspath(__file__))
CREATED = "KOV Axis Controller created with port {}, baudrate {}"
CLOSED = "KOV Axis Controller closed. force = {}"
OPEN_TWICE = "设备已经打开，要重新打开或打开其他端口，请先调用 close 关闭设备。"
BUSY = "Not all axis are ready for close. Some is finding o."


class Factory:
    """Stands in for the master class: records how it is called."""

    def __init__(self):
        self.calls = []
        self.masters = []
        self.error = None

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        master = FakeMaster("<master %d>" % len(self.masters))
        self.masters.append(master)
        return master


class Port(str):
    pass


@pytest.fixture
def factory(monkeypatch):
    f = Factory()
    monkeypatch.setattr(zol_kov, "_MewMaster", f)
    return f


@contextlib.contextmanager
def unraisable_errors():
    """Collects what finalisers report; set in the test body, where pytest's own hook is."""
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((u.exc_type, str(u.exc_value)))
    try:
        yield seen
    finally:
        sys.unraisablehook = old


def mew(controller):
    return controller._KOVAxisController__mew


# --- construction -----------------------------------------------------------------------


def test_closed_controller_from_none(factory, log):
    controller = KOVAxisController(None)
    assert factory.calls == []
    assert list(vars(controller)) == [
        "_KOVAxisController__mew", "baudrate", "_ppmm", "_find_o_threads", "_finding_o_method",
    ]
    assert mew(controller) is None
    assert type(controller.baudrate) is int and controller.baudrate == 115200
    assert controller._ppmm == {} and type(controller._ppmm) is dict
    assert controller._find_o_threads == {} and type(controller._find_o_threads) is dict
    assert controller._finding_o_method is FindingOMethod.LimitFirstThenBackward
    assert controller.finding_o_method is FindingOMethod.LimitFirstThenBackward
    assert log.records == [("INFO", CREATED.format("None", 115200))]


def test_tables_are_per_controller(factory):
    a, b = KOVAxisController(None), KOVAxisController(None)
    assert a._ppmm is not b._ppmm
    assert a._find_o_threads is not b._find_o_threads


@pytest.mark.parametrize("port", ["/dev/ttyS1", Port("/dev/ttyUSB0")])
def test_port_name_creates_a_master(factory, log, port):
    controller = KOVAxisController(port, 9600)
    (args, kwargs), = factory.calls
    assert args == (port,) and args[0] is port
    assert kwargs == {"baudrate": 9600}
    assert mew(controller) is factory.masters[0]
    assert controller.baudrate == 9600
    assert log.messages == [CREATED.format(port, 9600)]


def test_baudrate_is_passed_and_kept_unchanged(factory, log):
    rate = ["not", "converted"]
    controller = KOVAxisController(port="COM1", baudrate=rate)
    assert factory.calls[0][1]["baudrate"] is rate
    assert controller.baudrate is rate
    assert log.messages == [CREATED.format("COM1", rate)]


@pytest.mark.parametrize("master", [FakeMaster("<given master>"), 42])
def test_ready_master_is_used_as_it_is(factory, log, master):
    controller = KOVAxisController(master)
    assert factory.calls == []
    assert mew(controller) is master
    assert log.messages == [CREATED.format(master, 115200)]
    controller._KOVAxisController__mew = None  # 42 cannot be closed


def test_master_construction_failure_passes_through(factory, log):
    factory.error = OSError(2, "no such port")
    with unraisable_errors() as unraisable:
        with pytest.raises(OSError) as excinfo:
            KOVAxisController("COM9")
        assert excinfo.value is factory.error
        assert not any("created" in m for m in log.messages)
        del excinfo
        gc.collect()
    # Finalising the half-made controller writes its closed line quietly.
    assert log.messages == [CLOSED.format(False)]
    assert unraisable == []


@pytest.mark.parametrize("port", ["", Port("")])
def test_empty_port_name_is_refused(factory, log, port):
    with unraisable_errors() as unraisable:
        with pytest.raises(ValueError):
            KOVAxisController(port)
        gc.collect()
    assert factory.calls == []
    assert not any(m.startswith("KOV Axis Controller created") for m in log.messages)
    assert unraisable == []


# --- open -------------------------------------------------------------------------------


def test_open_a_closed_controller(factory, log):
    controller = KOVAxisController(None)
    controller.baudrate = 19200
    log.clear()
    assert controller.open("COM3") is None
    assert factory.calls == [(("COM3",), {"baudrate": 19200})]
    assert mew(controller) is factory.masters[0]
    assert log.messages == ["KOV Axis Controller is opened again with port COM3."]


@pytest.mark.parametrize("port", [7, FakeMaster("<other>")])
def test_open_passes_any_port_to_the_master_class(factory, port):
    controller = KOVAxisController(None)
    controller.open(port=port)
    assert factory.calls == [((port,), {"baudrate": 115200})]
    assert factory.calls[0][0][0] is port


def test_open_an_open_controller_is_refused(factory, log):
    master = FakeMaster()
    controller = KOVAxisController(master)
    log.clear()
    with pytest.raises(RuntimeError) as excinfo:
        controller.open("COM3")
    assert excinfo.value.args == (OPEN_TWICE,)
    assert factory.calls == [] and master.calls == []
    assert mew(controller) is master
    assert log.messages == []


def test_failed_open_leaves_the_controller_closed(factory, log):
    controller = KOVAxisController(None)
    log.clear()
    factory.error = PermissionError("busy")
    with pytest.raises(PermissionError) as excinfo:
        controller.open("COM3")
    assert excinfo.value is factory.error
    assert mew(controller) is None
    assert log.messages == []


def test_reopen_after_close_keeps_the_tables(factory, log):
    master = FakeMaster()
    controller = KOVAxisController(master, baudrate=57600)
    controller.set_ppmm(1, 100)
    controller.finding_o_method = FindingOMethod.OriginOnly
    controller.close()
    controller.open("COM4")
    assert factory.calls == [(("COM4",), {"baudrate": 57600})]
    assert controller.ppmm(1) == 100
    assert controller.finding_o_method is FindingOMethod.OriginOnly
    controller.set_velocity(1, 10)
    assert factory.masters[0].calls == [("set_uint32", 1, "DT2", 1000)]


# --- close ------------------------------------------------------------------------------


def test_close(log):
    master = FakeMaster()
    controller = KOVAxisController(master)
    log.clear()
    assert controller.close() is None
    assert master.calls == [("close",)]
    assert mew(controller) is None
    assert log.messages == [CLOSED.format(False)]
    assert controller.close(force=True) is None
    assert master.calls == [("close",)]
    assert log.messages == [CLOSED.format(False), CLOSED.format(True)]


def test_close_refused_while_homing_is_registered(log):
    master = FakeMaster()
    controller = KOVAxisController(master)
    entry = object()
    controller._find_o_threads[2] = entry
    log.clear()
    with pytest.raises(RuntimeError) as excinfo:
        controller.close()
    assert excinfo.value.args == (BUSY,)
    assert log.messages == [CLOSED.format(False)]
    assert master.calls == [] and mew(controller) is master
    controller.close(force=True)
    assert master.calls == [("close",)] and mew(controller) is None
    assert controller._find_o_threads == {2: entry}
    assert log.messages == [CLOSED.format(False), CLOSED.format(True)]


@pytest.mark.parametrize("force, closes", [(1, True), ("yes", True), ([], False), (0, False)])
def test_close_force_by_truth(log, force, closes):
    master = FakeMaster()
    controller = KOVAxisController(master)
    controller._find_o_threads[1] = None
    log.clear()
    if closes:
        controller.close(force)
    else:
        with pytest.raises(RuntimeError):
            controller.close(force)
    assert (master.calls == [("close",)]) is closes
    assert log.messages == [CLOSED.format(force)]
    controller._find_o_threads.clear()


def test_close_of_a_closed_controller_with_registered_runs_only_logs(log):
    controller = KOVAxisController(None)
    controller._find_o_threads[1] = None
    log.clear()
    controller.close()
    assert log.messages == [CLOSED.format(False)]


def test_failing_master_close_keeps_the_master(log):
    master = FakeMaster()
    error = OSError("cannot release")
    master.fail("close", error)
    controller = KOVAxisController(master)
    with pytest.raises(OSError) as excinfo:
        controller.close()
    assert excinfo.value is error
    assert mew(controller) is master
    master.script("close", None, None)


def test_close_result_of_master_is_ignored():
    master = FakeMaster()
    master.script("close", None, "ignored")
    assert KOVAxisController(master).close() is None


# --- closed controller ------------------------------------------------------------------

# Every operation that reaches the master, with valid arguments, and the master
# operation it calls first; and two status queries given (empty) status words.
DEVICE_OPS = [
    (row.name, tuple(v for _, v in kov_table.sample_values(row, zol_kov)), row.master)
    for row in kov_table.OPERATIONS
    if row.master is not None
] + [("get_position", (1, []), "get_int32"), ("is_running", (1, []), "get_coil")]


def none_error(op):
    try:
        getattr(None, op)
    except AttributeError as e:
        return str(e)


@pytest.mark.parametrize("name, args, op", DEVICE_OPS, ids=[d[0] for d in DEVICE_OPS])
def test_device_operations_of_a_closed_controller_fail(name, args, op, log):
    controller = KOVAxisController(None)
    log.clear()
    with pytest.raises(AttributeError) as excinfo:
        getattr(controller, name)(*args)
    assert str(excinfo.value) == none_error(op)
    assert log.messages == []


def test_closed_controller_still_converts_and_reads_status_words(log):
    controller = KOVAxisController(None)
    controller.set_ppmm(2, 10)
    assert controller.ppmm(2) == 10
    assert controller.to_pulse(2, 1.5) == 15
    assert controller.from_pulse(2, 15) == 1.5
    assert controller.get_position(2, [2.5]) == 2.5
    assert controller.is_running(2, [0, 0, 0, 1 << 17]) is True
    assert controller.is_finding_o(2) is False


# --- finaliser --------------------------------------------------------------------------


def test_finaliser_closes(log):
    master = FakeMaster()
    controller = KOVAxisController(master)
    log.clear()
    with unraisable_errors() as unraisable:
        del controller
        gc.collect()
    assert master.calls == [("close",)]
    assert log.messages == [CLOSED.format(False)]
    assert unraisable == []


def test_explicit_finaliser_call(log):
    master = FakeMaster()
    controller = KOVAxisController(master)
    log.clear()
    assert controller.__del__() is None
    assert master.calls == [("close",)]
    assert log.messages == [CLOSED.format(False)]


def test_finaliser_of_closed_controller_writes_another_closed_line(log):
    controller = KOVAxisController(None)
    controller.close()
    log.clear()
    with unraisable_errors() as unraisable:
        del controller
        gc.collect()
    assert log.messages == [CLOSED.format(False)]
    assert unraisable == []


def test_finaliser_with_registered_runs_leaves_the_master_open(log):
    master = FakeMaster()
    controller = KOVAxisController(master)
    controller._find_o_threads[5] = None
    log.clear()
    with unraisable_errors() as unraisable:
        del controller
        gc.collect()
    assert master.calls == []
    assert log.messages == [CLOSED.format(False)]
    assert unraisable == [(RuntimeError, BUSY)]


EXIT_SCRIPT = """
import glob, sys, zol_kov
sys.path.insert(0, {here!r})
from fake_master import FakeMaster

class Boom:
    def __init__(self, *args, **kwargs):
        raise OSError("port missing")

{body}
"""


def log_lines(tmp_path):
    files = list((tmp_path / "log").glob("zol_kov-*.log"))
    assert len(files) <= 1
    if not files:
        return []
    return [line.split(" - ", 2)[2] for line in files[0].read_text(encoding="utf-8").splitlines()]


@pytest.mark.serial
def test_failed_construction_is_finalised_quietly(run_python, tmp_path):
    body = (
        "zol_kov._MewMaster = Boom\n"
        "try:\n"
        "    zol_kov.KOVAxisController('COM1')\n"
        "except OSError:\n"
        "    pass\n"
        "import gc; gc.collect()\n"
        "print('done')\n"
    )
    result = run_python(EXIT_SCRIPT.format(here=HERE, body=body))
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().split() == ["done"]
    assert result.stderr.decode() == ""
    assert log_lines(tmp_path) == [CLOSED.format(False)]


# Controllers alive at exit, referenced from everywhere: a module torn down before
# zol_kov, a reference cycle kept alive by the main module's globals, a module that
# is cleared only after zol_kov's and logging's globals are gone.
ALIVE_AT_EXIT = """
import types
holder = types.ModuleType("holder")
sys.modules["holder"] = holder
holder.controller = zol_kov.KOVAxisController(FakeMaster("held"))

class Machine:
    axes = zol_kov.KOVAxisController(None)

def uses_the_globals():
    return machine

machine = Machine()
machine.me = machine
machine.local = zol_kov.KOVAxisController(FakeMaster("cycle"))

import os
os.kov_controller = zol_kov.KOVAxisController(FakeMaster("early"))
{extra}
print("exiting")
"""


@pytest.mark.serial
@pytest.mark.parametrize("extra", ["", "zol_kov.logger.info('last words')"])
def test_each_controller_alive_at_exit_writes_one_closed_line(run_python, tmp_path, extra):
    body = ALIVE_AT_EXIT.format(extra=extra)
    result = run_python(EXIT_SCRIPT.format(here=HERE, body=body))
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().split() == ["exiting"]
    assert result.stderr.decode() == ""
    lines = log_lines(tmp_path)
    created = [line for line in lines if line.startswith("KOV Axis Controller created")]
    closed = [line for line in lines if line.startswith("KOV Axis Controller closed")]
    assert len(created) == 4
    assert closed == [CLOSED.format(False)] * 4
    assert lines.index(closed[0]) > max(lines.index(line) for line in created)


@pytest.mark.serial
def test_empty_port_leaves_no_traceback(run_python, tmp_path):
    body = (
        "try:\n"
        "    zol_kov.KOVAxisController('')\n"
        "except ValueError as e:\n"
        "    print('refused')\n"
        "import gc; gc.collect()\n"
    )
    result = run_python(EXIT_SCRIPT.format(here=HERE, body=body))
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().split() == ["refused"]
    assert result.stderr.decode() == ""
    assert json.dumps(log_lines(tmp_path)).count("created") == 0


def test_created_line_formats_the_port(log):
    from kov_helpers import Shown

    port = Shown()
    controller = KOVAxisController(port)
    assert log.messages == [CREATED.format(port, 115200)]
    assert log.messages == ["KOV Axis Controller created with port <format ''>, baudrate 115200"]
    controller._KOVAxisController__mew = None  # not a master that can be closed
