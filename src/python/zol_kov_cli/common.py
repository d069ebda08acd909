"""What every kov subcommand shares: the port and line options, station lists, opening
the bus, asking before a motion, and the terminal (rich when it is installed)."""

import argparse
import sys
from typing import TYPE_CHECKING, Any, Dict, List, Optional, TextIO

import zol_mew

if TYPE_CHECKING:
    from zol_kov import KOVAxisController

DEFAULT_BAUDRATE = 115200


class UsageError(Exception):
    """A command line that cannot be carried out as given: exit status 2."""


class Failed(Exception):
    """A command that did not do what it should (a motion stopped by a limit, a homing
    run that failed): exit status 1 with its message."""


class Declined(Failed):
    """The user did not confirm a motion: nothing was sent."""


def station_list(text: str) -> List[int]:
    """Parses "1,2,5-9" into [1, 2, 5, 6, 7, 8, 9] (each 1..99)."""
    stations: List[int] = []
    try:
        for part in text.split(","):
            first, _, last = part.strip().partition("-")
            stations.extend(range(int(first), int(last or first) + 1))
    except ValueError:
        raise argparse.ArgumentTypeError("not a list of stations like 1,2,5-9: %r" % text)
    if not stations or not all(1 <= station <= 99 for station in stations):
        raise argparse.ArgumentTypeError("stations are 1..99: %r" % text)
    return list(dict.fromkeys(stations))


def station(text: str) -> int:
    stations = station_list(text)
    if len(stations) != 1:
        raise argparse.ArgumentTypeError("one station, not %r" % text)
    return stations[0]


def positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be above 0: %r" % text)
    return value


def line_options(timeout: Optional[float] = 0.5, baudrate: bool = True,
                 timeout_help: str = "(default: %(default)s)") -> argparse.ArgumentParser:
    """The port and MewMaster's settings, as a parent parser of a subcommand."""
    parent = argparse.ArgumentParser(add_help=False)
    parent.add_argument("port", help="serial port (/dev/ttyUSB0) or tcp://host:port")
    line = parent.add_argument_group("line (as MewMaster takes them)")
    if baudrate:
        line.add_argument("--baudrate", "-b", type=int, default=DEFAULT_BAUDRATE,
                          help="baud rate of the bus (default: %(default)s)")
    line.add_argument("--bytesize", type=int, choices=(5, 6, 7, 8), default=8,
                      help="data bits (default: 8)")
    line.add_argument("--parity", choices=("N", "E", "O"), default="N",
                      help="parity (default: N)")
    line.add_argument("--stopbits", type=int, choices=(1, 2), default=1,
                      help="stop bits (default: 1)")
    line.add_argument("--timeout", type=positive, default=timeout,
                      help="seconds to wait for a reply " + timeout_help)
    return parent


def master_settings(args: argparse.Namespace) -> Dict[str, Any]:
    return {"bytesize": args.bytesize, "parity": args.parity, "stopbits": args.stopbits}


def open_master(args: argparse.Namespace, baudrate: Optional[int] = None,
                **settings: Any) -> zol_mew.MewMaster:
    """A MewMaster on args.port; a setting it refuses is a usage error."""
    options = dict(master_settings(args), timeout=args.timeout)
    options.update(settings)
    rate: int = getattr(args, "baudrate", DEFAULT_BAUDRATE) if baudrate is None else baudrate
    try:
        return zol_mew.MewMaster(args.port, rate, **options)
    except ValueError as error:
        raise UsageError(str(error))


def open_controller(args: argparse.Namespace) -> "KOVAxisController":
    """A controller on its own master (so that the line options apply). Imported here:
    importing zol_kov creates log/ in the current directory, where the commands and
    settings that kov gives are logged."""
    from zol_kov import KOVAxisController

    return KOVAxisController(open_master(args))


def confirm(args: argparse.Namespace, what: str) -> None:
    """Asks on the terminal before a motion unless --yes; Declined otherwise."""
    if getattr(args, "yes", False):
        return
    if not sys.stdin.isatty():
        raise Declined("%s: not confirmed (no terminal to ask on; give --yes)" % what)
    sys.stderr.write("%s on %s. Go ahead? [y/N] " % (what, args.port))
    sys.stderr.flush()
    answer = sys.stdin.readline().strip().lower()
    if answer not in ("y", "yes"):
        raise Declined("%s: not confirmed" % what)


def add_confirmation(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--yes", "-y", action="store_true",
                        help="do not ask before moving the axis")


def rich_console(stream: TextIO) -> Optional[Any]:
    """A rich Console on `stream` when it is a terminal and rich is installed (the cli
    extra); None means plain lines."""
    if not stream.isatty():
        return None
    try:
        from rich.console import Console
    except ImportError:
        return None
    return Console(file=stream)


def print_table(header: List[str], rows: List[List[str]], title: str = "") -> None:
    """Rows as a table on stdout: rich's on a terminal, aligned plain text otherwise."""
    console = rich_console(sys.stdout)
    if console is not None:
        from rich.table import Table

        table = Table(*header, title=title or None)
        for row in rows:
            table.add_row(*row)
        console.print(table)
        return
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]
    for row in [header] + rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
