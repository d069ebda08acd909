"""Waiting costs: CPU time that wait_for_locating_done and a homing thread use while an
axis moves for about two seconds, as a share of one core. Goal: under 2 %.

Both waits poll the running output every 10 ms; the CPU time counted is that of the
waiting thread alone (time.thread_time), bus I/O included, the simulator's thread not.
"""
import os
import tempfile
import threading
import time

import zol_mew
from _report import report

GOAL = 0.02


class TimedThread(threading.Thread):
    """A homing thread that records the CPU time its run used."""

    cpu = 0.0
    wall = 0.0

    def run(self) -> None:
        cpu0, wall0 = time.thread_time(), time.perf_counter()
        try:
            super().run()
        finally:
            TimedThread.cpu = time.thread_time() - cpu0
            TimedThread.wall = time.perf_counter() - wall0


def main() -> None:
    os.chdir(tempfile.mkdtemp(prefix="zol-kov-bench-"))
    import zol_kov

    rows = []
    with zol_mew.Simulator(stations=(1,)) as sim:
        ctl = zol_kov.KOVAxisController(sim.port)
        # 1 pulse per mm; 2000 pulses at 1000 pulses/s with no ramp: two seconds.
        ctl.set_parameters(1, 1000, 1000, 0)
        ctl.locate_relatively(1, 2000.0)
        cpu0, wall0 = time.thread_time(), time.perf_counter()
        ctl.wait_for_locating_done(1)
        cpu, wall = time.thread_time() - cpu0, time.perf_counter() - wall0
        rows.append({"wait": "wait_for_locating_done", "wall_s": wall, "cpu_s": cpu,
                     "core_share": cpu / wall, "goal": "< 2 %", "met": cpu / wall < GOAL})

        # Origin-only homing from +7000 to the origin window's falling edge at -1001.
        sim.place_axis(1, 7000)
        ctl.finding_o_method = zol_kov.FindingOMethod.OriginOnly
        zol_kov._Thread = TimedThread
        try:
            ctl.find_o(1, 4000, 4000, 0, zol_kov.Direction.Negative)
            found = ctl.wait_for_find_o_finish(1)
        finally:
            zol_kov._Thread = threading.Thread
        rows.append({"wait": "homing thread (found: %s)" % found, "wall_s": TimedThread.wall,
                     "cpu_s": TimedThread.cpu, "core_share": TimedThread.cpu / TimedThread.wall,
                     "goal": "< 2 %", "met": TimedThread.cpu / TimedThread.wall < GOAL})
        ctl.close()
    report("waiting_cost", ["wait", "wall_s", "cpu_s", "core_share", "goal", "met"], rows)


if __name__ == "__main__":
    main()
