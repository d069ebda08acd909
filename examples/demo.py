"""zol_kov on the built-in simulator: three axes homed, moved and driven into a limit.

Run it through `scripts/demo`, which installs the project with its plotting extra and runs
this file from out/demo/. Run by hand, it needs that extra (matplotlib: pip install
".[plot]" from the repository) and writes log/ and the plot under the current directory:

    python examples/demo.py [--time-scale 5] [--plot zol_kov_demo.png]

Geometry of every simulated axis (pulses on the mechanical axis, 100 pulses per mm here):
negative limit switch at -200 mm, origin sensor on inside [-10, 0] mm, positive limit switch
at +200 mm. Exit status 0 only when every step did what it should.
"""

import argparse
import importlib.util
import sys
import threading
import time
from datetime import date
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, TextIO, Tuple

import zol_mew
from zol_kov import Direction, FindingOMethod, KOVAxisController, StopSource
from zol_kov_tools import stop_axes, stop_on_error, wait_all

STATIONS = (1, 2, 3)
PULSES_PER_MM = 100
# Trapezoid of every move: start 5 mm/s, cruise 80 mm/s, 0.2 s ramps.
START_VELOCITY, VELOCITY, RAMP_TIME = 5.0, 80.0, 0.2
# Homing runs a little slower than positioning.
HOMING_VELOCITY = 60.0
# Where the axes stand when the simulated machine is switched on (pulses).
POWER_UP = {1: 5000, 2: 12000, 3: -5000}
# Generous bounds for the waits (real seconds): nothing here should take more than a few.
WAIT = 60.0


class Demo:
    """The steps of the demo; each failed check is collected so that the exit status
    tells the truth even when later steps still run."""

    def __init__(self, axes: KOVAxisController, clock: Callable[[], float]) -> None:
        self.axes = axes
        self.clock = clock  # simulated seconds, the time axis of the plot
        self.failures: List[str] = []
        self.phases: List[Tuple[str, float]] = []  # (name, when it began)
        self.targets: List[Tuple[int, float, float, str]] = []  # (station, when, mm, label)

    def begin(self, phase: str) -> None:
        self.phases.append((phase, self.clock()))

    def aim(self, station: int, target: float, label: str = "") -> None:
        """Note where a command sends an axis, for the plot."""
        self.targets.append((station, self.clock(), target, label or "%g" % target))

    def check(self, ok: bool, what: str) -> None:
        print(("  ok    " if ok else "  FAIL  ") + what)
        if not ok:
            self.failures.append(what)

    def expect_position(self, station: int, target: float) -> None:
        position = self.axes.get_position(station)
        # The simulated module stops on the exact pulse: one pulse is the tolerance.
        self.check(
            abs(position - target) <= 1.0 / PULSES_PER_MM,
            "station %d at %.2f mm (target %.2f mm)" % (station, position, target),
        )


class StatusTable:
    """Shows the axes' status from a thread of its own while the caller waits for motions.

    Each refresh costs one status_words transfer per axis; position, velocity and the
    inputs all come out of that one list. On a terminal the table is redrawn in place,
    otherwise a new table is printed every `log_period` seconds.
    """

    def __init__(
        self,
        axes: KOVAxisController,
        stations: Sequence[int],
        out: TextIO = sys.stdout,
        period: float = 0.1,
        log_period: float = 0.25,
    ) -> None:
        self.axes = axes
        self.stations = stations
        self.out = out
        self.in_place = out.isatty()
        self.period = period if self.in_place else log_period
        self.started = time.monotonic()
        self.stop_event = threading.Event()
        self.thread = threading.Thread(target=self._run, name="status-table", daemon=True)
        self.error: Optional[BaseException] = None
        self.drawn_lines = 0

    def __enter__(self) -> "StatusTable":
        self.thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop_event.set()
        self.thread.join()
        if self.error is None:
            self._draw()  # the final state, also when the motions were short
        elif exc[0] is None:
            raise RuntimeError("status table failed") from self.error

    def _run(self) -> None:
        try:
            self._draw()
            while not self.stop_event.wait(self.period):
                self._draw()
        except BaseException as error:  # reported by __exit__ on the caller's thread
            self.error = error

    def _row(self, station: int) -> str:
        words = self.axes.status_words(station)

        def flag(on: bool) -> str:
            return " on" if on else "  -"

        running = self.axes.is_running(station, words)
        stop = "(moving)" if running else StopSource(words[4]).name
        return "  %3d  %9.2f  %9.2f   %s  %s  %s  %s   %-13s" % (
            station,
            self.axes.get_position(station, words),
            words[2],
            flag(self.axes.at_negative_limit(station, words)),
            flag(self.axes.at_o(station, words)),
            flag(self.axes.at_positive_limit(station, words)),
            flag(self.axes.is_alarming(station, words)),
            stop,
        )

    def _draw(self) -> None:
        lines = ["  t = %5.2f s" % (time.monotonic() - self.started)]
        lines.append("  stn   pos (mm)  vel(mm/s)   -lim  org  +lim  alm   last stop")
        lines.extend(self._row(station) for station in self.stations)
        if self.in_place and self.drawn_lines:
            self.out.write("\x1b[%dF" % self.drawn_lines)  # back to the table's first line
        self.out.write("\n".join(line + "\x1b[K" if self.in_place else line for line in lines))
        self.out.write("\n")
        self.out.flush()
        self.drawn_lines = len(lines)


def wait_until(condition: Callable[[], bool], timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def set_up(demo: Demo) -> None:
    print("\n== Scale, velocity profile, drive enable")
    for station in STATIONS:
        demo.axes.set_ppmm(station, PULSES_PER_MM)
        demo.axes.set_parameters(station, START_VELOCITY, VELOCITY, RAMP_TIME)
        demo.axes.enable_axis(station)
        print(
            "  station %d: %d pulses/mm, %.0f -> %.0f mm/s in %.1f s, drive on, at %.2f mm"
            % (
                station,
                PULSES_PER_MM,
                START_VELOCITY,
                VELOCITY,
                RAMP_TIME,
                demo.axes.get_position(station),
            )
        )


def home(demo: Demo) -> None:
    print("\n== Homing stations 1 and 2 at the same time")
    demo.begin("homing")
    print("  station 1: limit first, then back onto the origin (negative limit, then R6)")
    print("  station 2: origin only (straight onto the origin, R5)")
    axes = demo.axes
    # A homing thread reads finding_o_method when it begins, not when find_o is called, so
    # switching the method right after the first find_o could reach station 1's thread in
    # time and home both stations origin-only. Station 1's first motion is started by its
    # thread after it has chosen its strategy: wait for that motion before switching.
    axes.finding_o_method = FindingOMethod.LimitFirstThenBackward
    axes.find_o(1, START_VELOCITY, HOMING_VELOCITY, RAMP_TIME, Direction.Negative)
    demo.check(wait_until(lambda: axes.is_running(1), 5.0), "station 1 began its homing run")
    axes.finding_o_method = FindingOMethod.OriginOnly
    axes.find_o(2, START_VELOCITY, HOMING_VELOCITY, RAMP_TIME, Direction.Negative)

    with StatusTable(axes, STATIONS):
        results: Dict[int, Optional[bool]] = {}
        for station in (1, 2):
            results[station] = axes.wait_for_find_o_finish(station, WAIT)
    for station in (1, 2):
        result = results[station]
        if result is None:  # still running: stop it and collect the run all the same
            stop_axes(axes, [station])
        demo.check(result is True, "station %d homed (result %s)" % (station, result))
        demo.expect_position(station, 0.0)


def move(demo: Demo) -> None:
    axes = demo.axes
    print("\n== Absolute targets on all three axes at once: 150, -80 and 30 mm")
    demo.begin("absolute")
    targets = {1: 150.0, 2: -80.0, 3: 30.0}
    for station, target in targets.items():
        demo.aim(station, target)
        axes.locate_absolutely(station, target)
    with StatusTable(axes, STATIONS):
        wait_all(axes, STATIONS, WAIT)  # one poll loop for the three
    for station, target in targets.items():
        demo.expect_position(station, target)

    print("\n== Relative moves: station 1 by -60 mm twice (a repeat), station 2 by +45.5 mm")
    demo.begin("relative")
    demo.aim(1, 90.0, "90 (-60)")
    axes.locate_relatively(1, -60.0)
    demo.aim(2, -34.5, "-34.5 (+45.5)")
    axes.locate_relatively(2, 45.5)
    with StatusTable(axes, STATIONS):
        axes.wait_for_locating_done(1, WAIT)
        demo.aim(1, 30.0, "30 (-60 again)")
        axes.locate_relatively(1)  # no displacement given: the module repeats the last one
        axes.wait_for_locating_done(1, WAIT)
        axes.wait_for_locating_done(2, WAIT)
    demo.expect_position(1, 30.0)
    demo.expect_position(2, -34.5)


def into_the_limit(demo: Demo) -> None:
    axes = demo.axes
    print("\n== Station 3 sent to 260 mm, beyond its positive limit switch at 200 mm")
    demo.begin("limit")
    demo.aim(3, 260.0, "260, beyond the limit")
    axes.locate_absolutely(3, 260.0)
    stopped_by: Optional[StopSource] = None
    with StatusTable(axes, (3,)):
        try:
            axes.wait_for_locating_done(3, WAIT)
        except (zol_mew.MewError, TimeoutError):
            raise  # the bus failed or the wait ran out: not what this step is about
        except OSError as error:  # the module stopped the move short of its target
            stopped_by = axes.get_stop_source(3)
            print("  wait_for_locating_done raised %s: %s" % (type(error).__name__, error))
    where = axes.get_position(3)
    print("  stop source: %r, station 3 stands at %.2f mm" % (stopped_by, where))
    demo.check(stopped_by is StopSource.PositiveLimit, "the positive limit switch stopped the move")
    demo.check(axes.at_positive_limit(3), "station 3 reports its positive limit input on")

    print("\n== Station 3 back to 100 mm, away from the limit switch")
    demo.aim(3, 100.0)
    axes.locate_absolutely(3, 100.0)
    with StatusTable(axes, (3,)):
        axes.wait_for_locating_done(3, WAIT)
    demo.expect_position(3, 100.0)


def position_steps(
    trace: List[Tuple[float, int, float, Optional[str]]], end: float
) -> Tuple[List[float], List[float], List[Tuple[float, float, float]]]:
    """Times and positions (mm) of one axis from its simulator trace, and the jumps of its
    position counter as (time, from mm, to mm).

    The trace has entries only while the axis moves. Between motions the axis stands, so
    the line stays flat; when the next motion starts somewhere else, the counter was
    redefined while the axis stood (homing sets it to 0 right after the origin stop), and
    the jump is drawn where that stop was.
    """
    times: List[float] = [0.0]
    positions: List[float] = [trace[0][1] / PULSES_PER_MM if trace else 0.0]
    jumps: List[Tuple[float, float, float]] = []
    for when, pulses, _velocity, event in trace:
        position = pulses / PULSES_PER_MM
        if event is not None and event.startswith("start") and position != positions[-1]:
            jumps.append((times[-1], positions[-1], position))
            times.append(times[-1])
            positions.append(position)
        times.append(when)
        positions.append(position)
    times.append(max(end, times[-1]))
    positions.append(positions[-1])
    return times, positions, jumps


def label(ax: Any, x: float, y: float, text: str, color: str, below: bool) -> None:
    """Write `text` beside the point (x, y), on the side that keeps it inside the panel."""
    (left, right), (bottom, top) = ax.get_xlim(), ax.get_ylim()
    rightmost = (x - left) / (right - left) > 0.8
    if (y - bottom) / (top - bottom) < 0.15:
        below = False
    elif (top - y) / (top - bottom) < 0.15:
        below = True
    ax.annotate(
        text,
        (x, y),
        textcoords="offset points",
        xytext=(-5 if rightmost else 5, -5 if below else 5),
        ha="right" if rightmost else "left",
        va="top" if below else "bottom",
        fontsize=8,
        color=color,
    )


def plot(sim: zol_mew.Simulator, demo: Demo, end: float, path: Path, time_scale: float) -> None:
    import matplotlib

    matplotlib.use("Agg")  # no display needed
    import matplotlib.pyplot as plt

    fig, rows = plt.subplots(len(STATIONS), 1, sharex=True, figsize=(11, 9))
    spans = [
        (name, begin, demo.phases[i + 1][1] if i + 1 < len(demo.phases) else end)
        for i, (name, begin) in enumerate(demo.phases)
    ]
    # Lines and markers first, so that the limits are known when the labels are placed.
    stops: Dict[int, List[Tuple[float, float, str]]] = {}
    jumps_of: Dict[int, List[Tuple[float, float, float]]] = {}
    for ax, station in zip(rows, STATIONS):
        trace = sim.trace(station)
        times, positions, jumps_of[station] = position_steps(trace, end)
        ax.plot(times, positions, color="tab:blue", linewidth=1.2)
        for when, before, after in jumps_of[station]:
            ax.plot([when, when], [before, after], color="white", linewidth=1.6)
            ax.plot([when, when], [before, after], ":", color="tab:green", linewidth=1.6)
        stops[station] = [
            (when, pulses / PULSES_PER_MM, event[5:])
            for when, pulses, _velocity, event in trace
            if event is not None and event.startswith("stop") and event != "stop Null"
        ]
        for when, where, _why in stops[station]:
            ax.plot([when], [where], "o", color="tab:red", markersize=4)
        for target_station, when, target, _text in demo.targets:
            if target_station == station:
                ax.plot([when], [target], "x", color="tab:orange", markersize=7, mew=1.6)
                # A dashed level to the end of the phase, where the axis should then stand.
                until = next((f for _n, b, f in spans if b <= when < f), end)
                ax.plot([when, until], [target, target], "--", color="tab:orange", linewidth=0.6)
        for number, (_name, begin, finish) in enumerate(spans):
            ax.axvspan(begin, finish, color="grey", alpha=0.08 if number % 2 == 0 else 0.0)
        ax.axhline(0.0, color="grey", linewidth=0.5)
        ax.set_ylabel("station %d\nposition (mm)" % station)
        ax.grid(True, linewidth=0.3)
        ax.margins(x=0.02, y=0.12)
    for ax, station in zip(rows, STATIONS):
        for when, _before, after in jumps_of[station]:
            label(ax, when, after, "counter set to %g" % after, "tab:green", below=False)
        for when, where, why in stops[station]:
            label(ax, when, where, why, "tab:red", below=True)
        for target_station, when, target, text in demo.targets:
            if target_station == station:
                label(ax, when, target, "target " + text, "tab:orange", below=False)
    for name, begin, finish in spans:
        rows[0].text(
            (begin + finish) / 2,
            1.02,
            name,
            transform=rows[0].get_xaxis_transform(),
            ha="center",
            va="bottom",
            fontsize=9,
            fontweight="bold",
        )
    rows[-1].set_xlabel("simulated time (s); the demo ran %g times faster" % time_scale)
    fig.suptitle(
        "zol_kov demo: position counter of each axis, phase by phase\n"
        "orange x: a target given; red: why a motion stopped; green: the counter redefined"
    )
    fig.tight_layout()
    fig.savefig(str(path), dpi=100)
    plt.close(fig)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument(
        "--time-scale", type=float, default=5.0, help="simulated seconds per real second"
    )
    parser.add_argument("--plot", default="zol_kov_demo.png", help="where to write the plot")
    args = parser.parse_args(argv)
    if importlib.util.find_spec("matplotlib") is None:
        print("matplotlib is missing: install the plotting extra, pip install '.[plot]'")
        return 2
    plot_path = Path(args.plot).resolve()
    # zol_kov names its log file after the day it was imported (above), under ./log.
    log_path = Path("log", "zol_kov-%s.log" % date.today().strftime("%Y%m%d")).resolve()
    # The file collects the lines of every run of the day: look only at this run's.
    log_start = log_path.stat().st_size if log_path.exists() else 0

    with zol_mew.Simulator(STATIONS, time_scale=args.time_scale) as sim:
        for station, pulses in POWER_UP.items():
            sim.place_axis(station, pulses)
        print("Simulated motion modules, stations %s, on %s" % (sim.stations, sim.port))
        axes = KOVAxisController(sim.port, 115200)
        demo = Demo(axes, sim.now)
        # On Ctrl-C or an error: stop the axes (also a homing run), close with force and
        # let the exception go on.
        with stop_on_error(axes, STATIONS):
            set_up(demo)
            home(demo)
            move(demo)
            into_the_limit(demo)
            end = sim.now()
        axes.close()
        plot(sim, demo, end, plot_path, args.time_scale)

    print("\n== Homing as the log file tells it")
    lines = []
    if log_path.exists():
        with log_path.open("rb") as log_file:
            log_file.seek(log_start)
            lines = log_file.read().decode("utf8").splitlines()
    homing = [line for line in lines if "finding o" in line.lower() or "here O" in line]
    for line in homing:
        print("  " + line)
    demo.check(
        any(line.endswith("Finding o started, method 0, station 1") for line in lines)
        and any(line.endswith("Finding o started, method 1, station 2") for line in lines),
        "the log shows station 1 homed limit-first (method 0) and station 2 origin-only (method 1)",
    )

    print("\nPlot: %s" % plot_path)
    print("Log:  %s" % log_path)
    if demo.failures:
        print("\n%d check(s) failed:" % len(demo.failures))
        for failure in demo.failures:
            print("  " + failure)
        return 1
    print("\nAll steps done.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
