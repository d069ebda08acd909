"""The smallest useful zol_kov program: open the port, home one axis, move it, close.

    python examples/minimal.py /dev/ttyUSB0            # a real motion module, station 1
    python examples/minimal.py /dev/ttyUSB0 --station 3 --baudrate 57600
    python examples/minimal.py --sim                   # the built-in simulator instead
    KOV_SIM=1 python examples/minimal.py               # the same

Homing drives the axis to its negative limit switch and then back onto the origin sensor,
so make sure it can travel there. The log goes to log/zol_kov-YYYYMMDD.log here.

Ctrl-C (or any error) stops the axis before the program ends: the motion module carries
on with a motion by itself, so a program that just exits leaves the axis running.
"""

import argparse
import contextlib
import os
import signal
import sys
import threading
import time
from typing import Iterator, Optional, Sequence

from zol_kov import Direction, KOVAxisController

PULSES_PER_MM = 100  # e.g. 200 steps/rev x 10 microsteps on a 20 mm/rev belt
STOP_TIMEOUT = 10.0  # seconds for the axes to come to a standstill when stopped


@contextlib.contextmanager
def interrupts_held_back() -> Iterator[None]:
    """Ignore Ctrl-C for a while, so that a second one cannot cut the stopping short."""
    if threading.current_thread() is not threading.main_thread():
        yield  # only the main thread receives signals
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def stop_axes(axes: KOVAxisController, stations: Sequence[int]) -> None:
    """Stop every axis of `stations` and wait until it stands, also one that a homing
    run drives. Gives up after STOP_TIMEOUT seconds (a dead bus raises sooner)."""
    deadline = time.monotonic() + STOP_TIMEOUT
    for station in stations:
        axes.stop(station)
    for station in stations:
        # A homing thread goes on from the stop source it reads: a stop that lands
        # just before it starts its next motion (the jog to the limit, the origin
        # search) does not end the run. Stop again until its thread has ended.
        while axes.is_finding_o(station) and time.monotonic() < deadline:
            axes.wait_for_find_o_finish(station, 0.1)  # collects the run once it has ended
            axes.stop(station)
        # A stop ramps down over the acceleration time: wait until the pulses end.
        while axes.is_running(station) and time.monotonic() < deadline:
            time.sleep(0.01)


def home_and_move(axes: KOVAxisController, station: int) -> int:
    axes.set_ppmm(station, PULSES_PER_MM)
    axes.set_parameters(station, 5.0, 50.0, 0.2)  # start mm/s, cruise mm/s, ramp s
    axes.enable_axis(station)

    # Homing runs on a thread of its own; every find_o must be collected with
    # wait_for_find_o_finish: True = on the origin, False = failed, None = still running.
    axes.find_o(station, 5.0, 20.0, 0.2, Direction.Negative)
    homed = axes.wait_for_find_o_finish(station, 120.0)
    if homed is None:
        raise TimeoutError("homing took over 120 s")  # run() stops the axis
    if not homed:
        print("homing failed, stop source %s" % axes.get_stop_source(station).name)
        return 1

    axes.locate_absolutely(station, 25.0)  # millimetres
    axes.wait_for_locating_done(station, 30.0)  # IOError if a limit etc. stopped it
    axes.locate_relatively(station, -10.0)
    axes.wait_for_locating_done(station, 30.0)
    print("station %d at %.2f mm" % (station, axes.get_position(station)))
    return 0


def run(port: str, baudrate: int, station: int) -> int:
    axes = KOVAxisController(port, baudrate)
    try:
        status = home_and_move(axes, station)
    except BaseException:
        # Ctrl-C, a time-out, a bus error: stop what may move, close, and let the
        # exception propagate (Ctrl-C ends the program with status 130, as a shell expects).
        with interrupts_held_back():
            try:
                stop_axes(axes, [station])
            finally:
                # force: a homing run that could not be collected must not keep the
                # port open; its thread then ends at its next bus access.
                axes.close(force=True)
        raise
    axes.close()
    return status


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Home one axis and move it.")
    parser.add_argument("port", nargs="?", help="serial port, e.g. /dev/ttyUSB0")
    parser.add_argument("--baudrate", type=int, default=115200)
    parser.add_argument("--station", type=int, default=1)
    parser.add_argument(
        "--sim",
        action="store_true",
        default=os.environ.get("KOV_SIM", "") not in ("", "0"),
        help="run on the built-in simulator (also when KOV_SIM=1)",
    )
    args = parser.parse_args(argv)
    if args.sim:
        import zol_mew

        with zol_mew.Simulator(args.station, time_scale=5.0) as sim:
            return run(sim.port, args.baudrate, args.station)
    if args.port is None:
        parser.error("give a serial port, or --sim")
    return run(args.port, args.baudrate, args.station)


if __name__ == "__main__":
    sys.exit(main())
