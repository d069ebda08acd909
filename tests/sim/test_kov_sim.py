"""The kov-sim console command, started from a shell."""

import contextlib
import os
import selectors
import shlex
import signal
import subprocess
import sys
import time

import pytest

import zol_mew
from sim_helpers import WAIT


def kov_sim(arguments):
    """Shell command that becomes kov-sim (exec: a signal sent to it reaches kov-sim)."""
    return "exec " + kov_sim_command(arguments)


def kov_sim_command(arguments):
    """Shell command line for kov-sim: the installed script when there is one
    (a pip install), else the same module through the interpreter."""
    script = os.path.join(os.path.dirname(sys.executable), "kov-sim")
    if os.path.exists(script):
        command = [script]
    else:
        command = [sys.executable, "-m", "zol_kov_sim"]
    return " ".join(shlex.quote(part) for part in command + arguments)


@contextlib.contextmanager
def running_kov_sim(arguments):
    """kov-sim started from a shell, with its output piped; killed if still running."""
    proc = subprocess.Popen(
        kov_sim(arguments),
        shell=True,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        # Ctrl-C reaches it as from a terminal, also when this run was started in the
        # background (which starts every command with the interrupt ignored).
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()
        proc.stderr.close()


def read_line(proc, timeout=WAIT):
    selector = selectors.DefaultSelector()
    selector.register(proc.stdout, selectors.EVENT_READ)
    try:
        deadline = time.monotonic() + timeout
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not selector.select(left):
                raise AssertionError("kov-sim printed no line; got %r" % line)
            chunk = os.read(proc.stdout.fileno(), 1)
            if not chunk:
                raise AssertionError("kov-sim ended; got %r" % line)
            line += chunk
        return line.decode()
    finally:
        selector.close()


@pytest.mark.serial
@pytest.mark.parametrize(
    "tcp, stop", [(False, signal.SIGINT), (True, signal.SIGINT), (False, signal.SIGTERM)]
)
def test_serves_until_interrupted(tcp, stop):
    arguments = ["--stations", "1", "4", "--time-scale", "50", "--position", "-300"]
    if tcp:
        arguments.append("--tcp")
    with running_kov_sim(arguments) as proc:
        port = read_line(proc).strip()
        assert port.startswith("tcp://127.0.0.1:") if tcp else os.path.exists(port)
        with zol_mew.MewMaster(port) as bus:
            assert bus.get_int32(4, "DT10") == -300
            assert bus.get_coil(1, "X0")  # -300 is inside the default origin window
        logged = [read_line(proc), read_line(proc)]
        assert "@04RD" in logged[0] and "-> >04RD" in logged[0]
        assert "@01RC" in logged[1]
        proc.send_signal(stop)
        assert proc.wait(timeout=WAIT) == 0
        assert b"kov-sim: stopped" in proc.stderr.read()


@pytest.mark.parametrize(
    "arguments, code, text",
    [
        (["--help"], 0, b"--time-scale"),
        (["--stations", "0"], 2, b"station 0"),
        (["--origin-low", "5", "--origin-high", "1"], 2, b"origin_low"),
        (["--bogus"], 2, b"unrecognized"),
    ],
)
def test_command_line_errors(arguments, code, text):
    result = subprocess.run(kov_sim(arguments), shell=True, capture_output=True, timeout=WAIT)
    assert result.returncode == code
    assert text in result.stdout + result.stderr


def test_port_file_holds_the_port_while_serving(tmp_path):
    port_file = tmp_path / "port"
    with running_kov_sim(["--quiet", "--port-file", str(port_file)]) as proc:
        printed = read_line(proc)
        assert port_file.read_text() == printed  # written before the port is printed
        with zol_mew.Simulator() as reference:  # options left out: the Simulator's defaults
            start = reference.get_int32(1, "DT10")
        with zol_mew.MewMaster(printed.strip()) as bus:
            assert bus.get_int32(1, "DT10") == start
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=WAIT) == 0
        assert not port_file.exists()
        assert proc.stdout.read() == b""  # --quiet: the port line only


def test_a_shell_reads_the_port_from_a_pipe(tmp_path):
    # The port line is flushed at once, so `read` on a pipe gets it while kov-sim serves.
    script = 'exec 3< <(%s --quiet 2>/dev/null); read -r PORT <&3; kill $!; echo "$PORT"'
    result = subprocess.run(
        ["bash", "-c", script % kov_sim_command([])],
        capture_output=True,
        timeout=WAIT,
        cwd=str(tmp_path),
    )
    assert result.stdout.decode().startswith("/dev/pts/"), result
