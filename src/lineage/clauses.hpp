// Every key of sqlglot's `arg_types` for the nodes the engine walks as
// queries, sources and writing statements, in one table: read by the
// engine, known not to affect lineage (with a word why), or known and not
// traced.  A key the table does not list (a clause a newer sqlglot adds) is
// reported when it is set, so no clause is dropped in silence.
#pragma once

#include "interop/object.hpp"
#include "lineage/kind.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace qarvel::lineage {

enum class clause_use : std::uint8_t {
    read,        // the engine reads it
    no_lineage,  // it does not change which values or rows the columns have
    untraced,    // it does, and the engine does not trace it
};

struct clause_rule {
    const char* key;
    clause_use use;
    const char* words;  // no_lineage: why; untraced: the construct's name
};

// The constructs of the keys of `node` (of kind `k`) that are set and that
// the engine does not read: the untraced ones by their name, unknown ones
// by the class of their value (or the key).  Nothing for kinds the table
// does not cover.
std::vector<std::string> unread_clauses(py::handle node, kind k);

// The table as {class name: {key: (use, words)}}, for the module.
py::object clause_table();

}  // namespace qarvel::lineage
