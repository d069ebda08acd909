// Native callables that look and bind like Python functions.
//
// Every operation of the module is one `Operation` row: its name, its parameters (name,
// accepted type, annotation text, default), its return annotation, its docstring and a C++
// body. Argument parsing, conversion, type tests, `__defaults__`,
// `__annotations__` and `__signature__` all come from the row.
#pragma once

#include <cstddef>
#include <type_traits>

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

struct EnumMember;

struct Default {
  enum class Kind : unsigned char { Required, None, False, True, Int, Float, Global, Member };
  Kind kind = Kind::Required;
  long long integer = 0;
  double real = 0.0;
  // Kind::Global: the module global `global`; Kind::Member: the enumeration member `member`.
  // Read when the function is created, like a default expression at definition time.
  const char* global = nullptr;
  const EnumMember* member = nullptr;

  static constexpr Default none() { return {Kind::None}; }
  static constexpr Default no() { return {Kind::False}; }
  static constexpr Default yes() { return {Kind::True}; }
  static constexpr Default integer_value(long long v) { return {Kind::Int, v}; }
  static constexpr Default real_value(double v) { return {Kind::Float, 0, v}; }
  static constexpr Default module_global(const char* g) { return {Kind::Global, 0, 0.0, g}; }
  static constexpr Default enum_member(const EnumMember& m) {
    return {Kind::Member, 0, 0.0, nullptr, &m};
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
  Param params[kMaxParams];  // `self` is implicit; unused entries have a null name
  const char* returns;       // return annotation or null
  const char* doc;           // docstring or null
  Body body;
  // The attribute under which its class keeps the function (`name`, mangled when private),
  // interned when the function is made: how bodies call the operation on an instance.
  mutable PyObject* key = nullptr;
  mutable LookupCache cache;  // what `key` finds on the classes it is called on
};

struct NativeFunction;

// What a body sees: the parsed arguments, the module the function belongs to. Bodies read
// their arguments through `Args`, by parameter, never by position.
class Call {
 public:
  Call(NativeFunction* fn, PyObject* const* args, const double* reals) noexcept
      : fn_(fn), args_(args), reals_(reals) {}
  PyObject* self() const noexcept { return args_[0]; }
  PyObject* module() const noexcept;
  PyObject* globals() const noexcept;

 protected:
  // Index 0 is self, then the parameters in order; `reals` holds the converted floats.
  PyObject* arg_at(std::size_t i) const noexcept { return args_[i]; }
  double real_at(std::size_t i) const noexcept { return reals_[i]; }

 private:
  NativeFunction* fn_;
  PyObject* const* args_;
  const double* reals_;
};

// The arguments of an operation whose parameters are `Ps`, in order. A body names the
// parameter it reads; one that is not among its operation's parameters, or a float read of
// a parameter that is not converted, does not compile.
template <const Param&... Ps>
class Args : public Call {
  template <const Param&>
  struct Tag {};

 public:
  explicit Args(const Call& c) noexcept : Call(c) {}

  template <const Param& P>
  PyObject* arg() const noexcept {
    return arg_at(slot<P>());
  }
  template <const Param& P>
  double real() const noexcept {
    static_assert(P.accept == Accept::Float, "only float parameters are converted");
    return real_at(slot<P>());
  }

 private:
  template <const Param& P>
  static constexpr std::size_t slot() {
    constexpr std::size_t found = position<P>();
    static_assert(found <= sizeof...(Ps), "not a parameter of this operation");
    return found;
  }
  template <const Param& P>
  static constexpr std::size_t position() {
    // Compared as template arguments: the same parameter object gives the same type (an
    // address comparison is not a constant expression under every compiler option).
    const bool same[] = {std::is_same<Tag<P>, Tag<Ps>>::value..., false};
    std::size_t i = 0;
    while (i < sizeof...(Ps) && !same[i]) ++i;
    return i + 1;  // after self
  }
};

namespace row_detail {
template <const Param&... Ps>
Ref run(Ref (*body)(const Args<Ps...>&), const Call& c) {
  return body(Args<Ps...>(c));
}
template <auto body>
Ref entry(const Call& c) {
  return run(body, c);
}
template <const Param&... Ps>
constexpr Operation make(const char* name, Ref (*)(const Args<Ps...>&), Body entry, const char* doc,
                         const char* returns) {
  static_assert(sizeof...(Ps) <= kMaxParams, "too many parameters");
  return Operation{name, {Ps...}, returns, doc, entry, nullptr, {}};
}
}  // namespace row_detail

// The row of an operation: its parameters are the ones its body's signature names, so they
// are written once.
template <auto body>
constexpr Operation row(const char* name, const char* doc = nullptr,
                        const char* returns = nullptr) {
  return row_detail::make(name, body, row_detail::entry<body>, doc, returns);
}

// Creates the function object of `op` as a member of the class `owner` (null: a plain
// function), bound to `module` (its globals are the module's dict; defaults that name
// module globals are resolved now). Sets `op.key`.
Ref make_function(const Operation& op, PyObject* module, const char* owner);

// True when `obj` is a function made by make_function.
bool is_native_function(PyObject* obj) noexcept;
// True when `obj` is the function made for `op`.
bool is_function_of(PyObject* obj, const Operation& op) noexcept;

// Calls such a function with positional `args` (self first), without the generic call
// machinery: what the interpreter's call would do, minus its dispatch.
PyObject* call_native(PyObject* fn, PyObject* const* args, Py_ssize_t nargs);

// The same for a call of one of the module's own operations from the body of another, when
// the instance lookup found `op`'s own function: the arguments are parsed and tested as
// always, without a level of the recursion count (the operations call each other without
// cycles; calls into Python and to masters still take one).
PyObject* call_own_native(PyObject* fn, const Operation& op, PyObject* const* args,
                          Py_ssize_t nargs);

// Readies the function type; called once by module execution.
bool ready_function_type();

}  // namespace kov
