#include "module/call_support.hpp"

#include <cstring>
#include <unordered_map>

#include "module/module_globals.hpp"
#include "module/python_compat.hpp"

namespace kov {

namespace {
constexpr std::size_t kMaxCallArgs = 8;
}

Ref global(const Call& c, const Name& name) { return lookup_global(c.globals(), name.get()); }

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
  PyObject* stack[kMaxCallArgs];
  std::size_t n = 0;
  for (PyObject* a : args) {
    if (a == nullptr) return {};
    stack[n++] = a;
  }
  return Ref::steal(compat::vectorcall(callable, stack, n, nullptr));
}

namespace {
Ref call_found(PyObject* obj, PyObject* key, LookupCache& cache, const Operation* own,
               std::initializer_list<PyObject*> args) {
  if (key == nullptr || obj == nullptr) return {};
  PyObject* stack[kMaxCallArgs + 1];
  stack[0] = obj;
  std::size_t n = 1;
  for (PyObject* a : args) {
    if (a == nullptr) return {};
    stack[n++] = a;
  }
  PyObject* found = nullptr;
  const int unbound = cached_method(obj, key, &found, cache);
#if PY_VERSION_HEX >= 0x03090000
  if (unbound == kCallByName) return Ref::steal(compat::call_method_by_name(key, stack, n));
#endif
  Ref method = Ref::steal(found);
  if (!method) return {};
  if (!unbound)
    return Ref::steal(compat::vectorcall(method.get(), stack + 1,
                                         (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (is_native_function(method.get())) {
    const auto count = static_cast<Py_ssize_t>(n);
    return Ref::steal(own != nullptr ? call_own_native(method.get(), *own, stack, count)
                                     : call_native(method.get(), stack, count));
  }
  return Ref::steal(compat::vectorcall(method.get(), stack, n, nullptr));
}
}  // namespace

Ref call_method(PyObject* obj, PyObject* key, LookupCache& cache,
                std::initializer_list<PyObject*> args) {
  return call_found(obj, key, cache, nullptr, args);
}

Ref call_method(PyObject* obj, const Operation& op, std::initializer_list<PyObject*> args) {
  return call_found(obj, op.key, op.cache, &op, args);
}

Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> args,
                       std::initializer_list<Keyword> keywords) {
  PyObject* stack[kMaxCallArgs];
  std::size_t n = 0;
  for (PyObject* a : args) {
    if (a == nullptr) return {};
    stack[n++] = a;
  }
  Ref kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
  if (!kwnames) return {};
  Py_ssize_t k = 0;
  for (const Keyword& kw : keywords) {
    PyObject* key = kw.name.get();
    if (key == nullptr || kw.value == nullptr) return {};
    Py_INCREF(key);
    PyTuple_SET_ITEM(kwnames.get(), k++, key);
    stack[n + k - 1] = kw.value;
  }
  return Ref::steal(compat::vectorcall(callable, stack, n, kwnames.get()));
}

Ref attribute(PyObject* obj, PyObject* key) {
  if (key == nullptr) return {};
  return Ref::steal(PyObject_GetAttr(obj, key));
}

bool set_attribute(PyObject* obj, PyObject* key, PyObject* value) {
  return key != nullptr && value != nullptr && PyObject_SetAttr(obj, key, value) == 0;
}

namespace {
// The fixed texts of messages as string objects, each decoded once. Kept by the text's
// address and checked against its characters, so a text that is not a literal (a buffer
// whose contents change) is decoded afresh. Kept for the life of the process.
constexpr std::size_t kMaxFixedTexts = 256;
std::unordered_map<const char*, PyObject*> fixed_texts;

Ref fixed_text(const char* text) {
  auto found = fixed_texts.find(text);
  if (found != fixed_texts.end()) {
    const char* kept = PyUnicode_AsUTF8(found->second);
    if (kept == nullptr) return {};
    if (std::strcmp(kept, text) == 0) return Ref::borrow(found->second);
  }
  Ref made = Ref::steal(PyUnicode_FromString(text));
  if (!made) return {};
  if (found != fixed_texts.end()) {
    Py_SETREF(found->second, Ref(made).release());
  } else if (fixed_texts.size() < kMaxFixedTexts) {
    fixed_texts.emplace(text, Ref(made).release());
  }
  return made;
}
}  // namespace

Ref text(std::initializer_list<Piece> pieces) {
  Ref parts = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
  if (!parts) return {};
  Py_ssize_t i = 0;
  for (const Piece& p : pieces) {
    Ref s = p.text != nullptr    ? fixed_text(p.text)
            : p.value != nullptr ? Ref::steal(PyObject_Format(p.value, nullptr))
                                 : Ref();
    if (!s) return {};
    PyList_SET_ITEM(parts.get(), i++, s.release());
  }
  Ref empty = Ref::steal(PyUnicode_New(0, 0));
  if (!empty) return {};
  return Ref::steal(PyUnicode_Join(empty.get(), parts.get()));
}

namespace {
const Name kInfo{"info"};
const Name kError{"error"};

bool log_line(const Call& c, const Name& level, std::initializer_list<Piece> pieces) {
  Ref logger = global(c, globals::kLogger);
  if (!logger) return false;
  Ref message = text(pieces);
  if (!message) return false;
  return static_cast<bool>(call_method(logger.get(), level, {message.get()}));
}
}  // namespace

bool log_info(const Call& c, std::initializer_list<Piece> pieces) {
  return log_line(c, kInfo, pieces);
}
bool log_error(const Call& c, std::initializer_list<Piece> pieces) {
  return log_line(c, kError, pieces);
}

Ref real(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }

int equal(PyObject* a, PyObject* b) {
  Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
  return r ? PyObject_IsTrue(r.get()) : -1;
}
int not_equal(PyObject* a, PyObject* b) {
  Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
  return r ? PyObject_IsTrue(r.get()) : -1;
}

Ref raise_text(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return {};
}
Ref raise_pieces(PyObject* type, std::initializer_list<Piece> pieces) {
  Ref message = text(pieces);
  if (message) PyErr_SetObject(type, message.get());
  return {};
}
Ref assertion_failed() {
  PyErr_SetNone(PyExc_AssertionError);
  return {};
}

}  // namespace kov
