"""Time-outs hold on a noisy line, and Ctrl-C ends a long wait.

A real pseudo-terminal whose far end nobody answers from; a writer thread puts
one stray byte on it every 20 ms. Each byte arrives well within the inter-byte
gap, so a master that let input stretch its wait would never give up.
"""

import os
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import zol_mew
from child_python import child_environment
from mew_peer import open_pty_line
from support import call_bounded

TIMEOUT = 0.2
RETRIES = 2
NOISE_PERIOD = 0.02


@pytest.fixture
def noisy_line(request):
    """(port, writer): a pty whose far end only writes `noise` every 20 ms."""
    port, peer_fd, keep_fd = open_pty_line()
    stop = threading.Event()
    noise = request.param

    def write_noise():
        k = 0
        while not stop.wait(NOISE_PERIOD):
            os.write(peer_fd, noise[k % len(noise) : k % len(noise) + 1])
            k += 1

    writer = threading.Thread(target=write_noise)
    writer.start()
    yield port
    stop.set()
    writer.join()
    os.close(peer_fd)
    os.close(keep_fd)


NOISES = {
    "garbage": b"\x00\xffx\n",  # never a frame start
    "frame-starts": b">",  # a reply that keeps beginning
    "endless-frame": b">01RD" + b"0" * 400,  # a reply that never ends
}

OPS = [
    # name, arguments, attempts it may make (a write is never repeated)
    ("get_int32", (1, "DT10"), RETRIES + 1),
    ("set_coil", (1, "R0", True), 1),
]


def budget(master, attempts):
    """(attempts) x (time-out + a longest frame + one inter-byte gap), plus slack
    for a loaded machine; far below what letting noise extend the wait costs."""
    frame_time = 160 * 10 / master.baudrate
    return attempts * (master.timeout + frame_time + master.inter_byte_timeout) + 0.5


@pytest.mark.parametrize("noisy_line", list(NOISES.values()), ids=list(NOISES), indirect=True)
@pytest.mark.parametrize("name, args, attempts", OPS, ids=[op[0] for op in OPS])
def test_every_call_ends_within_its_budget(noisy_line, name, args, attempts):
    master = zol_mew.MewMaster(noisy_line, timeout=TIMEOUT, retries=RETRIES)
    try:
        started = time.monotonic()
        _, error = call_bounded(getattr(master, name), *args, limit=30.0)
        took = time.monotonic() - started
    finally:
        master.close()
    assert isinstance(error, (zol_mew.MewTimeoutError, zol_mew.MewProtocolError)), error
    assert took <= budget(master, attempts), (took, error)
    assert master.stats["bytes_received"] > 0  # the noise did reach the master


# ---- Ctrl-C -------------------------------------------------------------------

# A reply the simulator drops, a 30 s wait for it, and a SIGINT handler that
# stops the axis through the waiting master.
HANDLER = """
sim = zol_mew.Simulator((1,), time_scale=40.0)
master = zol_mew.MewMaster(sim.port, timeout=30.0, retries={retries})
sim.drop_replies(1)

def stop_axis(signum, frame):
    master.set_coil(1, "R100", True)

signal.signal(signal.SIGINT, stop_axis)
threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
"""

# Each scenario prints one line: what the interrupted call ended with.
CTRL_C = {
    # A real SIGINT lands while the main thread sits in a 30 s wait.
    "sigint": """
port, peer, keep = open_pty_line()
master = zol_mew.MewMaster(port, timeout=30.0, retries=2)
threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    master.get_int32(1, "DT10")
except KeyboardInterrupt:
    print("KeyboardInterrupt")
""",
    # Python's own flag alone (no signal reaches the process's system calls).
    "interrupt_main": """
port, peer, keep = open_pty_line()
master = zol_mew.MewMaster(port, timeout=30.0, retries=2)
threading.Timer(0.2, _thread.interrupt_main).start()
try:
    master.set_coil(1, "R0", True)
except KeyboardInterrupt:
    print("KeyboardInterrupt")
""",
    # A handler that stops the axis through the very master that waits: the
    # stop reaches the device, and the interrupted read asks again (though no
    # retry was allowed).
    "handler-uses-the-master": HANDLER.format(retries=0) + """
value = master.get_int32(1, "DT10")
print(value == sim.get_int32(1, "DT10") and sim.get_coil(1, "R100"))
""",
    # The same while a write waits: it is not sent a second time.
    "handler-interrupts-a-write": HANDLER.format(retries=2) + """
try:
    master.set_int32(1, "DT100", 77)
except zol_mew.MewError as e:
    writes = [f for f in sim.request_log() if f[3:5] == "WD"]
    print("not repeated" in str(e) and len(writes) == 1 and sim.get_coil(1, "R100"))
""",
}

PROLOGUE = """
import _thread, os, signal, sys, threading
sys.path.insert(0, {here!r})
import zol_mew
from mew_peer import open_pty_line
"""


@pytest.mark.parametrize("scenario", sorted(CTRL_C))
def test_ctrl_c_ends_a_long_wait(scenario):
    here = str(Path(__file__).resolve().parent)
    code = textwrap.dedent(PROLOGUE.format(here=here)) + textwrap.dedent(CTRL_C[scenario])
    env = child_environment()
    # Bounded far below the 90 s the waits would take if Ctrl-C were ignored.
    done = subprocess.run(
        [sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, timeout=20.0,
    )
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    expected = "True" if scenario.startswith("handler") else "KeyboardInterrupt"
    assert done.stdout.decode().split() == [expected], done
