#include "interop/scope.hpp"

namespace qarvel::py {

namespace {
static_ref namespace_dict;
static_ref builtins_module;
static_ref print_function;
static_ref not_implemented_error;
}  // namespace

void set_loaded_builtins(handle print, handle nie) {
    print_function.reset(print);
    not_implemented_error.reset(nie);
}

PyObject* loaded_print() { return print_function.ptr(); }
PyObject* loaded_not_implemented_error() { return not_implemented_error.ptr(); }

void set_scope(handle ns, handle builtins) {
    namespace_dict.reset(ns);
    builtins_module.reset(builtins);
}

PyObject* scope_namespace() { return namespace_dict.ptr(); }

object global(handle name) {
    PyObject* value = nullptr;
    if (namespace_dict) {
        if (checked(PyDict_GetItemRef(namespace_dict.ptr(), name.ptr(), &value)) > 0)
            return object::steal(value);
    }
    if (builtins_module) {
        if (checked(PyObject_GetOptionalAttr(builtins_module.ptr(), name.ptr(), &value)) > 0)
            return object::steal(value);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    throw_error();
}

}  // namespace qarvel::py
