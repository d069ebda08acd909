// zol_mew.Simulator: a thin layer over mew::sim::SimulatorServer.
//
// The server's lock may be taken with the GIL held, so nothing may touch
// Python while holding it: the lambdas given to on() copy plain C++ values
// out, and the Python objects are built after the lock is released. (An
// allocation under the lock can run a garbage-collector callback, which may
// hand the GIL to a thread that then waits for the lock: a deadlock.)
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mew/protocol/address.hpp"
#include "mew/protocol/frame_codec.hpp"
#include "mew/python/bindings.hpp"
#include "mew/python/checked_int.hpp"
#include "mew/python/gil_release.hpp"
#include "mew/sim/sim_server.hpp"

namespace mew::python {
namespace {

namespace py = pybind11;
using namespace pybind11::literals;
using mew::protocol::Address;
using mew::protocol::AddressKind;
using mew::protocol::require_address;
using mew::sim::AxisModel;
using mew::sim::SimulatorServer;

void check(int code, const std::string& address) {
  if (code != 0) {
    throw py::value_error(address + ": " + mew::protocol::error_text(code) + " (code " +
                          std::to_string(code) + ")");
  }
}

int input_number(const py::object& input) {
  if (py::isinstance<py::str>(input)) {
    const Address a = require_address(input.cast<std::string>(), AddressKind::kCoil);
    if (a.device != 'X') throw py::value_error("an input is X0..X15");
    return a.number < mew::sim::io::kCount ? a.number : -1;
  }
  if (py::isinstance<py::bool_>(input) || !py::isinstance<py::int_>(input)) {
    throw py::type_error("input must be 'Xn' or an int");
  }
  return static_cast<int>(checked_int(input, 0, mew::sim::io::kCount - 1).value_or(-1));
}

std::int32_t to_int32(const py::int_& value) {
  // Accepts the signed and the unsigned reading of a 32-bit register.
  const auto v = checked_int(value, INT32_MIN, UINT32_MAX);
  if (!v) throw py::value_error("value does not fit in 32 bits");
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(*v & 0xffffffffLL));
}

// The options of a Simulator(...) call.
mew::sim::SimulatorOptions simulator_options(const py::object& stations, double time_scale,
                                             const py::object& baudrate, const std::string& parity,
                                             int stopbits, bool line_check, bool tcp, int tcp_port,
                                             std::int32_t negative_limit,
                                             std::int32_t positive_limit, std::int32_t origin_low,
                                             std::int32_t origin_high, std::int32_t position,
                                             double turnaround, double trace_interval) {
  mew::sim::SimulatorOptions o;
  o.stations.clear();
  const auto add_station = [&](const py::handle& s) {
    if (py::isinstance<py::bool_>(s) || !py::isinstance<py::int_>(s)) {
      throw py::type_error("stations must be ints");
    }
    o.stations.push_back(station_of(s));  // the server checks the range
  };
  if (py::isinstance<py::int_>(stations) && !py::isinstance<py::bool_>(stations)) {
    add_station(stations);
  } else {
    for (const py::handle s : stations) add_station(s);
  }
  o.time_scale = time_scale;
  if (!baudrate.is_none()) {
    if (py::isinstance<py::bool_>(baudrate) || !py::isinstance<py::int_>(baudrate)) {
      throw py::type_error("baudrate must be an int or None");
    }
    const auto rate = checked_int(baudrate, 1, 100000000);
    if (!rate) throw py::value_error("baudrate must be positive");
    o.baudrate = static_cast<int>(*rate);
  }
  if (parity.size() != 1) throw py::value_error("parity must be 'N', 'E' or 'O'");
  o.parity = parity[0];  // the server checks the letter and the stop bits
  o.stopbits = stopbits;
  o.line_check = line_check;
  o.tcp = tcp;
  o.tcp_port = tcp_port;
  o.geometry = {negative_limit, positive_limit, origin_low, origin_high};
  o.start_position = position;
  o.turnaround = turnaround;
  o.trace_interval = trace_interval;
  return o;
}

class Simulator {
 public:
  Simulator(mew::sim::SimulatorOptions o, bool log_commands) {
    if (log_commands) {
      o.log = [](const std::string& line) {
        std::fprintf(stdout, "%s\n", line.c_str());
        std::fflush(stdout);
      };
    }
    try {
      server_ = std::make_unique<SimulatorServer>(std::move(o));
    } catch (const std::invalid_argument& e) {
      throw py::value_error(e.what());
    } catch (const std::system_error& e) {
      // OSError's two-argument form, so that `errno` and `strerror` are set.
      const py::object os_error = py::reinterpret_borrow<py::object>(PyExc_OSError);
      py::set_error(os_error, os_error(e.code().value(), e.what()));
      throw py::error_already_set();
    }
  }

  SimulatorServer& server() { return *server_; }

  template <class F>
  auto on(int station, F&& f) {
    try {
      return server_->with_station(station, std::forward<F>(f));
    } catch (const std::out_of_range& e) {
      throw py::value_error(e.what());
    }
  }

  void close() {
    without_gil([&] { server_->close(); });
  }

 private:
  std::unique_ptr<SimulatorServer> server_;
};

// Device access with the same effects and errors as over the bus: the address
// is parsed first (with the GIL, like any argument check), then run() calls
// `f(model, now, address)` under the server's lock and raises the protocol
// error code it returns as ValueError naming the address.
class DeviceAccess {
 public:
  DeviceAccess(Simulator& s, int station, const std::string& text, AddressKind kind)
      : s_(s), station_(station), text_(text), address_(require_address(text, kind)) {}

  template <class F>
  void run(F&& f) const {
    check(s_.on(station_, [&](AxisModel& m, double now) { return f(m, now, address_); }), text_);
  }

 private:
  Simulator& s_;
  int station_;
  const std::string& text_;
  Address address_;
};

py::dict geometry_dict(const mew::sim::Geometry& g) {
  return py::dict("negative_limit"_a = g.negative_limit, "positive_limit"_a = g.positive_limit,
                  "origin_low"_a = g.origin_low, "origin_high"_a = g.origin_high);
}

}  // namespace
}  // namespace mew::python

// pybind11 gives an instance whose __init__ never ran (Simulator.__new__(Simulator)) raw,
// unconstructed memory when a method is called on it: refuse such an instance instead.
template <>
class pybind11::detail::type_caster<mew::python::Simulator>
    : public type_caster_base<mew::python::Simulator> {
 public:
  bool load(handle src, bool convert) {
    if (!type_caster_base::load(src, convert)) return false;
    const auto held = reinterpret_cast<instance*>(src.ptr())->get_value_and_holder(
        get_type_info(typeid(mew::python::Simulator)),
        /*throw_if_missing=*/false);
    if (held && !held.holder_constructed()) {
      throw type_error("zol_mew.Simulator.__init__() was not called on this object");
    }
    return true;
  }
};

namespace mew::python {

void bind_simulator(py::module_& m) {
  py::class_<Simulator> cls(m, "Simulator", R"doc(
Simulated motion modules on a real line: a pseudo-terminal (or a loopback TCP
port) served from a native thread. Give `port` to MewMaster.

Time inside the simulator is the monotonic clock multiplied by `time_scale`.
The axis geometry (limit switches, origin window, start position) is in pulses
and applies to every station; change it per station with set_geometry().
)doc");
  // The keyword defaults, taken from the options' own; also a class attribute for front
  // ends that offer the same settings (kov-sim).
  const mew::sim::SimulatorOptions d;
  py::dict defaults("stations"_a = py::tuple(py::cast(d.stations)), "time_scale"_a = d.time_scale,
                    "baudrate"_a = py::none(),  // a baudrate of 0 in the options: no pacing
                    "parity"_a = std::string(1, d.parity), "stopbits"_a = d.stopbits,
                    "line_check"_a = d.line_check, "tcp"_a = d.tcp, "tcp_port"_a = d.tcp_port,
                    "negative_limit"_a = d.geometry.negative_limit,
                    "positive_limit"_a = d.geometry.positive_limit,
                    "origin_low"_a = d.geometry.origin_low,
                    "origin_high"_a = d.geometry.origin_high, "position"_a = d.start_position,
                    "turnaround"_a = d.turnaround, "trace_interval"_a = d.trace_interval,
                    "log_commands"_a = false);
  const auto by_default = [&](const char* name) { return py::object(defaults[name]); };
  cls.def(py::init([](const py::object& stations, double time_scale, const py::object& baudrate,
                      const std::string& parity, int stopbits, bool line_check, bool tcp,
                      int tcp_port, std::int32_t negative_limit, std::int32_t positive_limit,
                      std::int32_t origin_low, std::int32_t origin_high, std::int32_t position,
                      double turnaround, double trace_interval, bool log_commands) {
            return std::make_unique<Simulator>(
                simulator_options(stations, time_scale, baudrate, parity, stopbits, line_check, tcp,
                                  tcp_port, negative_limit, positive_limit, origin_low, origin_high,
                                  position, turnaround, trace_interval),
                log_commands);
          }),
          "stations"_a = by_default("stations"), py::kw_only(),
          "time_scale"_a = by_default("time_scale"), "baudrate"_a = by_default("baudrate"),
          "parity"_a = by_default("parity"), "stopbits"_a = by_default("stopbits"),
          "line_check"_a = by_default("line_check"), "tcp"_a = by_default("tcp"),
          "tcp_port"_a = by_default("tcp_port"), "negative_limit"_a = by_default("negative_limit"),
          "positive_limit"_a = by_default("positive_limit"),
          "origin_low"_a = by_default("origin_low"), "origin_high"_a = by_default("origin_high"),
          "position"_a = by_default("position"), "turnaround"_a = by_default("turnaround"),
          "trace_interval"_a = by_default("trace_interval"),
          "log_commands"_a = by_default("log_commands"));
  cls.attr("defaults") = py::module_::import("types").attr("MappingProxyType")(defaults);
  cls.attr("min_trace_interval") = mew::sim::kMinTraceInterval;

  cls.def_property_readonly(
      "port", [](Simulator& s) { return s.server().port(); },
      "Path of the pseudo-terminal, or tcp://127.0.0.1:<port>.");
  cls.def_property_readonly("stations", [](Simulator& s) {
    py::tuple t(s.server().stations().size());
    for (std::size_t i = 0; i < s.server().stations().size(); ++i) t[i] = s.server().stations()[i];
    return t;
  });
  cls.def_property_readonly("time_scale",
                            [](Simulator& s) { return s.server().options().time_scale; });
  cls.def_property_readonly("closed", [](Simulator& s) { return s.server().closed(); });
  cls.def("close", &Simulator::close, "Stop serving and release the line (idempotent).");
  cls.def("__enter__", [](py::object self) { return self; });
  cls.def("__exit__", [](Simulator& s, const py::args&) {
    s.close();
    return false;
  });
  cls.def("__repr__", [](Simulator& s) {
    return "<zol_mew.Simulator port=" + s.server().port() +
           (s.server().closed() ? " closed>" : ">");
  });
  cls.def("now", [](Simulator& s) { return s.server().now(); }, "Simulated seconds since start.");

  // ---- registers and coils, with the same effects as over the bus
  cls.def(
      "read_registers",
      [](Simulator& s, int station, const std::string& address, int count) {
        std::vector<std::uint16_t> words;
        DeviceAccess(s, station, address, AddressKind::kDataRegister)
            .run([&](AxisModel& m, double now, const Address& a) {
              return m.read_registers(now, a.number, count, &words);
            });
        return std::vector<int>(words.begin(), words.end());
      },
      "station"_a, "address"_a, "count"_a, "16-bit words from a data register on.");
  cls.def(
      "write_registers",
      [](Simulator& s, int station, const std::string& address,
         const std::vector<long long>& words) {
        const DeviceAccess access(s, station, address, AddressKind::kDataRegister);
        std::vector<std::uint16_t> w;
        for (long long v : words) {
          if (v < 0 || v > 0xffff) throw py::value_error("words are 0..65535");
          w.push_back(static_cast<std::uint16_t>(v));
        }
        access.run([&](AxisModel& m, double now, const Address& a) {
          return m.write_registers(now, a.number, w);
        });
      },
      "station"_a, "address"_a, "words"_a);
  cls.def(
      "get_int32",
      [](Simulator& s, int station, const std::string& address) {
        std::vector<std::uint16_t> w;
        DeviceAccess(s, station, address, AddressKind::kDataRegister)
            .run([&](AxisModel& m, double now, const Address& a) {
              return m.read_registers(now, a.number, 2, &w);
            });
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(w[0]) |
                                         (static_cast<std::uint32_t>(w[1]) << 16));
      },
      "station"_a, "address"_a, "Signed 32-bit value at a data register pair (low word first).");
  cls.def(
      "set_int32",
      [](Simulator& s, int station, const std::string& address, const py::int_& value) {
        const DeviceAccess access(s, station, address, AddressKind::kDataRegister);
        const auto u = static_cast<std::uint32_t>(to_int32(value));
        const std::vector<std::uint16_t> w{static_cast<std::uint16_t>(u & 0xffff),
                                           static_cast<std::uint16_t>(u >> 16)};
        access.run([&](AxisModel& m, double now, const Address& a) {
          return m.write_registers(now, a.number, w);
        });
      },
      "station"_a, "address"_a, "value"_a,
      "Writes a 32-bit value (signed or unsigned reading) to a data register pair.");
  cls.def(
      "get_coil",
      [](Simulator& s, int station, const std::string& address) {
        bool value = false;
        DeviceAccess(s, station, address, AddressKind::kCoil)
            .run([&](AxisModel& m, double now, const Address& a) {
              return m.read_coil(now, a.device, a.number, &value);
            });
        return value;
      },
      "station"_a, "address"_a);
  cls.def(
      "set_coil",
      [](Simulator& s, int station, const std::string& address, bool value) {
        DeviceAccess(s, station, address, AddressKind::kCoil)
            .run([&](AxisModel& m, double now, const Address& a) {
              return m.write_coil(now, a.device, a.number, value);
            });
      },
      "station"_a, "address"_a, "value"_a,
      "Writes a relay or output as the bus would (True on R0..R6 issues the command).");
  cls.def(
      "get_coil_uint16",
      [](Simulator& s, int station, const std::string& address) {
        std::uint16_t word = 0;
        DeviceAccess(s, station, address, AddressKind::kCoilWord)
            .run([&](AxisModel& m, double now, const Address& a) {
              return m.read_coil_word(now, a.device, a.number, &word);
            });
        return static_cast<int>(word);
      },
      "station"_a, "address"_a);
  cls.def(
      "set_coil_uint16",
      [](Simulator& s, int station, const std::string& address, int value) {
        const DeviceAccess access(s, station, address, AddressKind::kCoilWord);
        if (value < 0 || value > 0xffff) throw py::value_error("a coil word is 0..65535");
        access.run([&](AxisModel& m, double now, const Address& a) {
          return m.write_coil_word(now, a.device, a.number, static_cast<std::uint16_t>(value));
        });
      },
      "station"_a, "address"_a, "value"_a);

  // ---- the axis's surroundings
  cls.def(
      "set_input",
      [](Simulator& s, int station, const py::object& input, std::optional<bool> value) {
        const int n = input_number(input);
        if (n < 0 || n >= mew::sim::io::kCount) throw py::value_error("an input is X0..X15");
        s.on(station, [&](AxisModel& m, double now) { m.set_input(now, n, value); });
      },
      "station"_a, "input"_a, "value"_a, R"doc(
Drives input Xn ('X3' or 3). X0-X2 (origin, limits) follow the axis position
unless forced with True/False; None releases them. For X3 (emergency, normally
closed: True is healthy), X4 (alarm) and the rest, None restores the idle
level (X3 on, others off).)doc");
  cls.def(
      "place_axis",
      [](Simulator& s, int station, std::int32_t position) {
        s.on(station, [&](AxisModel& m, double now) { m.place(now, position); });
      },
      "station"_a, "position"_a,
      "Puts the axis at a position (pulses) as if switched on there: DT10 and DT12 read it; "
      "a running motion ends.");
  cls.def(
      "set_geometry",
      [](Simulator& s, int station, std::optional<std::int32_t> negative_limit,
         std::optional<std::int32_t> positive_limit, std::optional<std::int32_t> origin_low,
         std::optional<std::int32_t> origin_high) {
        const bool valid = s.on(station, [&](AxisModel& m, double now) {
          mew::sim::Geometry g = m.geometry();
          if (negative_limit) g.negative_limit = *negative_limit;
          if (positive_limit) g.positive_limit = *positive_limit;
          if (origin_low) g.origin_low = *origin_low;
          if (origin_high) g.origin_high = *origin_high;
          return m.set_geometry(now, g);
        });
        if (!valid) {
          throw py::value_error(
              "need negative_limit < positive_limit and origin_low <= origin_high");
        }
      },
      "station"_a, py::kw_only(), "negative_limit"_a = py::none(), "positive_limit"_a = py::none(),
      "origin_low"_a = py::none(), "origin_high"_a = py::none(),
      "Moves the switches of one station (mechanical pulses); omitted ones stay.");
  cls.def(
      "geometry",
      [](Simulator& s, int station) {
        return geometry_dict(s.on(station, [](AxisModel& m, double) { return m.geometry(); }));
      },
      "station"_a);
  cls.def(
      "state",
      [](Simulator& s, int station) {
        struct Snapshot {
          std::int32_t position, axis;
          double velocity;
          bool moving;
          int stop_source;
          std::uint16_t inputs, outputs;
        };
        const Snapshot v = s.on(station, [](AxisModel& m, double now) {
          Snapshot out{};
          m.read_coil_word(now, 'X', 0, &out.inputs);
          m.read_coil_word(now, 'Y', 0, &out.outputs);
          out.position = m.position(now);
          out.axis = m.axis_position(now);
          out.velocity = m.velocity(now);
          out.moving = m.moving();
          out.stop_source = static_cast<int>(m.stop_source());
          return out;
        });
        return py::dict("position"_a = v.position, "axis"_a = v.axis, "velocity"_a = v.velocity,
                        "moving"_a = v.moving, "stop_source"_a = v.stop_source,
                        "inputs"_a = v.inputs, "outputs"_a = v.outputs);
      },
      "station"_a,
      "Snapshot: position (DT10), axis (mechanical), velocity, moving, stop_source, inputs, "
      "outputs (16-bit words).");
  cls.def(
      "wait_stopped",
      [](Simulator& s, int station, double timeout) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration<double>(std::max(timeout, 0.0));
        for (;;) {
          if (!s.on(station, [](AxisModel& m, double now) {
                m.advance(now);
                return m.moving();
              })) {
            return true;
          }
          if (std::chrono::steady_clock::now() >= deadline) return false;
          {
            GilRelease release;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
          // Ctrl-C ends a long wait like any other.
          if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
      },
      "station"_a, "timeout"_a = 10.0,
      "Waits (real seconds, bounded) until the station's axis stands; False on time-out.");
  cls.def(
      "trace",
      [](Simulator& s, int station) {
        const auto entries = s.on(station, [](AxisModel& m, double now) {
          m.advance(now);
          return std::vector<mew::sim::TraceEntry>(m.trace().begin(), m.trace().end());
        });
        py::list out;
        for (const auto& e : entries) {
          out.append(py::make_tuple(e.time, e.position, e.velocity,
                                    e.event.empty() ? py::object(py::none()) : py::str(e.event)));
        }
        return out;
      },
      "station"_a, R"doc(
Motion trace: a list of (time, position, velocity, event) tuples. time is
simulated seconds, position the DT10 counter, velocity signed pulses/s; event
is None for a periodic sample, else "start absolute" / "start relative" /
"start jog negative|positive" / "start origin search negative|positive" /
"decelerate" / "placed" / "stop <StopSource name>".)doc");
  cls.def(
      "clear_trace",
      [](Simulator& s, int station) {
        s.on(station, [](AxisModel& m, double) { m.clear_trace(); });
      },
      "station"_a);

  // ---- fault injection
  cls.def(
      "drop_replies",
      [](Simulator& s, int count) {
        if (count < 0) throw py::value_error("count must be >= 0");
        s.server().drop_replies(count);
      },
      "count"_a = 1, "The next `count` requests are carried out but get no reply.");
  cls.def(
      "corrupt_next_reply",
      [](Simulator& s, std::optional<int> offset) {
        if (offset && *offset < 0) throw py::value_error("offset counts from 0");
        s.server().corrupt_next_reply(offset ? *offset : -1);
      },
      "offset"_a = py::none(),
      "Damages the next reply: by default its checksum (another hex digit), else the byte at "
      "`offset` (XOR 1).");
  cls.def(
      "error_next_reply", [](Simulator& s, int code) { s.server().error_next_reply(code); },
      "code"_a, "The next request is refused with this error code and not carried out.");
  cls.def(
      "answer_next_as", [](Simulator& s, int station) { s.server().answer_next_as(station); },
      "station"_a, "The next reply carries this station number instead.");
  cls.def(
      "split_next_reply",
      [](Simulator& s, int at, double pause) {
        if (at < 0) throw py::value_error("at counts from 0");
        if (!std::isfinite(pause) || pause < 0) throw py::value_error("pause must be >= 0");
        s.server().split_next_reply(static_cast<std::size_t>(at), pause);
      },
      "at"_a = 4, "pause"_a = 0.05,
      "Sends the first `at` bytes of the next reply, waits `pause` seconds, sends the rest.");
  cls.def(
      "delay_next_reply",
      [](Simulator& s, double seconds) {
        if (!std::isfinite(seconds) || seconds < 0) throw py::value_error("seconds must be >= 0");
        s.server().delay_next_reply(seconds);
      },
      "seconds"_a, "Holds the next reply back this many real seconds.");
  cls.def(
      "emit_garbage",
      [](Simulator& s, const py::bytes& data) { s.server().emit_garbage(std::string(data)); },
      "data"_a, "Writes these bytes on the line at once.");
  cls.def(
      "hang_up",
      [](Simulator& s, bool on_next_request) {
        if (on_next_request) {
          s.server().hang_up_on_next_request();
          return;
        }
        const bool done = without_gil([&] { return s.server().hang_up(); });
        if (!done && !s.server().closed()) {
          throw py::value_error("the serving thread did not hang up within 5 s");
        }
      },
      py::kw_only(), "on_next_request"_a = false, R"doc(
Drops the line, now (returning once it is done) or when the next request
arrives (that request is not carried out). A pseudo-terminal is replaced by a new one: read `port` again.
Over TCP the client connection is closed; the port stays.)doc");
  cls.def(
      "clear_faults", [](Simulator& s) { s.server().clear_faults(); },
      "Cancels every fault not yet applied.");
  cls.def(
      "request_log", [](Simulator& s) { return s.server().request_log(); },
      "The last requests received (frames without the terminator), oldest first.");
  cls.def("clear_request_log", [](Simulator& s) { s.server().clear_request_log(); });
  cls.def_property_readonly("request_count",
                            [](Simulator& s) { return s.server().request_count(); });
}

}  // namespace mew::python
