"""Helpers shared by the test directories: time scale and wait bounds, log capture,
bounded calls, thread and descriptor checks."""

import collections
import contextlib
import gc
import logging
import os
import threading
import time

# Simulated seconds per real second on every simulator of the suite: a homing run
# takes hundredths of a real second, and no test relies on a motion still running
# later (one that must be caught running cannot end: its limit or origin held off).
TIME_SCALE = 40.0

# Bounds in real seconds. Reaching one means a fault (a hang), never a slow
# machine, so they are generous; a passing test never waits for them.
# WAIT: a motion, homing run or thread that ends by itself on the simulator.
WAIT = 30.0
# HANG: a call under fuzzing or stress that must come back (the machine is loaded).
HANG = 60.0
# LONG: collecting a homing run on a fake master, which has ended or ends at once.
LONG = 60.0


class LogCapture(logging.Handler):
    """Collects (level name, message) of every record of the `zol_kov` logger."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append((record.levelname, record.getMessage()))

    @property
    def messages(self):
        return [message for _, message in self.records]

    def clear(self):
        del self.records[:]


def call_bounded(func, *args, limit):
    """Runs func(*args) on a helper thread; returns (result, exception).

    Fails the test when the call has not come back within `limit` seconds, so a
    hang is reported as one instead of stalling the run.
    """
    box = {}

    def run():
        try:
            box["result"] = func(*args)
        except BaseException as exc:  # handed back to the test, which judges it
            box["error"] = exc

    thread = threading.Thread(target=run, daemon=True)
    started = time.monotonic()
    thread.start()
    thread.join(limit)
    assert not thread.is_alive(), "%s%r still running after %.0f s" % (
        getattr(func, "__name__", func),
        args,
        time.monotonic() - started,
    )
    return box.get("result"), box.get("error")


class ThreadWatch:
    """Remembers the threads running when made; later finds the new ones that do
    not end."""

    def __init__(self):
        self.before = set(threading.enumerate())

    def still_running(self, limit):
        """Joins every thread started since, for `limit` seconds in all; returns
        those still alive then."""
        deadline = time.monotonic() + limit
        alive = []
        for thread in threading.enumerate():
            if thread in self.before or thread is threading.current_thread():
                continue
            thread.join(max(0.0, deadline - time.monotonic()))
            if thread.is_alive():
                alive.append(thread)
        return alive


def open_fds():
    """What each open descriptor refers to, counted. Collected first: an object an
    earlier test left to the collector may still hold one, and close it mid-test."""
    gc.collect()
    found = collections.Counter()
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):  # the listing's own descriptor is gone by now
            found[os.readlink("/proc/self/fd/" + fd)] += 1
    return found
