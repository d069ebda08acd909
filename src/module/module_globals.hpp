// Module globals looked up by name, as a name expression in the module's own code would.
#pragma once

#include "module/py_ref.hpp"

namespace kov {

// The global `key` (a str) of the module whose dict is `globals`; NameError "name '...' is
// not defined" when it is not bound.
Ref lookup_global(PyObject* globals, PyObject* key);
Ref lookup_global(PyObject* globals, const char* name);

}  // namespace kov
