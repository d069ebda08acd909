// The depth limit of native entries. Nested entries into the module's callables beyond the
// first few each count one level of the interpreter's recursion limit, as a call of a
// built-in function does, so a cycle among them raises RecursionError at the usual depth.
// The first few levels (every ordinary call: an operation calling another and the master)
// are counted by the thread alone, which costs no call into the interpreter.
#pragma once

#include <cstdint>

#include "module/py_ref.hpp"
#include "module/python_compat.hpp"

namespace kov {

namespace recursion_detail {

inline constexpr const char* kWhere = " while calling a Python object";

struct StackFloor {
  std::uintptr_t lowest_safe;  // 0: unknown, no check
  bool known;
  unsigned int depth;  // native entries under way on this thread
};

// Nesting levels left to the thread's own count.
inline constexpr unsigned int kUncountedDepth = 32;

// Initial-exec: a plain offset from the thread pointer, no call to find it on every entry.
extern __attribute__((tls_model("initial-exec"))) thread_local StackFloor stack_floor;

// Works the floor of this thread's stack out once; returns it.
std::uintptr_t find_stack_floor();
// Sets RecursionError for a stack that is nearly used up; false.
bool refuse_deeper_call();

}  // namespace recursion_detail

// Takes one level. False, with RecursionError set, when the interpreter's limit is reached
// or when the thread's C stack is nearly used up; then nothing is to be left.
inline bool enter_native_call() {
  using namespace recursion_detail;
  const std::uintptr_t floor = stack_floor.known ? stack_floor.lowest_safe : find_stack_floor();
  // The frame address, not a local's: under AddressSanitizer locals may live elsewhere.
  if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < floor)
    return refuse_deeper_call();
  return !compat::enter_recursive_call(kWhere);
}

// Gives back the level that a successful enter_native_call took.
inline void leave_native_call() { compat::leave_recursive_call(); }

}  // namespace kov
