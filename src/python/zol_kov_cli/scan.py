"""kov scan: which stations answer, at which baud rate and framing."""

import argparse
import contextlib
import errno
import sys
from typing import Any, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import zol_mew

from . import common

USUAL_BAUDRATES = (115200, 57600, 38400, 19200, 9600)
# Tried for a station that answered with garbage: the rate is right, the framing is not.
FRAMINGS = ((8, "N", 1), (8, "E", 1), (8, "O", 1), (8, "N", 2), (7, "E", 1), (7, "O", 1))
PROBE = "DT10"  # the position counter, which every module has
SERIAL_TIMEOUT = 0.05  # a module answers within milliseconds; USB adapters add up to 16 ms
TCP_TIMEOUT = 0.1  # a device server adds its own latency

CAUSES = """\
No station answered{tried}. The likely causes:
  - baud rate or framing: the modules may use a rate or framing not tried here
    (--baudrates, --parity, --stopbits);
  - station numbers: a module answers only to its own number (--stations);
  - wiring: RS-485 A and B swapped, no common ground, another device name
    (/dev/ttyUSB1, /dev/ttyACM0);
  - bus termination: a long line needs 120 ohm at both ends;
  - another program holding the port takes the replies.
See docs/troubleshooting.md, "No reply from the module"."""


class Answer(NamedTuple):
    station: int
    baudrate: Optional[int]  # None over tcp://: the device server's rate
    framing: str
    position: Optional[int]  # None when the module answered with an error code
    note: str


def framing_text(bytesize: int, parity: str, stopbits: int) -> str:
    return "%d%s%d" % (bytesize, parity, stopbits)


def add_parser(subparsers: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = subparsers.add_parser(
        "scan",
        parents=[common.line_options(
            timeout=None, baudrate=False,
            timeout_help="per station (default: %s, over tcp:// %s)" % (SERIAL_TIMEOUT,
                                                                        TCP_TIMEOUT))],
        help="find the stations that answer, their baud rate and framing (reads DT10)",
        description="Find which stations answer on PORT, at which baud rate and framing. "
        "Sends one read of DT10 (the position counter) to each station at each baud rate, "
        "with a short time-out and no retry; where a station answers with garbage, tries "
        "the other usual framings at that rate. Writes nothing. Over tcp:// the device "
        "server sets rate and framing: only the stations are scanned.",
    )
    parser.add_argument("--baudrates", type=rates, default=None,
                        help="comma-separated rates to try (default: %s)"
                        % ",".join(map(str, USUAL_BAUDRATES)))
    parser.add_argument("--stations", "-s", type=common.station_list, default=None,
                        help="stations to try, e.g. 1-10,20 (default: 1-99)")
    parser.set_defaults(func=run)


def rates(text: str) -> List[int]:
    try:
        values = [int(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError("not a list of baud rates like 9600,19200: %r" % text)
    if not values or min(values) <= 0:
        raise argparse.ArgumentTypeError("baud rates are positive: %r" % text)
    return values


def probe(master: zol_mew.MewMaster, station: int) -> Tuple[str, Optional[int]]:
    """("ok", position), ("error", None) for an error reply, ("garbled", None) when bytes
    came that made no reply, ("silent", None)."""
    received = master.stats["bytes_received"]
    try:
        return "ok", master.get_int32(station, PROBE)
    except zol_mew.MewDeviceError:
        return "error", None
    except (zol_mew.MewTimeoutError, zol_mew.MewProtocolError):
        return ("garbled" if master.stats["bytes_received"] > received else "silent"), None


class Progress:
    """A progress bar on a terminal (rich), else a line per pass on stderr."""

    def __init__(self, total: int) -> None:
        self.console = common.rich_console(sys.stderr)
        self.bar: Optional[Any] = None
        self.task: Any = None
        self.total = total

    @contextlib.contextmanager
    def shown(self) -> Iterator["Progress"]:
        if self.console is None:
            yield self
            return
        from rich.progress import BarColumn, MofNCompleteColumn, Progress as Bar, TextColumn

        with Bar(TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(),
                 console=self.console, transient=True) as bar:
            self.bar = bar
            self.task = bar.add_task("scanning", total=self.total)
            yield self

    def grow(self, steps: int) -> None:
        self.total += steps
        if self.bar is not None:
            self.bar.update(self.task, total=self.total)

    def begin(self, what: str) -> None:
        if self.bar is None:
            print("kov scan: %s ..." % what, file=sys.stderr, flush=True)
        else:
            self.bar.update(self.task, description=what)

    def step(self, steps: int = 1) -> None:
        if self.bar is not None:
            self.bar.advance(self.task, steps)

    def found(self, answer: Answer) -> None:
        text = "  station %d answers" % answer.station
        if answer.position is not None:
            text += " (position %d)" % answer.position
        if self.bar is None:
            print(text, file=sys.stderr, flush=True)
        else:
            self.bar.console.print(text)


def scan_pass(args: argparse.Namespace, baudrate: Optional[int], framing: Tuple[int, str, int],
              given: Tuple[int, str, int], stations: Sequence[int],
              progress: Progress) -> Tuple[List[Answer], List[int]]:
    """One master at one rate and framing; returns the answers and the stations that
    answered with garbage (all of them, unheard, when the port refuses a framing other
    than the `given` one)."""
    bytesize, parity, stopbits = framing
    answers: List[Answer] = []
    garbled: List[int] = []
    try:
        master = common.open_master(args, baudrate, retries=0, bytesize=bytesize,
                                    parity=parity, stopbits=stopbits)
    except zol_mew.MewError as error:
        if error.errno != errno.EINVAL or framing == given:
            raise
        # The port refuses this framing (a pseudo-terminal one that differs only in
        # what it cannot keep): it cannot be the modules' either.
        progress.step(len(stations))
        return answers, list(stations)
    with master:
        for station in stations:
            outcome, position = probe(master, station)
            progress.step()
            if outcome == "garbled":
                garbled.append(station)
            elif outcome != "silent":
                note = "" if outcome == "ok" else "answered with an error code"
                answer = Answer(station, baudrate, framing_text(*framing), position, note)
                answers.append(answer)
                progress.found(answer)
    return answers, garbled


def run(args: argparse.Namespace) -> int:
    tcp = args.port.startswith("tcp://")
    if tcp and args.baudrates is not None:
        raise common.UsageError("over tcp:// the device server sets the baud rate: "
                                "--baudrates does not apply")
    if args.timeout is None:
        args.timeout = TCP_TIMEOUT if tcp else SERIAL_TIMEOUT
    stations = args.stations or list(range(1, 100))
    baudrates: List[Optional[int]] = (
        [None] if tcp else list(args.baudrates or USUAL_BAUDRATES))
    given = (args.bytesize, args.parity, args.stopbits)
    answers: List[Answer] = []
    unreadable: List[Tuple[int, int]] = []  # (station, rate) answering only garbage
    progress = Progress(len(baudrates) * len(stations))
    with progress.shown():
        for baudrate in baudrates:
            where = "tcp" if baudrate is None else "%d baud" % baudrate
            progress.begin("%s %s, stations %s" % (where, framing_text(*given),
                                                    span(stations)))
            found, garbled = scan_pass(args, baudrate, given, given, stations, progress)
            answers += found
            for framing in FRAMINGS:
                if not garbled or baudrate is None or framing == given:
                    continue
                progress.begin("%s %s, stations %s" % (where, framing_text(*framing),
                                                        span(garbled)))
                progress.grow(len(garbled))
                found, garbled = scan_pass(args, baudrate, framing, given, garbled, progress)
                answers += found
            unreadable += [(station, baudrate) for station in garbled if baudrate]
    if not answers and not unreadable:
        tried = "" if tcp else " at %s baud, %s" % (
            ", ".join(str(rate) for rate in baudrates), framing_text(*given))
        print(CAUSES.format(tried=tried), file=sys.stderr)
        return 1
    rows = [[str(a.station), "(device server)" if a.baudrate is None else str(a.baudrate),
             "" if a.baudrate is None else a.framing,
             "" if a.position is None else str(a.position), a.note]
            for a in sorted(answers)]
    rows += [[str(station), str(rate), "?", "", "answers garbled: another framing"]
             for station, rate in sorted(unreadable)]
    common.print_table(["station", "baud rate", "framing", "position", "note"], rows,
                       title="Stations on %s" % args.port)
    return 0


def span(stations: Sequence[int]) -> str:
    """1-99, or 3,7 for a few."""
    if list(stations) == list(range(stations[0], stations[0] + len(stations))) and \
            len(stations) > 2:
        return "%d-%d" % (stations[0], stations[-1])
    return ",".join(map(str, stations))
