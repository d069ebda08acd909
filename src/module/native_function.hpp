// Native callables that look and bind like Python functions.
//
// Every operation of the module is one `Operation` row: its name, the class that owns it,
// its parameters (name, accepted type, annotation text, default), its return annotation,
// its docstring and a C++ body. Argument parsing, conversion, type tests, `__defaults__`,
// `__annotations__` and `__signature__` all come from the row.
#pragma once

#include <cstddef>

#include "module/py_ref.hpp"

namespace kov {

// What a parameter accepts. Float parameters are converted with the interpreter's float
// conversion; the Exact* kinds accept that very type only (no subclasses; None only for the
// Optional kinds or where the default is None).
enum class Accept : unsigned char {
  Any,
  ExactInt,
  ExactStr,
  ExactList,
  Float,
  OptionalExactFloat,
  OptionalExactList,
};

struct Default {
  enum class Kind : unsigned char { Required, None, False, True, Int, Float, Global };
  Kind kind = Kind::Required;
  long long integer = 0;
  double real = 0.0;
  // Kind::Global: module global `global`, optionally its attribute `attribute`, read when
  // the function is created (like a default expression evaluated at definition time).
  const char* global = nullptr;
  const char* attribute = nullptr;

  static constexpr Default none() { return {Kind::None}; }
  static constexpr Default no() { return {Kind::False}; }
  static constexpr Default yes() { return {Kind::True}; }
  static constexpr Default integer_value(long long v) { return {Kind::Int, v}; }
  static constexpr Default real_value(double v) { return {Kind::Float, 0, v}; }
  static constexpr Default module_global(const char* g, const char* attr = nullptr) {
    return {Kind::Global, 0, 0.0, g, attr};
  }
};

struct Param {
  const char* name = nullptr;
  Accept accept = Accept::Any;
  const char* annotation = nullptr;  // null: not annotated
  Default fallback = {};
};

constexpr std::size_t kMaxParams = 6;  // besides `self`

class Call;
using Body = Ref (*)(const Call&);

struct Operation {
  const char* name;
  const char* owner;         // qualified-name prefix, e.g. "KOVAxisController"
  Param params[kMaxParams];  // `self` is implicit; unused entries have a null name
  const char* returns;       // return annotation or null
  const char* doc;           // docstring or null
  Body body;
};

struct NativeFunction;

// What a body sees: the parsed arguments (index 0 is self, then the parameters in order),
// the doubles of float parameters, and the module the function belongs to.
class Call {
 public:
  Call(NativeFunction* fn, PyObject* const* args, const double* reals) noexcept
      : fn_(fn), args_(args), reals_(reals) {}
  PyObject* self() const noexcept { return args_[0]; }
  PyObject* arg(std::size_t i) const noexcept { return args_[i]; }
  double real(std::size_t i) const noexcept { return reals_[i]; }
  PyObject* module() const noexcept;
  PyObject* globals() const noexcept;

 private:
  NativeFunction* fn_;
  PyObject* const* args_;
  const double* reals_;
};

// Creates the function object of `op`, bound to `module` (its globals are the module's
// dict; defaults that name module globals are resolved now).
Ref make_function(const Operation& op, PyObject* module);

// True when `obj` is a function made by make_function.
bool is_native_function(PyObject* obj) noexcept;

// Calls such a function with positional `args` (self first), without the generic call
// machinery: what the interpreter's call would do, minus its dispatch.
PyObject* call_native(PyObject* fn, PyObject* const* args, Py_ssize_t nargs);

// Readies the function type; called once by module execution.
bool ready_function_type();

}  // namespace kov
