// Everything the analyser keeps beyond one call, in one place.
//
// Why process-wide rather than per-module state: the module is loaded into
// one interpreter per process (its create step refuses any other, with the
// message the module has always given), and an import that fails and is
// retried must find the objects made by the failed attempt, so there is
// exactly one of each of these for the life of the process.  The method
// bodies are called with no module argument, so module state would have to
// be found through the interpreter at every use; a static is found for free.
//
// Everything here is written only by the module's create and exec steps
// (under the interpreter lock) and read-only afterwards.  References are
// `static_ref`s: they are never released by a destructor, because static
// destructors run after the interpreter has finalised.
#pragma once

#include "interop/constants.hpp"
#include "interop/object.hpp"

#include <cstdint>

namespace qarvel {

struct process_state {
    // The interpreter the module was first loaded into (-1 before that).
    std::int64_t interpreter_id = -1;
    // The one module object, while loaded or loading.
    py::static_ref module;
    // The module's namespace and the builtins module: where module globals
    // are looked up at each use (scope.hpp).
    py::static_ref namespace_dict;
    py::static_ref builtins;
    // Built-ins fetched once when the module loads.
    py::static_ref print;
    py::static_ref not_implemented_error;
    // The `args` keys under which the installed sqlglot keeps a SELECT's
    // FROM and WITH clauses ("from"/"with" up to 27.x, "from_"/"with_" from
    // 28 on); decided once, from sqlglot itself, when the module loads.
    // Borrowed from the constant table.
    PyObject* arg_from = nullptr;
    PyObject* arg_with = nullptr;
    // Comment removal (normalise.cpp): the replacement function of the
    // line-comment pass and the compiled pattern it applies to the rest of a
    // text after an unterminated block comment.  Made with the interpreter's
    // own `re`, not the module global.
    py::static_ref comment_replacement;
    py::static_ref comment_tail_pattern;
};

extern process_state process;

}  // namespace qarvel
