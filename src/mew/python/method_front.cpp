#include "mew/python/method_front.hpp"

#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace mew::python {

PyObject* install_front(py::handle cls, const char* name, FrontFunction front, PyMethodDef& def) {
  const py::object method = cls.attr("__dict__")[name];
  if (!PyInstanceMethod_Check(method.ptr())) {
    throw std::logic_error(std::string(name) + " is not a method bound by pybind11");
  }
  PyObject* function = PyInstanceMethod_GET_FUNCTION(method.ptr());
  if (!PyCFunction_Check(function)) {
    throw std::logic_error(std::string(name) + " is not a method bound by pybind11");
  }
  // The name and docstring belong to the pybind11 record, which the front
  // keeps alive as its `self`.
  const auto* bound = reinterpret_cast<PyCFunctionObject*>(function);
  def.ml_name = bound->m_ml->ml_name;
  def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(front));
  def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
  def.ml_doc = bound->m_ml->ml_doc;
  const auto callable =
      py::reinterpret_steal<py::object>(PyCFunction_NewEx(&def, bound->m_self, bound->m_module));
  if (!callable) throw py::error_already_set();
  const auto wrapped = py::reinterpret_steal<py::object>(PyInstanceMethod_New(callable.ptr()));
  if (!wrapped) throw py::error_already_set();
  py::setattr(cls, name, wrapped);
  return py::handle(function).inc_ref().ptr();  // never released, like the class itself
}

PyObject* call_pybind11(PyObject* function, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return as_python_call([&]() -> PyObject* {
    py::tuple positional(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) positional[i] = py::handle(args[i]);
    if (kwnames == nullptr) return PyObject_Call(function, positional.ptr(), nullptr);
    py::dict keywords;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i)
      keywords[py::handle(PyTuple_GET_ITEM(kwnames, i))] = py::handle(args[nargs + i]);
    return PyObject_Call(function, positional.ptr(), keywords.ptr());
  });
}

}  // namespace mew::python
