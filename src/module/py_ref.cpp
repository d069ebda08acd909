#include "module/py_ref.hpp"

namespace kov::unwind_detail {

thread_local bool thread_is_ending = false;

}  // namespace kov::unwind_detail
