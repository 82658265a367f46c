// The names visible to the expressions of one query: its sources, and the
// scopes around it.  A source carries the facts its columns are resolved
// with (known columns, the label of messages), taken when it is built.
#pragma once

#include "interop/object.hpp"
#include "lineage/model.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace qarvel::lineage {

// Why a reference is not traced.  The words users read are made from it in
// one place (result.cpp: reason_text).
enum class reason : std::uint8_t {
    queries_too_deep,       // queries nested too deeply
    expression_too_deep,    // expression nested too deeply
    needs_schema,           // needs a schema
    table_function,         // columns of table function <subject> are not known
    source_not_traced,      // source <subject> is not traced
    pivot_not_traced,       // PIVOT output is not traced
    unpivot_not_traced,     // UNPIVOT output is not traced
    not_a_column_of,        // not a column of <subject>
    same_named_columns,     // ambiguous: <subject> has <count> columns named <the reference>
    one_of,                 // ambiguous: one of <subject>
    not_in_any_source,      // not a column of any source
    no_source,              // no source to read it from
    no_such_source,         // no table or alias named <subject>
    branch_column_counts,   // set operation branches differ in column count
    natural_join_columns,   // NATURAL JOIN: the columns it compares are not known (needs a schema)
    struct_fields,          // the fields of struct <subject> are not known / not all named once (count 1)
    pivot_values_from_data, // pivot values come from the data
    selector_not_decided,   // the columns COLUMNS(...) selects cannot be told from their names
    bad_pattern,            // <subject> is not a valid regular expression
    nothing_selected,       // the star's modifiers leave no column
    columns_differ,         // different COLUMNS(...) in one expression
    not_traced,             // not traced: <subject> (a clause the engine does not read)
};

// A reason with the parts of its words that vary (a table, a list of
// candidates, a count).
struct cause {
    reason code = reason::needs_schema;
    std::string subject;
    std::size_t count = 0;

    cause() = default;
    // A reason without varying parts is a cause of its own.
    cause(reason r) : code(r) {}
    cause(reason r, std::string s, std::size_t n = 0) : code(r), subject(std::move(s)), count(n) {}
};

// Where an unqualified name may also name a select-list alias (in WHERE,
// only a name nothing else has).
enum class clause : std::uint8_t { plain, select_list, where_clause, group_having, order_by };

// The CTEs visible from a query, innermost first.
struct cte_env {
    py::handle name;
    const query_info* q;
    const cte_env* next;
};

// A source of a query: a physical table, a derived one (CTE, sub-query,
// UNNEST, VALUES, table function: its columns are a query_info's outputs),
// or one whose columns are not traced (PIVOT).  Its names are borrowed from
// the analysis that built it, which outlives it.
struct source {
    enum type : std::uint8_t { physical, derived, opaque };
    type kind = physical;
    py::handle alias;       // what qualifies its columns (normalised), may be empty
    py::handle label;       // its name in messages (the analysis's object of that text)
    int table = -1;         // physical: index in the table registry
    py::handle table_name;  // physical: the table's own name and db, for t.c and db.t.c
    py::handle table_db;
    py::handle known;                // physical: the schema's columns (a tuple), or empty
    const query_info* q = nullptr;  // derived
    cause opaque_cause;             // opaque: why its columns are not traced
    bool hides = false;             // its columns hide those of the sources before it (ARRAY JOIN)
    bool qualified_only = false;    // read only as alias.column (MATCH_RECOGNIZE's pattern variables)

    // Whether its columns are known (a schema, or a derived table without a
    // star over unknown columns).
    bool columns_known() const;
    // Whether it is known to have a column `name` (false when its columns
    // are not known).
    bool has_column(py::handle name) const;
};

// The sources of one scope that may hold an unqualified column: those known
// to have it, and those whose columns are not known.
struct candidates {
    std::vector<const source*> definite;
    std::vector<const source*> unknown;
};

struct scope {
    std::vector<source> sources;
    scope* outer = nullptr;
    const cte_env* env = nullptr;
    const std::vector<output>* outputs = nullptr;  // the select list, for alias references
    std::vector<py::handle> using_names;           // columns of USING joins
    std::vector<py::handle> lambda_params;
    py::object windows;                            // the WINDOW clause's named windows
    bool hierarchical = false;                     // CONNECT BY: LEVEL and its kind exist

    // The source a qualifier names here: by alias first, else the one
    // physical table of that name (in db `db`, when given); null for none.
    const source* find(py::handle qualifier, py::handle db = {}) const;
    // The source whose alias is `name` (a source's name used as a value).
    const source* named(py::handle name) const;
    // The sources of this scope that may hold the unqualified column `name`.
    candidates candidates_for(py::handle name) const;
    bool is_using_column(py::handle name) const;
    bool is_lambda_param(py::handle name) const;
};

}  // namespace qarvel::lineage
