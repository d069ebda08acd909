// Every interpreter API name that differs between CPython releases, and every private one
// the module uses, lives here and nowhere else: a new interpreter release needs changes in
// this file only. Each private call is guarded by the versions that export it, with a
// public fallback for the others.
#pragma once

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "module/py_ref.hpp"

namespace kov::compat {

#if PY_VERSION_HEX < 0x03090000
// 3.8 offers vectorcall only under its provisional names.
constexpr unsigned long kTpFlagsVectorcall = _Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* plain_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                  PyObject* kwnames) {
  return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
// 3.8 has no public accessor; the thread state's field is part of its (non-limited) API.
inline PyInterpreterState* current_interpreter() { return PyThreadState_Get()->interp; }
#else
constexpr unsigned long kTpFlagsVectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* plain_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                  PyObject* kwnames) {
  return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
inline PyInterpreterState* current_interpreter() { return PyInterpreterState_Get(); }
#endif

// Every call from the module into Python. Python code may release the GIL (a sleep, a bus
// transaction); a thread that takes it back while the interpreter finalises is ended with
// pthread_exit, whose forced unwind then runs the destructors of our frames without the
// GIL: mark the thread, so they leave their references alone, and let the unwind go on.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
#if defined(__GLIBCXX__)
  try {
    return plain_vectorcall(callable, args, nargsf, kwnames);
  } catch (abi::__forced_unwind&) {
    unwind_detail::thread_is_ending = true;
    throw;
  }
#else
  return plain_vectorcall(callable, args, nargsf, kwnames);
#endif
}

// One level of the interpreter's recursion count, as its own calls take it: true (with
// RecursionError set) when the limit is reached. 3.8 spells these as macros around
// private names; later releases export them as functions.
inline bool enter_recursive_call(const char* where) { return Py_EnterRecursiveCall(where) != 0; }
inline void leave_recursive_call() { Py_LeaveRecursiveCall(); }

// `sys.flags.optimize` as it stands now (python -O sets it before any import).
inline bool assertions_enabled() {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  return Py_OptimizeFlag == 0;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

// The object a weak reference points at (a new reference), None when it has died; null
// with an exception set when `ref` is no weak reference.
inline Ref weakref_target(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* target = nullptr;
  if (PyWeakref_GetRef(ref, &target) < 0) return {};
  return target != nullptr ? Ref::steal(target) : Ref::none();
#else
  return Ref::borrow(PyWeakref_GetObject(ref));
#endif
}

// Finds `obj.name` as the interpreter's method-call opcode does. Returns 1 with the plain
// function in `*method` when calling it with `obj` prepended is the same as calling the
// bound method (no bound method is created); otherwise 0 with the attribute itself (or null
// and an exception set). Where the interpreter exports no such lookup, the attribute.
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) {
#if PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030D0000
  return _PyObject_GetMethod(obj, name, method);
#else
#if PY_VERSION_HEX < 0x03090000
  // 3.8 exports no such lookup; this one gives what generic attribute lookup would, and
  // leaves every case but an unshadowed method of the type to that lookup.
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    PyObject* found = _PyType_Lookup(type, name);  // borrowed
    if (found != nullptr && PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR) &&
        Py_TYPE(found)->tp_descr_set == nullptr) {
      Ref descr = Ref::borrow(found);
      PyObject** dict_slot = _PyObject_GetDictPtr(obj);
      Ref dict = Ref::borrow(dict_slot != nullptr ? *dict_slot : nullptr);
      if (dict) {
        PyObject* own = PyDict_GetItemWithError(dict.get(), name);
        if (own != nullptr || PyErr_Occurred()) {
          *method = Ref::borrow(own).release();
          return 0;
        }
      }
      *method = descr.release();
      return 1;
    }
  }
#endif
  *method = PyObject_GetAttr(obj, name);
  return 0;
#endif
}

// The exception pending now, taken out of the interpreter's error indicator (none: null).
// From 3.12 an exception is one object; before, the (type, value, traceback) triple is
// normalised into its value with the traceback attached, so both spell it the same way.
inline Ref take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

// Makes `exc` (taken by take_raised_exception) the pending exception again.
inline void set_raised_exception(Ref exc) {
  if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* value = exc.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace kov::compat
