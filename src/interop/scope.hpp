// The module's namespace and the builtins, as the methods see them: module
// globals are looked up at each use, in the namespace first, then in the
// builtins module.
#pragma once

#include "interop/object.hpp"

namespace qarvel::py {

// Set once by the module's exec step (owning references, kept for the
// process's life).
void set_scope(handle namespace_dict, handle builtins_module);

PyObject* scope_namespace();

// Built-ins fetched once when the module loads; methods use these objects,
// not whatever `builtins` holds later.
void set_loaded_builtins(handle print, handle not_implemented_error);
PyObject* loaded_print();
PyObject* loaded_not_implemented_error();

// The module global `name`, or NameError "name '%U' is not defined".
object global(handle name);

}  // namespace qarvel::py
