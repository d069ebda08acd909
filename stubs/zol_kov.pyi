# Type stubs for the zol_kov extension module. Installed as the stub-only package
# zol_kov-stubs. The docstrings here are the English reference that editors show (the
# module's own docstrings are Chinese); docs/reference.md says the same at length.
import logging
import threading
from enum import IntEnum
from typing import Any, Dict, List, Literal, Optional, SupportsIndex, Union, overload

from zol_mew import MewMaster

logger: logging.Logger
_MaxPulsePerSecond: int

class Direction(IntEnum):
    """Direction of travel: Negative (-1) or Positive (1)."""

    Negative = -1
    Positive = 1
    def reverse(self) -> Direction:
        """The opposite direction."""

class StopSource(IntEnum):
    """Why the motion module's last motion ended (its stop-source register D20)."""

    Null = 0
    """The positioning reached its target (also read while a motion runs)."""
    Command = 1
    """Stopped by `stop` (relay R0)."""
    Origin = 2
    """An origin search stopped on the origin sensor: homing succeeded."""
    NegativeLimit = 3
    """The negative limit switch (X1) stopped it."""
    PositiveLimit = 4
    """The positive limit switch (X2) stopped it."""
    Alarm = 5
    """The drive's alarm input (X4) stopped it."""
    Emergency = 6
    """The emergency-stop input (X3, normally closed) opened."""

class FindingOMethod(IntEnum):
    """Homing strategy of `KOVAxisController.find_o`."""

    LimitFirstThenBackward = 0
    """Drive to the limit switch of the given direction, then search the origin back."""
    OriginOnly = 1
    """Search the origin in the given direction at once."""

class FileLogHandler(logging.Handler):
    """Log handler that appends each record as one UTF-8 line to `filename`, opening and
    closing the file for every record. Errors are raised to the code that logged."""

    def __init__(self, filename: str, level: int = 20) -> None:
        """`filename` exactly a str, `level` exactly an int (default INFO)."""
    def emit(self, record: logging.LogRecord) -> None:
        """Append the formatted record and a line feed to the file, under the handler's lock."""

class _StatusWords(List[Union[float, int]]):
    """What `status_words` returns: a plain list of five numbers.

    [0] position (mm), [1] encoder position (mm), [2] velocity (mm/s), [3] the input
    image in bits 0-15 (bit n = Xn) and the output image in bits 16-31 (bit 16+n = Yn),
    [4] the stop-source code (a `StopSource` value).
    """

    # Narrower than list's own item type for the fixed indices, hence the ignore.
    @overload  # type: ignore[override]
    def __getitem__(self, index: Literal[0, 1, 2]) -> float: ...
    @overload
    def __getitem__(self, index: Literal[3, 4]) -> int: ...
    @overload
    def __getitem__(self, index: SupportsIndex) -> Union[float, int]: ...
    @overload
    def __getitem__(self, index: slice) -> List[Union[float, int]]: ...

class KOVAxisController:
    """Drives the motion modules (one axis each, addressed by station number 1..99) on one
    serial port. Lengths are in mm, velocities in mm/s, times in seconds; each station's
    pulses per mm (`set_ppmm`, default 1) converts them to what the module uses.

    Arguments are checked before anything is sent: `station` must be exactly an int (a bool
    is refused), `float` parameters take any real number. Errors of the bus master
    (`zol_mew.MewError` and subclasses, all `OSError`) reach the caller unchanged. Every
    command and setting is logged at INFO to the logger `zol_kov` after its write.
    """

    baudrate: Any
    _ppmm: Dict[int, Union[int, float]]
    _find_o_threads: Dict[int, threading.Thread]
    _finding_o_method: FindingOMethod
    # port: a serial port name, None (start closed), or a ready master object (any object
    # offering MewMaster's operations serves; cast it to MewMaster).
    def __init__(self, port: Union[str, MewMaster, None], baudrate: int = 115200) -> None:
        """Open the bus: a port name ("/dev/ttyUSB0", "tcp://host:port") creates
        `MewMaster(port, baudrate=baudrate)`; a ready master is used as it is; None creates
        a closed controller (see `open`). An empty port name raises ValueError; a port that
        cannot be opened raises the master's error (`zol_mew.MewError`)."""
    def close(self, force: bool = False) -> None:
        """Close the master; a closed controller stays closed quietly. While a homing run
        is registered (started by `find_o` and not yet collected by
        `wait_for_find_o_finish`) it raises RuntimeError "Not all axis are ready for
        close. Some is finding o." unless `force` is true. Never stops an axis or a
        homing thread: stop the axes first (a forced close makes a running homing thread
        end at its next bus access). Scales and the homing method are kept for `open`."""
    def __del__(self) -> None:
        """Finaliser: `close()` without force."""
    @property
    def finding_o_method(self) -> FindingOMethod:
        """The homing strategy of the next homing run (default LimitFirstThenBackward).
        Setting anything but a `FindingOMethod` member raises AssertionError
        "未知的找原点方式值：<value>" ("unknown homing method value") while assertions are on."""
    @finding_o_method.setter
    def finding_o_method(self, value: FindingOMethod) -> None: ...
    def open(self, port: str) -> None:
        """Re-open a closed controller on `port` with the current `baudrate` attribute.
        On an open controller raises RuntimeError "设备已经打开，要重新打开或打开其他端口，
        请先调用 close 关闭设备。" ("the device is already open; call close first")."""
    # units and profile
    def set_ppmm(self, station: int, ppmm: Union[int, float]) -> None:
        """Set the station's scale in pulses per millimetre (kept across close/open).
        Zero raises AssertionError (assertions on); negative values are accepted."""
    def ppmm(self, station: int) -> Union[int, float]:
        """The station's pulses per millimetre, 1 if never set. No bus access."""
    def to_pulse(self, station: int, value: float) -> int:
        """Millimetres to pulses: `int(value * ppmm)`, truncated toward zero."""
    def from_pulse(self, station: int, value: float) -> float:
        """Pulses to millimetres: `value / ppmm`."""
    def stop(self, station: int) -> None:
        """Stop the axis: writes True to relay R0. The module ramps down over the
        acceleration time and then records stop source Command. Returns at once."""
    def set_start_velocity(self, station: int, velocity: float) -> None:
        """Write the profile's start velocity (mm/s) to DT0 as pulses/s; more than
        `_MaxPulsePerSecond` (70000) pulses/s raises AssertionError (assertions on)."""
    def set_velocity(self, station: int, velocity: float) -> None:
        """Write the profile's cruise velocity (mm/s) to DT2 as pulses/s; more than
        70000 pulses/s raises AssertionError (assertions on)."""
    def set_acceleration_time(self, station: int, time: float) -> None:
        """Write the ramp time (seconds; also used to decelerate) to DT4 in milliseconds."""
    def set_parameters(
        self, station: int, start_velocity: float, velocity: float, acceleration_time: float
    ) -> None:
        """Write the whole trapezoidal profile in one transfer at DT0: start velocity and
        cruise velocity in mm/s, ramp time in seconds. With assertions on, raises
        AssertionError unless 0 < start_velocity <= velocity, acceleration_time >= 0 and
        the cruise rate is at most 70000 pulses/s; nothing is written then."""
    # positioning and jogging
    def set_absolute_target(self, station: int, target: float) -> None:
        """Write the absolute target (mm) to DT6 as pulses, without starting a move."""
    def set_relative_target(self, station: int, target: float) -> None:
        """Write the displacement (mm) to DT8 as pulses, without starting a move."""
    def locate_absolutely(self, station: int, target: float) -> None:
        """Start a positioning to `target` mm: writes DT6, then relay R1. Returns at once;
        follow with `wait_for_locating_done`. The module ignores a start while the axis
        still moves (wait or stop first)."""
    def locate_relatively(self, station: int, target: Optional[float] = None) -> None:
        """Start a positioning by `target` mm (a float or None; an int is refused): writes
        DT8, then relay R2. Without a target the module repeats its last displacement.
        Returns at once; follow with `wait_for_locating_done`."""
    def wait_for_locating_done(self, station: int, timeout: float = 0.0) -> None:
        """Wait until the axis stops (polling Y1 every 0.01 s), then check why.

        `timeout` in seconds; 0 or negative waits without limit. Raises TimeoutError
        "定位超时" ("positioning timed out") when the axis still runs after `timeout` (the
        axis is not stopped), and OSError "定位动作因故未能完成:<n>" ("the positioning could
        not be completed", n the stop-source code) when anything but reaching the target
        ended the motion: a limit, the emergency input, an alarm, `stop`. Ctrl-C ends the
        wait with KeyboardInterrupt (the axis keeps moving: stop it)."""
    def run_positive(self, station: int) -> None:
        """Jog towards positive (relay R4) until `stop`, the positive limit (if enabled),
        the emergency input or an alarm ends it. Returns at once."""
    def run_negative(self, station: int) -> None:
        """Jog towards negative (relay R3) until `stop`, the negative limit (if enabled),
        the emergency input or an alarm ends it. Returns at once."""
    def enable_axis(self, station: int) -> None:
        """Switch the drive on (output Y2 True): the motor holds with torque."""
    def disable_axis(self, station: int) -> None:
        """Switch the drive off (output Y2 False): the motor is free to turn by hand."""
    def _find_o(self, station: int, direction: Direction) -> None:
        """Internal (homing): start the module's origin search, relay R5 for Negative,
        R6 otherwise."""
    # status and position
    def status_words(self, station: int) -> _StatusWords:
        """Read position, encoder position, velocity, inputs and outputs and the stop
        source in one transfer (11 values from DT10). Returns a list: [0] position (mm),
        [1] encoder position (mm), [2] velocity (mm/s), [3] inputs in bits 0-15 (bit n =
        Xn) and outputs in bits 16-31 (bit 16+n = Yn), [4] stop-source code. Pass it to
        `get_position`, `is_running`, `at_o`, ... to answer them without another transfer."""
    def get_position(self, station: int, status_words: Optional[List[Any]] = None) -> float:
        """The position in mm: `status_words[0]` when status words are given (not
        empty), else read from DT10."""
    def set_position(self, station: int, position: float) -> None:
        """Declare the current position to be `position` mm (writes DT10); no motion."""
    def set_here_o(self, station: int) -> None:
        """Make the current position the origin (position 0)."""
    def is_alarming(self, station: int, status_words: Optional[List[Any]] = None) -> bool:
        """True while the drive's alarm input (X4) is on."""
    def is_running(self, station: int, status_words: Optional[List[Any]] = None) -> bool:
        """True while the module outputs pulses (Y1): the axis moves."""
    def at_o(self, station: int, status_words: Optional[List[Any]] = None) -> bool:
        """True while the origin sensor input (X0) is on."""
    def at_positive_limit(self, station: int, status_words: Optional[List[Any]] = None) -> bool:
        """True while the positive limit switch input (X2) is on."""
    def at_negative_limit(self, station: int, status_words: Optional[List[Any]] = None) -> bool:
        """True while the negative limit switch input (X1) is on."""
    def at_emergency(self, station: int, status_words: Optional[List[Any]] = None) -> bool:
        """The emergency-stop input (X3). The emergency circuit is normally closed: the
        input is on (True) while it is intact, off when the emergency stop is pressed."""
    def get_stop_source(self, station: int) -> StopSource:
        """Why the last motion ended, read from D20. A code outside 0..6 raises
        ValueError."""
    # raw coil access
    def get_coil(self, station: int, name: str) -> bool:
        """Read any coil by its address ("R12", "X0", "Y1")."""
    def set_coil(self, station: int, name: str, value: object) -> None:
        """Write any relay or output by its address ("R16", "Y2"); not logged."""
    def get_coil_uint16(self, station: int, name: str) -> int:
        """Read 16 coils as one word ("WX0": inputs X0..X15)."""
    def set_coil_uint16(self, station: int, name: str, value: int) -> None:
        """Write 16 coils as one word ("WY0", "WR1"); not logged."""
    # homing
    def _find_o_thread_func(self, station: int, direction: Direction) -> None:
        """Internal: the homing thread's entry point; runs `finding_o_method`'s strategy."""
    def _find_o_origin_only(self, station: int, direction: Direction) -> None:
        """Internal: the OriginOnly strategy. Ends quietly on any error."""
    def _find_o_thread_func_limit_first_then_backward(
        self, station: int, direction: Direction
    ) -> None:
        """Internal: the LimitFirstThenBackward strategy. Ends quietly on any error."""
    def find_o(
        self,
        station: int,
        start_velocity: float,
        velocity: float,
        acceleration_time: float,
        direction: Direction = ...,
    ) -> None:
        """Start homing (finding the origin) on a thread of its own and return at once.

        Writes the profile (mm/s, mm/s, s, as `set_parameters`), then the thread runs
        `finding_o_method`: LimitFirstThenBackward drives to the limit switch of
        `direction` (default Negative) and searches the origin in the opposite direction;
        OriginOnly searches it in `direction` at once. On the origin it sets position 0.
        Every run must be collected with `wait_for_find_o_finish`. Raises
        BlockingIOError "Axis <n> has been finding o." while a run of the station is
        uncollected, and AssertionError "禁用了负极限，却往负方向找原点…" / "禁用了正极限，
        却往正方向找原点…" (the limit of that direction is disabled; use OriginOnly) under
        LimitFirstThenBackward."""
    def is_finding_o(self, station: int) -> bool:
        """True from `find_o` until `wait_for_find_o_finish` has collected the run (also
        after the homing thread has ended). No bus access."""
    def wait_for_find_o_finish(
        self, station: int, timeout: Optional[float] = None
    ) -> Optional[bool]:
        """Wait for the station's homing run to end and collect it.

        Returns True when the run went through and the module stopped on the origin
        (homed), False when anything else ended the run (a limit, an alarm, `stop`, or a
        failed step of the run: a bus error, the write of position 0; such a run leaves
        its motion going, so stop the axis), None when `timeout` seconds (a float, or
        None: no limit) passed first; the run then stays registered: wait again, or stop
        the axis. After Ctrl-C in the wait the run stays registered until it has ended.
        Raises ValueError "Axis is not finding origin point, or has been waited." for a
        station without a run."""
    # signal configuration
    def origin_rising_valid(self, station: int, value: object) -> None:
        """Choose the origin sensor's edge (relay R10): True rising, False falling (the
        module's default)."""
    def disable_negative_limit(self, station: int) -> None:
        """Relay R12 True: the negative limit input no longer stops motions."""
    def enable_negative_limit(self, station: int) -> None:
        """Relay R12 False: the negative limit input stops motions towards it."""
    def negative_limit_is_disabled(self, station: int) -> bool:
        """Relay R12: True while the negative limit input is disabled."""
    def disable_positive_limit(self, station: int) -> None:
        """Relay R13 True: the positive limit input no longer stops motions."""
    def enable_positive_limit(self, axis: int) -> None:
        """Relay R13 False: the positive limit input stops motions towards it. (The
        parameter is named `axis` and its type is not checked.)"""
    def positive_limit_is_disabled(self, station: int) -> bool:
        """Relay R13: True while the positive limit input is disabled."""
    def disable_alarm(self, station: int) -> None:
        """Relay R14 True: an active alarm input no longer stops the pulses."""
    def enable_alarm(self, station: int) -> None:
        """Relay R14 False: an active alarm input stops the pulses."""
    def alarm_is_disabled(self, station: int) -> bool:
        """Relay R14: True while the alarm input is disabled."""
    def disable_emergency(self, station: int) -> None:
        """Relay R15 True: losing the (normally closed) emergency input no longer stops
        the pulses."""
    def enable_emergency(self, station: int) -> None:
        """Relay R15 False: losing the emergency input stops the pulses."""
    def emergency_is_disabled(self, station: int) -> bool:
        """Relay R15: True while the emergency input is disabled."""
    def reverse_direction_output(self, station: int, value: object = True) -> None:
        """Relay R16: True inverts the direction output signal, False restores it."""
