// Creating, opening, closing and finalising a controller.
#include "controller/operations.hpp"
#include "device/master_calls.hpp"
#include "module/call_support.hpp"
#include "module/exit_finalisation.hpp"

namespace kov {

namespace {

const Name kMasterAttr{"_KOVAxisController__mew"};
const Name kBaudrateAttr{"baudrate"};
const Name kPpmmAttr{"_ppmm"};
const Name kFindOThreadsAttr{"_find_o_threads"};
const Name kFindingOMethodAttr{"_finding_o_method"};
const Name kLimitFirstThenBackward{"LimitFirstThenBackward"};
const Name kBaudrateKeyword{"baudrate"};
const Name kClose{"close"};

bool set_attr(PyObject* obj, const Name& name, PyObject* value) {
  PyObject* key = name.get();
  return key != nullptr && value != nullptr && PyObject_SetAttr(obj, key, value) == 0;
}

Ref new_master(const Call& c, PyObject* port, PyObject* baudrate) {
  Ref mew_master = global(c, globals::kMewMaster);
  if (!mew_master) return {};
  return call_with_keywords(mew_master.get(), {port}, {{kBaudrateKeyword, baudrate}});
}

Ref init(const Call& c) {
  PyObject* self = c.self();
  PyObject* port = c.arg(1);
  PyObject* baudrate = c.arg(2);
  if (!track_controller(c.module(), self)) return {};
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
    mew = new_master(c, port, baudrate);
    if (!mew) return {};
  } else {
    mew = Ref::borrow(port);
  }
  Ref ppmm = Ref::steal(PyDict_New());
  Ref threads = Ref::steal(PyDict_New());
  Ref method_enum = global(c, globals::kFindingOMethod);
  Ref method = method_enum ? attribute(method_enum.get(), kLimitFirstThenBackward) : Ref();
  if (!set_attr(self, kMasterAttr, mew.get()) || !set_attr(self, kBaudrateAttr, baudrate) ||
      !set_attr(self, kPpmmAttr, ppmm.get()) || !set_attr(self, kFindOThreadsAttr, threads.get()) ||
      !set_attr(self, kFindingOMethodAttr, method.get()))
    return {};
  if (!log_info(c, {"KOV Axis Controller created with port ", port, ", baudrate ", baudrate}))
    return {};
  return Ref::none();
}

Ref close(const Call& c) {
  PyObject* self = c.self();
  PyObject* force = c.arg(1);
  if (!log_info(c, {"KOV Axis Controller closed. force = ", force})) return {};
  Ref mew = device::master(self);
  if (!mew) return {};
  if (mew.get() == Py_None) return Ref::none();
  Ref threads = attribute(self, kFindOThreadsAttr);
  if (!threads) return {};
  const int busy = PyObject_IsTrue(threads.get());
  const int forced = busy > 0 ? PyObject_IsTrue(force) : 0;
  if (busy < 0 || forced < 0) return {};
  if (busy && !forced)
    return raise_text(PyExc_RuntimeError, "Not all axis are ready for close. Some is finding o.");
  if (!call_method(mew.get(), kClose, {}) || !set_attr(self, kMasterAttr, Py_None)) return {};
  return Ref::none();
}

// A controller whose construction failed before it stored a master has nothing to
// release: its closed line is written and it goes quietly, instead of an ignored
// AttributeError report from the finaliser.
Ref del(const Call& c) {
  PyObject* self = c.self();
  Ref result = call_own(c, kClose, {});
  if (result || !PyErr_ExceptionMatches(PyExc_AttributeError)) return result;
  SavedError close_error;
  Ref mew = device::master(self);
  if (!mew && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return Ref::none();
  }
  PyErr_Clear();
  close_error.restore();
  return {};
}

Ref open(const Call& c) {
  PyObject* self = c.self();
  PyObject* port = c.arg(1);
  Ref mew = device::master(self);
  if (!mew) return {};
  if (mew.get() != Py_None)
    return raise_text(PyExc_RuntimeError,
                      "设备已经打开，要重新打开或打开其他端口，请先调用 close 关闭设备。");
  Ref baudrate = attribute(self, kBaudrateAttr);
  Ref created = baudrate ? new_master(c, port, baudrate.get()) : Ref();
  if (!created || !set_attr(self, kMasterAttr, created.get())) return {};
  if (!log_info(c, {"KOV Axis Controller is opened again with port ", port, "."})) return {};
  return Ref::none();
}

}  // namespace

const Operation kInit{
    "__init__",
    kController,
    {{"port"}, {"baudrate", Accept::Any, nullptr, Default::integer_value(115200)}},
    nullptr,
    nullptr,
    init};
const Operation kClose{"close", kController, {{"force", Accept::Any, nullptr, Default::no()}},
                       nullptr, nullptr,     close};
const Operation kDel{"__del__", kController, {}, nullptr, nullptr, del};
const Operation kOpen{"open", kController, {{"port"}}, nullptr, nullptr, open};

}  // namespace kov
