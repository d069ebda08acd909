"""Controller calls: the extension against a plain-Python peer of the same behaviour, and
is_running(1) against the floor of any C implementation.

All three run in one process over one trivial Python master. Each sample times a loop of
the call compiled inline (timeit: a statement string, no wrapper function), less the cost
of the empty loop; the implementations alternate, round after round, and the table gives
medians over the rounds. "x faster" is the median of the per-round ratios peer/extension,
with its middle half (quartiles) as the spread. Before measuring, peer_check.py confirms
that the peer gives the extension's results, and that the floor calls the master as
is_running(1) does.

Goals: every query path at least 2x faster than the peer; is_running(1) at least 1.2x
faster than the peer (on 3.11+ a call from C into a Python method costs more than the
peer's inlined Python call) and within 1.1x of the floor.
"""
import os
import statistics
import sys
import tempfile
import timeit

from _report import alternating, load_floor, report, spread

ROUNDS = 301
SAMPLE_SECONDS = 0.0005
BLOCK = [1000, -2050, 300, (1 << 17) | 5, 99, 2, 0, 0, 0, 0, 0]

# call, goal as the least "x faster", whether is_running(1)'s floor applies
CASES = [
    ("is_running(1)", 1.2, True),
    ("get_position(1)", 2.0, False),
    ("get_stop_source(1)", 2.0, False),
    ("status_words(1)", 2.0, False),
    ("is_running(1, words)", 2.0, False),
    ("to_pulse(1, 10.0)", 2.0, False),
    ("get_position(1, words)", None, False),
    ("from_pulse(1, 1000)", None, False),
]
FLOOR_GOAL = 1.1


class TrivialMaster:
    def get_coil(self, station, address):
        return False

    def get_int32(self, station, address):
        return 2  # a valid stop source, and a position

    def get_multi_int32(self, station, address, count):
        return BLOCK

    def close(self):
        return None


def sampler(statement, controller, words, number):
    """Seconds per run of `statement` with `c` the controller, `words` the status words."""
    timer = timeit.Timer(statement, setup="c = _c; words = _words",
                         globals={"_c": controller, "_words": words})
    return lambda: timer.timeit(number) / number


def calls_per_sample(statement, controller, words):
    once = sampler(statement, controller, words, 2000)
    return max(200, int(SAMPLE_SECONDS / min(once() for _ in range(3))))


def main() -> None:
    # Importing zol_kov creates log/ in the current directory; keep that out of the tree.
    os.chdir(tempfile.mkdtemp(prefix="zol-kov-bench-"))
    import zol_kov
    import peer_check
    import python_peer

    differ = peer_check.mismatches()
    if differ:
        sys.exit("the peer differs from the extension: %r" % (differ,))

    floor = load_floor()

    class FloorController(python_peer.KOVAxisController):
        pass

    floor.install(FloorController)
    probe = peer_check.RecordingMaster({"get_coil": "answer"})
    if FloorController(probe).is_running(1) != "answer" or probe.calls != [("get_coil", 1, "Y1")]:
        sys.exit("the floor does not call the master as is_running(1) does")

    master = TrivialMaster()
    controllers = {
        "extension": zol_kov.KOVAxisController(master),
        "peer": python_peer.KOVAxisController(master),
        "floor": FloorController(master),
    }
    for controller in controllers.values():
        controller._ppmm[1] = 100
    words = controllers["peer"].status_words(1)

    samplers = {"loop": sampler("pass", None, None, 100000)}
    for call, _, has_floor in CASES:
        statement = "c." + call
        for name, controller in controllers.items():
            if name == "floor" and not has_floor:
                continue
            number = calls_per_sample(statement, controller, words)
            samplers[(call, name)] = sampler(statement, controller, words, number)
    samples = alternating(samplers, ROUNDS)

    loop = statistics.median(samples["loop"])
    rows = []
    for call, goal, has_floor in CASES:
        net = {name: [s - loop for s in samples[(call, name)]]
               for name in controllers if (call, name) in samples}
        faster = [p / e for p, e in zip(net["peer"], net["extension"])]
        row = {
            "call": call,
            "extension_ns": statistics.median(net["extension"]) * 1e9,
            "peer_ns": statistics.median(net["peer"]) * 1e9,
            "x_faster": statistics.median(faster),
            "spread": spread(faster),
            "goal": ">= %.1fx" % goal if goal else "",
            "met": statistics.median(faster) >= goal if goal else None,
        }
        if has_floor:
            to_floor = [e / f for e, f in zip(net["extension"], net["floor"])]
            row["floor_ns"] = statistics.median(net["floor"]) * 1e9
            row["ext/floor"] = statistics.median(to_floor)
            row["goal"] += ", <= %.1f floor" % FLOOR_GOAL
            row["met"] = row["met"] and statistics.median(to_floor) <= FLOOR_GOAL
        rows.append(row)
    controllers["extension"].close(force=True)
    report("controller_calls",
           ["call", "extension_ns", "peer_ns", "x_faster", "spread", "floor_ns", "ext/floor",
            "goal", "met"], rows,
           "python %s; medians of %d alternating rounds, empty loop (%.1f ns) subtracted"
           % (sys.version.split()[0], ROUNDS, loop * 1e9))


if __name__ == "__main__":
    main()
