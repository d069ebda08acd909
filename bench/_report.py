"""Shared helpers for the benchmarks: alternating samples and their medians, the C floor,
a printed table and a JSON record."""
import importlib
import json
import os
import platform
import subprocess
import sysconfig
import sys
import time
from typing import Callable, Dict, List

RESULTS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")


def alternating(samplers: Dict[str, Callable[[], float]], rounds: int) -> Dict[str, List[float]]:
    """One sample of each sampler per round, for `rounds` rounds after one discarded warm-up
    round, the order rotated every round so that a burst of load on the shared machine falls
    on each in turn. Returns the samples of each sampler, in round order."""
    names = list(samplers)
    samples = {name: [] for name in names}  # type: Dict[str, List[float]]
    for r in range(rounds + 1):
        shift = r % len(names)
        for name in names[shift:] + names[:shift]:
            value = samplers[name]()
            if r > 0:
                samples[name].append(value)
    return samples


def spread(values: List[float]) -> str:
    """The middle half of the values (lower to upper quartile), as text."""
    ordered = sorted(values)
    n = len(ordered)
    return "%.2f-%.2f" % (ordered[n // 4], ordered[(3 * n) // 4])


def load_floor():
    """The benchmark floor's C extension, built for this interpreter when missing."""
    here = os.path.dirname(os.path.abspath(__file__))
    build = os.path.join(here, "floor", "build")
    if build not in sys.path:
        sys.path.insert(0, build)
    # Built for this interpreter? (bench/floor itself would import as a namespace package.)
    built = os.path.join(build, "floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not os.path.exists(built):
        subprocess.run([os.path.join(here, "floor", "build.sh"), sys.executable], check=True)
        importlib.invalidate_caches()
    import floor

    return floor


def report(name: str, columns: List[str], rows: List[Dict[str, object]], notes: str = "") -> str:
    """Prints the rows as a table and writes them to bench/results/<name>.json; returns the path."""
    widths = [max(len(c), *(len(_fmt(r.get(c))) for r in rows)) for c in columns]
    print("\n" + name)
    print("  ".join(c.ljust(w) for c, w in zip(columns, widths)))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print("  ".join(_fmt(r.get(c)).ljust(w) for c, w in zip(columns, widths)))
    if notes:
        print(notes)
    os.makedirs(RESULTS_DIR, exist_ok=True)
    path = os.path.join(RESULTS_DIR, name + ".json")
    record = {
        "benchmark": name,
        "python": sys.version.split()[0],
        "machine": platform.machine(),
        "when": time.strftime("%Y-%m-%dT%H:%M:%S"),
        "rows": rows,
        "notes": notes,
    }
    with open(path, "w") as f:
        json.dump(record, f, indent=2)
    return path


def _fmt(value: object) -> str:
    if isinstance(value, float):
        return "%.4g" % value if abs(value) < 1000 else "%.0f" % value
    return "" if value is None else str(value)
