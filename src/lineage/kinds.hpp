// What the engine needs to know about a node of sqlglot's tree: which of the
// shapes it handles the node's class is.  Classes are looked up once each and
// the answer cached by type object, so classifying a node costs one hash
// look-up; subclasses (sqlglot's own and a caller's) are classified by their
// nearest handled base class.
#pragma once

#include "interop/object.hpp"
#include "lineage/kind.hpp"

namespace qarvel::lineage {

// Reads the classes from `sqlglot.exp` (once per process).  False with an
// exception set on failure.
bool load_classes();

// The kind of `node`'s class (the cache is filled on first sight);
// not_expression for an empty handle.
kind kind_of(py::handle node);

// The class object of a kind (borrowed; null when the installed sqlglot has
// no such class).
py::handle class_of(kind k);

// The classes of sqlglot's trees that are statements, as a tuple (those the
// installed sqlglot has).  A text such as "hello world" parses as an
// expression (an alias), which is not one.
py::object statement_classes();

// The statement kind shown to users: the class's name in capitals
// ("SELECT", "INSERT", ...).
py::object kind_label(py::handle node);

}  // namespace qarvel::lineage

namespace qarvel::lineage {

// UNION, INTERSECT, EXCEPT.
constexpr bool is_set_operation(kind k) noexcept {
    return k == kind::Union || k == kind::Intersect || k == kind::Except;
}
// A SELECT or a set operation: a query that has rows of its own.
constexpr bool is_query_body(kind k) noexcept { return k == kind::Select || is_set_operation(k); }
// Anything `analysis::query` reads as a query: a body, a parenthesised
// query, VALUES.
constexpr bool is_query(kind k) noexcept {
    return is_query_body(k) || k == kind::Subquery || k == kind::Values;
}

}  // namespace qarvel::lineage
