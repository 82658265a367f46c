// Expressions: the walk over a value's tree.  `walk` looks for pending
// signals, guards the depth and dispatches on the node's kind to a handler
// for its family; a kind without one of its own is an operator or function
// whose operands are all values (walk_operator).
#include "lineage/analysis.hpp"

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/tree.hpp"

#include <cctype>

namespace qarvel::lineage {

using py::handle;
using py::object;

namespace {

// The deepest nesting of expressions the walk follows; deeper parts are
// reported as unresolved instead of risking the C stack.
constexpr int kMaxExpressionDepth = 1500;

// GROUPING_ID(...) where sqlglot has no class of its own for it (27).
bool is_grouping_id(handle node) {
    object name = arg_of(node, lk.this_);
    if (!name || !PyUnicode_Check(name.ptr())) return false;
    std::string text = utf8(name);
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text == "grouping_id";
}

}  // namespace

void analysis::expression(handle node, scope& sc, mode m, lineage& out, clause where) {
    walk(node, sc, m, out, where, 0);
}

void analysis::walk(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    // As the interpreter's loops do, a long walk looks for pending signals
    // (Ctrl-C stops it with KeyboardInterrupt).
    if ((++steps_ & kSignalEvery) == 0 && PyErr_CheckSignals() < 0) py::throw_error();
    if (depth > kMaxExpressionDepth) {
        out.add_unresolved(note(lk.empty, {}, {reason::expression_too_deep}), m);
        shape_ = nullptr;
        return;
    }
    const kind k = kind_of(node);
    dispatch(node, k, sc, m, out, where, depth);
    // What the value is known to hold (a struct's fields) is said only by
    // the kinds that give it (structs.cpp) and the wrappers that pass it on.
    if (!gives_shape(k)) shape_ = nullptr;
}

void analysis::dispatch(handle node, kind k, scope& sc, mode m, lineage& out, clause where, int depth) {
    switch (k) {
        case kind::not_expression:
            if (PyList_Check(node.ptr())) {
                py::for_each items(node);
                while (object item = items.next()) walk(item, sc, m, out, where, depth + 1);
            }
            return;
        case kind::Column: column_ref(node, sc, m, out, where); return;
        case kind::Star:
        case kind::Literal:
        case kind::Null:
        case kind::Boolean:
        case kind::Placeholder:
        case kind::Parameter:
        case kind::Var:
        case kind::DataType:
        case kind::Identifier:
        case kind::TableAlias: return;
        case kind::Alias:
        case kind::PivotAlias:
        case kind::Paren:
        case kind::Ordered:
            // Wrappers: the value they hold.
            if (object inner = arg_of(node, lk.this_)) walk(inner, sc, m, out, where, depth + 1);
            return;
        case kind::Subquery:
        case kind::Select:
        case kind::Union:
        case kind::Intersect:
        case kind::Except: subquery(node, sc, m, out); return;
        case kind::Exists:
            if (object inner = arg_of(node, lk.this_)) subquery(inner, sc, m.transformed(), out);
            return;
        case kind::In: walk_in(node, sc, m, out, where, depth); return;
        case kind::AggFunc:
        case kind::GroupConcat:
            ++aggregates_;
            walk_children(node, sc, m.aggregated(), out, where, depth);
            return;
        case kind::ArrayAgg:
            ++aggregates_;
            walk_array_agg(node, sc, m, out, where, depth);
            return;
        case kind::Grouping:
        case kind::GroupingId: walk_grouping(node, sc, m, out, where, depth); return;
        case kind::Order: walk_order(node, sc, m, out, where, depth); return;
        case kind::WithinGroup: walk_within_group(node, sc, m, out, where, depth); return;
        case kind::Anonymous:
            if (is_grouping_id(node)) {
                walk_grouping(node, sc, m, out, where, depth);
            } else {
                walk_structured(node, k, sc, m, out, where, depth);
            }
            return;
        case kind::Struct:
        case kind::Array:
        case kind::Cast:
        case kind::Bracket:
        case kind::Dot:
        case kind::StructExtract:
        case kind::GetExtract:
        case kind::JSONExtract:
        case kind::JSONExtractScalar:
        case kind::JSONBExtract:
        case kind::JSONBExtractScalar:
        case kind::JSONObject:
        case kind::VarMap:
        case kind::Map:
        case kind::Tuple:
        case kind::Explode:
        case kind::Posexplode:
        case kind::Inline: walk_structured(node, k, sc, m, out, where, depth); return;
        case kind::Window: walk_window(node, sc, m, out, where, depth); return;
        case kind::Case: walk_case(node, sc, m, out, where, depth); return;
        case kind::If: walk_if(node, sc, m, out, where, depth); return;
        case kind::Filter: walk_filter(node, sc, m, out, where, depth); return;
        case kind::MD5:
        case kind::MD5Digest:
        case kind::SHA:
        case kind::SHA2:
        case kind::SHA1Digest:
        case kind::SHA2Digest: walk_children(node, sc, m.masked(), out, where, depth); return;
        case kind::Lambda: walk_lambda(node, sc, m, out, where, depth); return;
        case kind::Columns: walk_columns(node, sc, m, out); return;
        default: walk_operator(node, sc, m, out, where, depth); return;
    }
}

// Every expression under a node's args, used under `m`.
void analysis::walk_children(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    if (!a) return;
    py::for_each values(py::checked(PyDict_Values(a.ptr())));
    while (object value = values.next()) {
        if (PyList_Check(value.ptr())) {
            py::for_each items(value);
            while (object item = items.next()) walk(item, sc, m, out, where, depth + 1);
        } else if (kind_of(value) != kind::not_expression) {
            walk(value, sc, m, out, where, depth + 1);
        }
    }
}

// An operator or function: its value is computed from every operand.  A
// left-deep chain of one operator (a + b + c ..., x OR y OR ...) nests a
// level per operand: it is walked with a loop.
void analysis::walk_operator(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    const mode t = m.transformed();
    object current = object::borrow(node);
    while (true) {
        object a = args_of(current);
        if (!a) return;
        object left = arg(a, lk.this_);
        const bool chain = left && Py_TYPE(left.ptr()) == Py_TYPE(current.ptr());
        py::for_each values(py::checked(PyDict_Values(a.ptr())));
        while (object value = values.next()) {
            if (chain && value.is(left)) continue;
            if (PyList_Check(value.ptr())) {
                py::for_each items(value);
                while (object item = items.next()) walk(item, sc, t, out, where, depth + 1);
            } else if (kind_of(value) != kind::not_expression) {
                walk(value, sc, t, out, where, depth + 1);
            }
        }
        if (!chain) return;
        current = std::move(left);
    }
}

// A scalar sub-query, or one under EXISTS / IN: its values and the
// influences of its rows.
void analysis::subquery(handle node, scope& sc, mode m, lineage& out) {
    // Its aggregates are its own, not those of the item that holds it.
    const std::uint32_t aggregates = aggregates_;
    const query_info* inner = query(node, &sc, sc.env);
    aggregates_ = aggregates;
    for (const output& o : inner->outputs) out.absorb(o.lin, m);
    out.absorb_influences(inner->all);
    // A scalar sub-query's value is its one column, fields and all.
    shape_ = inner->outputs.size() == 1 ? inner->outputs.front().fields : nullptr;
}

// x IN (a, b), x IN (SELECT ...), x IN UNNEST(...).
void analysis::walk_in(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    const mode t = m.transformed();
    if (object value = arg(a, lk.this_)) walk(value, sc, t, out, where, depth + 1);
    each(arg(a, lk.expressions), [&](handle e) { walk(e, sc, t, out, where, depth + 1); });
    if (object q = arg(a, lk.query)) subquery(q, sc, t, out);
    if (object f = arg(a, lk.field)) walk(f, sc, t, out, where, depth + 1);
}

// f(...) OVER (PARTITION BY ... ORDER BY ...), or OVER w: the window's keys
// decide the value (WINDOW), the function gives it.
void analysis::walk_window(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    if (object fn = arg(a, lk.this_)) walk(fn, sc, m, out, where, depth + 1);
    const mode w = m.influence(WINDOW);
    if (object p = arg(a, lk.partition_by)) walk(p, sc, w, out, where, depth + 1);
    if (object o = arg(a, lk.order)) walk(o, sc, w, out, where, depth + 1);
    // OVER w, OVER (w ROWS ...): the named window of the WINDOW clause, and
    // the one it is built on (w2 AS (w1 ORDER BY ...)), down the chain.  A
    // chain is no longer than the clause (a loop of names ends there).
    object named = arg(a, lk.alias);
    handle name = named ? name_of(named) : handle{};
    if (!name || !sc.windows) return;
    const Py_ssize_t defined = PyList_Check(sc.windows.ptr()) ? PyList_GET_SIZE(sc.windows.ptr()) : 1;
    for (Py_ssize_t step = 0; name && step < defined; ++step) {
        handle base;
        bool found = false;
        each(sc.windows, [&](handle window) {
            object wa = args_of(window);
            if (found || !same_name(name_of(arg(wa, lk.this_)), name)) return;
            found = true;
            if (object p = arg(wa, lk.partition_by)) walk(p, sc, w, out, where, depth + 1);
            if (object o = arg(wa, lk.order)) walk(o, sc, w, out, where, depth + 1);
            base = name_of(arg(wa, lk.alias));
        });
        name = base;
    }
}

// CASE: the operand and the conditions decide (CONDITIONAL), the branches give the value.
void analysis::walk_case(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    const mode condition = m.influence(CONDITIONAL);
    const mode value = m.transformed();
    if (object operand = arg(a, lk.this_)) walk(operand, sc, condition, out, where, depth + 1);
    each(arg(a, lk.ifs), [&](handle branch) {
        object ba = args_of(branch);
        if (object c = arg(ba, lk.this_)) walk(c, sc, condition, out, where, depth + 1);
        if (object t = arg(ba, lk.true_)) walk(t, sc, value, out, where, depth + 1);
    });
    if (object d = arg(a, lk.default_)) walk(d, sc, value, out, where, depth + 1);
}

// IF(c, t, f) / IIF: as CASE.
void analysis::walk_if(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    if (object c = arg(a, lk.this_)) walk(c, sc, m.influence(CONDITIONAL), out, where, depth + 1);
    if (object t = arg(a, lk.true_)) walk(t, sc, m.transformed(), out, where, depth + 1);
    if (object f = arg(a, lk.false_)) walk(f, sc, m.transformed(), out, where, depth + 1);
}

// agg(...) FILTER (WHERE ...): the condition decides which rows are aggregated.
void analysis::walk_filter(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    if (object fn = arg(a, lk.this_)) walk(fn, sc, m, out, where, depth + 1);
    if (object f = arg(a, lk.expression)) walk(f, sc, m.influence(FILTER), out, where, depth + 1);
}

// x -> body: the parameters are no columns inside the body.
void analysis::walk_lambda(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    const std::size_t mark = sc.lambda_params.size();
    each(arg(a, lk.expressions), [&](handle p) {
        if (handle name = column_name(p)) sc.lambda_params.push_back(name);
    });
    if (object body = arg(a, lk.this_)) walk(body, sc, m.transformed(), out, where, depth + 1);
    sc.lambda_params.resize(mark);
}

}  // namespace qarvel::lineage

namespace qarvel::lineage {

// GROUPING(a, ...) / GROUPING_ID(...): the value is the grouping level, which
// says which keys a row was grouped by; it carries none of their values.
// The keys are the query's GROUP BY keys.
void analysis::walk_grouping(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    ++aggregates_;
    object a = args_of(node);
    const mode key = m.influence(GROUP_BY);
    if (object only = arg(a, lk.this_); only && kind_of(only) != kind::not_expression) {
        walk(only, sc, key, out, where, depth + 1);
    }
    each(arg(a, lk.expressions), [&](handle e) { walk(e, sc, key, out, where, depth + 1); });
}

// value ORDER BY keys inside an aggregate (list(x ORDER BY y), string_agg(x,
// ',' ORDER BY y)): the keys order the values the aggregate gathers (SORT).
// Only an aggregate's arguments hold an ORDER BY with a value, so the value
// is aggregated even where sqlglot does not know the function for one
// (27 reads DuckDB's LIST as a list constructor).  A window's ORDER BY has
// no value and arrives as an influence already, which it stays.
void analysis::walk_order(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    const field_list* shape = nullptr;  // the value's fields (ARRAY_AGG(STRUCT(...) ORDER BY k))
    if (object value = arg(a, lk.this_)) {
        ++aggregates_;
        walk(value, sc, m.aggregated(), out, where, depth + 1);
        shape = shape_;
    }
    const mode key = m.influence(SORT);
    each(arg(a, lk.expressions), [&](handle e) { walk(e, sc, key, out, where, depth + 1); });
    shape_ = shape;
}

// f(...) WITHIN GROUP (ORDER BY k): for the aggregates that concatenate
// (LISTAGG, ARRAY_AGG) the keys order the values (SORT); for the ordered-set
// and hypothetical-set aggregates (PERCENTILE_CONT, MODE, RANK(v) ...) the
// ordered keys are the values aggregated.
void analysis::walk_within_group(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    object fn = arg(a, lk.this_);
    if (fn) walk(fn, sc, m, out, where, depth + 1);
    object order = arg(a, lk.expression);
    if (!order) return;
    const kind fk = kind_of(fn);
    const mode value = m.aggregated();
    if (fk == kind::ArrayAgg || fk == kind::GroupConcat) {
        walk(order, sc, value, out, where, depth + 1);
        return;
    }
    ++aggregates_;
    each(arg_of(order, lk.expressions), [&](handle e) { walk(e, sc, value, out, where, depth + 1); });
}

}  // namespace qarvel::lineage
