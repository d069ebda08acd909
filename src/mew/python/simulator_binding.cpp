#include "mew/python/bindings.hpp"

namespace mew::python {

// Registers the simulator's Python classes; filled in together with src/mew/sim.
void bind_simulator(pybind11::module_& /*m*/) {}

}  // namespace mew::python
