#include <pybind11/pybind11.h>

#include <string>

#include "mew/python/bindings.hpp"

namespace py = pybind11;

PYBIND11_MODULE(zol_mew, m) {
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
