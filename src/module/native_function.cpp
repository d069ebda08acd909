#include "module/native_function.hpp"

#include <structmember.h>

#include <cstring>

#include "module/call_support.hpp"
#include "module/enumerations.hpp"
#include "module/module_globals.hpp"
#include "module/python_compat.hpp"
#include "module/recursion_guard.hpp"

namespace kov {

struct NativeFunction {
  PyObject_HEAD vectorcallfunc vectorcall;
  const Operation* op;
  Py_ssize_t nparams;  // with self
  Py_ssize_t ndefaults;
  // Parameters (by position, self being 0) converted as floats, and tested for their type.
  unsigned int float_params;
  unsigned int tested_params;
  PyObject* module;
  PyObject* globals;
  PyObject* name;
  PyObject* qualname;
  PyObject* call_name;  // how argument errors name the function, fixed at creation
  PyObject* module_name;
  PyObject* doc;
  PyObject* defaults;  // tuple, or null when the operation has none
  PyObject* annotations;
  PyObject* dict;
  PyObject* weakrefs;
  PyObject* param_names[kMaxParams + 1];
};

PyObject* Call::module() const noexcept { return fn_->module; }
PyObject* Call::globals() const noexcept { return fn_->globals; }

namespace {

PyTypeObject function_type{};

// ---- argument errors, worded as the interpreter words them for Python functions ----

void raise_missing(NativeFunction* f, PyObject* const* slots, Py_ssize_t required) {
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return;
  for (Py_ssize_t i = 0; i < required; ++i) {
    if (slots[i] != nullptr) continue;
    Ref r = Ref::steal(PyObject_Repr(f->param_names[i]));
    if (!r || PyList_Append(names.get(), r.get()) < 0) return;
  }
  const Py_ssize_t count = PyList_GET_SIZE(names.get());
  Ref text;
  if (count == 1) {
    text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
  } else if (count == 2) {
    text = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                           PyList_GET_ITEM(names.get(), 1)));
  } else {
    Ref last = Ref::borrow(PyList_GET_ITEM(names.get(), count - 1));
    if (PyList_SetSlice(names.get(), count - 1, count, nullptr) < 0) return;
    Ref sep = Ref::steal(PyUnicode_FromString(", "));
    if (!sep) return;
    Ref head = Ref::steal(PyUnicode_Join(sep.get(), names.get()));
    if (!head) return;
    text = Ref::steal(PyUnicode_FromFormat("%U, and %U", head.get(), last.get()));
  }
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->call_name,
               count, count == 1 ? "" : "s", text.get());
}

void raise_too_many(NativeFunction* f, Py_ssize_t given) {
  const Py_ssize_t n = f->nparams;
  if (f->ndefaults > 0) {
    PyErr_Format(PyExc_TypeError,
                 "%U() takes from %zd to %zd positional arguments but %zd %s given", f->call_name,
                 n - f->ndefaults, n, given, given == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given",
                 f->call_name, n, n == 1 ? "" : "s", given, given == 1 ? "was" : "were");
  }
}

// The interpreter's wording, with its hint at the closest parameter where it gives one (3.13).
void raise_unexpected_keyword(NativeFunction* f, PyObject* key) {
  Ref names = Ref::steal(PyList_New(f->nparams));
  if (!names) return;
  for (Py_ssize_t i = 0; i < f->nparams; ++i)
    PyList_SET_ITEM(names.get(), i, Ref::borrow(f->param_names[i]).release());
  Ref suggestion = compat::keyword_suggestion(names.get(), key);
  if (suggestion) {
    PyErr_Format(PyExc_TypeError,
                 "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?", f->call_name,
                 key, suggestion.get());
  } else {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->call_name,
                 key);
  }
}

Py_ssize_t find_param(NativeFunction* f, PyObject* key) {
  for (Py_ssize_t i = 0; i < f->nparams; ++i)
    if (f->param_names[i] == key) return i;
  for (Py_ssize_t i = 0; i < f->nparams; ++i)
    if (PyUnicode_Compare(f->param_names[i], key) == 0) return i;
  if (PyErr_Occurred()) PyErr_Clear();
  return -1;
}

const char* expected_type(Accept a) {
  switch (a) {
    case Accept::ExactInt:
      return "int";
    case Accept::ExactStr:
      return "str";
    case Accept::ExactList:
    case Accept::OptionalExactList:
      return "list";
    case Accept::OptionalExactFloat:
      return "float";
    default:
      return nullptr;
  }
}

bool has_expected_type(Accept a, PyObject* v) {
  switch (a) {
    case Accept::ExactInt:
      return PyLong_CheckExact(v);
    case Accept::ExactStr:
      return PyUnicode_CheckExact(v);
    case Accept::ExactList:
    case Accept::OptionalExactList:
      return PyList_CheckExact(v);
    case Accept::OptionalExactFloat:
      return PyFloat_CheckExact(v);
    default:
      return true;
  }
}

bool accepts_none(const Param& p) {
  return p.accept == Accept::OptionalExactFloat || p.accept == Accept::OptionalExactList ||
         p.fallback.kind == Default::Kind::None;
}

PyObject* convert_and_run(NativeFunction* f, PyObject* const* slots);

PyObject* parse_and_run(NativeFunction* f, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t n = f->nparams;
  const Py_ssize_t required = n - f->ndefaults;
  PyObject* slots[kMaxParams + 1];
  if (kwnames == nullptr && nargs >= required && nargs <= n) {
    // Every parameter given positionally or by its default: the common call.
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    for (Py_ssize_t i = nargs; i < n; ++i) slots[i] = PyTuple_GET_ITEM(f->defaults, i - required);
    return convert_and_run(f, slots);
  }
  for (Py_ssize_t i = 0; i <= static_cast<Py_ssize_t>(kMaxParams); ++i)
    slots[i] = i < nargs && i < n ? args[i] : nullptr;

  // Keywords are matched before the positional count is judged, as the interpreter does.
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->call_name);
        return nullptr;
      }
      const Py_ssize_t j = find_param(f, key);
      if (j < 0) {
        raise_unexpected_keyword(f, key);
        return nullptr;
      }
      if (slots[j] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->call_name,
                     key);
        return nullptr;
      }
      slots[j] = args[nargs + k];
    }
  }
  if (nargs > n) {
    raise_too_many(f, nargs);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < required; ++i) {
    if (slots[i] == nullptr) {
      raise_missing(f, slots, required);
      return nullptr;
    }
  }
  for (Py_ssize_t i = required; i < n; ++i)
    if (slots[i] == nullptr) slots[i] = PyTuple_GET_ITEM(f->defaults, i - required);
  return convert_and_run(f, slots);
}

PyObject* convert_and_run(NativeFunction* f, PyObject* const* slots) {
  // Float conversions first, in parameter order; then the exact-type tests.
  const Param* params = f->op->params;
  double reals[kMaxParams + 1];
  for (unsigned int bits = f->float_params; bits != 0; bits &= bits - 1) {
    const int i = __builtin_ctz(bits);
    PyObject* v = slots[i];
    reals[i] = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : PyFloat_AsDouble(v);
    if (reals[i] == -1.0 && PyErr_Occurred()) return nullptr;
  }
  for (unsigned int bits = f->tested_params; bits != 0; bits &= bits - 1) {
    const int i = __builtin_ctz(bits);
    const Param& p = params[i - 1];
    PyObject* v = slots[i];
    if (has_expected_type(p.accept, v) || (v == Py_None && accepts_none(p))) continue;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                 expected_type(p.accept), Py_TYPE(v)->tp_name);
    return nullptr;
  }
  return f->op->body(Call(f, slots, reals)).release();
}

// Operations call each other and the master from C, and conversions and masters may call
// back into them: without a count of its own, a cycle among them (a controller that is its
// own master) would overflow the C stack instead of raising RecursionError. One level per
// entry, taken before any argument conversion can run Python code.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  if (!enter_native_call()) return nullptr;
  PyObject* result =
      parse_and_run(reinterpret_cast<NativeFunction*>(callable), args, nargsf, kwnames);
  leave_native_call();
  return result;
}

// ---- the Python-visible surface of a function ----

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  auto* f = reinterpret_cast<NativeFunction*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<NativeFunction*>(self);
  Py_VISIT(f->module);
  Py_VISIT(f->globals);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->call_name);
  Py_VISIT(f->module_name);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->dict);
  return 0;
}

int function_clear(PyObject* self) {
  auto* f = reinterpret_cast<NativeFunction*>(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->call_name);
  Py_CLEAR(f->module_name);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  auto* f = reinterpret_cast<NativeFunction*>(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  for (PyObject*& name : f->param_names) Py_CLEAR(name);
  PyObject_GC_Del(self);
}

int set_text(PyObject** field, PyObject* value, const char* what) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_INCREF(value);
  Py_SETREF(*field, value);
  return 0;
}

PyObject* get_name(PyObject* self, void*) {
  return Ref::borrow(reinterpret_cast<NativeFunction*>(self)->name).release();
}
int set_name(PyObject* self, PyObject* v, void*) {
  return set_text(&reinterpret_cast<NativeFunction*>(self)->name, v, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
  return Ref::borrow(reinterpret_cast<NativeFunction*>(self)->qualname).release();
}
int set_qualname(PyObject* self, PyObject* v, void*) {
  return set_text(&reinterpret_cast<NativeFunction*>(self)->qualname, v, "__qualname__");
}
PyObject* get_defaults(PyObject* self, void*) {
  PyObject* d = reinterpret_cast<NativeFunction*>(self)->defaults;
  return Ref::borrow(d != nullptr ? d : Py_None).release();
}
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject* self, void*) {
  return Ref::borrow(reinterpret_cast<NativeFunction*>(self)->annotations).release();
}
PyObject* get_globals(PyObject* self, void*) {
  return Ref::borrow(reinterpret_cast<NativeFunction*>(self)->globals).release();
}

// `inspect.signature` asks for this first; the function has no code object to read.
PyObject* get_signature(PyObject* self, void*) {
  auto* f = reinterpret_cast<NativeFunction*>(self);
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  Ref signature =
      parameter ? Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature")) : Ref();
  Ref kind = signature
                 ? Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"))
                 : Ref();
  Ref params = kind ? Ref::steal(PyList_New(0)) : Ref();
  if (!params) return nullptr;
  const Py_ssize_t required = f->nparams - f->ndefaults;
  for (Py_ssize_t i = 0; i < f->nparams; ++i) {
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    if (i >= required && PyDict_SetItemString(kwargs.get(), "default",
                                              PyTuple_GET_ITEM(f->defaults, i - required)) < 0)
      return nullptr;
    const char* annotation = i > 0 ? f->op->params[i - 1].annotation : nullptr;
    if (annotation != nullptr) {
      Ref text = Ref::steal(PyUnicode_FromString(annotation));
      if (!text || PyDict_SetItemString(kwargs.get(), "annotation", text.get()) < 0) return nullptr;
    }
    Ref args = Ref::steal(PyTuple_Pack(2, f->param_names[i], kind.get()));
    Ref p = args ? Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get())) : Ref();
    if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
  }
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return nullptr;
  if (f->op->returns != nullptr) {
    Ref text = Ref::steal(PyUnicode_FromString(f->op->returns));
    if (!text || PyDict_SetItemString(kwargs.get(), "return_annotation", text.get()) < 0)
      return nullptr;
  }
  Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
  if (!args) return nullptr;
  return PyObject_Call(signature.get(), args.get(), kwargs.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(NativeFunction, module_name), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

Ref default_value(const Default& d, PyObject* globals) {
  switch (d.kind) {
    case Default::Kind::None:
      return Ref::none();
    case Default::Kind::False:
      return Ref::boolean(false);
    case Default::Kind::True:
      return Ref::boolean(true);
    case Default::Kind::Int:
      return Ref::steal(PyLong_FromLongLong(d.integer));
    case Default::Kind::Float:
      return Ref::steal(PyFloat_FromDouble(d.real));
    case Default::Kind::Global:
      return lookup_global(globals, d.global);
    case Default::Kind::Member: {
      Ref enumeration = lookup_global(globals, d.member->enumeration.get());
      return enumeration ? attribute(enumeration.get(), d.member->name) : Ref();
    }
    case Default::Kind::Required:
      break;
  }
  PyErr_SetString(PyExc_SystemError, "required parameter after a parameter with a default");
  return {};
}

// The name a class statement stores a member under: `__name` (not ending in `__`) of class
// `Owner` becomes `_Owner__name`.
Ref member_key(const char* owner, const char* name) {
  const std::size_t length = std::strlen(name);
  const bool is_private = owner != nullptr && length > 2 && name[0] == '_' && name[1] == '_' &&
                          !(name[length - 1] == '_' && name[length - 2] == '_');
  if (!is_private) return Ref::steal(PyUnicode_InternFromString(name));
  while (*owner == '_') ++owner;
  Ref mangled = Ref::steal(PyUnicode_FromFormat("_%s%s", owner, name));
  if (mangled) {
    PyObject* key = mangled.release();
    PyUnicode_InternInPlace(&key);
    mangled = Ref::steal(key);
  }
  return mangled;
}

}  // namespace

bool is_native_function(PyObject* obj) noexcept { return Py_TYPE(obj) == &function_type; }

bool is_function_of(PyObject* obj, const Operation& op) noexcept {
  return is_native_function(obj) && reinterpret_cast<NativeFunction*>(obj)->op == &op;
}

PyObject* call_native(PyObject* fn, PyObject* const* args, Py_ssize_t nargs) {
  return function_vectorcall(fn, args, static_cast<size_t>(nargs), nullptr);
}

PyObject* call_own_native(PyObject* fn, const Operation& op, PyObject* const* args,
                          Py_ssize_t nargs) {
  auto* f = reinterpret_cast<NativeFunction*>(fn);
  if (f->op != &op) return call_native(fn, args, nargs);
  return parse_and_run(f, args, static_cast<size_t>(nargs), nullptr);
}

bool ready_function_type() {
  if (function_type.tp_flags & Py_TPFLAGS_READY) return true;
  // A static type holds a reference to itself, as PyVarObject_HEAD_INIT would give it.
  reinterpret_cast<PyObject*>(&function_type)->ob_refcnt = 1;
  function_type.tp_name = "zol_kov.function";
  function_type.tp_basicsize = sizeof(NativeFunction);
  function_type.tp_dealloc = function_dealloc;
  function_type.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
  function_type.tp_repr = function_repr;
  function_type.tp_call = PyVectorcall_Call;
  function_type.tp_getattro = PyObject_GenericGetAttr;
  function_type.tp_setattro = PyObject_GenericSetAttr;
  function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | compat::kTpFlagsVectorcall |
                           Py_TPFLAGS_METHOD_DESCRIPTOR;
  function_type.tp_traverse = function_traverse;
  function_type.tp_clear = function_clear;
  function_type.tp_weaklistoffset = offsetof(NativeFunction, weakrefs);
  function_type.tp_getset = function_getset;
  function_type.tp_members = function_members;
  function_type.tp_descr_get = function_descr_get;
  function_type.tp_dictoffset = offsetof(NativeFunction, dict);
  return PyType_Ready(&function_type) == 0;
}

Ref make_function(const Operation& op, PyObject* module, const char* owner) {
  PyObject* globals = PyModule_GetDict(module);  // borrowed
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return {};

  Py_ssize_t count = 0;
  while (count < static_cast<Py_ssize_t>(kMaxParams) && op.params[count].name != nullptr) ++count;
  Py_ssize_t ndefaults = 0;
  for (Py_ssize_t i = 0; i < count; ++i)
    if (op.params[i].fallback.kind != Default::Kind::Required) ++ndefaults;

  Ref defaults;
  if (ndefaults > 0) {
    defaults = Ref::steal(PyTuple_New(ndefaults));
    if (!defaults) return {};
    for (Py_ssize_t i = count - ndefaults; i < count; ++i) {
      Ref v = default_value(op.params[i].fallback, globals);
      if (!v) return {};
      PyTuple_SET_ITEM(defaults.get(), i - (count - ndefaults), v.release());
    }
  }
  Ref annotations = Ref::steal(PyDict_New());
  if (!annotations) return {};
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (op.params[i].annotation == nullptr) continue;
    Ref text = Ref::steal(PyUnicode_FromString(op.params[i].annotation));
    if (!text || PyDict_SetItemString(annotations.get(), op.params[i].name, text.get()) < 0)
      return {};
  }
  if (op.returns != nullptr) {
    Ref text = Ref::steal(PyUnicode_FromString(op.returns));
    if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return {};
  }
  Ref name = Ref::steal(PyUnicode_InternFromString(op.name));
  Ref qualname = Ref::steal(owner != nullptr ? PyUnicode_FromFormat("%s.%s", owner, op.name)
                                             : PyUnicode_FromString(op.name));
  Ref key = member_key(owner, op.name);
  Ref doc = op.doc != nullptr ? Ref::steal(PyUnicode_FromString(op.doc)) : Ref::none();
  if (!name || !qualname || !key || !doc) return {};
  if (op.key == nullptr) op.key = key.release();  // kept for the life of the process

  auto* f = PyObject_GC_New(NativeFunction, &function_type);
  if (f == nullptr) return {};
  Ref result = Ref::steal(reinterpret_cast<PyObject*>(f));
  f->vectorcall = function_vectorcall;
  f->op = &op;
  f->nparams = count + 1;
  f->ndefaults = ndefaults;
  f->float_params = f->tested_params = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Accept accept = op.params[i].accept;
    if (accept == Accept::Float) f->float_params |= 1u << (i + 1);
    if (accept != Accept::Any && accept != Accept::Float) f->tested_params |= 1u << (i + 1);
  }
  f->module = Ref::borrow(module).release();
  f->globals = Ref::borrow(globals).release();
  f->name = name.release();
  // Python functions are named by their qualified name in these messages from 3.10 on.
  f->call_name = Ref::borrow(PY_VERSION_HEX >= 0x030A0000 ? qualname.get() : f->name).release();
  f->qualname = qualname.release();
  f->module_name = module_name.release();
  f->doc = doc.release();
  f->defaults = defaults.release();
  f->annotations = annotations.release();
  f->dict = nullptr;
  f->weakrefs = nullptr;
  for (PyObject*& p : f->param_names) p = nullptr;
  PyObject_GC_Track(result.get());
  f->param_names[0] = PyUnicode_InternFromString("self");
  if (f->param_names[0] == nullptr) return {};
  for (Py_ssize_t i = 0; i < count; ++i) {
    f->param_names[i + 1] = PyUnicode_InternFromString(op.params[i].name);
    if (f->param_names[i + 1] == nullptr) return {};
  }
  return result;
}

}  // namespace kov
