#include "module/file_log_handler.hpp"

#include "module/call_support.hpp"
#include "module/module_state.hpp"
#include "module/python_compat.hpp"

namespace kov {

namespace {

const Name kFilenameAttr{"_FileLogHandler__filename"};
const Name kLogHandler{"_LogHandler"};
const Name kInit{"__init__"};
const Name kFormat{"format"};
const Name kLock{"lock"};
const Name kAcquire{"acquire"};
const Name kRelease{"release"};
const Name kWrite{"write"};
const Name kClose{"close"};
const Name kEncoding{"encoding"};

Ref handler_init(const Call& c) {
  Ref base = global(c, kLogHandler);
  if (!base || !call_method(base.get(), kInit, {c.self(), c.arg(2)})) return {};
  PyObject* key = kFilenameAttr.get();
  if (key == nullptr || PyObject_SetAttr(c.self(), key, c.arg(1)) < 0) return {};
  return Ref::none();
}

// Opens the file with the `open` captured at import: a record logged while the
// interpreter shuts down (a controller finalised at exit) must still reach the file after
// the builtins have been torn down.
Ref open_for_append(const Call& c, PyObject* filename) {
  ModuleState* state = state_of(c.module());
  if (state == nullptr || state->open == nullptr)
    return raise_text(PyExc_RuntimeError, "zol_kov log handler used after module teardown");
  Ref mode = Ref::steal(PyUnicode_FromString("a"));
  Ref encoding = Ref::steal(PyUnicode_FromString("utf8"));
  Ref kwnames = Ref::steal(PyTuple_Pack(1, kEncoding.get()));
  if (!mode || !encoding || !kwnames) return {};
  PyObject* args[] = {filename, mode.get(), encoding.get()};
  return Ref::steal(compat::vectorcall(state->open, args, 2, kwnames.get()));
}

Ref handler_emit(const Call& c) {
  PyObject* self = c.self();
  Ref formatted = call_method(self, kFormat, {c.arg(1)});
  Ref newline = formatted ? Ref::steal(PyUnicode_FromString("\n")) : Ref();
  Ref message = newline ? Ref::steal(PyNumber_Add(formatted.get(), newline.get())) : Ref();
  Ref lock = message ? attribute(self, kLock) : Ref();
  if (!lock || !call_method(lock.get(), kAcquire, {})) return {};

  Ref filename = attribute(self, kFilenameAttr);
  Ref file = filename ? open_for_append(c, filename.get()) : Ref();
  if (file) {
    call_method(file.get(), kWrite, {message.get()});
    clean_up([&] { return call_method(file.get(), kClose, {}); });
  }
  if (!clean_up([&] { return call_method(lock.get(), kRelease, {}); })) return {};
  return Ref::none();
}

const Operation kHandlerInit{
    "__init__",
    "FileLogHandler",
    {{"filename", Accept::ExactStr, "str"},
     {"level", Accept::ExactInt, "int", Default::module_global("_LOG_INFO")}},
    nullptr,
    nullptr,
    handler_init};

const Operation kHandlerEmit{"emit",  "FileLogHandler", {{"record"}},
                             nullptr, nullptr,          handler_emit};

}  // namespace

Ref make_file_log_handler_class(PyObject* module) {
  PyObject* globals = PyModule_GetDict(module);
  PyObject* base = PyDict_GetItemString(globals, "_LogHandler");
  if (base == nullptr) return raise_text(PyExc_NameError, "name '_LogHandler' is not defined");
  Ref ns = Ref::steal(PyDict_New());
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  Ref name = Ref::steal(PyUnicode_FromString("FileLogHandler"));
  Ref init = make_function(kHandlerInit, module);
  Ref emit = make_function(kHandlerEmit, module);
  Ref bases = Ref::steal(PyTuple_Pack(1, base));
  if (!ns || !module_name || !name || !init || !emit || !bases ||
      PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__init__", init.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "emit", emit.get()) < 0)
    return {};
  return call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), ns.get()});
}

}  // namespace kov
