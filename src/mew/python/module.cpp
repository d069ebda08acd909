#include <pybind11/pybind11.h>

#include <string>

#include "mew/python/bindings.hpp"

namespace py = pybind11;

// The bindings' own module body; the entry below decides whether it may run.
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

// The binding keeps per-process state (its exception classes, the `zol_mew` logger, the
// type information of its classes), and before 3.12 pybind11 takes the GIL through the
// main interpreter's thread state, which deadlocks when the import runs in a
// sub-interpreter (embedders such as mod_wsgi run code there): refuse any
// sub-interpreter instead, so the main interpreter keeps the module to itself. Checked in
// the entry and again when the module executes: from 3.13 the interpreter runs an entry
// in the main interpreter even for an import in a sub-interpreter.
namespace {

bool refuse_sub_interpreter() {
  if (PyThreadState_Get()->interp == PyInterpreterState_Main()) return false;
  PyErr_SetString(PyExc_ImportError,
                  "zol_mew can only be imported in the main interpreter (it keeps "
                  "per-process state)");
  return true;
}

int exec_zol_mew(PyObject* module) {
  return refuse_sub_interpreter() ? -1 : pybind11_exec_zol_mew_bindings(module);
}

PyModuleDef_Slot zol_mew_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_zol_mew)},
                                    {0, nullptr}};
PyModuleDef zol_mew_def = {PyModuleDef_HEAD_INIT, "zol_mew", nullptr, 0,      nullptr,
                           zol_mew_slots,         nullptr,   nullptr, nullptr};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_zol_mew() {
  return refuse_sub_interpreter() ? nullptr : PyModuleDef_Init(&zol_mew_def);
}
