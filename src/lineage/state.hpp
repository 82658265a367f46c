// What the engine keeps beyond one analysis: the sqlglot classes it tells
// apart, the class of every node type it has met, the result types, and the
// constant table.  Process-wide for the reasons the analyser's own state is
// (interop/process_state.hpp): written when the module is executed and when
// a node type is met for the first time, always under the interpreter lock;
// never released (static destructors run after the interpreter finalised).
#pragma once

#include "interop/object.hpp"
#include "lineage/kinds.hpp"
#include "lineage/names.hpp"

#include <unordered_map>

namespace qarvel::lineage {

inline constexpr int kClassSlots = 128;

struct engine_state {
    bool classes_loaded = false;
    py::static_ref classes[kClassSlots];
    std::unordered_map<PyTypeObject*, kind> kind_cache;
    py::static_refs cached_types;
    // The args keys that differ between sqlglot generations (borrowed from lk).
    PyObject* key_from = nullptr;
    PyObject* key_with = nullptr;
    PyObject* key_except = nullptr;
    PyObject* upper_name = nullptr;  // "upper"
    PyObject* lower_name = nullptr;  // "lower"
    // The result types (named tuples registered by the Python package).
    py::static_ref source_type;
    py::static_ref unresolved_type;
    py::static_ref column_type;
    py::static_ref table_type;
};

extern engine_state engine;

}  // namespace qarvel::lineage
