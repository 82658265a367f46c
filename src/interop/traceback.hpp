// Traceback entries: a failing native function adds one frame naming itself,
// a file and the line of the failing statement, as a Python function would.
#pragma once

#include "interop/object.hpp"

namespace qarvel {

// Adds an entry (file, function, line; `globals` as the frame's globals) to
// the exception being raised.  The exception itself is kept as it is; if the
// entry cannot be built, only the entry is lost.  Without globals no entry is
// added.
void add_traceback(const char* file, const char* function, int line, PyObject* globals) noexcept;

}  // namespace qarvel
