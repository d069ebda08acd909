#include "module/exit_finalisation.hpp"

#include "module/module_state.hpp"
#include "module/python_compat.hpp"

namespace kov {

namespace {

// Late in interpreter shutdown, module globals (`logger`, the logging module's own names)
// are cleared before the last objects die, so a finaliser that logs would fail there and
// print an ignored-exception report. The hook runs with the `atexit` callbacks, while
// everything still works, and finalises each live controller once: the interpreter marks
// an object whose finaliser has run and will not run it again when it is freed.
PyObject* finalise_live_controllers(PyObject* module, PyObject* /*unused*/) {
  ModuleState* state = state_of(module);
  if (state == nullptr || state->live_controllers == nullptr) Py_RETURN_NONE;
  Ref refs = Ref::steal(PyList_GetSlice(state->live_controllers, 0, PY_SSIZE_T_MAX));
  if (!refs) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(refs.get()); ++i) {
    Ref controller = compat::weakref_target(PyList_GET_ITEM(refs.get(), i));
    if (!controller) return nullptr;
    if (controller.get() != Py_None) PyObject_CallFinalizer(controller.get());
  }
  if (PyList_SetSlice(state->live_controllers, 0, PY_SSIZE_T_MAX, nullptr) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_finalise_live_controllers", finalise_live_controllers, METH_NOARGS,
                             nullptr};

}  // namespace

bool track_controller(PyObject* module, PyObject* controller) {
  ModuleState* state = state_of(module);
  if (state == nullptr || state->live_controllers == nullptr) return true;
  PyObject* list = state->live_controllers;
  // Drop references to controllers that have gone, so the list stays as long as the
  // number of live controllers.
  for (Py_ssize_t i = PyList_GET_SIZE(list); i-- > 0;) {
    Ref target = compat::weakref_target(PyList_GET_ITEM(list, i));
    if (!target || (target.get() == Py_None && PyList_SetSlice(list, i, i + 1, nullptr) < 0))
      return false;
  }
  Ref ref = Ref::steal(PyWeakref_NewRef(controller, nullptr));
  return ref && PyList_Append(list, ref.get()) == 0;
}

bool register_exit_finalisation(PyObject* module) {
  Ref hook = Ref::steal(PyCFunction_NewEx(&exit_hook_def, module, nullptr));
  Ref atexit = hook ? Ref::steal(PyImport_ImportModule("atexit")) : Ref();
  Ref result =
      atexit ? Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get())) : Ref();
  return static_cast<bool>(result);
}

}  // namespace kov
