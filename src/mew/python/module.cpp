#include <pybind11/pybind11.h>

#include "mew/python/bindings.hpp"

PYBIND11_MODULE(zol_mew, m) {
  m.doc() = "Register-protocol bus master for the motion modules (and their simulator).";
  mew::python::bind_master(m);
  mew::python::bind_codec(m);
  mew::python::bind_simulator(m);
}
