"""Mistakes that the stubs must make mypy reject.

Each line with an E comment must give an error with that code (one of them, where
mypy versions differ), and no other line any error. Never run; only type-checked.
"""

import zol_mew
from zol_kov import Direction, KOVAxisController, StopSource


def mistakes(axes: KOVAxisController, sim: zol_mew.Simulator, bus: zol_mew.MewMaster) -> None:
    axes.locate_absolutely("1", 10.0)  # E: [arg-type]
    axes.find_o(1, 5.0, 20.0, 0.2, 1)  # E: [arg-type]
    done: bool = axes.wait_for_find_o_finish(1)  # E: [assignment]
    axes.finding_o_method = 1  # E: [assignment]
    axes.status_words(1, [])  # E: [call-arg]
    axes.locate_relatively(1, target="5")  # E: [arg-type]
    axes.enable_positive_limit(station=1)  # E: [call-arg]
    StopSource.Origin.reverse()  # E: [attr-defined]
    KOVAxisController(7)  # E: [arg-type]
    zol_mew.MewMaster("/dev/ttyUSB0", 115200, 0.5)  # E: [call-arg|misc]
    sim.trace(1)[0][3].upper()  # E: [union-attr]
    sim.hang_up(True)  # E: [call-arg|misc]
    bus.stats["transaction"]  # E: [typeddict-item]
    try:
        bus.get_coil(1, "X0")
    except zol_mew.MewDeviceError as error:
        error.code + 1  # E: [operator]
    print(done, Direction.Positive)
