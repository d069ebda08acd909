"""Well-typed use of zol_kov and zol_mew: mypy must accept it under --strict.

Each reveal_type line carries, in an N comment, the type that mypy must reveal (written
without "builtins."): proof that the stubs, not Any, give the answer. Never run; only
type-checked.
"""

import logging
from typing import Dict, List, Optional

import zol_mew
from zol_kov import (
    Direction,
    FileLogHandler,
    FindingOMethod,
    KOVAxisController,
    StopSource,
    logger,
)


def home(axes: KOVAxisController, station: int) -> bool:
    axes.finding_o_method = FindingOMethod.OriginOnly
    axes.find_o(station, 5, 20.0, 0.2, direction=Direction.Positive)
    result: Optional[bool] = axes.wait_for_find_o_finish(station, 30.0)
    reveal_type(axes.finding_o_method)  # N: zol_kov.FindingOMethod
    return result is True


def move(axes: KOVAxisController) -> float:
    axes.set_ppmm(1, 100)
    axes.set_ppmm(2, 62.5)
    axes.set_parameters(1, 5.0, 50.0, 0.2)
    axes.locate_absolutely(1, 10)
    axes.locate_relatively(1, -2.5)
    axes.locate_relatively(1)
    try:
        axes.wait_for_locating_done(1, timeout=5.0)
    except zol_mew.MewError:
        raise
    except OSError:
        source = axes.get_stop_source(1)
        reveal_type(source)  # N: zol_kov.StopSource
        if source is StopSource.PositiveLimit:
            axes.run_negative(1)
    reveal_type(axes.to_pulse(1, 2.5))  # N: int
    reveal_type(Direction.Negative.reverse())  # N: zol_kov.Direction
    words = axes.status_words(1)
    moving: bool = axes.is_running(1, words) or axes.at_o(1, status_words=words)
    if moving:
        axes.stop(1)
    return axes.get_position(1, words) + axes.from_pulse(1, 150)


def open_close(port: str) -> None:
    bus = zol_mew.MewMaster(port, 9600, timeout=1.0, retries=0, parity="E")
    axes = KOVAxisController(bus)
    axes.close()
    closed = KOVAxisController(None, baudrate=19200)
    closed.open(port)
    closed.close(force=True)
    logger.addHandler(FileLogHandler("other.log", logging.WARNING))


def bus_and_simulator() -> Dict[str, int]:
    with zol_mew.Simulator((1, 2), time_scale=10.0, baudrate=115200) as sim:
        sim.set_input(1, "X4", True)
        sim.set_geometry(2, origin_low=-500)
        sim.drop_replies(2)
        with zol_mew.MewMaster(sim.port, timeout=2.0) as bus:
            values: List[int] = bus.get_multi_int32(1, "DT10", 11)
            bus.set_multi_uint32(1, "DT0", (1000, 10000, 100))
            try:
                bus.set_coil(1, "R1", 1)
            except zol_mew.MewDeviceError as error:
                code: Optional[int] = error.code
                print(code)
            except zol_mew.MewTimeoutError as error:
                reveal_type(error)  # N: zol_mew.MewTimeoutError
            reveal_type(bus.stats["transactions"])  # N: int
        for when, pulses, velocity, event in sim.trace(1):
            if event is not None and event.startswith("stop"):
                print(when + velocity, pulses + values[0])
        reveal_type(sim.state(2)["moving"])  # N: bool
        geometry = sim.geometry(2)
        return {"travel": geometry["positive_limit"] - geometry["negative_limit"]}
