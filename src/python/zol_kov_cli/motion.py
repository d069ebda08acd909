"""kov jog, move, home, stop, enable, disable: the motions of commissioning.

Every motion asks first (unless --yes), runs inside zol_kov_tools.stop_on_error (Ctrl-C or
any error stops the axis before kov ends) and ends with the stop source."""

import argparse
import time
from typing import TYPE_CHECKING, Callable, List, Optional, Tuple

import zol_mew
import zol_kov_tools as tools

from . import common

if TYPE_CHECKING:
    from zol_kov import KOVAxisController

MAX_PULSE_RATE = 70000  # what the module's velocity registers accept, pulses/s
MEANINGS = {
    "Null": "target reached",
    "Command": "stopped by a stop command",
    "Origin": "stopped on the origin sensor",
    "NegativeLimit": "stopped by the negative limit switch",
    "PositiveLimit": "stopped by the positive limit switch",
    "Alarm": "stopped by the drive's alarm",
    "Emergency": "stopped by the emergency-stop input",
}


def add_parser(subparsers: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    def command(name: str, run: Callable[[argparse.Namespace], int], help: str,
                description: str, motion: bool = True,
                stations: bool = False) -> argparse.ArgumentParser:
        parser = subparsers.add_parser(name, parents=[common.line_options()], help=help,
                                       description=description)
        if stations:
            parser.add_argument("--stations", "-s", type=common.station_list, required=True,
                                help="stations, e.g. 1,2 or 1-3")
        else:
            parser.add_argument("--station", "-s", type=common.station, required=True,
                                help="the station of the axis")
        if motion:
            profile = parser.add_argument_group("profile")
            profile.add_argument("--ppmm", type=common.positive, default=None,
                                 help="pulses per mm (default: 1, lengths in pulses)")
            profile.add_argument("--speed", type=common.positive, required=True,
                                 help="cruise speed, mm/s")
            profile.add_argument("--start-speed", type=common.positive, default=None,
                                 help="start speed, mm/s (default: a tenth of --speed)")
            profile.add_argument("--ramp", type=float, default=0.2,
                                 help="acceleration and deceleration time, s (default: 0.2)")
            common.add_confirmation(parser)
        parser.set_defaults(func=run)
        return parser

    stopping = (" Asks first unless --yes; Ctrl-C or any error stops the axis (R0) and waits "
                "until it stands. Ends with the stop source (D20).")
    profile_sent = " Writes the profile (DT0, DT2, DT4), then"
    jog = command("jog", run_jog, "jog an axis (R3/R4) until Ctrl-C, a limit or --for seconds",
                  "Jog one axis in a direction." + profile_sent + " R3 (negative) or R4 "
                  "(positive); it runs until a limit switch, Ctrl-C or --for seconds stop it."
                  + stopping)
    jog.add_argument("direction", choices=("+", "-"), help="+ positive, - negative")
    jog.add_argument("--for", dest="duration", type=common.positive, default=None,
                     help="stop after this many seconds")

    move = command("move", run_move, "move an axis to a position (DT6, R1) or by a distance (DT8, R2)",
                   "Move one axis." + profile_sent + " DT6 and R1 (--to) or DT8 and R2 (--by), "
                   "and waits until it stands, reading Y1." + stopping)
    target = move.add_mutually_exclusive_group(required=True)
    target.add_argument("--to", type=float, help="absolute target, mm")
    target.add_argument("--by", type=float, help="distance, mm (negative: backwards)")
    move.add_argument("--max-time", type=common.positive, default=60.0,
                      help="seconds after which a motion still running is stopped (default: 60)")

    home = command("home", run_home, "home an axis: find_o (R3/R4, then R5/R6), DT10 = 0",
                   "Home one axis with zol_kov's find_o: by default it drives to the limit "
                   "switch of --direction (R3/R4), then searches the origin back (R5/R6); "
                   "--origin-only searches the origin in --direction at once. Writes the "
                   "profile (DT0, DT2, DT4) first and DT10 = 0 on the origin." + stopping)
    home.add_argument("--direction", choices=("+", "-"), default="-",
                      help="where the run starts (default: -)")
    home.add_argument("--origin-only", action="store_true",
                      help="search the origin sensor only, without driving to a limit")
    home.add_argument("--max-time", type=common.positive, default=120.0,
                      help="seconds after which a run still going is stopped (default: 120)")

    command("stop", run_stop, "stop axes (R0) and wait until they stand",
            "Stop the axes: writes R0 to each station and reads Y1 until each stands (at most "
            "10 s). Ends with each stop source. Does not ask.", motion=False, stations=True)
    command("enable", run_enable, "switch an axis's drive on (Y2 = 1)",
            "Switch the drive on: writes Y2 = 1. The motor holds its position. Does not ask.",
            motion=False)
    disable = command("disable", run_disable, "switch an axis's drive off (Y2 = 0)",
                      "Switch the drive off: writes Y2 = 0. The motor lets go: a vertical axis "
                      "may fall. Asks first unless --yes.", motion=False)
    common.add_confirmation(disable)


def describe_end(axes: "KOVAxisController", station: int,
                 ppmm: Optional[float]) -> Tuple[str, str]:
    """The closing line of a motion, and the stop source's name. The controller's scale is
    left at 1 (or set to --ppmm by the motion), so positions are read in pulses."""
    source = axes.get_stop_source(station)
    pulses = round(axes.get_position(station) * (ppmm or 1))
    where = "%d pulses" % pulses if ppmm is None else "%.3f mm (%d pulses)" % (
        pulses / ppmm, pulses)
    return "station %d stands at %s: stop source %s (%s)" % (
        station, where, source.name, MEANINGS.get(source.name, "")), source.name


def profile(args: argparse.Namespace) -> Tuple[float, float, float]:
    """(start speed, speed, ramp) of the options; checked before asking and sending."""
    start = args.start_speed if args.start_speed is not None else args.speed / 10
    for name, speed in (("--speed", args.speed), ("--start-speed", start)):
        if speed * (args.ppmm or 1) > MAX_PULSE_RATE:
            raise common.UsageError("%s %g mm/s is %g pulses/s, above the module's %d" % (
                name, speed, speed * (args.ppmm or 1), MAX_PULSE_RATE))
    if start > args.speed:
        raise common.UsageError("--start-speed must not exceed --speed")
    if args.ramp < 0:
        raise common.UsageError("--ramp must not be negative")
    return start, args.speed, args.ramp


def prepare(axes: "KOVAxisController", args: argparse.Namespace) -> None:
    axes.set_ppmm(args.station, args.ppmm or 1)
    axes.set_parameters(args.station, *profile(args))


def run_jog(args: argparse.Namespace) -> int:
    profile(args)
    positive = args.direction == "+"
    until = "for %g s" % args.duration if args.duration else "until a limit or Ctrl-C"
    common.confirm(args, "Jog station %d %s at %g mm/s %s" % (
        args.station, "positive" if positive else "negative", args.speed, until))
    axes = common.open_controller(args)
    with tools.stop_on_error(axes, [args.station]):
        prepare(axes, args)
        (axes.run_positive if positive else axes.run_negative)(args.station)
        ends = None if args.duration is None else time.monotonic() + args.duration
        while axes.is_running(args.station):
            if ends is not None and time.monotonic() >= ends:
                still = tools.stop_axes(axes, [args.station])
                if still:
                    raise common.Failed("station %d still moves after the stop" % args.station)
                break
            time.sleep(0.02)
        end, source = describe_end(axes, args.station, args.ppmm)
    axes.close()
    print(end)
    limit = "PositiveLimit" if positive else "NegativeLimit"
    if source not in ("Command", limit):
        raise common.Failed(end)
    return 0


def run_move(args: argparse.Namespace) -> int:
    profile(args)
    what = "to %g mm" % args.to if args.to is not None else "by %g mm" % args.by
    common.confirm(args, "Move station %d %s at %g mm/s" % (args.station, what, args.speed))
    axes = common.open_controller(args)
    with tools.stop_on_error(axes, [args.station]):
        prepare(axes, args)
        if args.to is not None:
            axes.locate_absolutely(args.station, args.to)
        else:
            axes.locate_relatively(args.station, float(args.by))
        try:
            tools.wait_all(axes, [args.station], args.max_time)
        except zol_mew.MewError:
            raise
        except TimeoutError:
            raise common.Failed("station %d still moved after %g s: stopped it" % (
                args.station, args.max_time))
        except OSError:
            pass  # the stop source below says why
        end, source = describe_end(axes, args.station, args.ppmm)
    axes.close()
    print(end)
    if source != "Null":
        raise common.Failed("station %d did not reach its target" % args.station)
    return 0


def run_home(args: argparse.Namespace) -> int:
    from zol_kov import Direction, FindingOMethod

    profile(args)
    direction = Direction.Positive if args.direction == "+" else Direction.Negative
    how = "origin sensor only" if args.origin_only else "limit switch first"
    common.confirm(args, "Home station %d towards %s (%s) at %g mm/s" % (
        args.station, direction.name.lower(), how, args.speed))
    axes = common.open_controller(args)
    with tools.stop_on_error(axes, [args.station]):
        if args.origin_only:
            axes.finding_o_method = FindingOMethod.OriginOnly
        axes.set_ppmm(args.station, args.ppmm or 1)
        try:
            axes.find_o(args.station, *profile(args), direction)
        except AssertionError:  # raised also under -O: the limit of that side is disabled
            raise common.Failed("station %d: the %s limit is disabled: give --origin-only, or "
                                "enable it" % (args.station, direction.name.lower()))
        homed = axes.wait_for_find_o_finish(args.station, args.max_time)
        if homed is None:
            raise common.Failed("station %d still homing after %g s: stopped it" % (
                args.station, args.max_time))
        if not homed:
            # A run that a bus error ended may leave the axis moving.
            tools.stop_axes(axes, [args.station])
        end, _ = describe_end(axes, args.station, args.ppmm)
    axes.close()
    print(end)
    if not homed:
        raise common.Failed("station %d: homing failed" % args.station)
    return 0


def run_stop(args: argparse.Namespace) -> int:
    axes = common.open_controller(args)
    try:
        still: List[int] = tools.stop_axes(axes, args.stations)
        for station in args.stations:
            if station not in still:
                print(describe_end(axes, station, None)[0])
    finally:
        axes.close()
    if still:
        raise common.Failed("station %s still moving" % ", ".join(map(str, still)))
    return 0


def _switch_drive(args: argparse.Namespace, on: bool) -> int:
    axes = common.open_controller(args)
    try:
        (axes.enable_axis if on else axes.disable_axis)(args.station)
    finally:
        axes.close()
    print("station %d: drive %s" % (args.station, "enabled" if on else "disabled"))
    return 0


def run_enable(args: argparse.Namespace) -> int:
    return _switch_drive(args, True)


def run_disable(args: argparse.Namespace) -> int:
    common.confirm(args, "Switch the drive of station %d off (the motor lets go)" % args.station)
    return _switch_drive(args, False)
