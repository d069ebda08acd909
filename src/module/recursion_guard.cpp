#include "module/recursion_guard.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "module/python_compat.hpp"

namespace kov {

namespace {

constexpr const char* kWhere = " while calling a Python object";

// From 3.12 the interpreter's limit for C code is a fixed count, sized for its own frames;
// a level of ours (operation, master call, the interpreter's dispatch in between) uses more
// stack than that, and far more under AddressSanitizer. The stack that is really left
// therefore also ends the recursion, with the same error, while there is still room to
// raise and unwind it.
constexpr std::size_t kStackReserve = 256 * 1024;

struct StackFloor {
  std::uintptr_t lowest_safe = 0;  // 0: unknown, no check
  bool known = false;
};

// Initial-exec: a plain offset from the thread pointer, no call to find it.
__attribute__((tls_model("initial-exec"))) thread_local StackFloor stack_floor;

std::uintptr_t lowest_safe_address() {
  if (stack_floor.known) return stack_floor.lowest_safe;
  stack_floor.known = true;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void* base = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attr, &base, &size) == 0 && base != nullptr) {
    // A small thread stack keeps most of itself usable.
    stack_floor.lowest_safe =
        reinterpret_cast<std::uintptr_t>(base) + std::min(kStackReserve, size / 4);
  }
  pthread_attr_destroy(&attr);
  return stack_floor.lowest_safe;
}

bool stack_nearly_exhausted() {
  // The frame address, not a local's: under AddressSanitizer locals may live elsewhere.
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return here < lowest_safe_address();
}

}  // namespace

bool enter_native_call() {
  if (stack_nearly_exhausted()) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kWhere);
    return false;
  }
  return !compat::enter_recursive_call(kWhere);
}

void leave_native_call() { compat::leave_recursive_call(); }

}  // namespace kov
