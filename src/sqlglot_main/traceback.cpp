#include "sqlglot_main/traceback.hpp"

#include "interop/object.hpp"
#include "interop/scope.hpp"

#include <frameobject.h>

namespace qarvel {

void add_traceback(const char* function_name, int line) noexcept {
    PyObject* exception = PyErr_GetRaisedException();
    PyObject* globals = py::scope_namespace();
    PyCodeObject* code = nullptr;
    PyFrameObject* frame = nullptr;
    if (globals != nullptr) {
        // The code's first line is the statement's line, so the frame reports it.
        code = PyCode_NewEmpty("sqlglot_main.py", function_name, line);
        if (code != nullptr) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    }
    if (frame == nullptr) PyErr_Clear();
    PyErr_SetRaisedException(exception);
    // On failure the interpreter keeps the exception, chained to the new error.
    if (frame != nullptr) (void)PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

}  // namespace qarvel
