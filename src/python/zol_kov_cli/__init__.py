"""kov: commission the motion modules on a bus from a shell.

    kov scan /dev/ttyUSB0                      which stations answer, at which baud rate
    kov status /dev/ttyUSB0 -s 1,2 --watch     their inputs, live
    kov home /dev/ttyUSB0 -s 1 --speed 20      and the motions: jog, move, home, stop, ...

Each subcommand is a module with add_parser(subparsers), which registers it with
set_defaults(func=...), and a run function that returns the exit status. Exit status: 0
done, 1 a device or bus error (one line on stderr), 2 a usage error, 130 Ctrl-C, 143
SIGTERM (both stop a motion under way first).
"""

import argparse
import signal
import sys
from types import FrameType
from typing import List, Optional

from . import common, motion, ports, registers, scan, status

# In the order that --help lists them.
SUBCOMMANDS = (scan, status, motion, registers, ports)

EPILOG = """\
Every command takes the port (a serial device or tcp://host:port) and the line options of
zol_mew.MewMaster (--baudrate, --bytesize, --parity, --stopbits, --timeout). Motions ask
before they start (unless --yes) and stop the axis on Ctrl-C or any error. The commands
that use the zol_kov controller (status, the motions) log to log/ in the current directory.
Exit status: 0 done, 1 device or bus error, 2 usage error, 130 Ctrl-C, 143 SIGTERM."""


class Terminated(BaseException):
    """SIGTERM, which ends kov as Ctrl-C does: a motion under way is stopped first."""


def _terminate(signum: int, frame: Optional[FrameType]) -> None:
    signal.signal(signal.SIGTERM, signal.SIG_IGN)  # a second one must not cut the stop short
    raise Terminated()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kov",
        description="Commission pulse-output motion modules on a serial bus: find them, watch\n"
        "their inputs, move, home and stop their axes, read and write their registers.\n"
        "Each command's help says what it sends to the bus.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    subparsers = parser.add_subparsers(title="commands", metavar="COMMAND", dest="command")
    subparsers.required = True
    for module in SUBCOMMANDS:
        module.add_parser(subparsers)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)  # exits with status 2 on a usage error
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        status: int = args.func(args)
        return status
    except KeyboardInterrupt:
        print("kov: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print("kov: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    except (common.UsageError, ValueError, OverflowError) as error:
        # ValueError, OverflowError: the master's checks of an address or value, before
        # anything is sent.
        print("kov %s: error: %s" % (args.command, error), file=sys.stderr)
        return 2
    except (common.Failed, OSError) as error:
        print("kov: %s" % error, file=sys.stderr)
        return 1
    finally:
        signal.signal(signal.SIGTERM, previous)
