"""Waiting for three axes without crowding the bus: how long another call on the same bus
takes while three positionings are waited for, against the same call on a quiet bus, at
9600 baud (the simulator paces its replies like the wire).

- quiet: the axes stand, nobody waits;
- three waiters: three threads, each in wait_for_locating_done (each polls every 10 ms);
- wait_all: one thread in zol_kov_tools.wait_all for the three.

Goal: with wait_all, the other call's median at most 1.5x the quiet one.
"""
import os
import random
import statistics
import tempfile
import threading
import time
from typing import Callable, List

import zol_mew
from _report import report, spread

GOAL = 1.5
BAUDRATE = 9600
SAMPLES = 40
MOVERS = (1, 2, 3)
OTHER = 4  # the station that the other call asks


def main() -> None:
    os.chdir(tempfile.mkdtemp(prefix="zol-kov-bench-"))
    import zol_kov
    import zol_kov_tools

    # The positive limit far away: the moves last 100 s unless stopped.
    with zol_mew.Simulator(MOVERS + (OTHER,), baudrate=BAUDRATE, positive_limit=10**9) as sim:
        axes = zol_kov.KOVAxisController(sim.port, BAUDRATE)

        def other_call() -> List[float]:
            times = []
            for _ in range(SAMPLES):
                time.sleep(random.uniform(0.0, 0.03))  # not in step with the pollers
                started = time.perf_counter()
                axes.is_running(OTHER)
                times.append((time.perf_counter() - started) * 1000)
            return times

        def while_waiting(start_waiting: Callable[[], List[threading.Thread]]) -> List[float]:
            for station in MOVERS:
                sim.place_axis(station, 0)
                axes.locate_absolutely(station, 1e6)  # 100 s at the default rate
            waiters = start_waiting()
            time.sleep(0.2)
            try:
                return other_call()
            finally:
                for station in MOVERS:
                    axes.stop(station)
                for waiter in waiters:
                    waiter.join()

        def waiter(target: Callable[[], None]) -> threading.Thread:
            def run() -> None:
                try:
                    target()
                except OSError:  # stopped: the stop source is Command
                    pass

            thread = threading.Thread(target=run)
            thread.start()
            return thread

        quiet = other_call()
        three = while_waiting(lambda: [
            waiter(lambda s=station: axes.wait_for_locating_done(s)) for station in MOVERS])
        one = while_waiting(lambda: [waiter(lambda: zol_kov_tools.wait_all(axes, MOVERS))])
        axes.close()

    base = statistics.median(quiet)
    rows = []
    for name, times, goal in (("quiet bus", quiet, ""),
                              ("3 threads in wait_for_locating_done", three, ""),
                              ("1 thread in wait_all", one, "<= %.1fx" % GOAL)):
        ratio = statistics.median(times) / base
        rows.append({"while": name, "median_ms": statistics.median(times),
                     "middle_half_ms": spread(times), "ratio": ratio, "goal": goal,
                     "met": ratio <= GOAL if goal else ""})
    report("wait_all_bus_share", ["while", "median_ms", "middle_half_ms", "ratio", "goal", "met"],
           rows, notes="is_running(%d) at %d baud, %d samples each" % (OTHER, BAUDRATE, SAMPLES))


if __name__ == "__main__":
    main()
