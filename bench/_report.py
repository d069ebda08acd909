"""Shared helpers for the benchmarks: timing by best-of-repeats, a printed table and a JSON record."""
import json
import os
import platform
import sys
import time
from typing import Callable, Dict, List

RESULTS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")


def best_per_call(fn: Callable[[], object], number: int, repeat: int = 5) -> float:
    """Seconds per call, the best of `repeat` runs of `number` calls (the least disturbed run)."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, time.perf_counter() - start)
    return best / number


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
        return "%.3g" % value if abs(value) < 1000 else "%.0f" % value
    return "" if value is None else str(value)
