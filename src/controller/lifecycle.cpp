// Creating, opening, closing and finalising a controller.
#include "controller/attributes.hpp"
#include "controller/operations.hpp"
#include "module/call_support.hpp"
#include "module/enumerations.hpp"
#include "module/exit_finalisation.hpp"

namespace kov {

namespace {

constexpr Param kPort{"port"};
constexpr Param kBaudrate{attributes::kBaudrateName, Accept::Any, nullptr,
                          Default::integer_value(115200)};
constexpr Param kForce{"force", Accept::Any, nullptr, Default::no()};

Ref new_master(const Call& c, PyObject* port, PyObject* baudrate) {
  Ref mew_master = global(c, globals::kMewMaster);
  if (!mew_master) return {};
  return call_with_keywords(mew_master.get(), {port}, {{attributes::kBaudrate, baudrate}});
}

Ref init(const Args<kPort, kBaudrate>& a) {
  PyObject* self = a.self();
  PyObject* port = a.arg<kPort>();
  PyObject* baudrate = a.arg<kBaudrate>();
  if (!track_controller(a.module(), self)) return {};
  Ref mew;
  if (port == Py_None) {
    mew = Ref::none();
  } else if (PyUnicode_Check(port)) {
    // An empty name would otherwise be stored as the master itself: a controller that
    // counts as open while every device access fails.
    if (PyUnicode_GET_LENGTH(port) == 0)
      return raise_text(PyExc_ValueError,
                        "port must be a serial port name, a master object or None, not an "
                        "empty string");
    mew = new_master(a, port, baudrate);
    if (!mew) return {};
  } else {
    mew = Ref::borrow(port);
  }
  Ref ppmm = Ref::steal(PyDict_New());
  Ref threads = Ref::steal(PyDict_New());
  Ref method = member(a, finding_o_method::kLimitFirstThenBackward);
  if (!set_attribute(self, attributes::kMaster, mew.get()) ||
      !set_attribute(self, attributes::kBaudrate, baudrate) ||
      !set_attribute(self, attributes::kPpmm, ppmm.get()) ||
      !set_attribute(self, attributes::kFindOThreads, threads.get()) ||
      !set_attribute(self, attributes::kFindingOMethod, method.get()))
    return {};
  if (!log_info(a, {"KOV Axis Controller created with port ", port, ", baudrate ", baudrate}))
    return {};
  return Ref::none();
}

Ref close(const Args<kForce>& a) {
  PyObject* self = a.self();
  PyObject* force = a.arg<kForce>();
  if (!log_info(a, {"KOV Axis Controller closed. force = ", force})) return {};
  Ref mew = master_of(self);
  if (!mew) return {};
  if (mew.get() == Py_None) return Ref::none();
  Ref threads = attribute(self, attributes::kFindOThreads);
  if (!threads) return {};
  const int busy = PyObject_IsTrue(threads.get());
  const int forced = busy > 0 ? PyObject_IsTrue(force) : 0;
  if (busy < 0 || forced < 0) return {};
  if (busy && !forced)
    return raise_text(PyExc_RuntimeError, "Not all axis are ready for close. Some is finding o.");
  if (!call_method(mew.get(), kCloseMethod, {}) ||
      !set_attribute(self, attributes::kMaster, Py_None))
    return {};
  return Ref::none();
}

// A controller whose construction failed before it stored a master has nothing to
// release: its closed line is written and it goes quietly, instead of an ignored
// AttributeError report from the finaliser.
Ref del(const Args<>& a) {
  Ref result = call_own(a, kClose, {});
  if (result || !PyErr_ExceptionMatches(PyExc_AttributeError)) return result;
  SavedError close_error;
  Ref mew = master_of(a.self());
  if (!mew && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return Ref::none();
  }
  PyErr_Clear();
  close_error.restore();
  return {};
}

Ref open(const Args<kPort>& a) {
  PyObject* self = a.self();
  PyObject* port = a.arg<kPort>();
  Ref mew = master_of(self);
  if (!mew) return {};
  if (mew.get() != Py_None)
    return raise_text(PyExc_RuntimeError,
                      "设备已经打开，要重新打开或打开其他端口，请先调用 close 关闭设备。");
  Ref baudrate = attribute(self, attributes::kBaudrate);
  Ref created = baudrate ? new_master(a, port, baudrate.get()) : Ref();
  if (!created || !set_attribute(self, attributes::kMaster, created.get())) return {};
  if (!log_info(a, {"KOV Axis Controller is opened again with port ", port, "."})) return {};
  return Ref::none();
}

}  // namespace

const Operation kInit = row<init>(kInitName);
// Named like the master's `close`, which it calls.
const Operation kClose = row<close>(kCloseMethod.text());
const Operation kDel = row<del>("__del__");
const Operation kOpen = row<open>(kOpenName);

}  // namespace kov
