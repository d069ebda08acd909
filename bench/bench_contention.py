"""One bus, several threads: how long a call waits for the bus while other threads wait for
their axes, and how long a call blocks when nothing answers.

Every waiting thread reads its axis's running output about 100 times a second, and the
master serves one transaction at a time: a call from another thread queues behind theirs.
The simulator paces each reply by the wire time of request and reply at the baud rate (plus
its default 2 ms turnaround), as a real line would. The call timed is `is_running` of a
station that stands (one coil read); with waiters, three other stations each run a long
positioning under `wait_for_locating_done` on a thread of their own.

The blocking times are those of the master's defaults (time-out 0.5 s, 2 retries) towards a
station that nobody serves: a write is not re-sent (the device may have acted on it), a read
is tried three times.
"""
import os
import statistics
import tempfile
import threading
import time
from typing import Dict, List

import zol_mew
from _report import report

SAMPLES = 200
WAITERS = (1, 2, 3)
ASKED = 4  # the station whose calls are timed; it stands
SILENT = 9  # a station that nobody serves


def timed_calls(axes, count: int) -> List[float]:
    times = []
    for _ in range(count):
        start = time.perf_counter()
        axes.is_running(ASKED)
        times.append(time.perf_counter() - start)
        time.sleep(0.005)  # not back to back: a call lands anywhere in the waiters' cycle
    return times


def with_waiters(axes, count: int) -> List[float]:
    for station in WAITERS:
        axes.set_parameters(station, 400, 400, 0)  # 1 pulse/mm: 400 pulses/s, no ramp
        axes.locate_relatively(station, 14000.0)  # 35 s of motion, longer than the samples take
    def wait(station: int) -> None:
        try:
            axes.wait_for_locating_done(station, 60.0)
        except OSError:  # stopped below: stop source Command
            pass

    threads = [threading.Thread(target=wait, args=(station,)) for station in WAITERS]
    for thread in threads:
        thread.start()
    time.sleep(0.2)
    try:
        times = timed_calls(axes, count)
        assert all(thread.is_alive() for thread in threads), "a positioning ended too soon"
        return times
    finally:
        for station in WAITERS:
            axes.stop(station)
        for thread in threads:
            thread.join()


def row(case: str, baudrate: int, times: List[float]) -> Dict[str, object]:
    return {
        "baudrate": baudrate,
        "case": case,
        "median_ms": statistics.median(times) * 1000,
        "worst_ms": max(times) * 1000,
        "samples": len(times),
    }


def main() -> None:
    os.chdir(tempfile.mkdtemp(prefix="zol-kov-bench-"))
    import zol_kov

    rows = []
    for baudrate in (9600, 115200):
        stations = WAITERS + (ASKED,)
        with zol_mew.Simulator(stations, baudrate=baudrate) as sim:
            axes = zol_kov.KOVAxisController(sim.port, baudrate)
            rows.append(row("alone", baudrate, timed_calls(axes, SAMPLES)))
            waited = with_waiters(axes, SAMPLES)
            rows.append(row("3 threads waiting", baudrate, waited))
            axes.close()

    silent = []
    with zol_mew.Simulator(1) as sim:
        axes = zol_kov.KOVAxisController(sim.port)
        for name, call in (("write (stop)", axes.stop), ("read (is_running)", axes.is_running)):
            start = time.perf_counter()
            try:
                call(SILENT)
            except zol_mew.MewTimeoutError:
                pass
            silent.append({"call": name, "blocked_s": time.perf_counter() - start})
        axes.close()
    report("bus_contention", ["baudrate", "case", "median_ms", "worst_ms", "samples"], rows)
    report("no_reply_blocking", ["call", "blocked_s"], silent)


if __name__ == "__main__":
    main()
