// Records of the module's own homing runs, kept beside their thread objects: the
// controller's registry holds the threads alone.
//
// On CPython 3.9 to 3.12 a Thread.join() that an exception interrupts (Ctrl-C in the main
// thread) marks the thread ended although it still runs: is_alive() answers False from
// then on, and every later join() returns at once. A collection that believed them would
// drop a run that goes on to drive the axis. So a run of the module's own marks its end
// itself, and its collection waits for that mark. The record also keeps whether a step of
// the run raised: such a run has not set the origin, whatever stop source the module shows.
#pragma once

#include "module/native_function.hpp"

namespace kov::homing {

// Opens the record of `thread` when it will run the module's own procedure: a plain
// threading.Thread whose target is the controller's own `_find_o_thread_func`. Any other
// thread (a replaced `_Thread` or target) gets none, and its end is what is_alive() says.
bool open_record(const Call& c, PyObject* thread, PyObject* target);

// The record of the run on `thread`: None when it has none; null with an exception set.
Ref record_of(const Call& c, PyObject* thread);

// Called on a run's own thread; an exception pending at the call stays as it is. Nothing
// happens on a thread without a record (a procedure called directly).
void note_failure(const Call& c);  // a step of the run raised
void note_end(const Call& c);      // the run is over: it drives the axis no more

// Waits up to `timeout` (None: without a limit; a negative time counts as zero, as for
// Thread.join) for the run of `record` to mark its end: 1 when it has, 0 when not yet, -1
// with an exception set (Ctrl-C; the record stays as it was).
int wait_for_end(PyObject* record, PyObject* timeout);

// Whether a step of the run of `record` raised.
bool failed(PyObject* record);

}  // namespace kov::homing
