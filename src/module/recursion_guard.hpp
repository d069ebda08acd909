// The depth limit of native entries: each entry into one of the module's callables counts
// one level of the interpreter's recursion limit, as a call of a built-in function does.
#pragma once

#include "module/py_ref.hpp"

namespace kov {

// Takes one level. False, with RecursionError set, when the interpreter's limit is reached
// or when the thread's C stack is nearly used up; then nothing is to be left.
bool enter_native_call();
// Gives back the level that a successful enter_native_call took.
void leave_native_call();

}  // namespace kov
