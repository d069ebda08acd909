"""Helpers of the reliability tests: scale knob, bounded calls and joins."""

import os
import time

import support

# ZOL_STRESS_SCALE multiplies the iteration counts of the stress and leak tests
# (default 1: well under a minute in all; CI can run more).
SCALE = max(1, int(os.environ.get("ZOL_STRESS_SCALE", "1")))
SIM_TIME_SCALE = 40.0
# Anything that should end by itself gets this long (real seconds) before the
# test calls it a hang. Far beyond every time-out used here: never a timing goal.
HANG = 60.0


def call_bounded(func, *args, limit=HANG):
    """Runs func(*args) on a helper thread; returns (result, exception). A call
    that has not come back within `limit` seconds fails the test as a hang."""
    return support.call_bounded(func, *args, limit=limit)


def join_all(threads, limit=HANG):
    """Joins `threads` within one shared deadline; fails on a thread that hangs."""
    deadline = time.monotonic() + limit
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    stuck = [t.name for t in threads if t.is_alive()]
    assert not stuck, "threads still running (deadlock?): %s" % stuck
