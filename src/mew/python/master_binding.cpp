#include "mew/python/bindings.hpp"

namespace mew::python {

void bind_master(pybind11::module_& /*m*/) {}

}  // namespace mew::python
