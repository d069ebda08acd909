"""Bus round trip over a pseudo-terminal against the unpaced simulator.

Reports transactions per second of MewMaster and the ratio to the floor: a raw
write/read ping-pong of frames of the same lengths over a pseudo-terminal, the
client a plain os.write/os.read loop and the responder a separate process that
answers each line with a canned reply. Goal: at least 0.8 of the floor.

The floor's client loop runs Python bytecode per frame where MewMaster runs C++,
so the floor is, if anything, a little slow: the ratio errs in the master's favour
by the cost of a few bytecodes (about a microsecond) per transaction.
"""
import os
import subprocess
import sys
import time
import tty

import zol_mew
from _report import report

GOAL = 0.8
N = 3000

RESPONDER = r"""
import os, sys, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
reply = b">" + b"0" * (int(sys.argv[2]) - 2) + b"\r"
os.write(1, b"ready\n")
buf = b""
while True:
    chunk = os.read(fd, 4096)
    if not chunk:
        break
    buf += chunk
    while b"\r" in buf:
        _, _, buf = buf.partition(b"\r")
        os.write(fd, reply)
"""


def best_rate(call) -> float:
    """Transactions per second: the best of three runs of N, after a warm-up."""
    for _ in range(500):
        call()
    best = 0.0
    for _ in range(3):
        start = time.perf_counter()
        for _ in range(N):
            call()
        best = max(best, N / (time.perf_counter() - start))
    return best


def floor_rate(request_len: int, reply_len: int) -> float:
    parent, child = os.openpty()
    tty.setraw(parent)
    tty.setraw(child)
    proc = subprocess.Popen([sys.executable, "-c", RESPONDER, os.ttyname(child), str(reply_len)],
                            stdout=subprocess.PIPE)
    try:
        assert proc.stdout.readline() == b"ready\n"
        request = b"@" + b"0" * (request_len - 2) + b"\r"

        def ping() -> None:
            os.write(parent, request)
            got = b""
            while not got.endswith(b"\r"):
                got += os.read(parent, 4096)

        return best_rate(ping)
    finally:
        proc.kill()
        proc.wait()
        os.close(parent)
        os.close(child)


def main() -> None:
    rows = []
    with zol_mew.Simulator(stations=(1,)) as sim:
        master = zol_mew.MewMaster(sim.port)
        cases = [
            ("get_coil(1, 'Y1')", lambda: master.get_coil(1, "Y1")),
            ("get_multi_int32(1, 'DT10', 11)", lambda: master.get_multi_int32(1, "DT10", 11)),
            ("set_multi_uint32(1, 'DT0', [3])", lambda: master.set_multi_uint32(1, "DT0", [1000, 5000, 100])),
        ]
        for name, call in cases:
            before = master.stats
            call()
            after = master.stats
            sent = after["bytes_sent"] - before["bytes_sent"]
            received = after["bytes_received"] - before["bytes_received"]
            rate = best_rate(call)
            floor = floor_rate(sent, received)
            rows.append({"transaction": name, "bytes_out": sent, "bytes_in": received,
                         "master_tps": rate, "floor_tps": floor, "ratio": rate / floor,
                         "goal": ">= %.1f" % GOAL, "met": rate / floor >= GOAL})
        master.close()
    report("bus_round_trip", ["transaction", "bytes_out", "bytes_in", "master_tps", "floor_tps",
                              "ratio", "goal", "met"], rows)


if __name__ == "__main__":
    main()
