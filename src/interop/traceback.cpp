#include "interop/traceback.hpp"

#include <frameobject.h>

namespace qarvel {

void add_traceback(const char* file, const char* function, int line, PyObject* globals) noexcept {
    if (globals == nullptr) return;
    PyObject* exception = PyErr_GetRaisedException();
    // The code's first line is the statement's line, so the frame reports it.
    py::object code = py::object::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line)));
    py::object frame;
    if (code) {
        frame = py::object::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.ptr()), globals, nullptr)));
    }
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(exception);
    // On failure the interpreter keeps the exception, chained to the new error.
    if (frame) (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.ptr()));
}

}  // namespace qarvel
