#include "module/file_log_handler.hpp"

#include "module/call_support.hpp"
#include "module/class_statement.hpp"
#include "module/module_globals.hpp"
#include "module/module_state.hpp"
#include "module/python_compat.hpp"

namespace kov {

namespace {

constexpr const char* kClassName = "FileLogHandler";
constexpr const char* kBaseGlobal = "_LogHandler";
const Name kFilenameAttr{"_FileLogHandler__filename"};
const Name kFormat{"format"};
const Name kLock{"lock"};
const Name kWrite{"write"};
const Name kEncoding{"encoding"};

constexpr Param kFilename{"filename", Accept::ExactStr, "str"};
constexpr Param kLevel{"level", Accept::ExactInt, "int", Default::module_global("_LOG_INFO")};
constexpr Param kRecord{"record"};

extern const Operation kHandlerInit;

Ref handler_init(const Args<kFilename, kLevel>& a) {
  // The base class's own `__init__`, the member this row overrides.
  Ref base = lookup_global(a.globals(), kBaseGlobal);
  if (!base || !call_method(base.get(), kHandlerInit, {a.self(), a.arg<kLevel>()}) ||
      !set_attribute(a.self(), kFilenameAttr, a.arg<kFilename>()))
    return {};
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

Ref handler_emit(const Args<kRecord>& a) {
  PyObject* self = a.self();
  Ref formatted = call_method(self, kFormat, {a.arg<kRecord>()});
  Ref newline = formatted ? Ref::steal(PyUnicode_FromString("\n")) : Ref();
  Ref message = newline ? Ref::steal(PyNumber_Add(formatted.get(), newline.get())) : Ref();
  Ref lock = message ? attribute(self, kLock) : Ref();
  if (!lock || !call_method(lock.get(), kAcquireMethod, {})) return {};

  Ref filename = attribute(self, kFilenameAttr);
  Ref file = filename ? open_for_append(a, filename.get()) : Ref();
  if (file) {
    call_method(file.get(), kWrite, {message.get()});
    clean_up([&] { return call_method(file.get(), kCloseMethod, {}); });
  }
  if (!clean_up([&] { return call_method(lock.get(), kReleaseMethod, {}); })) return {};
  return Ref::none();
}

const Operation kHandlerInit = row<handler_init>(kInitName);
const Operation kHandlerEmit = row<handler_emit>("emit");

}  // namespace

Ref make_file_log_handler_class(PyObject* module) {
  Ref base = lookup_global(PyModule_GetDict(module), kBaseGlobal);
  if (!base) return {};
  ClassStatement cls(module, kClassName, base.get());
  if (!cls.add(kHandlerInit) || !cls.add(kHandlerEmit)) return {};
  return cls.finish();
}

}  // namespace kov
