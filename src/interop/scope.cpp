#include "interop/scope.hpp"

#include "interop/ops.hpp"
#include "interop/process_state.hpp"

namespace qarvel::py {

object global(handle name) {
    if (process.namespace_dict) {
        if (object value = optional_item(process.namespace_dict.ptr(), name)) return value;
    }
    if (process.builtins) {
        if (object value = optional_attr(process.builtins.ptr(), name)) return value;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    throw_error();
}

}  // namespace qarvel::py
