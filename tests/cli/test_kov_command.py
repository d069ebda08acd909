"""The kov command, run as a user runs it, against kov-sim or a simulator of the test."""

import os
import pty
import select
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import List

import pytest

import zol_mew
from child_python import child_environment
from kov_sim_process import WAIT, KovSim



def kov(*args: str) -> List[str]:
    return [sys.executable, "-m", "zol_kov_cli"] + list(args)


def run_kov(cwd: Path, *args: str) -> "subprocess.CompletedProcess[str]":
    return subprocess.run(kov(*args), cwd=str(cwd), env=child_environment(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)


def _sigint_default() -> None:
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def table_rows(stdout: str) -> List[List[str]]:
    return [line.split() for line in stdout.splitlines()[1:]]


def test_scan_finds_the_stations_rate_and_framing_and_nothing_else(tmp_path: Path) -> None:
    sim = KovSim(["--quiet", "--stations", "3", "17", "--baudrate", "19200", "--stopbits", "2",
                 "--line-check"])
    try:
        # At 19200 8N1 the modules answer with garbage: the framings are tried there.
        run = run_kov(tmp_path, "scan", sim.port, "--baudrates", "38400,19200,9600",
                      "--stations", "1-20")
    finally:
        sim.close()
    assert run.returncode == 0, run.stderr
    assert table_rows(run.stdout) == [["3", "19200", "8N2", "5000"], ["17", "19200", "8N2", "5000"]]
    assert "kov scan: 19200 baud 8N1, stations 1-20 ..." in run.stderr


def test_scan_over_tcp_finds_the_stations_and_says_why_when_none_answers(tmp_path: Path) -> None:
    sim = KovSim(["--quiet", "--tcp", "--stations", "5"])
    try:
        found = run_kov(tmp_path, "scan", sim.port, "--stations", "1-8")
        none = run_kov(tmp_path, "scan", sim.port, "--stations", "1-4")
        usage = run_kov(tmp_path, "scan", sim.port, "--baudrates", "9600")
    finally:
        sim.close()
    assert found.returncode == 0, found.stderr
    assert table_rows(found.stdout) == [["5", "(device", "server)", "5000"]]
    assert none.returncode == 1 and none.stdout == ""
    assert "No station answered. The likely causes:" in none.stderr
    assert "bus termination" in none.stderr
    assert usage.returncode == 2 and "--baudrates does not apply" in usage.stderr


def test_status_follows_an_input_change_and_ends_at_ctrl_c(tmp_path: Path) -> None:
    with zol_mew.Simulator((1, 2)) as sim:
        once = run_kov(tmp_path, "status", sim.port, "-s", "1,2", "--ppmm", "100")
        assert once.returncode == 0, once.stderr
        assert table_rows(once.stdout)[1][:4] == ["2", "5000", "50.000", "stands"]

        watch = subprocess.Popen(
            kov("status", sim.port, "-s", "1", "--watch", "--interval", "0.02"),
            cwd=str(tmp_path), env=child_environment(), preexec_fn=_sigint_default,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        try:
            assert watch.stdout is not None
            first = watch.stdout.readline()
            assert " alarm=off " in first and "station=1 " in first, first
            sim.set_input(1, "X4", True)
            changed = watch.stdout.readline()
            assert " alarm=ON " in changed, changed
            watch.send_signal(signal.SIGINT)
            assert watch.wait(timeout=WAIT) == 130
        finally:
            if watch.poll() is None:
                watch.kill()
            watch.communicate()


@pytest.mark.serial  # the signal must land while the move is still under way
@pytest.mark.parametrize("stop, status, said", [(signal.SIGINT, 130, "interrupted"),
                                               (signal.SIGTERM, 143, "terminated")])
def test_a_move_interrupted_leaves_the_axis_stopped(tmp_path: Path, stop: int, status: int,
                                                   said: str) -> None:
    sim = KovSim(["--stations", "1"])
    try:
        move = subprocess.Popen(
            kov("move", sim.port, "-s", "1", "--by", "12000", "--speed", "2000", "--yes"),
            cwd=str(tmp_path), env=child_environment(), preexec_fn=_sigint_default,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        try:
            sim.wait_for(r"@01WC.R00021")  # the relative move starts
            move.send_signal(stop)
            stdout, stderr = move.communicate(timeout=WAIT)
        finally:
            if move.poll() is None:
                move.kill()
                move.communicate()
        assert move.returncode == status, stderr
        assert stderr == "kov: %s\n" % said and stdout == ""
        with zol_mew.MewMaster(sim.port) as bus:
            assert not bus.get_coil(1, "Y1")
            assert bus.get_int32(1, "D20") == 1  # Command: the stop ended it
            assert 5000 <= bus.get_int32(1, "DT10") < 17000
    finally:
        sim.close()


def test_usage_errors_exit_2_and_a_dead_port_1(tmp_path: Path) -> None:
    for args in (["move", "/dev/null", "-s", "1", "--speed", "5"],  # no target
                 ["status", "/dev/null", "-s", "0"],
                 ["read", "/dev/null", "-s", "1", "Q7"]):
        run = run_kov(tmp_path, *args)
        assert run.returncode == 2, (args, run.stderr)
        assert "Traceback" not in run.stderr
    dead = run_kov(tmp_path, "status", str(tmp_path / "no-such-tty"), "-s", "1")
    assert dead.returncode == 1
    assert dead.stderr.startswith("kov: ") and dead.stderr.count("\n") == 1, dead.stderr


def test_the_live_view_draws_a_table_on_a_terminal(tmp_path: Path) -> None:
    pytest.importorskip("rich")
    with zol_mew.Simulator(4) as sim:
        parent, child = pty.openpty()
        watch = subprocess.Popen(
            kov("status", sim.port, "-s", "4", "--watch", "--interval", "0.05"),
            cwd=str(tmp_path), env=child_environment(env={"COLUMNS": "120", "TERM": "xterm"}),
            preexec_fn=_sigint_default, stdin=child, stdout=child, stderr=child)
        os.close(child)
        try:
            screen = b""
            deadline = time.monotonic() + WAIT
            while screen.count(b"e-stop") < 2 and time.monotonic() < deadline:
                if select.select([parent], [], [], 0.5)[0]:
                    screen += os.read(parent, 4096)
            assert screen.count(b"e-stop") >= 2, screen  # drawn, then drawn again in place
            assert b"\x1b[" in screen and "─".encode() in screen, screen
            watch.send_signal(signal.SIGINT)
            assert watch.wait(timeout=WAIT) == 130
        finally:
            if watch.poll() is None:
                watch.kill()
                watch.wait()
            os.close(parent)
