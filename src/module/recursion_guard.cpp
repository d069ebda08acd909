#include "module/recursion_guard.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>

namespace kov::recursion_detail {

namespace {

// From 3.12 the interpreter's limit for C code is a fixed count, sized for its own frames;
// a level of ours (operation, master call, the interpreter's dispatch in between) uses more
// stack than that, and far more under AddressSanitizer. The stack that is really left
// therefore also ends the recursion, with the same error, while there is still room to
// raise and unwind it.
constexpr std::size_t kStackReserve = 256 * 1024;

}  // namespace

thread_local StackFloor stack_floor{0, false, 0};

std::uintptr_t find_stack_floor() {
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

bool refuse_deeper_call() {
  PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kWhere);
  return false;
}

}  // namespace kov::recursion_detail
