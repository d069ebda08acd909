// Every interpreter API name that differs between CPython releases, and every private one
// the module uses, lives here and nowhere else: a new interpreter release needs changes in
// this file only. Each private call is guarded by the versions that export it, with a
// public fallback for the others.
#pragma once

#include <cstdint>
#include <exception>
#include <string_view>
#include <vector>

#include "module/name_suggestion.hpp"
#include "module/py_ref.hpp"

namespace kov::compat {

#if PY_VERSION_HEX < 0x03090000
// 3.8 offers vectorcall only under its provisional names.
constexpr unsigned long kTpFlagsVectorcall = _Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* plain_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                  PyObject* kwnames) {
  return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
// 3.8 has no public accessor; the thread state's field is part of its (non-limited) API.
inline PyInterpreterState* current_interpreter() { return PyThreadState_Get()->interp; }
#else
constexpr unsigned long kTpFlagsVectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* plain_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                  PyObject* kwnames) {
  return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
inline PyInterpreterState* current_interpreter() { return PyInterpreterState_Get(); }
#endif

// Every call from the module into Python. Python code may release the GIL (a sleep, a bus
// transaction); a thread that takes it back while the interpreter finalises is ended with
// pthread_exit, whose forced unwind then runs the destructors of our frames without the
// GIL: mark the thread, so they leave their references alone, and let the unwind go on.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
  try {
    return plain_vectorcall(callable, args, nargsf, kwnames);
  } catch (...) {
    // No C++ exception crosses the interpreter, so this is that forced unwind (which has no
    // object: current_exception() is empty, and a handler may not bind a reference to it).
    if (!std::current_exception()) unwind_detail::thread_is_ending = true;
    throw;
  }
}

// One level of the interpreter's recursion count, as its own calls take it: true (with
// RecursionError set) when the limit is reached. 3.8 spells these as macros around
// private names; later releases export them as functions.
inline bool enter_recursive_call(const char* where) { return Py_EnterRecursiveCall(where) != 0; }
inline void leave_recursive_call() { Py_LeaveRecursiveCall(); }

// `sys.flags.optimize` as it stands now (python -O sets it before any import).
inline bool assertions_enabled() {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  return Py_OptimizeFlag == 0;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

// The object a weak reference points at (a new reference), None when it has died; null
// with an exception set when `ref` is no weak reference.
inline Ref weakref_target(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* target = nullptr;
  if (PyWeakref_GetRef(ref, &target) < 0) return {};
  return target != nullptr ? Ref::steal(target) : Ref::none();
#else
  return Ref::borrow(PyWeakref_GetObject(ref));
#endif
}

// The type's version tag, 0 while it has none. Before 3.13 a flag says whether the tag is
// current; from 3.13 a type that changes gets tag 0 until its next lookup.
inline unsigned int version_tag(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030D0000
  if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
  return type->tp_version_tag;
}

// `name` looked up on `type` and its bases, as attribute lookup does (borrowed; null when
// no class defines it).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
  return _PyType_Lookup(type, name);
}

inline bool has_instance_dict(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
#if PY_VERSION_HEX >= 0x030B0000
  if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return true;
#endif
  return type->tp_dictoffset != 0;
}

// The instance dict of `obj` (borrowed), null when it has none. Later releases keep
// instance attributes without a dict object until one is asked for: this makes it, once
// per instance.
inline PyObject* instance_dict(PyObject* obj) {
  if (!has_instance_dict(obj)) return nullptr;
#if PY_VERSION_HEX < 0x030B0000
  // A fixed offset within the object (a variable-sized object's is counted from its end).
  const Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
  if (offset > 0) return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
#endif
  PyObject** slot = _PyObject_GetDictPtr(obj);
  return slot != nullptr ? *slot : nullptr;
}

// `dict[key]`: 1 with a new reference in `*value`, 0 when absent, -1 with an exception set.
inline int dict_item(PyObject* dict, PyObject* key, PyObject** value) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyDict_GetItemRef(dict, key, value);
#else
  PyObject* found = PyDict_GetItemWithError(dict, key);  // borrowed
  *value = Ref::borrow(found).release();
  if (found == nullptr) return PyErr_Occurred() ? -1 : 0;
  return 1;
#endif
}

// A dict's version: until 3.11 every dict carries one, renewed at each change and never
// given to another dict. 3.12 deprecates it (changes are seen through a dict watcher there,
// see lookup_cache.cpp) and 3.13 no longer renews it for every change.
constexpr bool kDictVersions = PY_VERSION_HEX < 0x030C0000;
inline std::uint64_t dict_version(PyObject* dict) {
#if PY_VERSION_HEX < 0x030C0000
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
  (void)dict;
  return 0;
#endif
}

// `obj.name(*args)` with `args[0]` the object, as the interpreter's method-call opcode
// makes it (no bound method). Only where the method call by name is public (3.9 on).
#if PY_VERSION_HEX >= 0x03090000
inline PyObject* call_method_by_name(PyObject* name, PyObject* const* args, size_t nargs) {
  return PyObject_VectorcallMethod(name, args, nargs, nullptr);
}
#endif

// What the interpreter's method-call lookup finds for `obj.name` where the class binding
// alone does not decide (see lookup_cache.hpp): 1 with the plain function in `*method`
// when it can be called with `obj` prepended, else 0 with the attribute (or null and an
// exception set).
inline int generic_method(PyObject* obj, PyObject* name, PyObject** method) {
#if PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030D0000
  return _PyObject_GetMethod(obj, name, method);
#else
  *method = PyObject_GetAttr(obj, name);
  return 0;
#endif
}

// The exception pending now, taken out of the interpreter's error indicator (none: null).
// From 3.12 an exception is one object; before, the (type, value, traceback) triple is
// normalised into its value with the traceback attached, so both spell it the same way.
inline Ref take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

// Makes `exc` (taken by take_raised_exception) the pending exception again.
inline void set_raised_exception(Ref exc) {
  if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* value = exc.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// What the interpreter adds to its "unexpected keyword argument" error of a Python function:
// the parameter name closest to `keyword` among `names` (a list of str, the parameters that
// may be given by keyword) as a new reference, or empty when none is close or this release
// suggests none (before 3.13). Never leaves an exception set: like the interpreter, a name it
// cannot compare (a lone surrogate) gets no suggestion.
inline Ref keyword_suggestion(PyObject* names, PyObject* keyword) {
#if PY_VERSION_HEX >= 0x030D0000
  // The interpreter's own rule, from the built-in module that its traceback printing uses...
  Ref module = Ref::steal(PyImport_ImportModule("_suggestions"));
  Ref suggest =
      module ? Ref::steal(PyObject_GetAttrString(module.get(), "_generate_suggestions")) : Ref();
  if (suggest) {
    PyObject* args[] = {names, keyword};
    Ref found = Ref::steal(vectorcall(suggest.get(), args, 2, nullptr));
    if (found && PyUnicode_Check(found.get())) return found;
    if (found) return {};
  }
  PyErr_Clear();
  // ...and where a build lacks it, the same rule done here.
  auto utf8 = [](PyObject* text, std::string_view* out) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (bytes != nullptr) *out = std::string_view(bytes, static_cast<std::size_t>(size));
    return bytes != nullptr;
  };
  std::string_view wanted;
  std::vector<std::string_view> candidates(static_cast<std::size_t>(PyList_GET_SIZE(names)));
  bool readable = utf8(keyword, &wanted);
  for (std::size_t i = 0; readable && i < candidates.size(); ++i)
    readable = utf8(PyList_GET_ITEM(names, static_cast<Py_ssize_t>(i)), &candidates[i]);
  if (!readable) {
    PyErr_Clear();
    return {};
  }
  const std::ptrdiff_t best = closest_name(wanted, candidates);
  return best < 0 ? Ref() : Ref::borrow(PyList_GET_ITEM(names, best));
#else
  (void)names;
  (void)keyword;
  return {};
#endif
}

}  // namespace kov::compat
