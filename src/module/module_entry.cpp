// Module entry: multi-phase initialisation and the module's globals, bound in a fixed order.
#include <initializer_list>
#include <utility>

#include "controller/controller_class.hpp"
#include "module/call_support.hpp"
#include "module/enumerations.hpp"
#include "module/exit_finalisation.hpp"
#include "module/file_log_handler.hpp"
#include "module/lookup_cache.hpp"
#include "module/module_globals.hpp"
#include "module/module_state.hpp"
#include "module/native_function.hpp"
#include "module/python_compat.hpp"

namespace kov {

namespace {

// The module keeps process-wide state (interned names, the executed module), so it
// refuses a second interpreter and a second execution.
PyInterpreterState* owning_interpreter = nullptr;
PyObject* executed_module = nullptr;  // weak reference to the module that was executed

struct Import {
  const char* attribute;
  const char* global;
};

// `from <module> import <attribute> as <global>, ...` at level 0.
bool bind_from(PyObject* module, const char* source, std::initializer_list<Import> names) {
  PyObject* globals = PyModule_GetDict(module);
  Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!fromlist) return false;
  Py_ssize_t i = 0;
  for (const Import& n : names) {
    PyObject* attr = PyUnicode_FromString(n.attribute);
    if (attr == nullptr) return false;
    PyTuple_SET_ITEM(fromlist.get(), i++, attr);
  }
  Ref imported =
      Ref::steal(PyImport_ImportModuleLevel(source, globals, nullptr, fromlist.get(), 0));
  if (!imported) return false;
  for (const Import& n : names) {
    Ref value = Ref::steal(PyObject_GetAttrString(imported.get(), n.attribute));
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      Ref file = Ref::steal(PyModule_GetFilenameObject(imported.get()));
      if (!file) {
        PyErr_Clear();
        file = Ref::steal(PyUnicode_FromString("unknown location"));
        if (!file) return false;
      }
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s' (%U)", n.attribute, source,
                   file.get());
      return false;
    }
    if (PyDict_SetItemString(globals, n.global, value.get()) < 0) return false;
  }
  return true;
}

bool set_global(PyObject* module, const char* name, const Ref& value) {
  return value && PyDict_SetItemString(PyModule_GetDict(module), name, value.get()) == 0;
}

Ref get_global(PyObject* module, const char* name) {
  return lookup_global(PyModule_GetDict(module), name);
}

Ref call_method_str(PyObject* obj, const char* method, std::initializer_list<PyObject*> args) {
  Ref fn = Ref::steal(PyObject_GetAttrString(obj, method));
  return fn ? call(fn.get(), args) : Ref();
}

// The logger, the handler class, and the handler writing to a file under ./log named for
// the day of import.
bool set_up_logging(PyObject* module) {
  Ref get_logger = get_global(module, "_get_logger");
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  Ref logger = get_logger && name ? call(get_logger.get(), {name.get()}) : Ref();
  if (!set_global(module, "logger", logger)) return false;
  Ref info = get_global(module, "_LOG_INFO");
  if (!info || !call_method_str(logger.get(), "setLevel", {info.get()})) return false;

  if (!set_global(module, "FileLogHandler", make_file_log_handler_class(module))) return false;

  Ref date = get_global(module, "_date");
  Ref today = date ? call_method_str(date.get(), "today", {}) : Ref();
  if (!set_global(module, "_today", today)) return false;

  Ref path_type = get_global(module, "_Path");
  Ref log_dir_name = Ref::steal(PyUnicode_FromString("log"));
  Ref log_path = path_type && log_dir_name ? call(path_type.get(), {log_dir_name.get()}) : Ref();
  if (!set_global(module, "_log_path", log_path)) return false;
  {
    Ref mkdir = Ref::steal(PyObject_GetAttrString(log_path.get(), "mkdir"));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "exist_ok", Py_True));
    Ref args = Ref::steal(PyTuple_New(0));
    if (!mkdir || !kwargs || !args ||
        !Ref::steal(PyObject_Call(mkdir.get(), args.get(), kwargs.get())))
      return false;
  }

  Ref year = Ref::steal(PyObject_GetAttrString(today.get(), "year"));
  Ref month = year ? Ref::steal(PyObject_GetAttrString(today.get(), "month")) : Ref();
  Ref day = month ? Ref::steal(PyObject_GetAttrString(today.get(), "day")) : Ref();
  Ref two_digits = Ref::steal(PyUnicode_FromString("02"));
  if (!day || !two_digits) return false;
  Ref month_text = Ref::steal(PyObject_Format(month.get(), two_digits.get()));
  Ref day_text = month_text ? Ref::steal(PyObject_Format(day.get(), two_digits.get())) : Ref();
  Ref file_name = day_text ? text({"zol_kov-", year, month_text, day_text, ".log"}) : Ref();
  Ref log_filename =
      file_name ? Ref::steal(PyNumber_TrueDivide(log_path.get(), file_name.get())) : Ref();
  if (!set_global(module, "_log_filename", log_filename)) return false;

  Ref handler_class = get_global(module, "FileLogHandler");
  Ref filename_text = Ref::steal(PyObject_Str(log_filename.get()));
  Ref handler =
      handler_class && filename_text ? call(handler_class.get(), {filename_text.get()}) : Ref();
  if (!set_global(module, "_file_log_handler", handler)) return false;

  Ref formatter_type = get_global(module, "_LogFormatter");
  Ref format = Ref::steal(PyUnicode_FromString("%(asctime)s - %(levelname)s - %(message)s"));
  Ref formatter = formatter_type && format ? call(formatter_type.get(), {format.get()}) : Ref();
  if (!set_global(module, "_formatter", formatter)) return false;
  return call_method_str(handler.get(), "setFormatter", {formatter.get()}) &&
         call_method_str(logger.get(), "addHandler", {handler.get()});
}

bool init_state(PyObject* module) {
  ModuleState* state = state_of(module);
  if (state == nullptr) return false;
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  Ref open = builtins ? Ref::steal(PyObject_GetAttrString(builtins.get(), kOpenName)) : Ref();
  if (!open) return false;
  Ref weakref = Ref::steal(PyImport_ImportModule("weakref"));
  Ref dictionary_type =
      weakref ? Ref::steal(PyObject_GetAttrString(weakref.get(), "WeakKeyDictionary")) : Ref();
  Ref runs = dictionary_type ? call(dictionary_type.get(), {}) : Ref();
  if (!runs) return false;
  Py_XSETREF(state->open, open.release());
  Py_XSETREF(state->homing_runs, runs.release());
  return true;
}

int exec_module(PyObject* module) {
  if (executed_module != nullptr) {
    Ref executed = compat::weakref_target(executed_module);
    if (!executed) return -1;
    if (executed.get() == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'zol_kov' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  if (!ready_function_type() || !init_state(module)) return -1;
  start_dict_watch();

  const bool ok =
      bind_from(module, "zol_mew", {{"MewMaster", "_MewMaster"}}) &&
      bind_from(module, "datetime", {{"date", "_date"}}) &&
      bind_from(module, "enum", {{"IntEnum", "_IntEnum"}}) &&
      bind_from(module, "logging",
                {{"getLogger", "_get_logger"}, {"Formatter", "_LogFormatter"}}) &&
      bind_from(module, "logging",
                {{"INFO", "_LOG_INFO"}, {"Handler", "_LogHandler"}, {"LogRecord", "_LogRecord"}}) &&
      bind_from(module, "pathlib", {{"Path", "_Path"}}) &&
      bind_from(module, "threading", {{"Thread", "_Thread"}}) &&
      bind_from(module, "time", {{"sleep", "_sleep"}, {"time", "_now"}}) &&
      bind_from(module, "typing",
                {{"Optional", "_Optional"}, {"Union", "_Union"}, {"Dict", "_Dict"}}) &&
      set_up_logging(module) && set_global(module, "_MaxPulsePerSecond", integer(70000)) &&
      add_enumerations(module) &&
      set_global(module, "KOVAxisController", make_controller_class(module)) &&
      register_exit_finalisation(module);
  if (!ok) return -1;
  executed_module = PyWeakref_NewRef(module, nullptr);
  if (executed_module == nullptr) return -1;
  // Claimed only now: an import that failed (zol_mew refuses a sub-interpreter on older
  // interpreters) leaves the module free for another interpreter.
  owning_interpreter = compat::current_interpreter();
  return 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef* /*def*/) {
  if (owning_interpreter != nullptr && owning_interpreter != compat::current_interpreter()) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  struct Copy {
    const char* from;
    const char* to;
    bool optional;
  };
  for (const Copy& c : {Copy{"loader", "__loader__", false}, Copy{"origin", "__file__", false},
                        Copy{"parent", "__package__", false},
                        Copy{"submodule_search_locations", "__path__", true}}) {
    Ref v = Ref::steal(PyObject_GetAttrString(spec, c.from));
    if (!v) return nullptr;
    if (c.optional && v.get() == Py_None) continue;
    if (PyDict_SetItemString(dict, c.to, v.get()) < 0) return nullptr;
  }
  return module.release();
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of(module);
  if (state != nullptr) {
    Py_VISIT(state->open);
    Py_VISIT(state->homing_runs);
  }
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* state = state_of(module);
  if (state != nullptr) {
    Py_CLEAR(state->open);
    Py_CLEAR(state->homing_runs);
  }
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zol_kov",
    nullptr,  // no docstring
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

}  // namespace kov

// The build hides symbols by default; 3.8's PyMODINIT_FUNC does not re-export the entry.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_zol_kov() {
  return PyModuleDef_Init(&kov::module_def);
}
