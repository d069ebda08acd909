#include "module/exit_finalisation.hpp"

#include <utility>

#include "module/python_compat.hpp"

// A controller alive at interpreter exit must stay usable for as long as the
// application's own clean-up may run: `atexit` handlers registered before this module
// was imported (they run after ours), `weakref.finalize` callbacks, and finalisers of the
// application's objects. So nothing closes a controller at `atexit`; each is finalised
// when the interpreter tears it down, with two arrangements made at exit:
//
// - After `sys.modules` is emptied, one garbage collection finalises the application's
//   objects and the controllers they hold, in the order of the collector's lists: a
//   controller created first would usually be finalised first, closing the line under
//   the object that wanted to stop the axis. The exit hook collects once (leaving every
//   object in the oldest generation) and then moves each live controller to the end of
//   the youngest, so that controllers come after the objects made before exit.
// - A controller still alive after that collection is held by a module that outlives it
//   and would be finalised while the interpreter wipes module globals: its closed line
//   would fail on the cleared `logger` and the logging module's own names, with an
//   ignored-exception report. The interpreter wipes the surviving modules in reverse
//   order of their entry in `sys.modules`; the exit hook puts a marker module last, so it
//   is wiped first, and clearing its namespace frees a trigger that finalises the
//   controllers still alive while everything else still works.

namespace kov {

namespace {

// Process-wide: the module lives in one interpreter per process.
PyObject* live_controllers = nullptr;  // list of weak references, in creation order
PyObject* teardown_marker = nullptr;   // the module wiped first
bool teardown_prepared = false;

constexpr const char kMarkerName[] = "_zol_kov_teardown";
constexpr const char kTriggerName[] = "zol_kov._teardown_trigger";
char trigger_target;  // a capsule needs a non-null pointer

// Drops references to controllers that have gone, so the list stays as long as the
// number of live controllers.
bool forget_dead_controllers() {
  for (Py_ssize_t i = PyList_GET_SIZE(live_controllers); i-- > 0;) {
    Ref target = compat::weakref_target(PyList_GET_ITEM(live_controllers, i));
    if (!target ||
        (target.get() == Py_None && PyList_SetSlice(live_controllers, i, i + 1, nullptr) < 0))
      return false;
  }
  return true;
}

// Runs while the interpreter wipes the marker module's namespace, before any other.
void finalise_surviving_controllers(PyObject* /*trigger*/) {
  Ref pending = compat::take_raised_exception();
  if (live_controllers != nullptr) {
    Ref refs = Ref::steal(PyList_GetSlice(live_controllers, 0, PY_SSIZE_T_MAX));
    for (Py_ssize_t i = 0; refs && i < PyList_GET_SIZE(refs.get()); ++i) {
      Ref controller = compat::weakref_target(PyList_GET_ITEM(refs.get(), i));
      // Writes the closed line and closes the master; a failure is reported and ignored
      // as for any finaliser. The interpreter marks the object, so it runs once.
      if (controller && controller.get() != Py_None) PyObject_CallFinalizer(controller.get());
    }
    PyErr_Clear();
  }
  // The interpreter holds the marker while it wipes it.
  Py_CLEAR(teardown_marker);
  compat::set_raised_exception(std::move(pending));
}

// Puts the marker module at the end of `sys.modules`, with the trigger in its namespace.
bool place_teardown_marker() {
  Ref marker = Ref::steal(PyModule_New(kMarkerName));
  Ref trigger =
      marker
          ? Ref::steal(PyCapsule_New(&trigger_target, kTriggerName, finalise_surviving_controllers))
          : Ref();
  if (!trigger || PyModule_AddObject(marker.get(), "trigger", trigger.get()) < 0) return false;
  trigger.release();                               // PyModule_AddObject took it
  PyObject* modules = PySys_GetObject("modules");  // borrowed
  if (modules == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "sys.modules is gone");
    return false;
  }
  Ref name = Ref::steal(PyUnicode_FromString(kMarkerName));
  if (!name || PyObject_SetItem(modules, name.get(), marker.get()) < 0) return false;
  Py_XSETREF(teardown_marker, marker.release());
  return true;
}

// The `atexit` hook.
PyObject* prepare_for_teardown(PyObject* /*module*/, PyObject* /*unused*/) {
  if (teardown_prepared) Py_RETURN_NONE;
  teardown_prepared = true;
  if (live_controllers != nullptr) {
    // gc.collect() rather than PyGC_Collect(): it collects also while the application
    // has switched automatic collection off.
    Ref gc = Ref::steal(PyImport_ImportModule("gc"));
    Ref collected = gc ? Ref::steal(PyObject_CallMethod(gc.get(), "collect", nullptr)) : Ref();
    if (!collected || !forget_dead_controllers()) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(live_controllers); ++i) {
      Ref controller = compat::weakref_target(PyList_GET_ITEM(live_controllers, i));
      if (!controller) return nullptr;
      if (controller.get() == Py_None || !PyObject_IS_GC(controller.get())) continue;
      PyObject_GC_UnTrack(controller.get());
      PyObject_GC_Track(controller.get());  // appended to the youngest generation
    }
  }
  if (!place_teardown_marker()) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_prepare_for_teardown", prepare_for_teardown, METH_NOARGS, nullptr};

}  // namespace

bool track_controller(PyObject* /*module*/, PyObject* controller) {
  if (live_controllers == nullptr) {
    live_controllers = PyList_New(0);
    if (live_controllers == nullptr) return false;
  }
  if (!forget_dead_controllers()) return false;
  Ref ref = Ref::steal(PyWeakref_NewRef(controller, nullptr));
  return ref && PyList_Append(live_controllers, ref.get()) == 0;
}

bool register_exit_finalisation(PyObject* module) {
  Ref hook = Ref::steal(PyCFunction_NewEx(&exit_hook_def, module, nullptr));
  Ref atexit = hook ? Ref::steal(PyImport_ImportModule("atexit")) : Ref();
  Ref result =
      atexit ? Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get())) : Ref();
  return static_cast<bool>(result);
}

}  // namespace kov
