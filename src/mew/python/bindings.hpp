// Pieces of the zol_mew module, each defined in its own file and registered by
// the module initialiser in module.cpp.
#pragma once

#include <pybind11/pybind11.h>

namespace mew::python {

// MewMaster and its exception classes (master_binding.cpp).
void bind_master(pybind11::module_& m);

// zol_mew._codec, the frame codec for the tests (codec_binding.cpp).
void bind_codec(pybind11::module_& m);

// The device simulator (simulator_binding.cpp).
void bind_simulator(pybind11::module_& m);

}  // namespace mew::python
