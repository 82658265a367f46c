// The engine's constant table: the `args` keys and attribute names it reads
// from sqlglot's trees, and the labels of its results, made once per process
// as interned Python strings when the module is executed.
#pragma once

#include "interop/object.hpp"

// clang-format off
#define QARVEL_LINEAGE_NAMES(X)                                                 \
    /* node attributes and args keys */                                         \
    X(args, "args") X(this_, "this") X(expressions, "expressions")              \
    X(expression, "expression") X(alias, "alias") X(columns, "columns")         \
    X(table, "table") X(db, "db") X(catalog, "catalog") X(quoted, "quoted")     \
    X(joins, "joins") X(where, "where") X(group, "group") X(having, "having")   \
    X(qualify, "qualify") X(order, "order") X(limit, "limit")                   \
    X(offset, "offset") X(fetch, "fetch") X(laterals, "laterals")               \
    X(pivots, "pivots") X(on, "on") X(using_, "using") X(partition_by, "partition_by") \
    X(ifs, "ifs") X(default_, "default") X(true_, "true") X(false_, "false")    \
    X(by_name, "by_name") X(distinct, "distinct") X(recursive, "recursive")     \
    X(except, "except") X(except_, "except_") X(replace, "replace")             \
    X(windows, "windows") X(connect, "connect") X(prewhere, "prewhere")         \
    X(from, "from") X(from_, "from_") X(with, "with") X(with_, "with_")         \
    X(is_string, "is_string") X(kind, "kind") X(query, "query") X(field, "field") \
    X(matched, "matched") X(then, "then") X(whens, "whens") X(source, "source") \
    X(condition, "condition") X(overwrite, "overwrite") X(arg_types, "arg_types") \
    X(fields, "_fields") X(unpivot, "unpivot") X(side, "side") X(method, "method") \
    X(all, "all") X(to, "to") X(explode_array, "explode_array")                 \
    X(sort, "sort") X(cluster, "cluster") X(sample, "sample") X(match, "match") X(measures, "measures") X(define, "define") X(rows, "rows") X(facts, "facts") X(dimensions, "dimensions") X(metrics, "metrics")   \
    X(match_condition, "match_condition") X(nearest, "nearest") X(properties, "properties") \
    X(rename, "rename") X(ilike, "ilike") X(negate, "negate") X(unpack, "unpack") \
    X(keys, "keys") X(values, "values") X(include_nulls, "include_nulls")        \
    /* methods, and the schema index's attributes */                            \
    X(upper, "upper") X(lower, "lower") X(entries, "entries") X(depth, "depth") \
    X(tables, "tables") X(types, "types") X(into, "into") X(actions, "actions")                    \
    X(pivot_fields, "fields") X(value_columns_first, "value_columns_first")     \
    X(rows_from, "rows_from") X(schema, "schema")                               \
    X(compile, "compile") X(search, "search") X(fullmatch, "fullmatch")         \
    X(error, "error") X(columns_call, "COLUMNS(...)")                            \
    /* result labels */                                                         \
    X(DIRECT, "DIRECT") X(INDIRECT, "INDIRECT") X(IDENTITY, "IDENTITY")         \
    X(TRANSFORMATION, "TRANSFORMATION") X(AGGREGATION, "AGGREGATION")          \
    X(JOIN, "JOIN") X(FILTER, "FILTER") X(GROUP_BY, "GROUP_BY") X(SORT, "SORT") \
    X(WINDOW, "WINDOW") X(CONDITIONAL, "CONDITIONAL")                           \
    X(star, "*") X(dot, ".") X(empty, "")                                      \
    /* labels of sources without an alias, and the column of a bare UNNEST */  \
    X(derived_table, "derived table") X(VALUES, "VALUES") X(UNNEST, "UNNEST")   \
    X(LATERAL, "LATERAL") X(table_function, "table function") X(unnest, "unnest") \
    X(ARRAY_JOIN, "ARRAY JOIN") X(MATCH_RECOGNIZE, "MATCH_RECOGNIZE")                                                 \
    /* the columns of functions that name their own (TRANSFORM, json_each) */ \
    X(key_column, "key") X(value_column, "value")                               \
    /* what a statement does to a script's tables */                          \
    X(DEFINE, "DEFINE") X(WRITE, "WRITE") X(REPLACE, "REPLACE")                 \
    X(EMPTY, "EMPTY") X(DROP, "DROP") X(RENAME, "RENAME")                       \
    X(CREATE_TABLE, "CREATE TABLE")
// clang-format on

namespace qarvel::lineage {

struct name_table {
#define QARVEL_LINEAGE_FIELD(field, text) PyObject* field;
    QARVEL_LINEAGE_NAMES(QARVEL_LINEAGE_FIELD)
#undef QARVEL_LINEAGE_FIELD
};

extern name_table lk;

// Creates the table once per process; false with an exception set on failure.
bool create_names();

}  // namespace qarvel::lineage
