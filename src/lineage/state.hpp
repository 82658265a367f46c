// What the engine keeps beyond one analysis: the sqlglot classes it tells
// apart, the class of every node type it has met, the result types and the
// fingerprint's last lexicon.  Process-wide for
// the reasons the analyser's own state is (interop/process_state.hpp):
// written when the module is executed, when a node type is met for the first
// time and when a new lexicon is handed over, always under the interpreter
// lock; never released (static destructors run after the interpreter
// finalised).
//
// Ownership is in the types: a `static_ref` owns its object, a `handle` is
// borrowed from the constant table (names.hpp), which lives as long as the
// process.
#pragma once

#include "interop/object.hpp"
#include "lineage/kind.hpp"
#include "lineage/lexicon.hpp"

#include <unordered_map>

namespace qarvel::lineage {

inline constexpr int kClassSlots = 160;

struct engine_state {
    bool classes_loaded = false;
    py::static_ref classes[kClassSlots];
    std::unordered_map<PyTypeObject*, kind> kind_cache;
    py::static_refs cached_types;
    // The args keys that differ between sqlglot generations.
    py::handle key_from;
    py::handle key_with;
    py::handle key_except;
    // The result types (named tuples registered by the Python package), and
    // the class of its schema index.
    py::static_ref source_type;
    py::static_ref unresolved_type;
    py::static_ref column_type;
    py::static_ref table_type;
    py::static_ref result_type;
    py::static_ref index_type;
    // The fingerprint's lexicon of the last lexicon tuple handed over
    // (callers pass the same tuple for every statement of a dialect), with
    // that tuple.
    py::static_ref lexicon_spec;
    lexicon last_lexicon;
};

extern engine_state engine;

}  // namespace qarvel::lineage
