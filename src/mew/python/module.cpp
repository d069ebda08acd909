#include <pybind11/pybind11.h>

#include <string>

#include "mew/python/bindings.hpp"

namespace py = pybind11;

// The bindings' own entry; PyInit_zol_mew below decides whether they may run.
PYBIND11_MODULE(zol_mew_bindings, m) {
  m.doc() = "Register-protocol bus master for the motion modules (and their simulator).";
  mew::python::bind_master(m);
  mew::python::bind_codec(m);
  mew::python::bind_simulator(m);
  // __version__ comes from the installed distribution's metadata, looked up on first
  // use: importing importlib.metadata costs tens of milliseconds at every import.
  m.def("__getattr__", [](const std::string& name) -> py::object {
    if (name != "__version__") {
      throw py::attribute_error("module 'zol_mew' has no attribute '" + name + "'");
    }
    const py::module_ metadata = py::module_::import("importlib.metadata");
    try {
      return metadata.attr("version")("zol-kov");
    } catch (py::error_already_set& e) {
      // A development build used in place (PYTHONPATH) has no metadata.
      if (!e.matches(metadata.attr("PackageNotFoundError"))) throw;
      return py::str("0+unknown");
    }
  });
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
