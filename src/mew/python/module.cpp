#include <pybind11/pybind11.h>

#include "mew/python/bindings.hpp"

// The bindings' own entry; PyInit_zol_mew below decides whether they may run.
PYBIND11_MODULE(zol_mew_bindings, m) {
  m.doc() = "Register-protocol bus master for the motion modules (and their simulator).";
  mew::python::bind_master(m);
  mew::python::bind_codec(m);
  mew::python::bind_simulator(m);
}

// Before 3.12, pybind11 keeps its state for the whole process and takes the GIL through
// the main interpreter's thread state, which deadlocks when the import runs in a
// sub-interpreter (embedders such as mod_wsgi run code there): refuse it instead. From
// 3.12 on pybind11 tells the interpreter itself which interpreters the module supports.
extern "C" PYBIND11_EXPORT PyObject* PyInit_zol_mew() {
#if PY_VERSION_HEX < 0x030C0000
  if (PyThreadState_Get()->interp != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "zol_mew can only be imported in the main interpreter on "
                    "Python " PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(
                        PY_MINOR_VERSION) " (sub-interpreters need Python 3.12 or newer)");
    return nullptr;
  }
#endif
  return PyInit_zol_mew_bindings();
}
