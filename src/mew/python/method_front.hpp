// A vectorcall front for a method bound by pybind11.
//
// pybind11's dispatcher copies every call's arguments into vectors and tries
// its casters on each; for the calls that matter (positional arguments of the
// exact built-in types) a front reads them directly and runs the same C++
// body. Any other call (keywords, other types, another count) goes on to the
// pybind11 method unchanged, so its conversions, errors and messages stay the
// only ones. The front takes over the method's name, docstring and pybind11
// record, and is wrapped like pybind11's methods: MewMaster looks the same.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>

namespace mew::python {

// A METH_FASTCALL | METH_KEYWORDS function; `record` is the pybind11 record.
using FrontFunction = PyObject* (*)(PyObject* record, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);

// Puts `front` (described in `def`, which must outlive the process's Python
// objects) in place of cls.<name>, a method pybind11 bound. Returns the
// pybind11 function, kept for the process's life, for call_pybind11.
PyObject* install_front(pybind11::handle cls, const char* name, FrontFunction front,
                        PyMethodDef& def);

// Passes a call a front did not take on to the pybind11 function.
PyObject* call_pybind11(PyObject* function, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// Runs body(), which returns a new reference, as pybind11's dispatcher runs a
// bound function: a C++ exception becomes the Python exception that the
// registered translators make of it, and the interpreter's forced unwind of
// the thread passes through (so: not noexcept).
template <class F>
PyObject* as_python_call(F&& body) {
  try {
    return body();
  } catch (pybind11::error_already_set& e) {
    e.restore();
    return nullptr;
  } catch (...) {
    // Not a C++ exception (current_exception() is empty then): the forced unwind by which
    // the interpreter ends this thread at exit. It must go on; no Python here.
    if (!std::current_exception()) throw;
    pybind11::detail::try_translate_exceptions();
    return nullptr;
  }
}

}  // namespace mew::python
