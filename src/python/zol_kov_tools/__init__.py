"""Helpers that every zol_kov application needs: stopping axes safely and waiting for
several positionings at once.

- `stop_axes(axes, stations, timeout=10.0)`: stop, also a homing run that would start its
  next motion, and wait until each axis stands; returns the stations that did not.
- `stop_on_error(axes, stations)`: a `with` block that does that on any exception or
  Ctrl-C, closes the controller with force and lets the exception go on.
- `wait_all(axes, stations, timeout=0.0)`: one poll loop for several moving axes, raising
  as `wait_for_locating_done` does for the first that failed.

Importing this module imports `zol_mew` only; the controller is the caller's.
"""

import contextlib
import logging
import signal
import threading
import time
from typing import TYPE_CHECKING, Iterable, Iterator, List, Sequence, Tuple

import zol_mew

if TYPE_CHECKING:
    from zol_kov import KOVAxisController

__all__ = ["stop_axes", "stop_on_error", "wait_all"]

# A child of the controller's logger: its lines reach the application's log file.
logger = logging.getLogger("zol_kov.tools")

POLL_INTERVAL = 0.01  # seconds between two polls of one axis, as the controller's waits
# A homing thread that sees its axis stand reads the stop source and logs it before it
# ends; wait this long (and four bus calls) for that before stopping again.
_SETTLE = 0.05


def _unique(stations: Iterable[int]) -> List[int]:
    return list(dict.fromkeys(stations))


def _wait_standing(
    axes: "KOVAxisController", stations: Sequence[int], deadline: float, failed: List[int]
) -> Tuple[List[int], float]:
    """Polls the running output of each station until it is off or the deadline passed.
    Returns those still running (a station whose read failed counts as running) and how
    long the slowest read of the last round took."""
    moving = [station for station in stations if station not in failed]
    slowest = 0.0
    while moving:
        still, slowest = [], 0.0
        for station in moving:
            call_started = time.monotonic()
            try:
                if axes.is_running(station):
                    still.append(station)
            except OSError as error:
                _note_failure(station, error, failed)
            slowest = max(slowest, time.monotonic() - call_started)
        moving = still
        if not moving or time.monotonic() >= deadline:
            break
        time.sleep(POLL_INTERVAL)
    return moving + [station for station in stations if station in failed], slowest


def _note_failure(station: int, error: OSError, failed: List[int]) -> None:
    if station not in failed:
        failed.append(station)
        logger.warning("Station %d may still move: %s", station, error)


def stop_axes(
    axes: "KOVAxisController", stations: Iterable[int], timeout: float = 10.0
) -> List[int]:
    """Stop the axes of `stations` and wait until each stands; return the stations that
    may still move (empty when all stand).

    Sends `stop` (R0) to every station first. A homing run that is registered may start its
    next motion (the jog to the limit, the origin search) just after a stop: while a run is
    registered, this waits until its axis stands, collects the run with
    `wait_for_find_o_finish` and stops the axis again, until the run is collected and
    the axis stands. Waiting
    polls the running output (Y1) every 0.01 s. Returns after `timeout` seconds at the
    latest (plus one bus call per station); what still runs then, or is still registered
    (a homing thread that does not end), is returned. A bus error on a station does not
    keep the others from being stopped: that station is returned and a WARNING is logged
    to `zol_kov.tools`. A normal stop logs no ERROR line.
    """
    deadline = time.monotonic() + timeout
    stations = _unique(stations)
    failed: List[int] = []
    for station in stations:
        try:
            axes.stop(station)
        except OSError as error:
            _note_failure(station, error, failed)
    homing = [station for station in stations if axes.is_finding_o(station)]
    while True:
        moving, bus_call = _wait_standing(axes, stations, deadline, failed)
        homing = [station for station in homing if axes.is_finding_o(station)]
        if not homing or time.monotonic() >= deadline:
            return [station for station in stations if station in moving or station in homing]
        for station in homing:
            # The axis stands: its thread now ends, or starts its next motion. Waiting no
            # longer than the thread needs to end keeps a normal stop free of the wait's
            # ERROR line and a next motion short.
            settle = min(_SETTLE + 4 * bus_call, deadline - time.monotonic())
            if settle > 0:
                axes.wait_for_find_o_finish(station, settle)
            # Collected or not, the run may have started a motion meanwhile (a run that a
            # bus error ended leaves it running): stop again, and look again above.
            try:
                axes.stop(station)
            except OSError as error:
                _note_failure(station, error, failed)


@contextlib.contextmanager
def _interrupts_held_back() -> Iterator[None]:
    """Ignore Ctrl-C for a while, so that a second one cannot cut the stopping short."""
    if threading.current_thread() is not threading.main_thread():
        yield  # only the main thread receives signals
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


@contextlib.contextmanager
def stop_on_error(
    axes: "KOVAxisController", stations: Iterable[int], timeout: float = 10.0
) -> Iterator["KOVAxisController"]:
    """A `with` block that stops the axes of `stations` when anything escapes it.

    On any exception, Ctrl-C included: Ctrl-C is ignored meanwhile, `stop_axes(axes,
    stations, timeout)` stops the axes (a WARNING names any that may still move), the
    controller is closed with `force=True` (a homing run that could not be collected must
    not keep the port open), and the exception goes on, so that Ctrl-C still ends the
    program with status 130. A block that ends normally leaves the axes and the controller
    as they are. Yields `axes`.
    """
    stations = _unique(stations)
    try:
        yield axes
    except BaseException:
        with _interrupts_held_back():
            try:
                still = stop_axes(axes, stations, timeout)
                if still:
                    logger.warning("Stations %s may still move after the stop", still)
            finally:
                axes.close(force=True)
        raise


def _naming(error: OSError, stations: Sequence[int]) -> OSError:
    """The same exception type and text, with the station(s) in front."""
    named = type(error)("station %s: %s" % (", ".join(map(str, stations)), error))
    setattr(named, "station", stations[0])
    return named


def wait_all(axes: "KOVAxisController", stations: Iterable[int], timeout: float = 0.0) -> None:
    """Wait until the positionings of all `stations` have ended, from one thread and one
    poll loop, and judge each as `wait_for_locating_done` does.

    The loop reads the running output (Y1) of one moving axis at a time and then leaves the
    bus free at least 0.01 s and as long as that read took, so that other threads' calls
    on the same bus go through almost as on a quiet bus. When an axis stands, its
    `wait_for_locating_done` reads the stop source and logs it. The first that did not reach
    its target raises: `OSError` "station {station}: 定位动作因故未能完成:{code}" (with a
    `station` attribute), while the others may still move; the master's errors pass
    unchanged. `timeout` in seconds (0 or below: no limit): past it, `TimeoutError`
    "station {stations}: 定位超时" names the axes still moving (they go on moving).
    """
    pending = _unique(stations)
    deadline = time.monotonic() + timeout if timeout > 0 else None
    turn = 0
    while pending:
        station = pending[turn % len(pending)]
        call_started = time.monotonic()
        running = axes.is_running(station)
        took = time.monotonic() - call_started
        if running:
            turn += 1
        else:
            pending.remove(station)
            try:
                # It stands: one more Y1 read, then D20, its log line and its verdict.
                left = 0.0 if deadline is None else max(deadline - time.monotonic(), 1e-3)
                axes.wait_for_locating_done(station, left)
            except zol_mew.MewError:
                raise
            except OSError as error:
                raise _naming(error, [station]) from error
        if pending and deadline is not None and time.monotonic() > deadline:
            raise _naming(TimeoutError("定位超时"), pending)
        if pending:
            time.sleep(max(POLL_INTERVAL, took))
