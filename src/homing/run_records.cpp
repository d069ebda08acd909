#include "homing/run_records.hpp"

#include <algorithm>

#include "controller/operations.hpp"
#include "module/call_support.hpp"
#include "module/module_state.hpp"

namespace kov::homing {

namespace {

// A record is a dict: "end", a lock that is held from the start until the run has ended
// (as the interpreter holds a thread's own lock), and "failed".
const Name kEnd{"end"};
const Name kFailed{"failed"};

Ref threading_attribute(const char* name) {
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  return threading ? Ref::steal(PyObject_GetAttrString(threading.get(), name)) : Ref();
}

// The table of records, by thread (borrowed).
PyObject* records(const Call& c) {
  ModuleState* state = state_of(c.module());
  if (state == nullptr || state->homing_runs == nullptr) {
    raise_text(PyExc_RuntimeError, "zol_kov homing used after module teardown");
    return nullptr;
  }
  return state->homing_runs;
}

bool is_plain_thread(PyObject* obj, PyObject* thread_type) {
  return reinterpret_cast<PyObject*>(Py_TYPE(obj)) == thread_type;
}

bool runs_own_procedure(const Call& c, PyObject* target) {
  return PyMethod_Check(target) && PyMethod_GET_SELF(target) == c.self() &&
         is_function_of(PyMethod_GET_FUNCTION(target), kFindOThreadFunc);
}

// The record of the run on the calling thread: None without one.
Ref own_record(const Call& c) {
  Ref current_thread = threading_attribute("current_thread");
  Ref thread = current_thread ? call(current_thread.get(), {}) : Ref();
  return thread ? record_of(c, thread.get()) : Ref();
}

Ref end_lock(PyObject* record) {
  Ref lock = Ref::borrow(PyDict_GetItemWithError(record, kEnd.get()));
  if (!lock && !PyErr_Occurred()) raise_text(PyExc_RuntimeError, "homing run record has no end");
  return lock;
}

}  // namespace

bool open_record(const Call& c, PyObject* thread, PyObject* target) {
  Ref thread_type = threading_attribute("Thread");
  if (!thread_type) return false;
  if (!is_plain_thread(thread, thread_type.get()) || !runs_own_procedure(c, target)) return true;
  // The keys are interned here, before any record exists, so every later use finds them.
  PyObject* table = kEnd.get() && kFailed.get() ? records(c) : nullptr;
  Ref lock_type = table ? threading_attribute("Lock") : Ref();
  Ref end = lock_type ? call(lock_type.get(), {}) : Ref();
  Ref record = end ? Ref::steal(PyDict_New()) : Ref();
  return record && call_method(end.get(), kAcquireMethod, {}) &&
         PyDict_SetItem(record.get(), kEnd.get(), end.get()) == 0 &&
         PyDict_SetItem(record.get(), kFailed.get(), Py_False) == 0 &&
         PyObject_SetItem(table, thread, record.get()) == 0;
}

Ref record_of(const Call& c, PyObject* thread) {
  PyObject* table = records(c);
  Ref thread_type = table ? threading_attribute("Thread") : Ref();
  if (!thread_type) return {};
  // Only a plain thread can have one; other objects may not even take a weak reference.
  if (!is_plain_thread(thread, thread_type.get())) return Ref::none();
  return call_method(table, kGetMethod, {thread});
}

void note_failure(const Call& c) {
  SavedError pending;
  Ref record = own_record(c);
  if (record && record.get() != Py_None) PyDict_SetItem(record.get(), kFailed.get(), Py_True);
  PyErr_Clear();
  pending.restore();
}

void note_end(const Call& c) {
  SavedError pending;
  Ref record = own_record(c);
  Ref end = record && record.get() != Py_None ? end_lock(record.get()) : Ref();
  if (end) call_method(end.get(), kReleaseMethod, {});
  PyErr_Clear();
  pending.restore();
}

int wait_for_end(PyObject* record, PyObject* timeout) {
  Ref end = end_lock(record);
  Ref limit = timeout == Py_None ? integer(-1) : real(std::max(PyFloat_AS_DOUBLE(timeout), 0.0));
  Ref got = end && limit ? call_method(end.get(), kAcquireMethod, {Py_True, limit.get()}) : Ref();
  if (!got) return -1;
  if (got.get() != Py_True) return 0;
  // Called from C, nothing runs between the two calls: a Ctrl-C cannot keep the lock.
  return call_method(end.get(), kReleaseMethod, {}) ? 1 : -1;
}

bool failed(PyObject* record) {
  const bool raised = PyDict_GetItemWithError(record, kFailed.get()) == Py_True;
  PyErr_Clear();
  return raised;
}

}  // namespace kov::homing
