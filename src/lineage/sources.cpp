// Sources: FROM, JOIN and what they name.  `add_source` tells the kinds
// apart; each kind has a function of its own that builds its `source` with
// the facts it is resolved with (its columns, alias and label).
#include "lineage/analysis.hpp"

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/state.hpp"
#include "lineage/tree.hpp"

#include <algorithm>
#include <cctype>

namespace qarvel::lineage {

using py::handle;
using py::object;

namespace {

const query_info* find_cte(const cte_env* env, handle name) {
    for (; env != nullptr; env = env->next) {
        if (same_name(env->name, name)) return env->q;
    }
    return nullptr;
}

// sqlglot 30 writes a join's method in capitals, 27 in small letters.
bool is_natural(handle method) {
    std::string text = utf8(method);
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text == "NATURAL";
}

}  // namespace

// The sources of FROM and of the joins (with their conditions), in order.
void analysis::from_and_joins(handle args, scope& sc, query_info& q) {
    if (object from = arg(args, engine.key_from)) {
        untraced(from, kind::From, q.all);
        if (object first = arg_of(from, lk.this_)) add_source(first, sc, q);
        // FROM a, b (some dialects keep the extra sources in From.expressions).
        each(arg_of(from, lk.expressions), [&](handle extra) { add_source(extra, sc, q); });
    }
    joins(arg(args, lk.joins), sc, q);
}

// A list of joins: each joined source, then its condition.  (sqlglot keeps
// the joins of a parenthesised join, (x JOIN y ON ...), on its first source.)
void analysis::joins(handle list, scope& sc, query_info& q) {
    each(list, [&](handle join) {
        object target = arg_of(join, lk.this_);
        if (!target) return;
        untraced(join, kind::Join, q.all);
        object join_kind = arg_of(join, lk.kind);
        if (join_kind && PyUnicode_Check(join_kind.ptr()) &&
            PyUnicode_CompareWithASCIIString(join_kind.ptr(), "ARRAY") == 0) {
            array_join(join, sc, q);
            return;
        }
        add_source(target, sc, q);
        join_conditions(join, sc, q);
    });
}

// FROM t MATCH_RECOGNIZE (PARTITION BY p ORDER BY o MEASURES ... ROWS PER
// MATCH PATTERN (...) DEFINE v AS cond): the sources before it become one
// source.  ONE ROW PER MATCH has the PARTITION BY columns and the measures,
// ALL ROWS PER MATCH every column and the measures.  DEFINE decides which
// rows match (FILTER), ORDER BY their sequence (SORT), PARTITION BY where
// matches are looked for (WINDOW).  A pattern variable (v.c) names the
// rows of the sources.
void analysis::match_recognize(handle node, scope& sc, query_info& q) {
    untraced(node, kind::MatchRecognize, q.all);
    object a = args_of(node);
    scope ms;
    ms.outer = sc.outer;
    ms.env = sc.env;
    ms.windows = sc.windows;
    ms.sources = sc.sources;
    if (sc.sources.size() == 1) {
        each(arg(a, lk.define), [&](handle d) {
            handle variable = kind_of(d) == kind::Alias ? name_of(arg_of(d, lk.alias)) : handle{};
            if (!variable) return;
            source rows = sc.sources.front();
            rows.alias = variable;
            rows.qualified_only = true;
            ms.sources.push_back(std::move(rows));
        });
    }
    each(arg(a, lk.define), [&](handle d) {
        object condition = kind_of(d) == kind::Alias ? arg_of(d, lk.this_) : object::borrow(d);
        walk(condition, ms, mode{}.influence(FILTER), q.all, clause::plain, 0);
    });
    each(arg(a, lk.partition_by), [&](handle p) { walk(p, ms, mode{}.influence(WINDOW), q.all, clause::plain, 0); });
    if (object order = arg(a, lk.order)) {
        each(arg_of(order, lk.expressions), [&](handle ordered) {
            object item = kind_of(ordered) == kind::Ordered ? arg_of(ordered, lk.this_) : object::borrow(ordered);
            if (item) walk(item, ms, mode{}.influence(SORT), q.all, clause::plain, 0);
        });
    }
    query_info& m = queries_.emplace_back();
    object rows = arg(a, lk.rows);
    object rows_text = rows && kind_of(rows) != kind::not_expression ? arg_of(rows, lk.this_) : object{};
    bool all_rows = false;
    if (rows_text && PyUnicode_Check(rows_text.ptr())) {
        const std::string text = utf8(rows_text);
        all_rows = text.find("ALL") != std::string::npos || text.find("all") != std::string::npos;
    }
    if (all_rows) {
        star({}, {}, sc, m);
    } else {
        each(arg(a, lk.partition_by), [&](handle p) {
            output o;
            o.name = column_name(p);
            if (!o.name) return;
            walk(p, ms, mode{}, o.lin, clause::plain, 0);
            m.outputs.push_back(std::move(o));
        });
    }
    each(arg(a, lk.measures), [&](handle measure) {
        object item = kind_of(measure) == kind::Alias ? object::borrow(measure) : arg_of(measure, lk.this_);
        if (kind_of(item) != kind::Alias) return;
        output o;
        o.name = name_of(arg_of(item, lk.alias));
        if (!o.name) return;
        walk(arg_of(item, lk.this_), ms, mode{}, o.lin, clause::plain, 0);
        m.outputs.push_back(std::move(o));
    });
    handle alias = alias_name(arg(a, lk.alias));
    if (!alias && sc.sources.size() == 1) alias = sc.sources.front().alias;
    sc.sources.clear();
    sc.sources.push_back(derived_table(&m, alias, lk.MATCH_RECOGNIZE));
}

void analysis::join_conditions(handle join, scope& sc, query_info& q) {
    object a = args_of(join);
    // ON, and the conditions of an ASOF join (Snowflake's MATCH_CONDITION,
    // the nearest-match key).
    for (handle key : {lk.on, lk.match_condition, lk.nearest}) {
        if (object on = arg(a, key)) walk(on, sc, mode{}.influence(JOIN), q.all, clause::plain, 0);
    }
    if (object using_list = arg(a, lk.using_)) {
        std::vector<handle> names;
        each(using_list, [&](handle item) {
            if (handle name = column_name(item)) names.push_back(name);
        });
        using_columns(names, sc, q);
    }
    object method = arg(a, lk.method);
    if (method && PyUnicode_Check(method.ptr()) && is_natural(method)) natural_join(sc, q);
}

// JOIN ... USING (c): c of the joined source and of the one source before
// it that has c (every source before it when that is not known).
void analysis::using_columns(const std::vector<handle>& names, scope& sc, query_info& q) {
    const source& joined = sc.sources.back();
    for (handle name : names) {
        sc.using_names.push_back(name);
        lineage l;
        resolve_in(joined, name, mode{}, l);
        bool found = false;
        for (std::size_t i = 0; i + 1 < sc.sources.size(); ++i) {
            const source& left = sc.sources[i];
            if (!left.columns_known()) continue;
            lineage probe;
            if (resolve_in(left, name, mode{}, probe)) {
                l.absorb(probe, mode{});
                found = true;
            }
        }
        if (!found) {
            for (std::size_t i = 0; i + 1 < sc.sources.size(); ++i) resolve_in(sc.sources[i], name, mode{}, l);
        }
        q.all.absorb(l, mode{}.influence(JOIN));
    }
}

// NATURAL JOIN: USING every column the joined source shares with a source
// before it.  Where a side's columns are not known (a table without a
// schema), neither are the columns compared: that is said once per source.
void analysis::natural_join(scope& sc, query_info& q) {
    const source& joined = sc.sources.back();
    std::vector<handle> names;
    for (handle name : column_names(joined)) {
        for (std::size_t i = 0; i + 1 < sc.sources.size(); ++i) {
            if (sc.sources[i].has_column(name)) {
                names.push_back(name);
                break;
            }
        }
    }
    for (const source& src : sc.sources) {
        if (!src.columns_known()) {
            // A schema would tell a table's columns, not an untraced source's.
            const std::size_t untraced = src.kind == source::opaque ? 1 : 0;
            q.all.add_unresolved(note(lk.star, src.label, {reason::natural_join_columns, {}, untraced}), JOIN);
        }
    }
    using_columns(names, sc, q);
}

// The names of a source's columns, where they are known.
std::vector<handle> analysis::column_names(const source& src) {
    std::vector<handle> names;
    if (!src.columns_known()) return names;
    if (src.kind == source::physical) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(src.known.ptr()); ++i) {
            names.push_back(PyTuple_GET_ITEM(src.known.ptr(), i));
        }
    } else {
        for (const output& o : src.q->outputs) names.push_back(o.name);
    }
    return names;
}

void analysis::add_source(handle node, scope& sc, query_info& q) {
    const kind k = kind_of(node);
    object a = args_of(node);
    object alias_node = arg(a, lk.alias);
    const source_alias alias{alias_name(alias_node), alias_columns(alias_node)};
    source src;
    if (k == kind::Table || k == kind::Lateral || k == kind::Unnest || k == kind::TableFromRows) {
        untraced(node, k, q.all);
    }
    switch (k) {
        case kind::Table:
            if (!table_reference(node, a, alias, sc, q, src)) return;
            break;
        case kind::Subquery:
            if (!subquery_source(node, a, alias, sc, q, src)) return;
            break;
        case kind::Values: src = derived_table(renamed(values(node, sc), alias.columns), alias.name, lk.VALUES); break;
        case kind::Unnest: unnest_source(node, alias_node, sc, q); return;
        case kind::TableFromRows:
            if (alias.columns.empty() && kind_of(arg(a, lk.this_)) == kind::Explode) {
                src = flatten_source(arg(a, lk.this_), alias.name, sc, q);
                break;
            }
            [[fallthrough]];
        case kind::Lateral:
            if (!lateral_source(a, alias_node, alias, sc, q, src)) return;
            break;
        default:
            if (is_query_body(k)) {
                const query_info* inner = query(node, sc.outer, sc.env);
                src = derived_table(inner, alias.name, lk.derived_table);
                q.all.absorb_influences(inner->all);
            } else {
                src = untraced_source(node, alias.name);
            }
            break;
    }
    if (object pivots = arg(a, lk.pivots)) pivoted(pivots, src, q);
    sc.sources.push_back(std::move(src));
    // TABLESAMPLE on a source: its rows at random, or by the columns it names.
    if (object sample = arg(a, lk.sample)) {
        walk(sample, sc, mode{}.influence(FILTER), q.all, clause::plain, 0);
    }
    joins(arg(a, lk.joins), sc, q);
}

// FROM name: a CTE, a physical table, or a table function (FROM f(...)).
// False when it names nothing.
bool analysis::table_reference(handle node, handle args, const source_alias& alias, scope& sc, query_info& q,
                               source& src) {
    object target = arg(args, lk.this_);
    if (!target) {
        object functions = arg(args, lk.rows_from);
        if (!functions) return false;
        src = rows_from(functions, alias, sc);
        return true;
    }
    if (kind_of(target) == kind::SemanticView) return semantic_view(target, alias, sc, q, src);
    if (kind_of(target) != kind::Identifier) {
        src = table_function(target, alias, sc);
        return true;
    }
    const bool qualified = static_cast<bool>(arg(args, lk.db)) || static_cast<bool>(arg(args, lk.catalog));
    handle name = name_of(target, qualified);
    if (const query_info* cte = qualified ? nullptr : find_cte(sc.env, name)) {
        src = derived_table(renamed(cte, alias.columns), alias.name ? alias.name : name, {});
        if (!cte->in_progress) q.all.absorb_influences(cte->all);
        return true;
    }
    const int table = table_index(node);
    if (table < 0) return false;
    read_[static_cast<std::size_t>(table)] = 1;
    src = physical_table(table, alias.name);
    if (!alias.columns.empty()) src = renamed_table(std::move(src), alias.columns);
    return true;
}

// Snowflake's SEMANTIC_VIEW(v FACTS f DIMENSIONS d METRICS m [WHERE ...]):
// the view v is read; each fact, dimension and metric it names is a column,
// that column of v (`t.f`, a logical table's, is v's f).  WHERE decides the
// rows.  False when it names no view.
bool analysis::semantic_view(handle node, const source_alias& alias, scope& sc, query_info& q, source& src) {
    object a = args_of(node);
    object view = arg(a, lk.this_);
    const int table = view && kind_of(view) == kind::Table ? table_index(view) : -1;
    untraced(node, kind::SemanticView, q.all);
    if (table < 0) return false;
    read_[static_cast<std::size_t>(table)] = 1;
    query_info& cols = queries_.emplace_back();
    for (handle key : {lk.dimensions, lk.facts, lk.metrics}) {
        each(arg(a, key), [&](handle item) {
            object value;
            handle name = item_name(item, value);
            handle own = value ? column_name(value) : handle{};
            if (!name || !own) return;
            output o;
            o.name = name;
            o.lin.add(column_of(table, own), mode{});
            cols.outputs.push_back(std::move(o));
        });
    }
    if (object where = arg(a, lk.where)) {
        scope vs;
        vs.outer = sc.outer;
        vs.env = sc.env;
        vs.sources.push_back(physical_table(table, {}));
        walk(where, vs, mode{}.influence(FILTER), q.all, clause::plain, 0);
    }
    src = derived_table(&cols, alias.name ? alias.name : tables_[static_cast<std::size_t>(table)].name, {});
    return true;
}

// A physical table, qualified by its alias or else its own name.
source analysis::physical_table(int table, handle alias) {
    const table_ref& t = tables_[static_cast<std::size_t>(table)];
    source src;
    src.kind = source::physical;
    src.table = table;
    // Where table names keep their case, the name still qualifies columns
    // as the dialect compares other names.
    src.alias = alias ? alias : rules_.tables_case_sensitive ? normalise(t.name, false, false) : t.name;
    src.label = src.alias;
    src.table_name = t.name;
    src.table_db = t.db;
    src.known = schema_columns(table);
    return src;
}

// A source whose columns are `inner`'s outputs; `unnamed` labels it when it
// has no alias.
source analysis::derived_table(const query_info* inner, handle alias, handle unnamed) {
    source src;
    src.kind = source::derived;
    src.q = inner;
    src.alias = alias;
    src.label = alias ? alias : canonical(unnamed);
    return src;
}

// FROM t AS a(x, y): the names replace t's columns by position, which only
// the schema knows.
source analysis::renamed_table(source src, const std::vector<handle>& names) {
    query_info& cols = queries_.emplace_back();
    handle known = src.known;
    for (std::size_t i = 0; i < names.size(); ++i) {
        output o;
        o.name = names[i];
        o.shown = {};
        if (known && static_cast<Py_ssize_t>(i) < PyTuple_GET_SIZE(known.ptr())) {
            o.lin.add(column_of(src.table, PyTuple_GET_ITEM(known.ptr(), i)), mode{});
        } else {
            o.lin.add_unresolved(note(o.name, src.table_name, {reason::needs_schema}), mode{});
        }
        cols.outputs.push_back(std::move(o));
    }
    src.kind = source::derived;
    src.q = &cols;
    return src;
}

// ROWS FROM (f(...), g(...)) AS t(a, b): column i is function i's.
source analysis::rows_from(handle functions, const source_alias& alias, scope& sc) {
    std::vector<lineage> each_function;
    each(functions, [&](handle table) {
        lineage l;
        walk(kind_of(table) == kind::Table ? arg_of(table, lk.this_) : object::borrow(table), sc,
             mode{}.transformed(), l, clause::plain, 0);
        each_function.push_back(std::move(l));
    });
    source src;
    if (alias.columns.size() != each_function.size()) {
        src.kind = source::opaque;
        src.opaque_cause = {reason::table_function, "ROWS FROM"};
    } else {
        query_info& fn = queries_.emplace_back();
        for (std::size_t i = 0; i < alias.columns.size(); ++i) {
            fn.outputs.push_back({.name = alias.columns[i], .lin = each_function[i]});
        }
        src.kind = source::derived;
        src.q = &fn;
    }
    src.alias = alias.name;
    src.label = alias.name ? alias.name : canonical(lk.table_function);
    return src;
}

namespace {

// The columns of the table functions that name their own (PostgreSQL's
// JSON set functions), used where the alias gives no column list.
std::vector<handle> own_columns(handle function) {
    if (kind_of(function) != kind::Anonymous) return {};
    object name = arg_of(function, lk.this_);
    if (!name || !PyUnicode_Check(name.ptr())) return {};
    std::string lower = utf8(name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "json_each" || lower == "jsonb_each" || lower == "json_each_text" || lower == "jsonb_each_text") {
        return {lk.key_column, lk.value_column};
    }
    if (lower == "json_array_elements" || lower == "jsonb_array_elements" ||
        lower == "json_array_elements_text" || lower == "jsonb_array_elements_text") {
        return {lk.value_column};
    }
    return {};
}

}  // namespace

// A table function: its columns come from its arguments, and are known only
// when the alias names them.
source analysis::table_function(handle function, const source_alias& alias, scope& sc) {
    lineage args_lineage;
    walk(function, sc, mode{}.transformed(), args_lineage, clause::plain, 0);
    source src;
    std::vector<handle> columns = alias.columns;
    for (handle own : columns.empty() ? own_columns(function) : std::vector<handle>{}) {
        columns.push_back(normalise(own, false, false));
    }
    if (columns.empty()) {
        src.kind = source::opaque;
        object name = py::checked(PyType_GetName(Py_TYPE(function.ptr())));
        src.opaque_cause = {reason::table_function, utf8(name)};
    } else {
        query_info& fn = queries_.emplace_back();
        for (handle name : columns) fn.outputs.push_back({.name = name, .lin = args_lineage});
        src.kind = source::derived;
        src.q = &fn;
    }
    src.alias = alias.name;
    src.label = alias.name ? alias.name : canonical(lk.table_function);
    return src;
}

// (query) AS q, or parentheses around sources and joins, whose sources
// belong to this scope (false: nothing left to add).
bool analysis::subquery_source(handle node, handle args, const source_alias& alias, scope& sc, query_info& q,
                               source& src) {
    object inner_node = arg(args, lk.this_);
    const kind ik = inner_node ? kind_of(inner_node) : kind::not_expression;
    const bool inner_is_query = is_query_body(ik) || ik == kind::Values;
    if (inner_node && !inner_is_query && (ik != kind::Subquery || !alias.name)) {
        if (alias.name && ik != kind::Subquery) return aliased_join(inner_node, args, alias, sc, q, src);
        // (x JOIN y ON ...) or ((SELECT ...) AS q).
        add_source(inner_node, sc, q);
        joins(arg(args, lk.joins), sc, q);
        return false;
    }
    const query_info* inner = query(node, sc.outer, sc.env);
    src = derived_table(renamed(inner, alias.columns), alias.name, lk.derived_table);
    q.all.absorb_influences(inner->all);
    return true;
}

// (x JOIN y ON ...) AS z: one source whose columns are every column of the
// joined sources, as SELECT * gives them; the join decides its rows.
bool analysis::aliased_join(handle inner_node, handle args, const source_alias& alias, scope& sc, query_info& q,
                            source& src) {
    scope inner;
    inner.outer = sc.outer;
    inner.env = sc.env;
    add_source(inner_node, inner, q);
    joins(arg(args, lk.joins), inner, q);
    query_info& joined = queries_.emplace_back();
    star({}, {}, inner, joined);
    src = derived_table(renamed(&joined, alias.columns), alias.name, lk.derived_table);
    return true;
}

// LATERAL (subquery), which sees the sources before it, or LATERAL VIEW
// explode(...) (false: added as a row generator, generators.cpp).
bool analysis::lateral_source(handle args, handle alias_node, const source_alias& alias, scope& sc, query_info& q,
                              source& src) {
    object target = arg(args, lk.this_);
    if (target && (kind_of(target) == kind::Subquery || kind_of(target) == kind::Select)) {
        const query_info* inner = query(target, &sc, sc.env);
        src = derived_table(renamed(inner, alias.columns), alias.name, lk.LATERAL);
        q.all.absorb_influences(inner->all);
        return true;
    }
    // LATERAL UNNEST(...) is the UNNEST itself (WITH ORDINALITY its offset).
    if (kind_of(target) == kind::Unnest) {
        unnest_source(target, alias_node, sc, q);
    } else {
        lateral_view(target, alias_node, sc, q);
    }
    return false;
}

// Any other source: its columns are not traced.
source analysis::untraced_source(handle node, handle alias) {
    object type_name = py::checked(PyType_GetName(Py_TYPE(node.ptr())));
    source src;
    src.kind = source::opaque;
    src.opaque_cause = {reason::source_not_traced, utf8(type_name)};
    src.alias = alias;
    src.label = alias ? alias : canonical(type_name);
    return src;
}

}  // namespace qarvel::lineage
