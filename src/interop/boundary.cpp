#include "interop/boundary.hpp"

#include <exception>
#include <new>

namespace qarvel::py {

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const pending_error&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "a native call failed without setting an exception");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace qarvel::py
