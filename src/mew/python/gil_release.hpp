// Releases the GIL around blocking C++ work in zol_mew's bindings; use it
// instead of pybind11::gil_scoped_release.
//
// A thread that takes the GIL back while the interpreter finalises is ended
// by CPython with pthread_exit, inside PyEval_RestoreThread. The forced unwind
// that follows must pass every frame up to the thread's start; one noexcept
// frame on the way, such as gil_scoped_release's destructor, and the C++
// runtime aborts the process. This destructor may therefore throw, and so may
// every function between it and the pybind11 dispatcher (which lets the
// unwind through). Nor may the GIL be taken back in a destructor while another
// exception unwinds the stack: a second exception in flight terminates too.
// without_gil() takes care of both; GilRelease alone is for work that cannot
// throw.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>

namespace mew::python {

class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()), outer_(current_) { current_ = this; }
  ~GilRelease() noexcept(false) { restore(); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  // Takes the GIL back now; idempotent.
  void restore() {
    if (restored_) return;
    restored_ = true;
    current_ = outer_;
    PyThreadState* state = state_;
    state_ = nullptr;
    if (state != nullptr) PyEval_RestoreThread(state);
  }

  // Raised by check_signals when a signal handler raised (KeyboardInterrupt):
  // the Python exception is set; the caller throws error_already_set once the
  // GIL is back.
  struct SignalRaised {};

  // Takes the GIL for a moment and runs Python's signal handlers, when called
  // on a thread that released it with a GilRelease; else does nothing. Throws
  // SignalRaised when a handler raised.
  static void check_signals() {
    GilRelease* self = current_;
    if (self == nullptr || self->state_ == nullptr) return;
    // Cleared first: if the interpreter ends this thread inside
    // PyEval_RestoreThread, the destructor must not try again.
    PyThreadState* state = self->state_;
    self->state_ = nullptr;
    PyEval_RestoreThread(state);
    const int failed = PyErr_CheckSignals();
    self->state_ = PyEval_SaveThread();
    if (failed != 0) throw SignalRaised{};
  }

 private:
  PyThreadState* state_;
  GilRelease* outer_;
  bool restored_ = false;
  static inline thread_local GilRelease* current_ = nullptr;
};

// Runs f() with the GIL released and returns its result. An exception from f
// is caught while the GIL is still released and thrown again once it is back.
template <class F>
auto without_gil(F&& f) -> decltype(f()) {
  GilRelease nogil;
  std::exception_ptr failure;
  try {
    return f();
  } catch (...) {
    failure = std::current_exception();
    // Empty for what is no C++ exception: the forced unwind by which the
    // interpreter ends this thread (from check_signals). No GIL to take: let
    // it go on. (Caught as `...`: the forced unwind has no object to bind a
    // reference to.)
    if (!failure) throw;
  }
  nogil.restore();
  std::rethrow_exception(failure);
}

}  // namespace mew::python
