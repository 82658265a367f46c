// sqlglot_main: the module boundary of the lineage analyser.  Loading
// (module.cpp), the method table (methods.cpp), method objects and argument
// binding (method.cpp), and traceback entries (traceback.cpp).
#pragma once

#include "sqlglot_main/method.hpp"
#include "sqlglot_main/traceback.hpp"
