#pragma once

#include "module/py_ref.hpp"

namespace kov {

// The `FileLogHandler` class: a `logging.Handler` that appends each record to its file,
// opening and closing the file per record.
Ref make_file_log_handler_class(PyObject* module);

}  // namespace kov
