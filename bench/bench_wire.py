"""Wire efficiency: with the simulator pacing replies like a real 8N1 line, how close does
a transaction come to the theoretical wire time of its bytes? Goal: at least 0.9.

The simulator holds each reply back by the wire time of request and reply at the baud
rate (10 bits per character) with no extra turnaround, so everything beyond the
theoretical time is what the master, the pseudo-terminal and the simulator's thread add.
"""
import time

import zol_mew
from _report import report

GOAL = 0.9


def measure(baudrate: int, call, master, count: int):
    before = master.stats
    call()
    after = master.stats
    chars = (after["bytes_sent"] - before["bytes_sent"]) + (after["bytes_received"] - before["bytes_received"])
    start = time.perf_counter()
    for _ in range(count):
        call()
    measured = (time.perf_counter() - start) / count
    theoretical = chars * 10.0 / baudrate
    return chars, theoretical, measured


def main() -> None:
    rows = []
    for baudrate, count in ((9600, 20), (115200, 200)):
        with zol_mew.Simulator(stations=(1,), baudrate=baudrate, turnaround=0.0) as sim:
            master = zol_mew.MewMaster(sim.port, baudrate, timeout=2.0)
            cases = [
                ("status read (11 values)", lambda: master.get_multi_int32(1, "DT10", 11)),
                ("three-value write", lambda: master.set_multi_uint32(1, "DT0", [1000, 5000, 100])),
            ]
            for name, call in cases:
                chars, theoretical, measured = measure(baudrate, call, master, count)
                eff = theoretical / measured
                rows.append({"baudrate": baudrate, "transaction": name, "chars": chars,
                             "wire_ms": theoretical * 1e3, "measured_ms": measured * 1e3,
                             "efficiency": eff, "goal": ">= %.1f" % GOAL, "met": eff >= GOAL})
            master.close()
    report("wire_efficiency", ["baudrate", "transaction", "chars", "wire_ms", "measured_ms",
                               "efficiency", "goal", "met"], rows)


if __name__ == "__main__":
    main()
