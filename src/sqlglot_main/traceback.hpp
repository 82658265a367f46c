// Traceback entries: every failing function exit adds one frame naming the
// function, the file "sqlglot_main.py" and the line of the failing statement.
#pragma once

namespace qarvel {

// Adds an entry to the exception being raised.  The exception itself is kept
// as it is; if the entry cannot be built, only the entry is lost.
void add_traceback(const char* function_name, int line) noexcept;

}  // namespace qarvel
