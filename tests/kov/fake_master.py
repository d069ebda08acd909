"""Recording stand-ins for the register master, for call-by-call tests of the controller.

`FakeMaster` records every call in order as a tuple (op, *args), e.g.
("set_int32", 1, "DT6", 1000), and answers from scripts: per (op, address) or per op,
a queue of values (the last one repeats), exceptions to raise, or a callable that gets
the call's arguments. `ScriptedAxis` adds a small motion model for homing: a command
coil starts the next scripted stage, which reports "Y1" running for a number of polls
and then stops with a chosen stop source.

Kept free of pytest and zol_kov imports so that subprocess scripts can use it too.
"""

import threading
from collections import deque

_DEFAULTS = {
    "get_int32": 0,
    "get_coil": False,
    "get_coil_uint16": 0,
}


class FakeMaster:
    def __init__(self, name="<fake master>"):
        self.name = name
        self.calls = []
        self._lock = threading.RLock()
        self._scripts = {}

    def __str__(self):
        return self.name

    __repr__ = __str__

    # --- scripting -----------------------------------------------------------------
    def script(self, op, address=None, *answers):
        """Queue answers for `op` (at `address`, or at any address when None).

        An answer is a value, an exception (instance or class) to raise, or a callable
        `Call(func)` invoked with the call's arguments. The last answer repeats.
        """
        self._scripts[(op, address)] = deque(answers)
        return self

    def fail(self, op, exc, address=None):
        return self.script(op, address, exc)

    def ops(self, *names):
        """The recorded calls whose operation is one of `names`."""
        with self._lock:
            return [c for c in self.calls if c[0] in names]

    def clear(self):
        with self._lock:
            del self.calls[:]

    # --- the master's operations -----------------------------------------------------
    def _answer(self, op, args):
        with self._lock:
            self.calls.append((op,) + args)
            address = args[1] if len(args) >= 2 else None
            queue = self._scripts.get((op, address))
            if queue is None:
                queue = self._scripts.get((op, None))
            if not queue:
                return self._default(op, args)
            answer = queue.popleft() if len(queue) > 1 else queue[0]
        if isinstance(answer, Call):
            return answer.func(*args)
        if isinstance(answer, BaseException) or (
            isinstance(answer, type) and issubclass(answer, BaseException)
        ):
            raise answer
        return answer

    def _default(self, op, args):
        if op == "get_multi_int32":
            return [0] * args[2]
        return _DEFAULTS.get(op)

    def close(self):
        return self._answer("close", ())

    def get_int32(self, station, address):
        return self._answer("get_int32", (station, address))

    def set_int32(self, station, address, value):
        return self._answer("set_int32", (station, address, value))

    def set_uint32(self, station, address, value):
        return self._answer("set_uint32", (station, address, value))

    def get_multi_int32(self, station, address, count):
        return self._answer("get_multi_int32", (station, address, count))

    def set_multi_uint32(self, station, address, values):
        return self._answer("set_multi_uint32", (station, address, values))

    def get_coil(self, station, address):
        return self._answer("get_coil", (station, address))

    def set_coil(self, station, address, value):
        return self._answer("set_coil", (station, address, value))

    def get_coil_uint16(self, station, address):
        return self._answer("get_coil_uint16", (station, address))

    def set_coil_uint16(self, station, address, value):
        return self._answer("set_coil_uint16", (station, address, value))


class Call:
    """Wraps a callable answer so that it is called instead of returned."""

    def __init__(self, func):
        self.func = func


class UnexpectedMotion(AssertionError):
    pass


class AxisState:
    """One station of a `ScriptedAxis`."""

    def __init__(self, stages=(), stop_source=0, inputs=None, relays=None):
        # Each stage: (number of "Y1" polls that report running, stop source at the end).
        self.stages = deque(stages)
        self.stop_source = int(stop_source)
        self.inputs = {"X0": False, "X1": False, "X2": False, "X3": False, "X4": False}
        self.inputs.update(inputs or {})
        self.relays = {"R12": False, "R13": False, "R14": False, "R15": False}
        self.relays.update(relays or {})
        self.running = 0
        self.pending_stop = None
        self.started = []  # command coils that started a stage, in order
        self.unexpected = []
        self.gate = None  # when set: a "Y1" poll waits for it (see ScriptedAxis.hold)
        self.at_gate = threading.Event()


class ScriptedAxis(FakeMaster):
    """A fake master with a scripted motion per station.

    Writing True to "R3", "R4", "R5" or "R6" starts the station's next stage; each
    "Y1" poll then reports running until the stage's poll count is used up, and the
    first poll after that reports stopped and sets the stop source ("D20"). Writing
    "R0" ends a running stage at once with the stop source Command. Inputs "X0".."X4"
    and the limit/alarm/emergency relays answer from the station's state. Scripts
    given with `script()` take precedence over the model.
    """

    MOTION_COILS = ("R3", "R4", "R5", "R6")

    def __init__(self, name="<scripted axis>"):
        super().__init__(name)
        self.axes = {}

    def plan(self, station, stages=(), stop_source=0, inputs=None, relays=None):
        axis = AxisState(stages, stop_source, inputs, relays)
        self.axes[station] = axis
        return axis

    def hold(self, station):
        """Make the station's next "Y1" polls wait until the returned event is set."""
        gate = threading.Event()
        self.axes[station].gate = gate
        return gate

    def _scripted(self, op, address):
        return (op, address) in self._scripts or (op, None) in self._scripts

    def get_coil(self, station, address):
        if self._scripted("get_coil", address) or station not in self.axes:
            return super().get_coil(station, address)
        axis = self.axes[station]
        with self._lock:
            self.calls.append(("get_coil", station, address))
            if address in axis.inputs:
                return axis.inputs[address]
            if address in axis.relays:
                return axis.relays[address]
            if address != "Y1":
                return False
            gate = axis.gate
        if gate is not None:
            axis.at_gate.set()
            gate.wait(30)
        with self._lock:
            if axis.running > 0:
                axis.running -= 1
                return True
            if axis.pending_stop is not None:
                axis.stop_source = axis.pending_stop
                axis.pending_stop = None
            return False

    def set_coil(self, station, address, value):
        if self._scripted("set_coil", address) or station not in self.axes:
            return super().set_coil(station, address, value)
        axis = self.axes[station]
        with self._lock:
            self.calls.append(("set_coil", station, address, value))
            if address in axis.relays:
                axis.relays[address] = value
            elif address == "R0" and value is True and axis.pending_stop is not None:
                axis.running = 0
                axis.pending_stop = 1
            elif address in self.MOTION_COILS and value is True:
                axis.started.append(address)
                if not axis.stages:
                    axis.unexpected.append(address)
                    raise UnexpectedMotion(address)
                polls, stop = axis.stages.popleft()
                axis.running = polls
                axis.pending_stop = int(stop)
        return None

    def get_int32(self, station, address):
        if self._scripted("get_int32", address) or station not in self.axes:
            return super().get_int32(station, address)
        with self._lock:
            self.calls.append(("get_int32", station, address))
            if address == "D20":
                return self.axes[station].stop_source
            return 0
