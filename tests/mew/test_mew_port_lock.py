"""Exclusive use of a port, port names with a NUL, and masters never initialised."""

import errno
import fcntl
import os
import socket
import struct
import subprocess
import sys
import time

import pytest

import zol_mew
from child_python import child_environment, run_python
from mew_peer import TcpLine
from support import open_fds


@pytest.fixture
def sim():
    with zol_mew.Simulator((1,), time_scale=40.0) as simulator:
        yield simulator


def assert_in_use(error, port):
    assert isinstance(error, zol_mew.MewError), error
    assert error.errno == errno.EBUSY
    assert "in use" in str(error) and port in str(error)


def test_a_second_master_on_the_port_is_refused_until_the_first_closes(sim):
    first = zol_mew.MewMaster(sim.port)
    before = open_fds()
    with pytest.raises(zol_mew.MewError) as refused:
        zol_mew.MewMaster(sim.port)
    assert_in_use(refused.value, sim.port)
    assert open_fds() == before  # nothing left open by the refused one
    assert first.get_int32(1, "DT10") == 5000
    first.close()
    with zol_mew.MewMaster(sim.port) as second:
        assert second.get_int32(1, "DT10") == 5000


def test_another_process_is_refused(sim):
    code = (
        "import sys, zol_mew\n"
        "try:\n"
        "    zol_mew.MewMaster(sys.argv[1])\n"
        "except zol_mew.MewError as e:\n"
        "    print(e.errno, e)\n"
    )
    env = child_environment()
    with zol_mew.MewMaster(sim.port) as master:
        done = subprocess.run(
            [sys.executable, "-c", code, sim.port], env=env,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30,
        )
        assert master.get_int32(1, "DT10") == 5000
    assert done.returncode == 0, done.stderr
    number, _, message = done.stdout.decode().strip().partition(" ")
    assert int(number) == errno.EBUSY and "in use" in message, done.stdout


TIOCGEXCL = 0x80045440  # _IOR('T', 0x40, int): is TIOCEXCL set?


def locked(port):
    """Whether the device refuses unprivileged openers (TIOCEXCL): root opens it all
    the same and asks."""
    try:
        fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as e:
        if e.errno == errno.EBUSY:
            return True
        raise
    try:
        return struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, bytes(4)))[0] != 0
    finally:
        os.close(fd)


def test_the_simulator_unlocks_its_port_when_a_client_dies_holding_it(sim):
    code = "import os, sys, zol_mew\nmaster = zol_mew.MewMaster(sys.argv[1])\nos._exit(0)\n"
    subprocess.run([sys.executable, "-c", code, sim.port], env=child_environment(),
                   timeout=30, check=True)
    deadline = time.monotonic() + 10  # the serving thread sees the close at once
    while locked(sim.port) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not locked(sim.port)


def test_a_forked_child_leaves_its_parents_lock(tmp_path):
    code = (
        "import fcntl, os, struct, zol_mew\n"
        "peer, device = os.openpty()\n"
        "master = zol_mew.MewMaster(os.ttyname(device))\n"
        "child = os.fork()\n"
        "if child == 0:\n"
        "    master.close()\n"
        "    os._exit(0)\n"
        "os.waitpid(child, 0)\n"
        "print(struct.unpack('i', fcntl.ioctl(device, %d, bytes(4)))[0])\n" % TIOCGEXCL
    )
    done = run_python(code, cwd=tmp_path, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "1"  # still locked for the parent


def test_exclusive_false_shares_the_port(sim):
    with zol_mew.MewMaster(sim.port, exclusive=False) as a:
        with zol_mew.MewMaster(sim.port, exclusive=False) as b:
            a.set_int32(1, "DT100", 7)
            assert b.get_int32(1, "DT100") == 7


# ---- port names ---------------------------------------------------------------------


@pytest.mark.parametrize("tail", ["\0-other", "\0"])
def test_a_device_name_with_a_nul_opens_nothing(sim, tail):
    before = open_fds()
    with pytest.raises(ValueError, match="embedded null character"):
        zol_mew.MewMaster(sim.port + tail)
    assert open_fds() == before
    with zol_mew.MewMaster(sim.port) as master:  # the real device was not taken
        assert master.get_int32(1, "DT10") == 5000


def test_an_empty_port_name_is_refused_before_any_open():
    with pytest.raises(ValueError, match="^port must be a serial port name or tcp://host:port, "
                       "not an empty string$"):
        zol_mew.MewMaster("")


def test_a_tcp_address_with_a_nul_connects_nowhere():
    line = TcpLine()
    try:
        host_and_port = line.port[len("tcp://"):]
        host, port = host_and_port.rsplit(":", 1)
        with pytest.raises(ValueError, match="embedded null character"):
            zol_mew.MewMaster("tcp://%s\0.example:%s" % (host, port))
        line.listener.settimeout(0.05)
        with pytest.raises(socket.timeout):
            line.listener.accept()
    finally:
        line.listener.close()


# ---- an object whose __init__ never ran -------------------------------------------------

MEMBERS = sorted(
    name for name in dir(zol_mew.MewMaster)
    if not name.startswith("_") or name in ("__enter__", "__exit__")
)
# Valid arguments for each method, so that only the missing __init__ can fail it.
ARGUMENTS = {
    "__exit__": (None, None, None),
    "get_int32": (1, "DT0"),
    "set_int32": (1, "DT0", 1),
    "set_uint32": (1, "DT0", 1),
    "get_multi_int32": (1, "DT0", 1),
    "set_multi_uint32": (1, "DT0", [1]),
    "get_coil": (1, "R0"),
    "set_coil": (1, "R0", True),
    "get_coil_uint16": (1, "WR0"),
    "set_coil_uint16": (1, "WR0", 1),
}


@pytest.mark.parametrize("name", MEMBERS)
def test_every_member_of_an_uninitialised_master_raises(name):
    master = zol_mew.MewMaster.__new__(zol_mew.MewMaster)
    member = getattr(zol_mew.MewMaster, name)
    with pytest.raises(TypeError, match=r"not initialised \(MewMaster.__init__\(\) was not called\)"):
        if isinstance(member, property):
            member.__get__(master)
        else:
            member(master, *ARGUMENTS.get(name, ()))
    assert repr(master) == "<uninitialised MewMaster>"
