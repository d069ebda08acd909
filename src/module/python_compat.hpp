// The few interpreter API names that differ between CPython 3.8 and later releases.
#pragma once

#include "module/py_ref.hpp"

namespace kov::compat {

#if PY_VERSION_HEX < 0x03090000
// 3.8 offers vectorcall only under its provisional names.
constexpr unsigned long kTpFlagsVectorcall = _Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
  return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
inline PyInterpreterState* current_interpreter() { return _PyInterpreterState_Get(); }
#else
constexpr unsigned long kTpFlagsVectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
  return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
inline PyInterpreterState* current_interpreter() { return PyInterpreterState_Get(); }
#endif

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

}  // namespace kov::compat
