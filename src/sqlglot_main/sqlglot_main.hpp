// sqlglot_main: the module boundary of the lineage analyser.  Loading
// (module.cpp) and the method table (methods.cpp); method objects, argument
// binding and traceback entries are the shared machinery of interop/.
#pragma once

#include "interop/method.hpp"

namespace qarvel {

// The method objects of QarvelSQLGlotMain.
extern method_family analyser_methods;

// The method table, in definition order.
extern const method_spec method_table[];
extern const int method_count;

}  // namespace qarvel
