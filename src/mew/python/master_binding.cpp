// MewMaster: the Python face of mew::master::Master. Arguments are converted
// and checked here with the GIL held; the transaction itself runs with the GIL
// released so other Python threads (and other masters) keep going.
#include <pybind11/gil_safe_call_once.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "mew/master/master.hpp"
#include "mew/python/bindings.hpp"
#include "mew/python/checked_int.hpp"
#include "mew/python/gil_release.hpp"
#include "mew/python/method_front.hpp"

namespace py = pybind11;
using mew::master::Master;
using mew::master::MasterOptions;
using mew::master::Trace;
using mew::master::TraceEntry;

namespace mew::python {
namespace {

// The exception classes and the logger's methods. Stored once and never
// released, so that no destructor runs against a finalising interpreter.
struct PythonSide {
  py::object mew_error, timeout_error, protocol_error, device_error;
  py::object logger;          // logging.getLogger("zol_mew")
  py::object is_enabled_for;  // bound logger.isEnabledFor
  // Whether is_enabled_for is logging's own Logger.isEnabledFor, whose answer
  // debug_enabled may then read from the logger's cache; with the names read.
  bool standard_is_enabled_for = false;
  py::object disabled_name, cache_name;
  py::object debug;        // bound logger.debug
  py::object warning;      // bound logger.warning
  py::object module;       // zol_mew, for its private _sysfs_root
  py::object debug_level;  // logging.DEBUG
};
PYBIND11_CONSTINIT py::gil_safe_call_once_and_store<PythonSide> g_python_side;

const PythonSide& python_side() { return g_python_side.get_stored(); }

py::object new_exception(py::module_& m, const char* name, py::handle bases, const char* doc) {
  py::object type = py::exception<void>(m, name, bases);
  type.attr("__doc__") = doc;
  return type;
}

// Python's truth test (also __len__), as `if value:` sees it.
bool truth(py::handle value) {
  const int on = PyObject_IsTrue(value.ptr());
  if (on < 0) throw py::error_already_set();
  return on != 0;
}

void raise_mew(const py::object& type, const mew::master::Error& e) {
  // With an errno, OSError's two-argument form: `errno` and `strerror` are set.
  py::object exc = e.error_number() != 0 ? type(e.error_number(), e.what()) : type(e.what());
  py::set_error(type, exc);
}

void translate(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const mew::master::DeviceError& e) {
    const PythonSide& side = python_side();
    py::object exc = side.device_error(e.what());
    exc.attr("code") = e.code();
    py::set_error(side.device_error, exc);
  } catch (const mew::master::TimeoutError& e) {
    raise_mew(python_side().timeout_error, e);
  } catch (const mew::master::ProtocolError& e) {
    raise_mew(python_side().protocol_error, e);
  } catch (const mew::master::Error& e) {
    raise_mew(python_side().mew_error, e);
  }
}

// Asked before every operation, so the usual answer is read as logging's own
// Logger.isEnabledFor reads it: False when the logger is disabled, else the
// answer in the logger's cache, which logging clears whenever a level changes
// (setLevel, logging.disable). A miss runs the method, which fills the cache.
bool debug_enabled() {
  const PythonSide& side = python_side();
  if (side.standard_is_enabled_for) {
    const auto disabled = py::reinterpret_steal<py::object>(
        PyObject_GetAttr(side.logger.ptr(), side.disabled_name.ptr()));
    if (!disabled) throw py::error_already_set();
    if (truth(disabled)) return false;
    const auto cache = py::reinterpret_steal<py::object>(
        PyObject_GetAttr(side.logger.ptr(), side.cache_name.ptr()));
    if (!cache) throw py::error_already_set();
    if (PyDict_CheckExact(cache.ptr())) {
      const auto cached = py::reinterpret_borrow<py::object>(
          PyDict_GetItemWithError(cache.ptr(), side.debug_level.ptr()));
      if (cached) return truth(cached);
      if (PyErr_Occurred() != nullptr) throw py::error_already_set();
    }
  }
  const auto enabled = py::reinterpret_steal<py::object>(
      PyObject_CallFunctionObjArgs(side.is_enabled_for.ptr(), side.debug_level.ptr(), nullptr));
  if (!enabled) throw py::error_already_set();
  return truth(enabled);
}

void log_trace(const std::string& port, const Trace& trace) {
  const py::object& debug = python_side().debug;
  for (const TraceEntry& e : trace) {
    if (e.kind == TraceEntry::kNote) {
      debug("%s %s", port, e.text);
    } else {
      debug("%s %s %r", port, e.kind == TraceEntry::kSent ? "->" : "<-", py::bytes(e.text));
    }
  }
}

// Runs one bus operation with the GIL released, then logs its frames (also
// when it failed) once the GIL is back. The logger is asked first so that the
// frames are only collected when someone will read them. Nothing here may be
// noexcept (see gil_release.hpp).
template <class F>
auto on_bus(Master& master, F&& operation) -> decltype(operation(nullptr)) {
  // A signal that came while the previous call was busy but found its reply
  // already there has not been handled yet: it is, before the line is used, so
  // that a loop of bus calls made from C (with no Python code in between to
  // notice it) still ends at Ctrl-C at once.
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  const bool tracing = debug_enabled();
  Trace trace;
  Trace* sink = tracing ? &trace : nullptr;
  try {
    if constexpr (std::is_void_v<decltype(operation(nullptr))>) {
      without_gil([&] { operation(sink); });
      if (tracing) log_trace(master.port(), trace);
    } else {
      auto result = without_gil([&] { return operation(sink); });
      if (tracing) log_trace(master.port(), trace);
      return result;
    }
  } catch (const GilRelease::SignalRaised&) {
    if (tracing) log_trace(master.port(), trace);
    throw py::error_already_set();  // the handler's exception, KeyboardInterrupt mostly
  } catch (...) {
    // Not a C++ exception: the interpreter is ending this thread (a forced
    // unwind): no GIL, no Python.
    if (tracing && std::current_exception()) log_trace(master.port(), trace);
    throw;
  }
}

// Says what opening the line found about a USB adapter, once the GIL is back.
void report_tuning(const Master& master) {
  const mew::transport::TuningReport report = master.tuning_report();
  if (!report.low_latency_requested) return;  // a TCP line, or low_latency=False
  if (report.low_latency_refused != 0 && debug_enabled()) {
    python_side().debug("%s: no low-latency mode on this device (%s)", master.port(),
                        std::strerror(report.low_latency_refused));
  }
  if (report.latency_timer_file.empty()) return;
  const std::optional<int> timer =
      without_gil([&] { return mew::transport::read_latency_timer(report.latency_timer_file); });
  if (timer && *timer > 1) {
    python_side().warning(
        "%s: the adapter holds received bytes for up to %d ms (%s), also after the request for "
        "low-latency mode: each reply may wait that long; write 1 to that file to speed the bus "
        "up",
        master.port(), *timer, report.latency_timer_file);
  }
}

// MewMaster.__new__(MewMaster) alone gives an object whose Master was never
// built: pybind11 would hand its raw storage to the methods. nullptr then.
Master* built_master(py::handle self) {
  static py::detail::type_info* const info = py::detail::get_type_info(typeid(Master));
  // A MewMaster (or subclass) by its type first: pybind11's isinstance looks
  // the class up by its C++ type at every call.
  if (!PyObject_TypeCheck(self.ptr(), info->type) && !py::isinstance<Master>(self)) {
    throw py::type_error("expected a MewMaster object");
  }
  auto v_h = reinterpret_cast<py::detail::instance*>(self.ptr())->get_value_and_holder(info);
  return v_h.holder_constructed() ? static_cast<Master*>(v_h.value_ptr()) : nullptr;
}

Master& master_of(py::handle self) {
  Master* master = built_master(self);
  if (master == nullptr) {
    throw py::type_error(
        "MewMaster object is not initialised (MewMaster.__init__() was not called)");
  }
  return *master;
}

// Any integer (also an object with __index__) -> C++ int64; a value beyond it
// is reported like any other value that does not fit.
std::int64_t value_of(const char* op, py::handle value, const char* what) {
  const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  const auto v = checked_int(index, LLONG_MIN, LLONG_MAX);
  if (!v) {
    throw std::overflow_error(std::string(op) + ": value " + py::repr(index).cast<std::string>() +
                              " out of range for " + what);
  }
  return *v;
}

// What every bus operation starts from: its name (for messages), the master
// behind `self` and the station, converted in that order.
struct BusCall {
  const char* name;
  Master& master;
  int station;
};

BusCall bus_call(const char* name, py::handle self, py::handle station) {
  return BusCall{name, master_of(self), station_of(station, name)};
}

// The operations' results as Python objects, for the fronts; pybind11's own
// casters give the same for calls it handles.
py::object to_python(bool value) { return py::bool_(value); }
py::object to_python(std::int32_t value) { return py::int_(value); }
py::object to_python(std::uint16_t value) { return py::int_(value); }
py::object to_python(const std::vector<std::int32_t>& values) {
  const auto n = static_cast<Py_ssize_t>(values.size());
  auto list = py::reinterpret_steal<py::list>(PyList_New(n));
  if (!list) throw py::error_already_set();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyLong_FromLong(values[static_cast<std::size_t>(i)]);
    if (item == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(list.ptr(), i, item);
  }
  return std::move(list);
}

// The argument types a front takes itself: exact ints, lists and tuples for
// an iterable, anything for an object. Anything else is pybind11's to check.
template <class T>
bool front_takes(PyObject* arg) {
  using Type = std::decay_t<T>;
  if constexpr (std::is_same_v<Type, py::int_>) {
    return PyLong_CheckExact(arg);
  } else if constexpr (std::is_same_v<Type, py::iterable>) {
    return PyList_CheckExact(arg) || PyTuple_CheckExact(arg);
  } else {
    static_assert(std::is_same_v<Type, py::object>);
    return true;
  }
}

// MewMaster.<name>(station, address, args...) for `Body`, which gets the call
// checked by bus_call: bound by pybind11 (every call's way in, the signature
// in the docstring) with a front for plain positional calls.
template <auto Body>
struct BusOp;

template <class Result, class... Args, Result (*Body)(const BusCall&, std::string_view, Args...)>
struct BusOp<Body> {
  static inline const char* name = nullptr;
  static inline PyObject* bound = nullptr;  // the pybind11 function
  static inline PyMethodDef front_def{};

  template <class... Extra>
  static void define(py::class_<Master>& cls, const char* op_name, const Extra&... extra) {
    name = op_name;
    cls.def(
        op_name,
        [](py::handle self, const py::int_& station, const std::string& address, Args... args)
            -> Result { return Body(bus_call(name, self, station), address, args...); },
        extra...);
    bound = install_front(cls, op_name, &front, front_def);
  }

  // args: self, station, address, then Args.
  static PyObject* front(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return front_call(args, nargs, kwnames, std::index_sequence_for<Args...>{});
  }

  template <std::size_t... I>
  static PyObject* front_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              std::index_sequence<I...>) {
    if (kwnames == nullptr && nargs == 3 + static_cast<Py_ssize_t>(sizeof...(Args)) &&
        PyLong_CheckExact(args[1]) && PyUnicode_CheckExact(args[2]) &&
        (front_takes<Args>(args[3 + I]) && ...)) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(args[2], &size);
      if (text != nullptr) {
        const std::string_view address(text, static_cast<std::size_t>(size));
        return as_python_call([&]() -> PyObject* {
          const BusCall call = bus_call(name, args[0], args[1]);
          if constexpr (std::is_void_v<Result>) {
            Body(call, address, py::reinterpret_borrow<std::decay_t<Args>>(args[3 + I])...);
            return py::none().release().ptr();
          } else {
            return to_python(Body(call, address,
                                  py::reinterpret_borrow<std::decay_t<Args>>(args[3 + I])...))
                .release()
                .ptr();
          }
        });
      }
      PyErr_Clear();  // not encodable: pybind11 refuses it with its message
    }
    return call_pybind11(bound, args, nargs, kwnames);
  }
};

// The bodies of the bus operations, each called with the GIL held.
std::int32_t get_int32(const BusCall& c, std::string_view address) {
  return on_bus(c.master, [&](Trace* t) { return c.master.get_int32(c.station, address, t); });
}

void set_int32(const BusCall& c, std::string_view address, const py::int_& value) {
  const std::int64_t v = value_of(c.name, value, "a signed 32-bit value");
  on_bus(c.master, [&](Trace* t) { c.master.set_int32(c.station, address, v, t); });
}

void set_uint32(const BusCall& c, std::string_view address, const py::int_& value) {
  const std::int64_t v = value_of(c.name, value, "an unsigned 32-bit value");
  on_bus(c.master, [&](Trace* t) { c.master.set_uint32(c.station, address, v, t); });
}

std::vector<std::int32_t> get_multi_int32(const BusCall& c, std::string_view address,
                                          const py::int_& count) {
  const auto n = checked_int(count, 1, mew::master::kMaxValuesPerTransfer);
  if (!n) {
    throw std::invalid_argument(std::string(c.name) + ": count " +
                                py::repr(count).cast<std::string>() + " out of range 1.." +
                                std::to_string(mew::master::kMaxValuesPerTransfer));
  }
  return on_bus(c.master, [&](Trace* t) {
    return c.master.get_multi_int32(c.station, address, static_cast<int>(*n), t);
  });
}

void set_multi_uint32(const BusCall& c, std::string_view address, const py::iterable& values) {
  constexpr auto kMax = static_cast<std::size_t>(mew::master::kMaxValuesPerTransfer);
  std::vector<std::int64_t> vs;
  vs.reserve(kMax);
  for (py::handle v : values) {
    // Stop early: an endless iterable must not hang the call.
    if (vs.size() == kMax) {
      throw std::invalid_argument(std::string(c.name) + ": more than " + std::to_string(kMax) +
                                  " values; one transfer carries 1.." + std::to_string(kMax));
    }
    vs.push_back(value_of(c.name, v, "an unsigned 32-bit value"));
  }
  on_bus(c.master, [&](Trace* t) { c.master.set_multi_uint32(c.station, address, vs, t); });
}

bool get_coil(const BusCall& c, std::string_view address) {
  return on_bus(c.master, [&](Trace* t) { return c.master.get_coil(c.station, address, t); });
}

void set_coil(const BusCall& c, std::string_view address, const py::object& value) {
  const bool on = truth(value);
  on_bus(c.master, [&](Trace* t) { c.master.set_coil(c.station, address, on, t); });
}

std::uint16_t get_coil_uint16(const BusCall& c, std::string_view address) {
  return on_bus(c.master,
                [&](Trace* t) { return c.master.get_coil_uint16(c.station, address, t); });
}

void set_coil_uint16(const BusCall& c, std::string_view address, const py::int_& value) {
  const std::int64_t v = value_of(c.name, value, "a 16-coil word");
  on_bus(c.master, [&](Trace* t) { c.master.set_coil_uint16(c.station, address, v, t); });
}

std::string repr_of(py::handle self) {
  const Master* m = built_master(self);
  if (m == nullptr) return "<uninitialised MewMaster>";
  const std::string text = "MewMaster(port=" + py::repr(py::str(m->port())).cast<std::string>() +
                           ", baudrate=" + std::to_string(m->options().serial.baudrate) + ")";
  return m->closed() ? "<closed " + text + ">" : text;
}

constexpr const char* kClassDoc = R"(Master of the motion modules' register bus on one port.

MewMaster(port, baudrate=115200, *, timeout=0.5, retries=2, bytesize=8,
          parity='N', stopbits=1, exclusive=True, reconnect=True,
          low_latency=True, rs485=False, rs485_rts_on_send=True,
          rs485_delay_before=0.0, rs485_delay_after=0.0)

port is a serial device path (a pseudo-terminal works) or "tcp://host:port" for
a serial device server. One transaction runs at a time; the operations may be
called from several threads. timeout is the wait for the first byte of a reply
in seconds; the gap allowed between bytes of a reply is ten character times at
the baud rate, but at least 50 ms (200 ms over TCP). A read is repeated up to
`retries` times after a time-out or a corrupt reply; a write is repeated only
when the device reports that it ignored the request (error 01, checksum).
Every attempt ends by its time-out whatever arrives, and Ctrl-C ends a wait.

exclusive locks a serial port against other openers (a second one gets
MewError, port in use). reconnect: after the line was lost (hang-up, peer
closed) the next call reopens it once by its name (never a pseudo-terminal,
whose name may go to another one); a write whose reply was lost with the
line is never sent again.

low_latency asks the serial driver for its low-latency mode, so that a USB
adapter passes received bytes on at once instead of holding them for its
latency timer (16 ms by default); a device without it is left as it is. If the
adapter's latency timer is still above 1 ms, a warning names it (logger
zol_mew) and `latency_timer` reports it. rs485 switches the kernel's RS-485
direction control on (a native UART driving a transceiver): RTS at the level
rs485_rts_on_send while sending, set rs485_delay_before seconds before the
first bit and held rs485_delay_after seconds after the last (0..1 s, whole
milliseconds rounded up); MewError if the driver refuses it. Both are given
back when the line closes.

Out-of-range values raise OverflowError (set_uint32 and set_multi_uint32 refuse
negative values), malformed stations, addresses and counts raise ValueError,
both before anything is sent. Bus failures raise MewError subclasses.)";

}  // namespace

void bind_master(py::module_& m) {
  g_python_side.call_once_and_store_result([&] {
    PythonSide side;
    side.mew_error = new_exception(m, "MewError", PyExc_OSError,
                                   "Failure of the bus master: the port, the line or the device.");
    side.timeout_error = new_exception(
        m, "MewTimeoutError", py::make_tuple(side.mew_error, py::handle(PyExc_TimeoutError)),
        "No complete reply within the time-outs.");
    side.protocol_error =
        new_exception(m, "MewProtocolError", side.mew_error,
                      "A reply that was corrupt, malformed or did not fit the request.");
    side.device_error =
        new_exception(m, "MewDeviceError", side.mew_error,
                      "The device answered with an error reply; `code` holds its code.");
    side.device_error.attr("code") = py::none();
    py::module_ logging = py::module_::import("logging");
    py::object logger = logging.attr("getLogger")("zol_mew");
    side.logger = logger;
    side.is_enabled_for = logger.attr("isEnabledFor");
    side.standard_is_enabled_for = PyMethod_Check(side.is_enabled_for.ptr()) &&
                                   PyMethod_GET_SELF(side.is_enabled_for.ptr()) == logger.ptr() &&
                                   PyMethod_GET_FUNCTION(side.is_enabled_for.ptr()) ==
                                       logging.attr("Logger").attr("isEnabledFor").ptr();
    side.disabled_name = py::reinterpret_steal<py::object>(PyUnicode_InternFromString("disabled"));
    side.cache_name = py::reinterpret_steal<py::object>(PyUnicode_InternFromString("_cache"));
    if (!side.disabled_name || !side.cache_name) throw py::error_already_set();
    side.debug = logger.attr("debug");
    side.warning = logger.attr("warning");
    side.module = m;
    side.debug_level = logging.attr("DEBUG");
    return side;
  });
  py::register_exception_translator(&translate);
  // Where MewMaster looks for a USB adapter's latency timer; tests point it at
  // a tree of their own.
  m.attr("_sysfs_root") = "/sys";

  py::class_<Master> cls(m, "MewMaster", kClassDoc);
  cls.def(py::init([](const std::string& port, int baudrate, double timeout, int retries,
                      int bytesize, const std::string& parity, int stopbits, bool exclusive,
                      bool reconnect, bool low_latency, bool rs485, bool rs485_rts_on_send,
                      double rs485_delay_before, double rs485_delay_after) {
            MasterOptions options;
            options.serial.baudrate = baudrate;
            options.serial.bytesize = bytesize;
            if (parity.size() != 1) throw std::invalid_argument("parity must be 'N', 'E' or 'O'");
            options.serial.parity = parity[0];
            options.serial.stopbits = stopbits;
            options.timeout = timeout;
            options.retries = retries;
            options.exclusive = exclusive;
            options.reconnect = reconnect;
            options.tuning.low_latency = low_latency;
            options.tuning.rs485.enabled = rs485;
            options.tuning.rs485.rts_on_send = rs485_rts_on_send;
            options.tuning.rs485.delay_before = rs485_delay_before;
            options.tuning.rs485.delay_after = rs485_delay_after;
            options.tuning.sysfs_root =
                py::str(python_side().module.attr("_sysfs_root")).cast<std::string>();
            options.check_interrupt = &GilRelease::check_signals;
            std::unique_ptr<Master> master;
            try {
              // A TCP connect may take a while.
              master = without_gil([&] { return std::make_unique<Master>(port, options); });
            } catch (const GilRelease::SignalRaised&) {
              throw py::error_already_set();
            }
            report_tuning(*master);
            return master.release();
          }),
          py::arg("port"), py::arg("baudrate") = 115200, py::kw_only(), py::arg("timeout") = 0.5,
          py::arg("retries") = 2, py::arg("bytesize") = 8, py::arg("parity") = "N",
          py::arg("stopbits") = 1, py::arg("exclusive") = true, py::arg("reconnect") = true,
          py::arg("low_latency") = true, py::arg("rs485") = false,
          py::arg("rs485_rts_on_send") = true, py::arg("rs485_delay_before") = 0.0,
          py::arg("rs485_delay_after") = 0.0)
      .def(
          "close",
          [](py::handle self) {
            Master& master = master_of(self);
            without_gil([&] { master.close(); });  // may wait for another thread's transaction
          },
          "Release the port. Calling it again does nothing.")
      .def("__enter__",
           [](py::object self) {
             master_of(self);
             return self;
           })
      .def("__exit__",
           [](py::handle self, py::args) {
             Master& master = master_of(self);
             without_gil([&] { master.close(); });
             return false;
           })
      .def("__repr__", &repr_of)
      .def_property_readonly("port", [](py::handle self) { return master_of(self).port(); })
      .def_property_readonly(
          "baudrate", [](py::handle self) { return master_of(self).options().serial.baudrate; })
      .def_property_readonly("timeout",
                             [](py::handle self) { return master_of(self).options().timeout; })
      .def_property_readonly("retries",
                             [](py::handle self) { return master_of(self).options().retries; })
      .def_property_readonly("closed", [](py::handle self) { return master_of(self).closed(); })
      .def_property_readonly(
          "inter_byte_timeout",
          [](py::handle self) { return master_of(self).inter_byte_timeout().count() / 1e6; },
          "Seconds allowed between two bytes of a reply.")
      .def_property_readonly(
          "latency_timer",
          [](py::handle self) -> std::optional<int> {
            const std::string file = master_of(self).tuning_report().latency_timer_file;
            if (file.empty()) return std::nullopt;
            return without_gil([&] { return mew::transport::read_latency_timer(file); });
          },
          "The USB adapter's latency timer in milliseconds, read from the kernel now: how long "
          "the adapter may hold received bytes before passing them on. None where the kernel "
          "exposes none (a pseudo-terminal, a native UART, an adapter without one, TCP) or no "
          "line is open.")
      .def_property_readonly(
          "stats",
          [](py::handle self) {
            const mew::master::Stats s = master_of(self).stats();
            py::dict d;
            d["transactions"] = s.transactions;
            d["retries"] = s.retries;
            d["errors"] = s.errors;
            d["bytes_sent"] = s.bytes_sent;
            d["bytes_received"] = s.bytes_received;
            return d;
          },
          "Counters since the master was created: transactions (operations sent to the bus), "
          "retries (requests sent again), errors (attempts without a valid answer), bytes_sent, "
          "bytes_received.");

  // The bus operations, each MewMaster.<name>(station, address, ...).
  BusOp<&get_int32>::define(
      cls, "get_int32", py::arg("station"), py::arg("address"),
      "Read the signed 32-bit value at data registers n, n+1 (low word first).");
  BusOp<&set_int32>::define(cls, "set_int32", py::arg("station"), py::arg("address"),
                            py::arg("value"),
                            "Write a signed 32-bit value to data registers n, n+1.");
  BusOp<&set_uint32>::define(
      cls, "set_uint32", py::arg("station"), py::arg("address"), py::arg("value"),
      "Write an unsigned 32-bit value (0..4294967295; negatives raise OverflowError).");
  BusOp<&get_multi_int32>::define(
      cls, "get_multi_int32", py::arg("station"), py::arg("address"), py::arg("count"),
      "Read `count` (1..16) signed 32-bit values from consecutive register pairs; "
      "returns a list of ints.");
  BusOp<&set_multi_uint32>::define(
      cls, "set_multi_uint32", py::arg("station"), py::arg("address"), py::arg("values"),
      "Write 1..16 unsigned 32-bit values to consecutive register pairs in one transfer.");
  BusOp<&get_coil>::define(cls, "get_coil", py::arg("station"), py::arg("address"),
                           "Read one coil (R, X or Y) as a bool.");
  BusOp<&set_coil>::define(cls, "set_coil", py::arg("station"), py::arg("address"),
                           py::arg("value"),
                           "Write one coil (R or Y) with the truth value of `value`.");
  BusOp<&get_coil_uint16>::define(
      cls, "get_coil_uint16", py::arg("station"), py::arg("address"),
      "Read 16 coils at a word address (WR, WX, WY n: coils 16n..16n+15, bit k = coil "
      "16n+k) as an int.");
  BusOp<&set_coil_uint16>::define(cls, "set_coil_uint16", py::arg("station"), py::arg("address"),
                                  py::arg("value"),
                                  "Write 16 coils (0..65535) at a word address (WR or WY).");
}

}  // namespace mew::python
