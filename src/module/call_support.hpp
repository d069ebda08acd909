// Small vocabulary shared by the operation bodies: module globals, calls, log lines.
#pragma once

#include <initializer_list>
#include <utility>

#include "module/native_function.hpp"
#include "module/py_ref.hpp"
#include "module/python_compat.hpp"

namespace kov {

// Names of the module globals that bodies look up at each use, so that a substituted
// global takes effect at once.
namespace globals {
inline const Name kLogger{"logger"};
inline const Name kSleep{"_sleep"};
inline const Name kNow{"_now"};
inline const Name kMaxPulsePerSecond{"_MaxPulsePerSecond"};
inline const Name kMewMaster{"_MewMaster"};
inline const Name kThread{"_Thread"};
inline const Name kDirection{"Direction"};
inline const Name kStopSource{"StopSource"};
inline const Name kFindingOMethod{"FindingOMethod"};
}  // namespace globals

// Method names used on objects of several kinds: `close` of masters and files, `get` of the
// per-controller tables.
inline const Name kCloseMethod{"close"};
inline const Name kGetMethod{"get"};
// Methods of locks: the log handler's and the end of a homing run.
inline const Name kAcquireMethod{"acquire"};
inline const Name kReleaseMethod{"release"};
// Names that two kinds of member share: the constructor hook of each class, and `open`, the
// controller's re-opening and the built-in the log handler opens its file with.
inline constexpr char kInitName[] = "__init__";
inline constexpr char kOpenName[] = "open";

// The module global `name` as it is bound now; NameError when it is gone.
Ref global(const Call& c, const Name& name);

// `callable(*args)`; any null argument means an error is already set.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args);
// `obj.<key>(*args)`, without creating a bound method; what `key` finds on types is
// remembered in `cache`.
Ref call_method(PyObject* obj, PyObject* key, LookupCache& cache,
                std::initializer_list<PyObject*> args);
inline Ref call_method(PyObject* obj, const Name& name, std::initializer_list<PyObject*> args) {
  return call_method(obj, name.get(), name.cache(), args);
}
// `obj.<op>(*args)` for an operation of the module, looked up on `obj` by its member name;
// when that finds the operation's own function, its body runs without a new native entry.
Ref call_method(PyObject* obj, const Operation& op, std::initializer_list<PyObject*> args);
// `self.<op>(*args)` for one of the class's own operations: goes through the instance so
// that an override in a subclass takes part.
inline Ref call_own(const Call& c, const Operation& op, std::initializer_list<PyObject*> args) {
  return call_method(c.self(), op, args);
}
// `callable(*args, **dict(zip(names, values)))`.
struct Keyword {
  const Name& name;
  PyObject* value;
};
Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> args,
                       std::initializer_list<Keyword> keywords);
// `getattr(obj, key)`
Ref attribute(PyObject* obj, PyObject* key);
inline Ref attribute(PyObject* obj, const Name& name) {
  PyObject* key = name.get();
  return key != nullptr ? Ref::steal(cached_attribute(obj, key, name.cache())) : Ref();
}
// `setattr(obj, key, value)`; false with an exception set (also when `value` is null).
bool set_attribute(PyObject* obj, PyObject* key, PyObject* value);
inline bool set_attribute(PyObject* obj, const Name& name, PyObject* value) {
  return set_attribute(obj, name.get(), value);
}

// A piece of a log line or message: fixed text, or a value written as `format(value, "")`.
struct Piece {
  Piece(const char* t) : text(t) {}
  Piece(PyObject* v) : value(v) {}
  Piece(const Ref& v) : value(v.get()) {}
  const char* text = nullptr;
  PyObject* value = nullptr;
};
Ref text(std::initializer_list<Piece> pieces);

// One INFO (or ERROR) line on the module logger; false with an exception set on failure.
bool log_info(const Call& c, std::initializer_list<Piece> pieces);
bool log_error(const Call& c, std::initializer_list<Piece> pieces);

Ref real(double v);
Ref integer(long long v);

// `a == b` / `a != b` evaluated as an `if` statement would: -1 on error.
int equal(PyObject* a, PyObject* b);
int not_equal(PyObject* a, PyObject* b);

// The exception pending at construction, taken out of the way while clean-up code runs.
class SavedError {
 public:
  SavedError() : exc_(compat::take_raised_exception()) {}
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  // Makes it the pending exception again.
  void restore() { compat::set_raised_exception(std::move(exc_)); }
  // Makes it the context of the exception pending now.
  void chain() {
    Ref now = compat::take_raised_exception();
    if (now && exc_) PyException_SetContext(now.get(), exc_.release());  // steals
    compat::set_raised_exception(now ? std::move(now) : std::move(exc_));
  }

 private:
  Ref exc_;
};

// Runs a clean-up step whether or not an exception is pending. A pending exception stays
// the one reported (a failing step adds its own with the pending one as context); without
// one, the step's own failure is the result. True only when nothing failed.
template <class Step>
bool clean_up(Step step) {
  if (!PyErr_Occurred()) return static_cast<bool>(step());
  SavedError pending;
  if (step()) {
    pending.restore();
  } else {
    pending.chain();
  }
  return false;
}

// Failures: each returns an empty Ref so a body can `return raise_...`.
Ref raise_text(PyObject* type, const char* message);
Ref raise_pieces(PyObject* type, std::initializer_list<Piece> pieces);
Ref assertion_failed();

}  // namespace kov
