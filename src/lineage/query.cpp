// Queries: SELECT, set operations, parenthesised queries, VALUES, the WITH
// clause, the select list and the clauses after FROM.
#include "lineage/analysis.hpp"

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/state.hpp"
#include "lineage/tree.hpp"

namespace qarvel::lineage {

using py::handle;
using py::object;

namespace {

// The deepest nesting of queries the analysis follows; deeper ones are
// reported as unresolved instead of risking the C stack.
constexpr int kMaxQueryDepth = 200;
// Rounds of a recursive CTE before its lineage is taken as complete.
constexpr int kMaxRecursiveRounds = 8;

// The integer a positional GROUP BY / ORDER BY item names (1-based), or 0.
long position_of(handle node) {
    if (kind_of(node) != kind::Literal) return 0;
    object a = args_of(node);
    if (truthy(arg(a, lk.is_string))) return 0;
    object text = arg(a, lk.this_);
    if (!text || !PyUnicode_Check(text.ptr())) return 0;
    const std::string digits = utf8(text);
    if (digits.empty() || digits.size() > 6) return 0;
    long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The size of a query's lineage, to see whether a round added to it.
std::size_t size_of(const query_info& info) {
    std::size_t n = info.all.indirect.size() + info.all.unresolved.size();
    for (const output& o : info.outputs) n += o.lin.direct.size() + o.lin.indirect.size() + o.lin.unresolved.size();
    return n;
}

// The output named `name`, or null (placeholders name none).
const output* output_named(const query_info* q, handle name) {
    for (const output& o : q->outputs) {
        if (!o.placeholder() && same_name(o.name, name)) return &o;
    }
    return nullptr;
}

}  // namespace

// --- queries -----------------------------------------------------------------------

const query_info* analysis::query(handle node, scope* outer, const cte_env* env) {
    if (query_depth_ >= kMaxQueryDepth) {
        query_info& q = queries_.emplace_back();
        q.all.add_unresolved(note(lk.empty, {}, {reason::queries_too_deep}), FILTER);
        return &q;
    }
    ++query_depth_;
    // A row generator of an enclosing select list makes no rows of this query.
    struct leave {
        int& depth;
        lineage*& rows;
        lineage* saved;
        ~leave() {
            --depth;
            rows = saved;
        }
    } guard{query_depth_, rows_of_item_, rows_of_item_};
    rows_of_item_ = nullptr;

    const kind k = kind_of(node);
    if (k == kind::Select) return select(node, outer, env);
    if (is_set_operation(k)) return set_operation(node, k, outer, env);
    if (k == kind::Subquery) return parenthesised(node, outer, env);
    if (k == kind::Values) {
        scope sc;
        sc.outer = outer;
        sc.env = env;
        return values(node, sc);
    }
    return &queries_.emplace_back();
}

// (query) [ORDER BY ... LIMIT ...], or parentheses around sources.
const query_info* analysis::parenthesised(handle node, scope* outer, const cte_env* env) {
    const cte_env* inner_env = with_clause(node, outer, env);
    object inner = arg_of(node, lk.this_);
    if (!inner) return &queries_.emplace_back();
    scope sc;
    sc.outer = outer;
    sc.env = inner_env;
    if (!is_query(kind_of(inner))) {
        // (t), (x JOIN y): every column of the sources, as SELECT * would.
        query_info& q = queries_.emplace_back();
        untraced(node, kind::Subquery, q.all);
        add_source(inner, sc, q);
        joins(arg_of(node, lk.joins), sc, q);
        star({}, {}, sc, q);
        return &q;
    }
    const query_info* q = query(inner, outer, inner_env);
    // Modifiers of a parenthesised query: ORDER BY ... LIMIT (sqlglot may
    // put any clause of a query on the parentheses).
    object a = args_of(node);
    bool modified = false;
    for (handle key : {lk.order, lk.limit, lk.offset, lk.where, lk.prewhere, lk.connect, lk.group, lk.having,
                       lk.qualify, lk.sort, lk.cluster, lk.sample}) {
        modified = modified || static_cast<bool>(arg(a, key));
    }
    lineage unread;
    const bool has_unread = untraced(node, kind::Subquery, unread);
    if (modified || has_unread) {
        query_info& copy = queries_.emplace_back(*q);
        copy.all.absorb_influences(unread);
        sc.outputs = &copy.outputs;
        if (modified) modifiers(node, sc, copy, false);
        return &copy;
    }
    return q;
}

const query_info* analysis::select(handle node, scope* outer, const cte_env* env) {
    object a = args_of(node);
    query_info& q = queries_.emplace_back();
    untraced(node, kind::Select, q.all);
    scope sc;
    sc.outer = outer;
    sc.env = with_clause(node, outer, env);

    from_and_joins(a, sc, q);
    each(arg(a, lk.laterals), [&](handle lateral) { add_source(lateral, sc, q); });
    if (object match = arg(a, lk.match)) match_recognize(match, sc, q);
    sc.windows = arg(a, lk.windows);
    sc.hierarchical = static_cast<bool>(arg(a, lk.connect));

    select_list(node, sc, q);
    modifiers(node, sc, q, true);
    return &q;
}

const query_info* analysis::values(handle node, scope& sc) {
    query_info& v = queries_.emplace_back();
    untraced(node, kind::Values, v.all);
    each(arg_of(node, lk.expressions), [&](handle tuple) {
        std::size_t i = 0;
        auto cell = [&](handle e) {
            if (v.outputs.size() <= i) v.outputs.emplace_back().name = generated_name(i);
            walk(e, sc, mode{}, v.outputs[i].lin, clause::plain, 0);
            ++i;
        };
        if (kind_of(tuple) == kind::Tuple) {
            each(arg_of(tuple, lk.expressions), cell);
        } else {
            cell(tuple);
        }
    });
    return &v;
}

// --- set operations ----------------------------------------------------------------

const query_info* analysis::set_operation(handle node, kind k, scope* outer, const cte_env* env) {
    object a = args_of(node);
    object left_node = arg(a, lk.this_);
    object right_node = arg(a, lk.expression);
    const bool named = k == kind::Union && truthy(arg(a, lk.by_name));
    if (left_node && right_node && k == kind::Union && !named) return union_chain(node, outer, env);
    const cte_env* inner_env = with_clause(node, outer, env);
    if (!left_node || !right_node) return &queries_.emplace_back();
    const query_info* left = query(left_node, outer, inner_env);
    const query_info* right = query(right_node, outer, inner_env);
    query_info& q = queries_.emplace_back();
    untraced(node, k, q.all);
    q.outputs = left->outputs;
    q.all.absorb_influences(left->all);
    q.all.absorb_influences(right->all);
    if (named) {
        by_name(a, left, right, q);
    } else {
        // INTERSECT / EXCEPT: the right branch decides which rows remain.
        for (const output& r : right->outputs) q.all.absorb(r.lin, mode{}.influence(FILTER));
    }
    return with_modifiers(node, outer, inner_env, q);
}

// ORDER BY ... LIMIT of a set operation, whose select list is its outputs.
const query_info* analysis::with_modifiers(handle node, scope* outer, const cte_env* env, query_info& q) {
    scope sc;
    sc.outer = outer;
    sc.env = env;
    sc.outputs = &q.outputs;
    modifiers(node, sc, q, false);
    return &q;
}

// A chain of UNIONs nests to the left, a level per branch: it is walked
// with a loop, so a long chain needs no deep recursion.  Every branch feeds
// the result, by position.
const query_info* analysis::union_chain(handle node, scope* outer, const cte_env* env) {
    const cte_env* inner_env = with_clause(node, outer, env);
    object a = args_of(node);
    std::vector<object> branches{arg(a, lk.expression)};
    std::vector<object> chained{object::borrow(node)};  // the UNION nodes of the chain
    object left = arg(a, lk.this_);
    while (kind_of(left) == kind::Union) {
        object la = args_of(left);
        object next_left = arg(la, lk.this_);
        object next_right = arg(la, lk.expression);
        if (!next_left || !next_right || truthy(arg(la, lk.by_name)) || arg(la, engine.key_with) ||
            arg(la, lk.order) || arg(la, lk.limit) || arg(la, lk.offset)) {
            break;
        }
        branches.push_back(next_right);
        chained.push_back(left);
        left = next_left;
    }
    const query_info* first = query(left, outer, inner_env);
    query_info& q = queries_.emplace_back();
    for (const object& u : chained) untraced(u, kind::Union, q.all);
    q.outputs = first->outputs;
    q.all.absorb_influences(first->all);
    bool mismatch = false;
    for (auto branch = branches.rbegin(); branch != branches.rend(); ++branch) {
        const query_info* right = query(*branch, outer, inner_env);
        q.all.absorb_influences(right->all);
        for (std::size_t i = 0; i < right->outputs.size() && i < q.outputs.size(); ++i) {
            q.outputs[i].lin.absorb(right->outputs[i].lin, mode{});
            q.outputs[i].fields = merge_fields(q.outputs[i].fields, right->outputs[i].fields);
            const output& r = right->outputs[i];
            if (q.outputs[i].placeholder() && r.placeholder()) {
                std::vector<const output*>& also = q.outputs[i].also;
                also.push_back(&r);
                also.insert(also.end(), r.also.begin(), r.also.end());
            }
        }
        mismatch = mismatch || (right->outputs.size() != first->outputs.size() && !first->has_placeholder() &&
                                !right->has_placeholder());
    }
    if (mismatch) q.all.add_unresolved(note(lk.empty, {}, {reason::branch_column_counts}), FILTER);
    return with_modifiers(node, outer, inner_env, q);
}

// BY NAME / CORRESPONDING: columns meet by name; ON (...) lists them, INNER
// keeps the common ones, LEFT the left branch's, otherwise all.
void analysis::by_name(handle args, const query_info* left, const query_info* right, query_info& q) {
    auto text_of = [&](handle key) {
        object value = arg(args, key);
        return value && PyUnicode_Check(value.ptr()) ? utf8(value) : std::string{};
    };
    const std::string side = text_of(lk.side), join_kind = text_of(lk.kind);
    std::vector<handle> names;
    if (object on = arg(args, lk.on)) {
        each(on, [&](handle c) {
            if (handle n = column_name(c)) names.push_back(n);
        });
    } else {
        for (const output& o : left->outputs) {
            if (join_kind != "INNER" || output_named(right, o.name) != nullptr) names.push_back(o.name);
        }
        if (join_kind != "INNER" && side != "LEFT") {
            for (const output& o : right->outputs) {
                if (output_named(left, o.name) == nullptr) names.push_back(o.name);
            }
        }
    }
    q.outputs.clear();
    for (handle name : names) {
        output o;
        o.name = name;
        const output* l = output_named(left, name);
        const output* r = output_named(right, name);
        if (l != nullptr) o.lin.absorb(l->lin, mode{});
        if (r != nullptr) o.lin.absorb(r->lin, mode{});
        o.literal_name = l != nullptr ? l->literal_name : (r != nullptr && r->literal_name);
        q.outputs.push_back(std::move(o));
    }
}

// --- WITH --------------------------------------------------------------------------

const cte_env* analysis::with_clause(handle node, scope* outer, const cte_env* env) {
    object with = arg_of(node, engine.key_with);
    if (!with) return env;
    object a = args_of(with);
    const bool recursive = truthy(arg(a, lk.recursive));
    lineage with_unread;
    untraced(with, kind::With, with_unread);
    each(arg(a, lk.expressions), [&](handle cte) {
        lineage unread = with_unread;
        untraced(cte, kind::CTE, unread);
        object ca = args_of(cte);
        object alias = arg(ca, lk.alias);
        object body = arg(ca, lk.this_);
        handle name = name_of(arg_of(alias, lk.this_));
        if (!name || !body) return;
        // WITH c(a, b) AS (...): the column list names the outputs.
        const std::vector<handle> column_names = names_in(arg_of(alias, lk.columns));
        const query_info* q = recursive ? recursive_cte(name, body, column_names, outer, env)
                                        : renamed(query(body, outer, env), column_names);
        if (!unread.empty()) {
            query_info& copy = queries_.emplace_back(*q);
            copy.all.absorb_influences(unread);
            q = &copy;
        }
        env = &envs_.emplace_back(cte_env{name, q, env});
    });
    return env;
}

// To a fixed point: each round reads the previous round's lineage for its
// own references; a round that adds nothing ends it.
const query_info* analysis::recursive_cte(handle name, handle body, const std::vector<handle>& columns,
                                          scope* outer, const cte_env* env) {
    query_info& start = queries_.emplace_back();
    start.in_progress = true;
    // The first round reads the anchor's rows (the leftmost branch of the
    // UNION), so a star over the CTE in the recursive branch has its columns.
    const query_info* seed = &start;
    object anchor = py::object::borrow(body);
    while (kind_of(anchor) == kind::Union) {
        object left = arg_of(anchor, lk.this_);
        if (!left) break;
        anchor = std::move(left);
    }
    if (anchor.ptr() != body.ptr()) {
        seed = renamed(query(anchor, outer, &envs_.emplace_back(cte_env{name, &start, env})), columns);
    }
    const query_info* q = renamed(query(body, outer, &envs_.emplace_back(cte_env{name, seed, env})), columns);
    for (int round = 0; round < kMaxRecursiveRounds; ++round) {
        const query_info* again = renamed(query(body, outer, &envs_.emplace_back(cte_env{name, q, env})), columns);
        query_info& merged = queries_.emplace_back(*q);
        const std::size_t before = size_of(merged);
        for (std::size_t i = 0; i < merged.outputs.size() && i < again->outputs.size(); ++i) {
            merged.outputs[i].lin.absorb(again->outputs[i].lin, mode{});
            merged.outputs[i].fields = merge_fields(merged.outputs[i].fields, again->outputs[i].fields);
        }
        merged.all.absorb_influences(again->all);
        q = &merged;
        if (size_of(merged) == before) break;
    }
    return q;
}

// A copy of `q` whose outputs take the names of an alias's column list.
// Past a placeholder the names are known but not which column each one is.
const query_info* analysis::renamed(const query_info* q, const std::vector<handle>& names) {
    if (names.empty()) return q;
    query_info& copy = queries_.emplace_back();
    copy.all = q->all;
    copy.in_progress = q->in_progress;
    std::size_t i = 0;
    for (; i < names.size() && i < q->outputs.size(); ++i) {
        const output& o = q->outputs[i];
        if (o.placeholder()) break;
        output named = o;
        named.name = names[i];
        named.shown = {};
        named.literal_name = false;
        copy.outputs.push_back(std::move(named));
    }
    if (i == names.size()) {
        // Fewer names than columns: the rest keep theirs.
        for (std::size_t j = i; j < q->outputs.size(); ++j) copy.outputs.push_back(q->outputs[j]);
    }
    for (std::size_t j = i; j < names.size(); ++j) {
        if (i < q->outputs.size()) {
            copy.outputs.push_back(unnamed_after_star(names[j], q->outputs[i]));
        } else {
            copy.outputs.emplace_back().name = names[j];
        }
    }
    return &copy;
}

// A name of a column list that falls on or past a star over unknown
// columns: which column it is is not known.
output analysis::unnamed_after_star(handle name, const output& star) {
    output named;
    named.name = name;
    named.shown = {};
    handle table;
    cause why{reason::needs_schema};
    if (star.star_table >= 0) {
        table = table_label(star.star_table);
    } else if (star.opaque_note >= 0) {
        const unresolved_entry& entry = unresolved_[static_cast<std::size_t>(star.opaque_note)];
        table = entry.table;
        why = entry.why;
    }
    named.lin.add_unresolved(note(name, table, std::move(why)), mode{});
    return named;
}

// --- select list -------------------------------------------------------------------

handle analysis::output_name(handle item, kind k) {
    object a = args_of(item);
    switch (k) {
        case kind::Alias:
        case kind::PivotAlias: return name_of(arg(a, lk.alias));
        case kind::Column: return name_of(arg(a, lk.this_));
        case kind::Identifier: return name_of(item);
        case kind::Literal: {
            object text = arg(a, lk.this_);
            if (!text || !PyUnicode_Check(text.ptr())) return {};
            read_literal_name();
            return intern_text(std::move(text));
        }
        case kind::Star: return lk.star;
        case kind::Dot: return name_of(arg(a, lk.expression));
        case kind::Paren:
        case kind::Cast: {
            // Their name is the name of what they hold, when that has one.
            object inner = arg(a, lk.this_);
            if (!inner) return {};
            const kind ik = kind_of(inner);
            if (ik == kind::Column) return name_of(arg_of(inner, lk.this_));
            if (ik == kind::Identifier || ik == kind::Literal) return output_name(inner, ik);
            return {};
        }
        case kind::Subquery: return alias_name(arg(a, lk.alias));
        case kind::Bracket: {
            object index = arg(a, lk.expressions);
            if (index && PyList_Check(index.ptr()) && PyList_GET_SIZE(index.ptr()) == 1) {
                object only = object::borrow(PyList_GET_ITEM(index.ptr(), 0));
                return output_name(only, kind_of(only));
            }
            return {};
        }
        default: return {};
    }
}

void analysis::select_list(handle node, scope& sc, query_info& q) {
    sc.outputs = &q.outputs;
    // The row generators of the select list (explode(v), UNNEST(v)) decide
    // the query's rows.
    struct restore {
        lineage*& rows;
        lineage* saved;
        ~restore() { rows = saved; }
    } guard{rows_of_item_, rows_of_item_};
    rows_of_item_ = &q.all;
    std::size_t index = 0;
    each(arg_of(node, lk.expressions), [&](handle item) {
        const kind k = kind_of(item);
        if (star_item(item, k, sc, q)) {
            // a star: its columns are added
        } else if ((k == kind::QueryTransform || k == kind::Aliases) && several_outputs(item, k, sc, q)) {
            // TRANSFORM (...) USING ... AS (a, b), STACK(...) AS (a, b): one item, several columns.
        } else {
            output o;
            naming_output_ = true;
            output_literal_ = false;
            o.name = output_name(item, k);
            if (rules_.tables_case_sensitive && o.name) {
                keep_written_ = true;
                o.shown = output_name(item, k);
                keep_written_ = false;
                if (o.shown.is(o.name)) o.shown = {};
            }
            naming_output_ = false;
            o.literal_name = output_literal_;
            if (!o.name || PyUnicode_GET_LENGTH(o.name.ptr()) == 0) {
                o.literal_name = false;
                o.name = generated_name(index);
            }
            std::vector<object> columns;
            walk_item(item, sc, o, nullptr, &columns);
            if (!columns.empty()) {
                // COLUMNS(...): a column per column it selects.
                columns_item(item, k, columns, sc, q, index);
            } else if (k == kind::Explode && unnested_struct_ != nullptr) {
                // UNNEST(struct): a column per field.
                emit_fields(*unnested_struct_, q);
            } else if (is_inline_call(item)) {
                // inline(arr): a column per field of the elements.
                inline_outputs(std::move(o), q);
            } else {
                q.outputs.push_back(std::move(o));
            }
        }
        ++index;
    });
}

// A select item that gives several columns: Hive's TRANSFORM (each column
// from every input; without AS, Spark's key and value) and an item with a
// list of aliases (STACK(n, v1, v2, ...) AS (a, b): column j from the values
// at j, j + width, ...; inline(arr) AS (a, b): column j the elements' field
// j; posexplode(arr) AS (pos, v): the position, then the element; any other
// function: each column from all of it).  False when the item is not of
// that form.
bool analysis::several_outputs(handle item, kind k, scope& sc, query_info& q) {
    object a = args_of(item);
    std::vector<handle> names;
    if (k == kind::QueryTransform) {
        object schema = arg(a, lk.schema);
        names = schema ? alias_columns_of(arg_of(schema, lk.expressions)) : std::vector<handle>{};
        if (!schema) {
            names = {normalise(lk.key_column, false, false), normalise(lk.value_column, false, false)};
        }
    } else {
        names = alias_columns_of(arg(a, lk.expressions));
    }
    if (names.empty()) return false;
    object inner = k == kind::QueryTransform ? object::borrow(item) : arg(a, lk.this_);
    std::vector<object> values;
    if (stack_values(inner, values)) {
        for (std::size_t j = 0; j < names.size(); ++j) {
            output& o = q.outputs.emplace_back();
            o.name = names[j];
            stacked_column(values, j, names.size(), sc, o.lin);
        }
        return true;
    }
    lineage whole;
    walk(k == kind::QueryTransform ? arg(a, lk.expressions) : inner, sc, mode{}.transformed(), whole,
         clause::select_list, 0);
    const field_list* element = is_inline_call(inner) ? shape_ : nullptr;
    const bool positions = kind_of(inner) == kind::Posexplode && names.size() > 1;
    for (std::size_t j = 0; j < names.size(); ++j) {
        output& o = q.outputs.emplace_back();
        o.name = names[j];
        if (element != nullptr && !element->array && j < element->fields.size()) {
            o.lin = element->fields[j].lin;
            o.fields = element->fields[j].fields;
        } else if (!(positions && j == 0)) {
            o.lin = whole;
        }
    }
    return true;
}

// STACK(n, v1, v2, ...): the values after the row count (sqlglot 27 keeps
// it as a plain function).  False for any other node, or a STACK of none.
bool analysis::stack_values(handle node, std::vector<object>& values) {
    const kind k = kind_of(node);
    object name = k == kind::Anonymous ? arg_of(node, lk.this_) : object{};
    const bool stack = k == kind::Stack || (name && PyUnicode_Check(name.ptr()) &&
                                            PyUnicode_CompareWithASCIIString(
                                                py::call_method(name, lk.upper).ptr(), "STACK") == 0);
    if (!stack) return false;
    each(arg_of(node, lk.expressions), [&](handle v) { values.push_back(object::borrow(v)); });
    if (k == kind::Anonymous && !values.empty()) values.erase(values.begin());
    return !values.empty();
}

// Column j of `width` columns of STACK's values: every width-th value from j.
void analysis::stacked_column(const std::vector<object>& values, std::size_t j, std::size_t width, scope& sc,
                              lineage& out) {
    for (std::size_t i = j; i < values.size(); i += width) {
        walk(values[i], sc, mode{}.transformed(), out, clause::select_list, 0);
    }
}

// --- clauses -----------------------------------------------------------------------

void analysis::modifiers(handle node, scope& sc, query_info& q, bool has_group_aliases) {
    object a = args_of(node);
    const clause group_clause = has_group_aliases ? clause::group_having : clause::order_by;
    const mode filter = mode{}.influence(FILTER);
    for (handle key : {lk.where, lk.prewhere, lk.connect}) {
        const clause where = key.is(lk.where) ? clause::where_clause : clause::plain;
        if (object condition = arg(a, key)) walk(condition, sc, filter, q.all, where, 0);
    }
    if (object group = arg(a, lk.group)) group_by(group, sc, q, group_clause);
    for (handle key : {lk.having, lk.qualify}) {
        if (object condition = arg(a, key)) walk(condition, sc, filter, q.all, group_clause, 0);
    }
    // DISTINCT ON (k): one row for each value of k, as GROUP BY k gives.
    object distinct = arg(a, lk.distinct);
    object distinct_on = distinct ? arg_of(distinct, lk.on) : object{};
    if (distinct_on) distinct_keys(distinct_on, sc, q);
    // ORDER BY decides which rows appear only under LIMIT / OFFSET / FETCH,
    // or under DISTINCT ON, where it picks the row kept of each group.
    // Hive's SORT BY and CLUSTER BY order the rows each worker gives, which
    // decides the rows under LIMIT as ORDER BY does.
    const bool limited = arg(a, lk.limit) || arg(a, lk.offset) || arg(a, lk.fetch);
    for (handle key : {lk.order, lk.sort, lk.cluster}) {
        object order = arg(a, key);
        if (!order || !(limited || (distinct_on && key.is(lk.order)))) continue;
        const mode m = mode{}.influence(SORT);
        each(arg_of(order, lk.expressions), [&](handle ordered) {
            object item = kind_of(ordered) == kind::Ordered ? arg_of(ordered, lk.this_) : object::borrow(ordered);
            if (!item) return;
            if (!by_position(item, sc, q, m)) walk(item, sc, m, q.all, clause::order_by, 0);
        });
    }
    // TABLESAMPLE: the rows are picked at random, or by the columns it names
    // (BUCKET 1 OUT OF 4 ON c).
    if (object sample = arg(a, lk.sample)) walk(sample, sc, filter, q.all, clause::plain, 0);
}

// Every expression under GROUP BY (its list, ROLLUP, CUBE, GROUPING SETS).
// GROUP BY ALL groups by every select item that does not aggregate.
void analysis::group_by(handle group, scope& sc, query_info& q, clause where) {
    const mode m = mode{}.influence(GROUP_BY);
    object ga = args_of(group);
    if (!ga) return;
    if (truthy(arg(ga, lk.all)) && sc.outputs != nullptr) {
        for (const output& o : *sc.outputs) {
            if (!o.aggregate) q.all.absorb(o.lin, m);
        }
    }
    py::for_each values(py::checked(PyDict_Values(ga.ptr())));
    while (object value = values.next()) {
        each(value, [&](handle item) {
            if (kind_of(item) == kind::not_expression) return;
            if (!by_position(item, sc, q, m)) walk(item, sc, m, q.all, where, 0);
        });
    }
}

// The keys of DISTINCT ON, read as ORDER BY reads its items (output names
// and positions first).
void analysis::distinct_keys(handle on, scope& sc, query_info& q) {
    const mode m = mode{}.influence(GROUP_BY);
    auto key = [&](handle item) {
        if (!by_position(item, sc, q, m)) walk(item, sc, m, q.all, clause::order_by, 0);
    };
    if (kind_of(on) == kind::Tuple) {
        each(arg_of(on, lk.expressions), key);
    } else {
        each(on, key);
    }
}

// GROUP BY 1, ORDER BY 2: the output at that position.
bool analysis::by_position(handle item, scope& sc, query_info& q, mode m) {
    const long position = position_of(item);
    if (position > 0 && sc.outputs != nullptr && static_cast<std::size_t>(position) <= sc.outputs->size()) {
        q.all.absorb((*sc.outputs)[static_cast<std::size_t>(position - 1)].lin, m);
        return true;
    }
    return false;
}

}  // namespace qarvel::lineage
