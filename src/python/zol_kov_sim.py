"""kov-sim: serve simulated motion modules (zol_mew.Simulator) from a shell.

Prints the port to open alone on the first line of stdout, then one line per
request served, until Ctrl-C or SIGTERM (exit status 0). With --port-file the
port is also written to a file, so a script need not read stdout.
"""

import argparse
import os
import signal
import sys
import tempfile
import time
from typing import List, Mapping, Optional, Sequence

import zol_mew

# Simulator keywords that kov-sim offers as options (time_scale as --time-scale).
# Options left out are not passed, so the simulator's own defaults apply.
_PASSED = (
    "stations",
    "time_scale",
    "baudrate",
    "parity",
    "stopbits",
    "line_check",
    "tcp",
    "tcp_port",
    "negative_limit",
    "positive_limit",
    "origin_low",
    "origin_high",
    "position",
)


class _Terminated(Exception):
    """SIGTERM, which ends the command as Ctrl-C does."""


def _default_text(defaults: Mapping[str, object], keyword: str) -> str:
    if keyword not in defaults:
        return ""
    value = defaults[keyword]
    if isinstance(value, tuple):
        value = " ".join(str(item) for item in value)
    return " (default: %s)" % value


def _parser() -> argparse.ArgumentParser:
    defaults = zol_mew.Simulator.defaults

    def default(keyword: str) -> str:
        return _default_text(defaults, keyword)

    parser = argparse.ArgumentParser(
        prog="kov-sim",
        description="Serve simulated motion modules on a pseudo-terminal (or a loopback TCP "
        "port) until interrupted. Prints the port to open, then one line per request served.",
        argument_default=argparse.SUPPRESS,
    )
    add = parser.add_argument
    add("--stations", type=int, nargs="+", help="station numbers to answer" + default("stations"))
    add("--time-scale", type=float,
        help="simulated seconds per real second" + default("time_scale"))
    add("--baudrate", type=int,
        help="pace replies like a serial line at this rate (default: as fast as possible)")
    add("--parity", choices=("N", "E", "O"), help="the modules' parity" + default("parity"))
    add("--stopbits", type=int, choices=(1, 2), help="the modules' stop bits" + default("stopbits"))
    add("--line-check", action="store_true",
        help="answer only a master that opened the line at --baudrate, --parity and --stopbits "
        "(other rates are heard as noise, other framings answered with garbage)")
    add("--tcp", action="store_true", help="serve on 127.0.0.1 instead of a pty")
    add("--tcp-port", type=int, help="TCP port with --tcp (default: a free one)")
    for end in ("negative_limit", "positive_limit", "origin_low", "origin_high"):
        add("--" + end.replace("_", "-"), type=int, help="in pulses" + default(end))
    add("--position", type=int,
        help="where the axes stand at start, in pulses" + default("position"))
    add("--port-file", metavar="PATH", help="also write the port to this file (removed at exit)")
    add("--quiet", action="store_true", help="do not log requests")
    return parser


def _write_port_file(path: str, port: str) -> None:
    # Written under another name and renamed: a script that waits for the file
    # to appear never reads half of it.
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".kov-sim-", dir=directory)
    try:
        with os.fdopen(handle, "w") as file:
            file.write(port + "\n")
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _remove_port_file(path: str, port: str) -> None:
    # Only our own port: another kov-sim may have taken the file over meanwhile.
    try:
        with open(path) as file:
            if file.read() != port + "\n":
                return
        os.unlink(path)
    except OSError:
        pass


def _terminate(signum: int, frame: object) -> None:
    raise _Terminated()


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    args = vars(parser.parse_args(argv))
    options = {keyword: args[keyword] for keyword in _PASSED if keyword in args}
    if not args.get("quiet"):
        options["log_commands"] = True
    port_file: Optional[str] = args.get("port_file")
    previous = signal.signal(signal.SIGTERM, _terminate)
    sim = None
    port = ""
    try:
        try:
            sim = zol_mew.Simulator(**options)
        except ValueError as error:
            parser.error(str(error))
        except OSError as error:
            parser.exit(1, "kov-sim: %s\n" % error)
        port = sim.port
        if port_file is not None:
            try:
                _write_port_file(port_file, port)
            except OSError as error:
                parser.exit(1, "kov-sim: cannot write the port file: %s\n" % error)
        # Flushed at once: whoever reads the port may be waiting on a pipe.
        print(port, flush=True)
        stations: List[int] = list(sim.stations)
        note = "kov-sim: serving stations %s - press Ctrl-C to stop" % stations
        print(note, file=sys.stderr, flush=True)
        while True:
            time.sleep(3600.0)
    except (KeyboardInterrupt, _Terminated):
        pass
    finally:
        signal.signal(signal.SIGTERM, previous)
        if sim is not None:
            sim.close()
        if port_file is not None and port:
            _remove_port_file(port_file, port)
    print("kov-sim: stopped", file=sys.stderr, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
