import os
import threading

import pytest

import zol_mew
from mew_peer import ScriptedPeer, TcpLine, open_pty_line


@pytest.fixture(params=["pty", "tcp"])
def bus(request):
    """Factory: bus(handler=None, **master_options) -> (master, peer).

    Runs the same contract over a pseudo-terminal and over a TCP connection;
    everything opened is closed again, and no peer thread may outlive the test.
    """
    opened = []
    keep = []

    def make(handler=None, **options):
        options.setdefault("timeout", 2.0)
        if request.param == "pty":
            port, peer_fd, slave_fd = open_pty_line()
            keep.append(slave_fd)
            master = zol_mew.MewMaster(port, **options)
            peer = ScriptedPeer(peer_fd, handler)
        else:
            line = TcpLine()
            master = zol_mew.MewMaster(line.port, **options)
            sock = line.accept()
            peer = ScriptedPeer(sock.fileno(), handler, sock=sock)
        opened.append((master, peer))
        return master, peer.start()

    threads_before = set(threading.enumerate())
    yield make
    for master, peer in opened:
        master.close()
        peer.stop()
    for fd in keep:
        os.close(fd)
    assert set(threading.enumerate()) <= threads_before


@pytest.fixture
def pty_bus(request):
    """As `bus`, on a pseudo-terminal only (for termios-specific checks)."""
    opened = []

    def make(handler=None, **options):
        options.setdefault("timeout", 2.0)
        port, peer_fd, slave_fd = open_pty_line()
        master = zol_mew.MewMaster(port, **options)
        peer = ScriptedPeer(peer_fd, handler)
        opened.append((master, peer, slave_fd))
        return master, peer.start()

    yield make
    for master, peer, slave_fd in opened:
        master.close()
        peer.stop()
        os.close(slave_fd)
