# Type stubs for the zol_mew extension module: the bus master, its exceptions and the
# motion-module simulator. Installed as the stub-only package zol_mew-stubs.
from types import TracebackType
from typing import (
    ClassVar,
    Iterable,
    List,
    Mapping,
    Optional,
    Sequence,
    Tuple,
    Type,
    TypedDict,
    TypeVar,
    Union,
)

_M = TypeVar("_M", bound="MewMaster")
_S = TypeVar("_S", bound="Simulator")

# The installed distribution's version (zol-kov); "0+unknown" for a build used in place.
__version__: str

class MewError(OSError):
    """Failure of the bus master: the port, the line or the device."""

class MewTimeoutError(MewError, TimeoutError):
    """No complete reply within the time-outs."""

class MewProtocolError(MewError):
    """A reply that was corrupt, malformed or did not fit the request."""

class MewDeviceError(MewError):
    """The device answered with an error reply; `code` holds its code."""

    # The error code of the reply on every raised instance; None on the class itself.
    code: Optional[int]

class _Stats(TypedDict):
    transactions: int
    retries: int
    errors: int
    bytes_sent: int
    bytes_received: int

class MewMaster:
    def __init__(
        self,
        port: str,
        baudrate: int = 115200,
        *,
        timeout: float = 0.5,
        retries: int = 2,
        bytesize: int = 8,
        parity: str = "N",
        stopbits: int = 1,
        exclusive: bool = True,
        reconnect: bool = True,
        low_latency: bool = True,
        rs485: bool = False,
        rs485_rts_on_send: bool = True,
        rs485_delay_before: float = 0.0,
        rs485_delay_after: float = 0.0,
    ) -> None:
        """Open `port` (a serial device or "tcp://host:port") and master the bus on it.

        low_latency asks the serial driver for its low-latency mode, so that a USB adapter
        passes received bytes on at once instead of holding them for its latency timer; a
        device without that mode is left as it is. A latency timer still above 1 ms is
        logged as a warning (logger zol_mew) and shows in `latency_timer`. rs485 switches
        the kernel's RS-485 direction control on (a native UART with a transceiver): RTS at
        the level rs485_rts_on_send while sending, switched rs485_delay_before seconds
        before the first bit and held rs485_delay_after seconds after the last (0..1 s,
        whole milliseconds rounded up). A driver that refuses it raises MewError; a delay
        out of range, or rs485 on a tcp:// port, raises ValueError. Both modes are given
        back when the line closes.
        """
    def close(self) -> None: ...
    def __enter__(self: _M) -> _M: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
    @property
    def port(self) -> str: ...
    @property
    def baudrate(self) -> int: ...
    @property
    def timeout(self) -> float: ...
    @property
    def retries(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    @property
    def inter_byte_timeout(self) -> float: ...
    @property
    def latency_timer(self) -> Optional[int]:
        """The USB adapter's latency timer in milliseconds, read from the kernel (sysfs)
        when asked: how long the adapter may hold received bytes before passing them on.
        None where the kernel exposes none (a pseudo-terminal, a native UART, an adapter
        without one, TCP) or no line is open."""
    @property
    def stats(self) -> _Stats: ...
    def get_int32(self, station: int, address: str) -> int: ...
    def set_int32(self, station: int, address: str, value: int) -> None: ...
    def set_uint32(self, station: int, address: str, value: int) -> None: ...
    def get_multi_int32(self, station: int, address: str, count: int) -> List[int]: ...
    def set_multi_uint32(self, station: int, address: str, values: Iterable[int]) -> None: ...
    def get_coil(self, station: int, address: str) -> bool: ...
    # Writes the truth value of `value`.
    def set_coil(self, station: int, address: str, value: object) -> None: ...
    def get_coil_uint16(self, station: int, address: str) -> int: ...
    def set_coil_uint16(self, station: int, address: str, value: int) -> None: ...

class _Geometry(TypedDict):
    negative_limit: int
    positive_limit: int
    origin_low: int
    origin_high: int

class _State(TypedDict):
    position: int
    axis: int
    velocity: float
    moving: bool
    stop_source: int
    inputs: int
    outputs: int

# (simulated seconds, DT10 counter in pulses, signed pulses/s, event or None for a sample)
_TraceEntry = Tuple[float, int, float, Optional[str]]

class Simulator:
    # The constructor's keyword defaults, by keyword (read-only).
    defaults: ClassVar[Mapping[str, object]]
    # The shortest trace_interval accepted, in simulated seconds (0 turns sampling off).
    min_trace_interval: ClassVar[float]
    def __init__(
        self,
        stations: Union[int, Iterable[int]] = (1,),
        *,
        time_scale: float = 1.0,
        baudrate: Optional[int] = None,
        parity: str = "N",
        stopbits: int = 1,
        line_check: bool = False,
        tcp: bool = False,
        tcp_port: int = 0,
        negative_limit: int = -20000,
        positive_limit: int = 20000,
        origin_low: int = -1000,
        origin_high: int = 0,
        position: int = 5000,
        turnaround: float = 0.002,
        trace_interval: float = 0.01,
        log_commands: bool = False,
    ) -> None: ...
    @property
    def port(self) -> str: ...
    @property
    def stations(self) -> Tuple[int, ...]: ...
    @property
    def time_scale(self) -> float: ...
    @property
    def closed(self) -> bool: ...
    @property
    def request_count(self) -> int: ...
    def close(self) -> None: ...
    def __enter__(self: _S) -> _S: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
    def now(self) -> float: ...
    # Device access with the same effects and errors as over the bus (ValueError).
    def read_registers(self, station: int, address: str, count: int) -> List[int]: ...
    def write_registers(self, station: int, address: str, words: Sequence[int]) -> None: ...
    def get_int32(self, station: int, address: str) -> int: ...
    def set_int32(self, station: int, address: str, value: int) -> None: ...
    def get_coil(self, station: int, address: str) -> bool: ...
    def set_coil(self, station: int, address: str, value: bool) -> None: ...
    def get_coil_uint16(self, station: int, address: str) -> int: ...
    def set_coil_uint16(self, station: int, address: str, value: int) -> None: ...
    # Surroundings of the axis.
    def set_input(self, station: int, input: Union[str, int], value: Optional[bool]) -> None: ...
    def place_axis(self, station: int, position: int) -> None: ...
    def set_geometry(
        self,
        station: int,
        *,
        negative_limit: Optional[int] = None,
        positive_limit: Optional[int] = None,
        origin_low: Optional[int] = None,
        origin_high: Optional[int] = None,
    ) -> None: ...
    def geometry(self, station: int) -> _Geometry: ...
    def state(self, station: int) -> _State: ...
    def wait_stopped(self, station: int, timeout: float = 10.0) -> bool: ...
    def trace(self, station: int) -> List[_TraceEntry]: ...
    def clear_trace(self, station: int) -> None: ...
    # Fault injection: each knob is used up by the next request that gets an answer.
    def drop_replies(self, count: int = 1) -> None: ...
    def corrupt_next_reply(self, offset: Optional[int] = None) -> None: ...
    def error_next_reply(self, code: int) -> None: ...
    def answer_next_as(self, station: int) -> None: ...
    def split_next_reply(self, at: int = 4, pause: float = 0.05) -> None: ...
    def delay_next_reply(self, seconds: float) -> None: ...
    def emit_garbage(self, data: bytes) -> None: ...
    def hang_up(self, *, on_next_request: bool = False) -> None: ...
    def clear_faults(self) -> None: ...
    def request_log(self) -> List[str]: ...
    def clear_request_log(self) -> None: ...
