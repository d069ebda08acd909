"""kov status: one line per station, once or live."""

import argparse
import sys
import time
from typing import TYPE_CHECKING, Dict, List, Optional, Sequence

from . import common

if TYPE_CHECKING:
    from zol_kov import KOVAxisController

# Short enough for one line of an 80-column terminal; "mm" follows "position" with --ppmm.
HEADER = ["station", "position", "motion", "stop", "-limit", "origin", "+limit", "alarm",
          "e-stop", "enable"]


def header(ppmm: Optional[float]) -> List[str]:
    return HEADER[:2] + (["mm"] if ppmm else []) + HEADER[2:]
ENABLE_BIT = 1 << 18  # Y2, the drive enable, in the outputs half of the image


def add_parser(subparsers: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = subparsers.add_parser(
        "status",
        parents=[common.line_options()],
        help="position, motion, stop source, inputs of stations (reads DT10..DT31)",
        description="Show one line per station: the position (pulses, and mm with --ppmm), "
        "whether it moves, the stop source of its last motion, the limit, origin, alarm and "
        "emergency inputs and the enable output. Reads the status block DT10..DT31 of each "
        "station, one transfer per station; writes nothing. With --watch, reads again every "
        "--interval seconds until Ctrl-C: a live table on a terminal, otherwise a line for "
        "each change.",
    )
    parser.add_argument("--stations", "-s", type=common.station_list, required=True,
                        help="stations, e.g. 1,2,3 or 1-3")
    parser.add_argument("--ppmm", type=common.positive, default=None,
                        help="pulses per mm, to show positions in mm too")
    parser.add_argument("--watch", "-w", action="store_true", help="refresh until Ctrl-C")
    parser.add_argument("--interval", type=common.positive, default=0.2,
                        help="seconds between two refreshes with --watch (default: 0.2)")
    parser.set_defaults(func=run)


def on_off(value: bool) -> str:
    return "ON" if value else "off"


def status_cells(axes: "KOVAxisController", station: int, ppmm: Optional[float]) -> List[str]:
    """The cells of one station's line, from one status transfer."""
    from zol_kov import StopSource

    words = axes.status_words(station)  # the scale stays 1: positions in pulses
    pulses = int(words[0])
    try:
        stop = StopSource(words[4]).name
    except ValueError:
        stop = "code %d" % words[4]
    return [str(station), "%d" % pulses] + (["%.3f" % (pulses / ppmm)] if ppmm else []) + [
        "moving" if axes.is_running(station, words) else "stands",
        stop,
        on_off(axes.at_negative_limit(station, words)),
        on_off(axes.at_o(station, words)),
        on_off(axes.at_positive_limit(station, words)),
        on_off(axes.is_alarming(station, words)),
        # Normally closed: on while the circuit is intact.
        "ok" if axes.at_emergency(station, words) else "STOP",
        on_off(bool(int(words[3]) & ENABLE_BIT)),
    ]


def run(args: argparse.Namespace) -> int:
    axes = common.open_controller(args)
    try:
        if not args.watch:
            rows = [status_cells(axes, station, args.ppmm) for station in args.stations]
            common.print_table(header(args.ppmm), rows)
            return 0
        console = common.rich_console(sys.stdout)
        if console is not None:
            watch_live(axes, args, console)
        else:
            watch_lines(axes, args)
        return 0  # not reached: only Ctrl-C or an error ends a watch
    finally:
        axes.close()


def watch_live(axes: "KOVAxisController", args: argparse.Namespace, console: object) -> None:
    from rich import box
    from rich.live import Live
    from rich.table import Table

    def table() -> Table:
        shown = Table(*header(args.ppmm), box=box.SIMPLE_HEAD, padding=(0, 0),
                      title="%s - %s - Ctrl-C ends" % (args.port, time.strftime("%X")))
        for station in args.stations:
            shown.add_row(*status_cells(axes, station, args.ppmm))
        return shown

    with Live(table(), console=console, auto_refresh=False) as live:  # type: ignore[arg-type]
        while True:
            time.sleep(args.interval)
            live.update(table(), refresh=True)


def watch_lines(axes: "KOVAxisController", args: argparse.Namespace) -> None:
    """A line for each station whose status changed, with the time; flushed at once, so a
    pipe sees it."""
    shown: Dict[int, List[str]] = {}
    while True:
        for station in args.stations:
            cells = status_cells(axes, station, args.ppmm)
            if shown.get(station) != cells:
                shown[station] = cells
                stamp = time.strftime("%H:%M:%S") + ".%03d" % (time.time() % 1 * 1000)
                print(stamp + "  " + line(cells, args.ppmm), flush=True)
        time.sleep(args.interval)


def line(cells: Sequence[str], ppmm: Optional[float]) -> str:
    return "  ".join("%s=%s" % pair for pair in zip(header(ppmm), cells))
