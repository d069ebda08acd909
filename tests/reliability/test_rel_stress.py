"""Many threads on one bus, and several buses in one process.

Each thread reads back values only it writes (its own registers and coil words),
so a reply delivered to the wrong caller shows as a wrong value. Joins are
bounded: a deadlock fails the test instead of stalling the run.
ZOL_STRESS_SCALE=n multiplies the iteration counts.
"""

import threading

import pytest

import zol_mew
from rel_helpers import SCALE, join_all
from support import TIME_SCALE

THREADS = 8
ROUNDS = 600 * SCALE  # 8 threads x 600 rounds x 5 transactions: 24000 transactions


def hammer(master, station, slot, rounds, errors):
    """One thread's share: write, read back, compare; registers DT(3000 + 40 slot)."""
    base = 3000 + 40 * slot
    try:
        for i in range(rounds):
            value = (slot << 24) ^ (i * 7919) ^ 0x5A5A5A
            master.set_int32(station, "DT%d" % base, value)
            assert master.get_int32(station, "DT%d" % base) == value
            block = [(value + k) & 0xFFFFFFFF for k in range(3)]
            master.set_multi_uint32(station, "DT%d" % (base + 10), block)
            got = master.get_multi_int32(station, "DT%d" % (base + 10), 3)
            assert [v & 0xFFFFFFFF for v in got] == block
            word = (i * 31 + slot) & 0xFFFF
            master.set_coil_uint16(station, "WR%d" % (200 + slot), word)
    except BaseException as exc:  # reported by the test thread
        errors.append((slot, exc))


def run_threads(targets):
    errors = []
    threads = [
        threading.Thread(target=hammer, args=args + (errors,), name="hammer-%d" % n)
        for n, args in enumerate(targets)
    ]
    for t in threads:
        t.start()
    join_all(threads)
    assert not errors, errors[:3]


def test_eight_threads_share_one_master(sim):
    with zol_mew.MewMaster(sim.port, timeout=2.0) as master:
        before = master.stats["transactions"]
        run_threads([(master, 1 + slot % 3, slot, ROUNDS) for slot in range(THREADS)])
        assert master.stats["transactions"] - before == THREADS * ROUNDS * 5
        assert master.stats["errors"] == 0
        # The coil words, written last by each thread, are each thread's own.
        for slot in range(THREADS):
            word = ((ROUNDS - 1) * 31 + slot) & 0xFFFF
            assert sim.get_coil_uint16(1 + slot % 3, "WR%d" % (200 + slot)) == word


@pytest.mark.parametrize("tcp", [False, True], ids=["pty", "tcp"])
def test_several_buses_in_parallel(tcp):
    sims = [zol_mew.Simulator((1, 2), time_scale=TIME_SCALE, tcp=tcp) for _ in range(4)]
    masters = [zol_mew.MewMaster(s.port, timeout=2.0) for s in sims]
    try:
        run_threads(
            [(masters[n % 4], 1 + (n // 4) % 2, n, ROUNDS // 4) for n in range(THREADS)]
        )
        for n, s in enumerate(sims):
            assert s.request_count == 2 * (ROUNDS // 4) * 5
    finally:
        for m in masters:
            m.close()
        for s in sims:
            s.close()


def test_close_while_other_threads_transact(sim):
    """Closing under running threads ends each of them with MewError, never a crash."""
    master = zol_mew.MewMaster(sim.port, timeout=2.0)
    started = threading.Barrier(THREADS + 1)
    outcomes = []

    def worker(slot):
        started.wait(30)
        try:
            for _ in range(100000):
                master.get_int32(1, "DT%d" % (3000 + 2 * slot))
        except zol_mew.MewError as exc:
            outcomes.append(exc)
        except BaseException as exc:
            outcomes.append(("unexpected", exc))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    started.wait(30)
    master.close()
    join_all(threads)
    assert len(outcomes) == THREADS
    assert all(isinstance(o, zol_mew.MewError) and "closed" in str(o) for o in outcomes), outcomes


# ---- the controller: threads of the application plus homing threads ----------------


def controller_hammer(controller, station, slot, rounds, errors):
    """Coil words and relays that only this thread writes, read back at once."""
    try:
        for i in range(rounds):
            word = (i * 2654435761 + slot) & 0xFFFF
            controller.set_coil_uint16(station, "WR%d" % (100 + slot), word)
            assert controller.get_coil_uint16(station, "WR%d" % (100 + slot)) == word
            flag = bool((i + slot) & 1)
            controller.set_coil(station, "R%d" % (3000 + slot), flag)
            assert controller.get_coil(station, "R%d" % (3000 + slot)) is flag
            words = controller.status_words(station)
            assert len(words) == 5 and not controller.is_running(station, words)
    except BaseException as exc:
        errors.append((slot, exc))


def homing_loop(kov, controller, sim, station, runs, results, errors):
    try:
        for _ in range(runs):
            controller.find_o(station, 2.0, 20000.0, 0.05, kov.Direction.Negative)
            results.append(controller.wait_for_find_o_finish(station, 60.0))
            sim.place_axis(station, 5000)
    except BaseException as exc:
        errors.append(("homing", exc))


def run_controllers(kov, setups):
    """setups: (controller, sim, thread stations, homing station); all run at once."""
    errors, results, threads = [], [], []
    for controller, sim, stations, homing_station in setups:
        for slot, station in enumerate(stations):
            threads.append(threading.Thread(
                target=controller_hammer,
                args=(controller, station, slot, ROUNDS // 2, errors)))
        threads.append(threading.Thread(
            target=homing_loop,
            args=(kov, controller, sim, homing_station, 3 * SCALE, results, errors)))
    for t in threads:
        t.start()
    join_all(threads, limit=120 * SCALE)
    assert not errors, errors[:3]
    assert results == [True] * (3 * SCALE * len(setups))


def test_eight_threads_and_homing_share_one_controller(kov, sim):
    controller = kov.KOVAxisController(sim.port)
    try:
        run_controllers(kov, [(controller, sim, [1 + n % 2 for n in range(THREADS)], 3)])
    finally:
        controller.close()
    assert controller._find_o_threads == {}


def test_controllers_on_several_ports_in_parallel(kov):
    sims = [zol_mew.Simulator((1, 2), time_scale=TIME_SCALE) for _ in range(3)]
    controllers = [kov.KOVAxisController(s.port) for s in sims]
    try:
        run_controllers(kov, [(c, s, [1, 1, 1], 2) for c, s in zip(controllers, sims)])
    finally:
        for c in controllers:
            c.close()
        for s in sims:
            s.close()
