// The module's namespace and the builtins, as the methods see them: module
// globals are looked up at each use, in the namespace first, then in the
// builtins module (both kept in the process state).
#pragma once

#include "interop/object.hpp"

namespace qarvel::py {

// The module global `name`, or NameError "name '%U' is not defined".
object global(handle name);

}  // namespace qarvel::py
