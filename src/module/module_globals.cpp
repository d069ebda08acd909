#include "module/module_globals.hpp"

namespace kov {

Ref lookup_global(PyObject* globals, PyObject* key) {
  if (key == nullptr) return {};
  PyObject* value = PyDict_GetItemWithError(globals, key);  // borrowed
  if (value == nullptr && !PyErr_Occurred())
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
  return Ref::borrow(value);
}

Ref lookup_global(PyObject* globals, const char* name) {
  Ref key = Ref::steal(PyUnicode_FromString(name));
  return key ? lookup_global(globals, key.get()) : Ref();
}

}  // namespace kov
