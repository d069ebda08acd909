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
    """Master of the motion modules' register bus on one port: one request and its reply
    at a time (the operations may be called from several threads; they queue), the GIL
    released while a transaction waits on the wire. Bus failures raise `MewError` and its
    subclasses; bad arguments raise ValueError, OverflowError or TypeError before anything
    is sent."""

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
        """Open `port` at once: a serial device ("/dev/ttyUSB0", a pseudo-terminal) or
        "tcp://host:port" for a serial device server. `timeout`: seconds to wait for the
        first byte of a reply; `retries`: how often a read is repeated after a time-out or a
        corrupt reply (a write only after the device's error 01). `exclusive` locks a serial
        port against other openers (a second one gets MewError "... it is in use");
        `reconnect` lets the call after a lost line reopen it by name. An empty or NUL-holding
        name, an unsupported baud rate or framing raise ValueError; a port that cannot be
        opened raises MewError with its errno.

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
    def close(self) -> None:
        """Release the port (and its lock). Calling it again does nothing; any later
        operation raises MewError."""
    def __enter__(self: _M) -> _M:
        """The master itself."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        """`close()`."""
    @property
    def port(self) -> str:
        """The port name as given."""
    @property
    def baudrate(self) -> int:
        """The baud rate of the line."""
    @property
    def timeout(self) -> float:
        """Seconds to wait for the first byte of a reply."""
    @property
    def retries(self) -> int:
        """How often a read is repeated after a time-out or a corrupt reply."""
    @property
    def closed(self) -> bool:
        """True after `close()`."""
    @property
    def inter_byte_timeout(self) -> float:
        """The longest gap allowed between bytes of a reply, in seconds: ten character
        times at the baud rate, at least 50 ms (200 ms over TCP)."""
    @property
    def latency_timer(self) -> Optional[int]:
        """The USB adapter's latency timer in milliseconds, read from the kernel (sysfs)
        when asked: how long the adapter may hold received bytes before passing them on.
        None where the kernel exposes none (a pseudo-terminal, a native UART, an adapter
        without one, TCP) or no line is open."""
    @property
    def stats(self) -> _Stats:
        """Counts of transactions, retries, errors, bytes sent and bytes received."""
    def get_int32(self, station: int, address: str) -> int:
        """Read the signed 32-bit value at data registers n, n+1 ("DT10" or "D10"; low word
        first)."""
    def set_int32(self, station: int, address: str, value: int) -> None:
        """Write a signed 32-bit value to data registers n, n+1."""
    def set_uint32(self, station: int, address: str, value: int) -> None:
        """Write an unsigned 32-bit value to data registers n, n+1 (a negative value raises
        OverflowError)."""
    def get_multi_int32(self, station: int, address: str, count: int) -> List[int]:
        """Read `count` (1..16) signed 32-bit values from consecutive register pairs in one
        transfer."""
    def set_multi_uint32(self, station: int, address: str, values: Iterable[int]) -> None:
        """Write 1..16 unsigned 32-bit values to consecutive register pairs in one
        transfer."""
    def get_coil(self, station: int, address: str) -> bool:
        """Read one coil: a relay "R<n>", an input "X<n>" or an output "Y<n>"."""
    def set_coil(self, station: int, address: str, value: object) -> None:
        """Write the truth value of `value` to a relay "R<n>" or an output "Y<n>"."""
    def get_coil_uint16(self, station: int, address: str) -> int:
        """Read 16 coils at a word address ("WR<n>", "WX<n>", "WY<n>": coils 16n..16n+15,
        bit k = coil 16n+k) as an int."""
    def set_coil_uint16(self, station: int, address: str, value: int) -> None:
        """Write 16 coils (0..65535) at a word address ("WR<n>" or "WY<n>")."""

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
    """Simulated motion modules served on a real line, a pseudo-terminal (or a loopback TCP
    port), from a native thread: give `port` to `MewMaster` or `KOVAxisController` as you
    would "/dev/ttyUSB0". Simulated time runs `time_scale` times as fast as real time.
    Positions and geometry are in pulses."""

    defaults: ClassVar[Mapping[str, object]]
    """The constructor's keyword defaults, by keyword (read-only)."""
    min_trace_interval: ClassVar[float]
    """The shortest trace_interval accepted, in simulated seconds (0 turns sampling off)."""
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
    ) -> None:
        """Start serving `stations` (1..99; others get no reply). `baudrate` holds each
        reply back by the wire time of request and reply plus `turnaround` seconds; `tcp`
        serves on 127.0.0.1:`tcp_port` instead of a pseudo-terminal. With `line_check` (a
        pseudo-terminal and a `baudrate` needed) the modules answer only a master whose line
        settings match `baudrate`, `parity` and `stopbits`: silence at another baud rate, a
        garbled reply at another framing. The geometry and `position` apply to every
        station. Bad options raise ValueError or TypeError."""
    @property
    def port(self) -> str:
        """The line to open: a /dev/pts/N path, or "tcp://127.0.0.1:<n>"."""
    @property
    def stations(self) -> Tuple[int, ...]:
        """The stations served."""
    @property
    def time_scale(self) -> float:
        """Simulated seconds per real second."""
    @property
    def closed(self) -> bool:
        """True after `close()`."""
    @property
    def request_count(self) -> int:
        """How many requests for its stations it has received (answered or not)."""
    def close(self) -> None:
        """Stop serving and release the line (idempotent); the models stay readable."""
    def __enter__(self: _S) -> _S:
        """The simulator itself."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        """`close()`."""
    def now(self) -> float:
        """Simulated seconds since the simulator started."""
    def read_registers(self, station: int, address: str, count: int) -> List[int]:
        """`count` 16-bit words from data register "DT<n>" on, as a read over the bus gives
        them (errors raise ValueError with the protocol's error text)."""
    def write_registers(self, station: int, address: str, words: Sequence[int]) -> None:
        """Write 16-bit words from data register "DT<n>" on, with the effects of a write
        over the bus."""
    def get_int32(self, station: int, address: str) -> int:
        """The signed 32-bit value at a data register pair (low word first)."""
    def set_int32(self, station: int, address: str, value: int) -> None:
        """Write a 32-bit value (signed or unsigned reading) to a data register pair."""
    def get_coil(self, station: int, address: str) -> bool:
        """Read a relay, input or output ("R<n>", "X<n>", "Y<n>")."""
    def set_coil(self, station: int, address: str, value: bool) -> None:
        """Write a relay or output as the bus would (True on R0..R6 issues the command)."""
    def get_coil_uint16(self, station: int, address: str) -> int:
        """Read 16 coils at a word address ("WR<n>", "WX<n>", "WY<n>")."""
    def set_coil_uint16(self, station: int, address: str, value: int) -> None:
        """Write 16 coils at a word address ("WR<n>" or "WY<n>") as the bus would."""
    def set_input(self, station: int, input: Union[str, int], value: Optional[bool]) -> None:
        """Drive input Xn ("X3" or 3). X0..X2 (origin, limits) follow the axis unless forced
        with True or False; None releases them. X3 (emergency, normally closed: True is
        healthy), X4 (alarm) and the rest take the level given; None restores the idle
        level (X3 on, the others off)."""
    def place_axis(self, station: int, position: int) -> None:
        """Put the axis at `position` pulses as if switched on there (DT10 and DT12 read
        it); a running motion ends."""
    def set_geometry(
        self,
        station: int,
        *,
        negative_limit: Optional[int] = None,
        positive_limit: Optional[int] = None,
        origin_low: Optional[int] = None,
        origin_high: Optional[int] = None,
    ) -> None:
        """Move the given switches of one station (pulses on the mechanical axis)."""
    def geometry(self, station: int) -> _Geometry:
        """The station's limit switches and origin window, in pulses."""
    def state(self, station: int) -> _State:
        """A snapshot: position (DT10), mechanical axis, velocity, moving, stop source, and
        the input and output words."""
    def wait_stopped(self, station: int, timeout: float = 10.0) -> bool:
        """Wait (real seconds, GIL released) until the axis stands; False when `timeout`
        passed first. Ctrl-C ends the wait."""
    def trace(self, station: int) -> List[_TraceEntry]:
        """The motion trace: (simulated seconds, DT10 counter, signed pulses/s, event)
        tuples, the event None for a periodic sample, else what happened ("start absolute",
        "stop NegativeLimit", ...). The newest 100000 entries."""
    def clear_trace(self, station: int) -> None:
        """Empty the station's trace."""
    def drop_replies(self, count: int = 1) -> None:
        """Fault: the next `count` requests are carried out but get no reply."""
    def corrupt_next_reply(self, offset: Optional[int] = None) -> None:
        """Fault: damage the next reply, by default a checksum digit, else the byte at
        `offset` (XOR 1)."""
    def error_next_reply(self, code: int) -> None:
        """Fault: refuse the next request with this error code; it is not carried out."""
    def answer_next_as(self, station: int) -> None:
        """Fault: the next reply carries this station number instead."""
    def split_next_reply(self, at: int = 4, pause: float = 0.05) -> None:
        """Fault: send the first `at` bytes of the next reply, wait `pause` real seconds,
        then the rest."""
    def delay_next_reply(self, seconds: float) -> None:
        """Fault: hold the next reply back this many real seconds."""
    def emit_garbage(self, data: bytes) -> None:
        """Write these bytes on the line at once."""
    def hang_up(self, *, on_next_request: bool = False) -> None:
        """Drop the line, now or when the next request arrives (that request is not carried
        out). A pseudo-terminal is replaced by a new one: read `port` again."""
    def clear_faults(self) -> None:
        """Cancel every fault not yet applied."""
    def request_log(self) -> List[str]:
        """The last requests received (frames without the terminator), oldest first."""
    def clear_request_log(self) -> None:
        """Empty the request log."""
