// Owning handle for Python references and lazily interned names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "module/lookup_cache.hpp"

namespace kov {

namespace unwind_detail {
// Set on a thread that the interpreter ends while it takes the GIL back at exit (it calls
// pthread_exit, whose forced unwind runs our destructors): that thread no longer holds
// the GIL, so its references are left to the dying interpreter instead of released.
// Initial-exec: a plain offset from the thread pointer, cheap enough for every release.
extern __attribute__((tls_model("initial-exec"))) thread_local bool thread_is_ending;
}  // namespace unwind_detail

// One owned reference (or none). Every body works with these so that early returns on
// error never leak and never double-release.
class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference; a null pointer (an error return of the C API) stays null.
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed pointer.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  static Ref none() noexcept { return borrow(Py_None); }
  static Ref boolean(bool b) noexcept { return borrow(b ? Py_True : Py_False); }

  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() {
    if (p_ != nullptr && !unwind_detail::thread_is_ending) Py_DECREF(p_);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A name the code looks up often (attribute, global, method). Interned on first use and
// kept for the life of the process: the module supports one interpreter only.
class Name {
 public:
  constexpr explicit Name(const char* text) noexcept : text_(text) {}
  // Borrowed; null with an exception set if interning failed.
  PyObject* get() const noexcept {
    if (obj_ == nullptr) obj_ = PyUnicode_InternFromString(text_);
    return obj_;
  }
  constexpr const char* text() const noexcept { return text_; }
  // Where lookups of this name on types are remembered.
  LookupCache& cache() const noexcept { return cache_; }

 private:
  const char* text_;
  mutable PyObject* obj_ = nullptr;
  mutable LookupCache cache_;
};

}  // namespace kov
