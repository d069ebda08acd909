"""The smallest useful zol_kov program: open the port, home one axis, move it, close.

    python examples/minimal.py /dev/ttyUSB0            # a real motion module, station 1
    python examples/minimal.py /dev/ttyUSB0 --station 3 --baudrate 57600
    python examples/minimal.py --sim                   # the built-in simulator instead
    KOV_SIM=1 python examples/minimal.py               # the same

Homing drives the axis to its negative limit switch and then back onto the origin sensor,
so make sure it can travel there. The log goes to log/zol_kov-YYYYMMDD.log here.

Ctrl-C (or any error) stops the axis before the program ends (zol_kov_tools.stop_on_error):
the motion module carries on with a motion by itself, so a program that just exits leaves
the axis running.
"""

import argparse
import os
import sys
from typing import Optional, Sequence

from zol_kov import Direction, KOVAxisController
from zol_kov_tools import stop_axes, stop_on_error

PULSES_PER_MM = 100  # e.g. 200 steps/rev x 10 microsteps on a 20 mm/rev belt


def home_and_move(axes: KOVAxisController, station: int) -> int:
    axes.set_ppmm(station, PULSES_PER_MM)
    axes.set_parameters(station, 5.0, 50.0, 0.2)  # start mm/s, cruise mm/s, ramp s
    axes.enable_axis(station)

    # Homing runs on a thread of its own; every find_o must be collected with
    # wait_for_find_o_finish: True = on the origin, False = failed, None = still running.
    axes.find_o(station, 5.0, 20.0, 0.2, Direction.Negative)
    homed = axes.wait_for_find_o_finish(station, 120.0)
    if homed is None:
        raise TimeoutError("homing took over 120 s")  # stop_on_error stops the axis
    if not homed:
        stop_axes(axes, [station])  # a run that a bus error ended may leave it moving
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
    # Ctrl-C, a time-out, a bus error: stop_on_error stops what may move (also a homing
    # run about to start its next motion, within 10 s), closes with force and lets the
    # exception propagate (Ctrl-C ends the program with status 130, as a shell expects).
    with stop_on_error(axes, [station]):
        status = home_and_move(axes, station)
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
