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
from typing import TYPE_CHECKING, Dict, Iterable, Iterator, List, Sequence

import zol_mew

if TYPE_CHECKING:
    from zol_kov import KOVAxisController

__all__ = ["stop_axes", "stop_on_error", "wait_all"]

# A child of the controller's logger: its lines reach the application's log file.
logger = logging.getLogger("zol_kov.tools")

POLL_INTERVAL = 0.01  # seconds between two polls of one axis, as the controller's waits
# A homing thread that sees its axis stand reads the stop source and logs it before it
# ends or starts its next motion: this long, and four bus calls.
_SETTLE = 0.1
# A homing station whose speed has not fallen this long after a stop is stopped again.
_RESTOP = 0.1


def _unique(stations: Iterable[int]) -> List[int]:
    return list(dict.fromkeys(stations))


def _note_failure(station: int, error: OSError, failed: List[int]) -> None:
    if station not in failed:
        failed.append(station)
        logger.warning("Station %d may still move: %s", station, error)


def stop_axes(
    axes: "KOVAxisController", stations: Iterable[int], timeout: float = 10.0
) -> List[int]:
    """Stop the axes of `stations` and wait until each stands; return the stations that
    may still move (empty when all stand).

    Sends `stop` (R0) to every station, then polls their running output (Y1) every 0.01 s.
    A registered homing run may start its next motion (the jog to the limit, the origin
    search) just after a stop: such a station is polled with `status_words`, and stopped
    again when its speed rises, or stays the same for 0.1 s, instead of ramping down. Once
    it has stood long enough for the run's thread to end (0.1 s and four bus calls), the
    run is collected with `wait_for_find_o_finish` and the station stopped once more, until
    no run is registered and every axis stands. Returns
    after `timeout` seconds at the latest (plus the bus calls under way); what still runs
    then, or is still registered (a homing thread that does not end), is returned. A bus
    error on a station does not keep the others from being stopped: that station is
    returned and a WARNING is logged to `zol_kov.tools`. A normal stop logs no ERROR line.
    """
    deadline = time.monotonic() + timeout
    stations = _unique(stations)
    failed: List[int] = []
    stopped_at: Dict[int, float] = {}
    speeds: Dict[int, float] = {}  # the last speed of a homing station since its stop

    def stop(station: int) -> None:
        if station in failed:
            return
        try:
            axes.stop(station)
        except OSError as error:
            _note_failure(station, error, failed)
        stopped_at[station] = time.monotonic()
        speeds.pop(station, None)

    def ramps_down(station: int, speed: float, now: float) -> bool:
        """False when the motion is not the one stopped: a stop that landed while the
        axis stood between two motions of its homing run did not end the run."""
        last = speeds.get(station)
        speeds[station] = speed
        if last is None:
            return True
        return speed < last or (speed == last and now - stopped_at[station] < _RESTOP)

    for station in stations:
        stop(station)
    stood_since: Dict[int, float] = {}
    while True:
        moving, slowest = [], 0.0
        for station in stations:
            if station in failed:
                continue
            registered = axes.is_finding_o(station)
            call_started = time.monotonic()
            try:
                if registered:
                    words = axes.status_words(station)
                    running, speed = axes.is_running(station, words), abs(words[2])
                else:
                    running, speed = axes.is_running(station), 0.0
            except OSError as error:
                _note_failure(station, error, failed)
                continue
            now = time.monotonic()
            slowest = max(slowest, now - call_started)
            if running:
                moving.append(station)
                stood_since.pop(station, None)
                if registered and not ramps_down(station, speed, now):
                    stop(station)
            else:
                stood_since.setdefault(station, now)
        homing = [station for station in stations if axes.is_finding_o(station)]
        if time.monotonic() >= deadline or not (moving or homing):
            left = set(moving) | set(homing) | set(failed)
            return [station for station in stations if station in left]
        # A run's thread that sees its axis stand ends, or starts its next motion, within
        # a few bus calls: once the axis has stood that long, the run has ended and is
        # collected at once (a wait that expired would log an ERROR line).
        settle = _SETTLE + 4 * slowest
        for station in homing:
            if time.monotonic() - stood_since.get(station, time.monotonic()) < settle:
                continue
            try:
                axes.wait_for_find_o_finish(station, max(0.001, min(settle, deadline - time.monotonic())))
            except OSError as error:  # collected, but its stop source was not read
                _note_failure(station, error, failed)
            # Collected or not, stop once more: a run that a bus error ended may have left
            # its axis running, unseen since.
            stop(station)
            stood_since.pop(station, None)
        time.sleep(POLL_INTERVAL)


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
    bus free at least 0.01 s and twice as long as that read took, so that other threads'
    calls on the same bus go through almost as on a quiet bus. When an axis stands, its
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
            time.sleep(max(POLL_INTERVAL, 2 * took))
