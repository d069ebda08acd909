"""Helpers of the reliability tests: scale knob, bounded calls and joins."""

import os
import time

import support
from support import HANG, TIME_SCALE

# ZOL_STRESS_SCALE multiplies the iteration counts of the stress and leak tests
# (default 1: well under a minute in all; CI can run more).
SCALE = max(1, int(os.environ.get("ZOL_STRESS_SCALE", "1")))
SIM_TIME_SCALE = TIME_SCALE


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
