"""Long runs of bus transactions and controller calls must leave reference counts
and memory flat.

Release interpreters have no sys.gettotalrefcount, so the checks are: the
reference counts of the very objects passed in and returned, the number of
gc-tracked objects, tracemalloc's view of Python allocations, and the resident
set size (the live heap under AddressSanitizer). Bounds are loose enough for
allocator noise and tight enough that a leak of one object (or a few dozen bytes)
per call over the run fails.
ZOL_STRESS_SCALE=n multiplies the counts.
"""

import collections
import contextlib
import ctypes
import gc
import logging
import os
import signal
import socket
import sys
import tracemalloc

import pytest

import zol_mew
from rel_helpers import SCALE
from support import open_fds

# Resident memory and descriptors are the process's own, but its allocator and the
# machine's load are not: measured alone.
pytestmark = pytest.mark.serial

BUS_CALLS = 10_000 * SCALE


@contextlib.contextmanager
def runner_log_capture_off():
    """The test runner's log capture keeps every record of a test (zol_kov logs a
    line per command): take it off the measured runs, or it is all the growth we
    see. The records still reach zol_kov's own file handler. (Its handlers are
    attached for the test's call itself, so this runs inside the test.)"""
    detached = []
    for logger in (logging.getLogger(), logging.getLogger("zol_kov")):
        for handler in list(logger.handlers):
            if type(handler).__name__ == "LogCaptureHandler":
                logger.removeHandler(handler)
                detached.append((logger, handler))
    try:
        yield
    finally:
        for logger, handler in detached:
            logger.addHandler(handler)


def _sanitizer_live_heap():
    """AddressSanitizer keeps freed blocks resident in a quarantine (256 MB by
    default) to catch use after free, so under it the resident size grows with any
    allocation churn and says nothing about leaks. Its runtime counts the bytes
    still allocated instead, native and (with PYTHONMALLOC=malloc) Python alike."""
    try:
        live = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    except AttributeError:
        return None
    live.argtypes, live.restype = [], ctypes.c_size_t
    return live


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


memory_bytes = _sanitizer_live_heap() or rss_bytes
# Resident pages move in allocator-sized steps; the live-heap count is exact (a
# window of work leaves a few bytes per call at most), so there a leak of a couple
# of dozen bytes per call fails.
if memory_bytes is rss_bytes:
    MEMORY_SLACK, MEMORY_PER_CALL = 16 * 1024 * 1024, 200
else:
    MEMORY_SLACK, MEMORY_PER_CALL = 256 * 1024, 16


class Footprint:
    """Objects, traced Python memory and process memory (resident, or live heap
    under AddressSanitizer) before and after one window of work."""

    def __enter__(self):
        gc.collect()
        tracemalloc.start(4)
        ids = {id(o) for o in gc.get_objects()}
        self.before = tracemalloc.take_snapshot()
        # The snapshot's own objects (a tuple per traced block, the id set's included)
        # are there before the work starts: counted in, not as growth.
        gc.collect()
        objects = gc.get_objects()
        self.ids = ids | {id(o) for o in objects}
        self.objects = len(objects)
        del objects, ids
        self.traced = tracemalloc.get_traced_memory()[0]
        self.memory = memory_bytes()
        return self

    def __exit__(self, *exc):
        gc.collect()
        objects = gc.get_objects()
        self.objects_grew = len(objects) - self.objects
        new = [o for o in objects if id(o) not in self.ids]
        self.new_kinds = collections.Counter(type(o).__name__ for o in new).most_common(5)
        self.new_sample = [repr(o)[:120] for o in new[-3:]]
        del new, objects
        self.traced_grew = tracemalloc.get_traced_memory()[0] - self.traced
        self.memory_grew = memory_bytes() - self.memory
        self.after = tracemalloc.take_snapshot()
        tracemalloc.stop()

    def growth(self):
        """Where traced memory grew most, for the failure message."""
        stats = self.after.compare_to(self.before, "traceback")[:5]
        return "\n".join("%s\n  %s" % (st, "\n  ".join(st.traceback.format())) for st in stats)


def check_flat(work, calls):
    """Runs `work` in two equal windows. A leak grows both; a container that
    happens to resize once (the interpreter's own tables) grows only one."""
    windows = []
    with runner_log_capture_off():
        for _ in range(2):
            with Footprint() as fp:
                work()
            windows.append(fp)
    least = min(windows, key=lambda w: w.traced_grew)
    fewest = min(windows, key=lambda w: w.objects_grew)
    assert fewest.objects_grew < 50, (fewest.objects_grew, fewest.new_kinds, fewest.new_sample)
    # One leaked small object per call would be >= 16 bytes x calls.
    assert least.traced_grew < 8 * calls + 64 * 1024, least.growth()
    memory = min(w.memory_grew for w in windows)
    assert memory < MEMORY_SLACK + MEMORY_PER_CALL * calls, memory


def bus_round(master, address, big, values, i):
    master.set_int32(1, address, big)
    master.get_int32(1, address)
    master.set_multi_uint32(1, "DT200", values)
    master.get_multi_int32(1, "DT200", 3)
    master.set_coil(1, "R100", i & 1)
    master.get_coil(1, "R100")
    master.get_coil_uint16(1, "WR6")
    master.set_coil_uint16(1, "WR6", i & 0xFFFF)


def test_bus_transactions_leave_nothing_behind(sim):
    master = zol_mew.MewMaster(sim.port, timeout=2.0)
    address = "".join(["DT", "100"])  # a str of its own, not an interned constant
    big = 123456789 + len(address)  # an int object of its own
    values = [1, 2, big]
    rounds = BUS_CALLS // 8
    for i in range(200):  # warm-up: first-use caches, the line, the allocator
        bus_round(master, address, big, values, i)
    refs = [sys.getrefcount(o) for o in (master, address, big, values)]

    def work():
        for i in range(rounds // 2):
            bus_round(master, address, big, values, i)

    check_flat(work, rounds * 4)
    assert [sys.getrefcount(o) for o in (master, address, big, values)] == refs
    master.close()


def test_failing_calls_leave_nothing_behind(sim):
    """The error paths: refused arguments, device errors, a closed master."""
    master = zol_mew.MewMaster(sim.port, timeout=2.0)
    address = "".join(["DT", "100"])
    bad = "".join(["Q", "1"])
    huge = 2**40 + len(address)

    def fail_round():
        for call, args, exc in (
            (master.get_int32, (1, bad), ValueError),
            (master.set_uint32, (1, address, -huge), OverflowError),
            (master.set_int32, (1, address, huge), OverflowError),
            (master.set_int32, (1, address, address), TypeError),
            (master.get_multi_int32, (1, address, 17), ValueError),
        ):
            with pytest.raises(exc):
                call(*args)
        sim.error_next_reply(4)
        with pytest.raises(zol_mew.MewDeviceError):
            master.get_int32(1, address)

    for _ in range(100):
        fail_round()
    rounds = BUS_CALLS // 6
    refs = [sys.getrefcount(o) for o in (master, address, bad, huge)]

    def work():
        for _ in range(rounds // 2):
            fail_round()

    check_flat(work, rounds * 3)
    assert [sys.getrefcount(o) for o in (master, address, bad, huge)] == refs
    master.close()
    closed_refs = sys.getrefcount(address)
    for _ in range(1000):
        with pytest.raises(zol_mew.MewError):
            master.get_int32(1, address)
    assert sys.getrefcount(address) == closed_refs


def test_opening_and_closing_masters_and_simulators_leaves_nothing_behind():
    def cycle():
        with zol_mew.Simulator((1,)) as s:
            with zol_mew.MewMaster(s.port, timeout=2.0) as m:
                m.get_int32(1, "DT10")

    for _ in range(20):
        cycle()
    fds = open_fds()

    def work():
        for _ in range(150 * SCALE):
            cycle()

    check_flat(work, 150 * SCALE * 10)
    assert open_fds() == fds


def native_heap_in_use():
    """Bytes allocated with malloc and not freed: exact, unlike the resident size."""
    if memory_bytes is not rss_bytes:
        return memory_bytes()
    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2 is None:
        pytest.skip("the C library counts no allocated bytes (mallinfo2)")
    mallinfo2.restype = type("mallinfo2", (ctypes.Structure,), {"_fields_": [("n", ctypes.c_size_t * 10)]})
    return mallinfo2().n[7]  # uordblks


class _Interrupted(Exception):
    pass


def _interrupt(signum, frame):
    raise _Interrupted()


def test_an_interrupted_tcp_connect_leaves_nothing_behind():
    """A signal handler that raises (Ctrl-C) while the connection is being made:
    what name resolution gave is freed all the same."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    port = listener.getsockname()[1]
    # One connection fills the accept queue: the next one's handshake goes unanswered.
    queued = socket.create_connection(("127.0.0.1", port), timeout=5)
    previous = signal.signal(signal.SIGALRM, _interrupt)

    def interrupted_connects(count):
        for _ in range(count):
            signal.setitimer(signal.ITIMER_REAL, 0.002)
            try:
                zol_mew.MewMaster("tcp://127.0.0.1:%d" % port, timeout=5.0)
            except _Interrupted:
                pass
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)

    # A leaked address list is 80 bytes a connect, every time; the interpreter's own heap
    # moves by a few kilobytes now and then: the smallest growth of three rounds tells.
    growth = []
    try:
        interrupted_connects(20)
        for _ in range(3):
            before = native_heap_in_use()
            interrupted_connects(200)
            growth.append(native_heap_in_use() - before)
    finally:
        signal.signal(signal.SIGALRM, previous)
        queued.close()
        listener.close()
    assert min(growth) < 40 * 200, growth


# ---- the controller ---------------------------------------------------------------

CONTROLLER_CALLS = 100_000 * SCALE


def test_controller_calls_leave_nothing_behind(kov):
    from kov_fuzz_support import QuietMaster

    master = QuietMaster()
    controller = kov.KOVAxisController(master)
    controller.set_ppmm(1, 100)
    target = 12.5 + len(kov.__name__)  # a float object of its own
    words = controller.status_words(1)

    def queries():  # ten calls
        controller.is_running(1)
        controller.get_position(1)
        controller.status_words(1)
        controller.get_position(1, words)
        controller.is_running(1, words)
        controller.at_o(1, words)
        controller.to_pulse(1, target)
        controller.from_pulse(1, 1000)
        controller.get_stop_source(1)
        controller.negative_limit_is_disabled(1)

    def commands():  # ten calls, each logging a line
        controller.set_velocity(1, 10)
        controller.set_parameters(1, 5, 10, 0.2)
        controller.set_absolute_target(1, target)
        controller.locate_absolutely(1, target)
        controller.locate_relatively(1, target)
        controller.stop(1)
        controller.set_position(1, target)
        controller.disable_alarm(1)
        controller.set_coil(1, "R20", True)
        controller.set_coil_uint16(1, "WR2", 7)

    def refused():  # three calls refused before the master
        for call, args in ((controller.stop, (True,)), (controller.is_running, (1, (0,))),
                           (controller.set_coil_uint16, (1, "WR2", 1.5))):
            with pytest.raises(TypeError):
                call(*args)

    for _ in range(200):
        queries(), commands(), refused()
    refs = [sys.getrefcount(o) for o in (controller, master, target, words)]
    # Nine in ten calls are queries (what a supervision loop does), one in ten logs.
    rounds = CONTROLLER_CALLS // 110

    def work():
        for _ in range(rounds // 2):
            for _ in range(9):
                queries()
            commands()
            refused()

    check_flat(work, rounds * 50)
    assert [sys.getrefcount(o) for o in (controller, master, target, words)] == refs
    controller.close()


def test_controller_bus_transactions_leave_nothing_behind(kov, sim):
    controller = kov.KOVAxisController(sim.port)
    target = 3.5 + len(kov.__name__)

    def cycle():  # ten transactions
        words = controller.status_words(1)
        controller.get_position(1)
        controller.is_running(1)
        controller.get_stop_source(1)
        controller.set_relative_target(1, target)
        controller.set_coil(1, "R20", True)
        controller.get_coil(1, "R20")
        controller.set_coil_uint16(1, "WR3", 9)
        controller.get_coil_uint16(1, "WR3")
        controller.set_velocity(1, 10)
        return words

    for _ in range(100):
        cycle()
    refs = [sys.getrefcount(o) for o in (controller, target)]
    rounds = BUS_CALLS // 10

    def work():
        for _ in range(rounds // 2):
            cycle()

    check_flat(work, rounds * 5)
    assert [sys.getrefcount(o) for o in (controller, target)] == refs
    controller.close()
