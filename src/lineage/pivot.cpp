// PIVOT / UNPIVOT applied to a source.  The source becomes a derived one
// whose columns are the pivot's:
//
//   PIVOT (agg(v), ... FOR k IN (x, y, ...))  the columns the aggregations and
//       k do not use group the rows (IDENTITY, and GROUP_BY of every row); one
//       column per value and aggregation (sqlglot names them) is that
//       aggregation (DIRECT AGGREGATION) of the rows where k has that value
//       (k: INDIRECT FILTER)
//   UNPIVOT (val FOR name IN (a, b, ...))     the other columns (IDENTITY), then
//       `name` (a constant: the column names) and `val` (from each of a, b, ...);
//       without INCLUDE NULLS a row of a null value is dropped, so a, b, ...
//       decide every row (INDIRECT FILTER)
//
// Where the pivot's values come from the data (IN (ANY ...), a sub-query) its
// value columns cannot be known; where the source's columns are not known
// (no schema), neither are the grouping or kept columns: a placeholder stands
// for them, so a name read through it is still the source's column.
// Several FOR clauses give a column per combination of their values, each
// filtered by every FOR column; UNPIVOT ((v1, v2) FOR name IN ((a1, a2),
// (b1, b2))) gives v1 from a1 and b1, v2 from a2 and b2.
#include "lineage/analysis.hpp"

#include "lineage/names.hpp"
#include "lineage/tree.hpp"

#include <algorithm>

namespace qarvel::lineage {

using py::handle;
using py::object;

namespace {

bool listed(const std::vector<handle>& names, handle name) {
    for (handle n : names) {
        if (same_name(n, name)) return true;
    }
    return false;
}

// The FOR clauses of a pivot (In nodes); none where one is another form.
std::vector<object> for_clauses(handle pa) {
    std::vector<object> found;
    object fields = arg(pa, lk.pivot_fields);
    if (!fields || !PyList_Check(fields.ptr())) return found;
    bool all_in = true;
    each(fields, [&](handle field) {
        all_in = all_in && kind_of(field) == kind::In;
        found.push_back(object::borrow(field));
    });
    if (!all_in) found.clear();
    return found;
}

// The aliases of the IN values (see pivot_column_name); with several FOR
// clauses sqlglot 27's names join several items, and are left as they are.
std::vector<object> value_aliases(const std::vector<object>& fields) {
    std::vector<object> aliases;
    if (fields.size() != 1) return aliases;
    each(arg_of(fields.front(), lk.expressions), [&](handle v) {
        if (kind_of(v) != kind::PivotAlias) return;
        object alias = arg_of(v, lk.alias);
        if (kind_of(alias) != kind::Identifier) return;
        object text = arg_of(alias, lk.this_);
        if (text && PyUnicode_Check(text.ptr()) && PyUnicode_GET_LENGTH(text.ptr()) > 0) {
            aliases.push_back(std::move(text));
        }
    });
    return aliases;
}

}  // namespace

// The names of the columns an expression reads, in any depth (an
// aggregation's arguments).
void analysis::read_names(handle node, std::vector<handle>& names, int depth) {
    if (!node || depth > 64) return;
    const kind k = kind_of(node);
    if (k == kind::not_expression) {
        if (PyList_Check(node.ptr()) || PyTuple_Check(node.ptr())) {
            each(node, [&](handle item) { read_names(item, names, depth + 1); });
        }
        return;
    }
    if (k == kind::Column) {
        if (handle n = column_name(node)) names.push_back(n);
        return;
    }
    object a = args_of(node);
    if (!a) return;
    py::object values = py::checked(PyDict_Values(a.ptr()));
    each(values, [&](handle value) { read_names(value, names, depth + 1); });
}

// The one placeholder for value columns that come from the data.
void analysis::values_from_data(const source& src, query_info& pq) {
    output o;
    o.name = lk.star;
    const std::uint32_t entry = note(lk.star, src.label, {reason::pivot_values_from_data});
    o.opaque_note = static_cast<int>(entry);
    o.lin.add_unresolved(entry, mode{});
    pq.outputs.push_back(std::move(o));
}

// The source's own columns, when they are known, in order.
bool analysis::source_columns(const source& src, std::vector<handle>& names) {
    if (src.kind == source::physical && src.known) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(src.known.ptr()); ++i) {
            names.push_back(canonical(PyTuple_GET_ITEM(src.known.ptr(), i)));
        }
        return true;
    }
    if (src.kind == source::derived && src.columns_known()) {
        for (const output& o : src.q->outputs) names.push_back(o.name);
        return true;
    }
    return false;
}

// The columns of `src` not in `used`, as outputs of `pq` (IDENTITY each); a
// placeholder over a physical table whose columns are not known.  False
// when they cannot be given at all.
bool analysis::kept_columns(const source& src, const std::vector<handle>& used, query_info& pq, bool grouped) {
    std::vector<handle> names;
    const bool known = source_columns(src, names);
    if (!known && src.kind == source::derived && !src.q->in_progress) {
        // A derived table with a star over unknown columns: its named columns
        // and the star itself, which still reads through to its table.
        for (const output& o : src.q->outputs) {
            if (!o.placeholder() && listed(used, o.name)) continue;
            pq.outputs.push_back(o);
            if (grouped) pq.all.absorb(o.lin, mode{}.influence(GROUP_BY));
        }
        return true;
    }
    if (!known) {
        if (src.kind != source::physical) return false;
        output o;
        o.name = lk.star;
        o.star_table = src.table;
        o.lin.add_unresolved(note(lk.star, table_label(src.table), {reason::needs_schema}), mode{});
        pq.outputs.push_back(std::move(o));
        if (grouped) {
            pq.all.add_unresolved(note(lk.star, table_label(src.table), {reason::needs_schema}),
                                  mode{}.influence(GROUP_BY));
        }
        return true;
    }
    for (handle name : names) {
        if (listed(used, name)) continue;
        output o;
        o.name = name;
        resolve_in(src, name, mode{}, o.lin);
        if (grouped) resolve_in(src, name, mode{}.influence(GROUP_BY), pq.all);
        pq.outputs.push_back(std::move(o));
    }
    return true;
}

// The name sqlglot gives a pivot's column.  Where an IN value has an alias
// (`'a' AS a`), older sqlglot versions name its columns after the whole
// item, quoted ("'a' AS a", "'a' AS a_s"); the column is the alias's, named
// as an unquoted identifier (a, a_s), as newer versions name it.
handle analysis::pivot_column_name(handle column, const std::vector<object>& aliases) {
    if (aliases.empty() || kind_of(column) != kind::Identifier) return name_of(column);
    object a = args_of(column);
    object text = arg(a, lk.this_);
    if (!text || !PyUnicode_Check(text.ptr()) || !truthy(arg(a, lk.quoted))) return name_of(column);
    object separator = py::checked(PyUnicode_FromString(" AS "));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    const Py_ssize_t at = PyUnicode_Find(text.ptr(), separator.ptr(), 0, length, -1);
    if (at == -2) py::throw_error();
    if (at <= 0) return name_of(column);
    object rest = py::checked(PyUnicode_Substring(text.ptr(), at + 4, length));
    for (const object& alias : aliases) {
        const Py_ssize_t starts = PyUnicode_Tailmatch(rest.ptr(), alias.ptr(), 0, PY_SSIZE_T_MAX, -1);
        if (starts == -1) py::throw_error();
        if (starts == 1) return normalise(rest, false, false);
    }
    return name_of(column);
}

bool analysis::pivot_columns(handle pa, source& src, query_info& pq) {
    const std::vector<object> fields = for_clauses(pa);
    if (fields.empty()) return false;
    scope ps;
    ps.sources.push_back(src);
    // The aggregations, and what each reads.
    std::vector<lineage> aggregations;
    std::vector<handle> used;
    each(arg(pa, lk.expressions), [&](handle e) {
        lineage l;
        walk(e, ps, mode{}, l, clause::select_list, 0);
        aggregations.push_back(std::move(l));
        read_names(e, used, 0);
    });
    if (aggregations.empty()) return false;
    // Every FOR column decides which rows each value column aggregates.
    lineage filter;
    std::size_t combinations = 1;
    bool from_data = false;
    for (const object& field : fields) {
        object fa = args_of(field);
        walk(arg(fa, lk.this_), ps, mode{}.influence(FILTER), filter, clause::plain, 0);
        read_names(arg(fa, lk.this_), used, 0);
        std::size_t values = 0;
        each(arg(fa, lk.expressions), [&](handle v) {
            const kind vk = kind_of(v);
            from_data = from_data || !(vk == kind::Literal || vk == kind::PivotAlias || vk == kind::Column ||
                                       vk == kind::Null || vk == kind::Boolean || vk == kind::Tuple);
            ++values;
        });
        from_data = from_data || values == 0;
        // Capped: a product past any list of names cannot match it anyway.
        combinations = std::min<std::size_t>(combinations * std::max<std::size_t>(values, 1), std::size_t{1} << 24);
    }
    if (!kept_columns(src, used, pq, true)) return false;
    if (from_data) {
        values_from_data(src, pq);
        return true;
    }
    const std::vector<object> aliases = value_aliases(fields);
    // One column per combination of values and aggregation, named as sqlglot
    // names them (the aggregation varies fastest).
    std::vector<handle> names;
    each(arg(pa, lk.columns), [&](handle c) { names.push_back(pivot_column_name(c, aliases)); });
    // Some dialects name only the columns of the aggregations with an alias
    // (sqlglot leaves the others out): those are the named ones, and the
    // others' columns are reported as not traced.
    std::vector<const lineage*> named_aggregations;
    for (const lineage& l : aggregations) named_aggregations.push_back(&l);
    bool unnamed_left = false;
    if (names.size() != combinations * aggregations.size()) {
        named_aggregations.clear();
        std::size_t i = 0;
        each(arg(pa, lk.expressions), [&](handle e) {
            if (kind_of(e) == kind::Alias) named_aggregations.push_back(&aggregations[i]);
            ++i;
        });
        unnamed_left = named_aggregations.size() < aggregations.size();
        if (named_aggregations.empty() || names.size() != combinations * named_aggregations.size()) return false;
    }
    // The names come from the IN values: other values would be other names.
    literal_elsewhere_ = true;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!names[i]) return false;
        output o;
        o.name = names[i];
        o.lin.absorb(*named_aggregations[i % named_aggregations.size()], mode{});
        o.lin.absorb(filter, mode{}.influence(FILTER));
        pq.outputs.push_back(std::move(o));
    }
    if (unnamed_left) unnamed_aggregation(src, pq);
    return true;
}

// The one placeholder for the columns of the aggregations sqlglot does not
// name (a PIVOT of several aggregations, only some with an alias).
void analysis::unnamed_aggregation(const source& src, query_info& pq) {
    output o;
    o.name = lk.star;
    const std::uint32_t entry =
        note(lk.star, src.label, {reason::not_traced, "the columns of a PIVOT aggregation without an alias"});
    o.opaque_note = static_cast<int>(entry);
    o.lin.add_unresolved(entry, mode{});
    pq.outputs.push_back(std::move(o));
}

bool analysis::unpivot_columns(handle pa, source& src, query_info& pq) {
    const std::vector<object> fields = for_clauses(pa);
    object values = arg(pa, lk.expressions);
    if (fields.size() != 1 || !values || !PyList_Check(values.ptr()) || PyList_GET_SIZE(values.ptr()) != 1) {
        return false;
    }
    // The value columns: v, or (v1, v2, ...) for groups of columns.
    std::vector<output> value_columns;
    object value_node = object::borrow(PyList_GET_ITEM(values.ptr(), 0));
    if (kind_of(value_node) == kind::Tuple) {
        each(arg_of(value_node, lk.expressions), [&](handle v) { value_columns.emplace_back().name = column_name(v); });
    } else {
        value_columns.emplace_back().name = column_name(value_node);
    }
    object fa = args_of(fields.front());
    handle name_name = column_name(arg(fa, lk.this_));
    if (!name_name || value_columns.empty()) return false;
    for (const output& v : value_columns) {
        if (!v.name) return false;
    }
    scope ps;
    ps.sources.push_back(src);
    std::vector<handle> used;
    // Each IN item (a column, or a group as wide as the value columns; either
    // one maybe labelled AS 'x') feeds the value columns by position.
    bool plain = true;
    each(arg(fa, lk.expressions), [&](handle item) {
        if (!plain) return;
        object group = kind_of(item) == kind::PivotAlias ? arg_of(item, lk.this_) : object::borrow(item);
        std::vector<object> columns;
        if (kind_of(group) == kind::Tuple) {
            each(arg_of(group, lk.expressions), [&](handle c) { columns.push_back(object::borrow(c)); });
        } else {
            columns.push_back(std::move(group));
        }
        plain = columns.size() == value_columns.size();
        for (std::size_t j = 0; plain && j < columns.size(); ++j) {
            plain = kind_of(columns[j]) == kind::Column;
            if (!plain) break;
            used.push_back(column_name(columns[j]));
            walk(columns[j], ps, mode{}, value_columns[j].lin, clause::plain, 0);
        }
    });
    if (!plain || used.empty() || !kept_columns(src, used, pq, false)) return false;
    // Without INCLUDE NULLS (the default everywhere: EXCLUDE NULLS) a row is
    // made only of the values that are not null: the unpivoted columns
    // decide which rows there are.
    if (!truthy(arg(pa, lk.include_nulls))) {
        for (const output& v : value_columns) pq.all.absorb(v.lin, mode{}.influence(FILTER));
    }
    output label;
    label.name = name_name;
    if (truthy(arg(pa, lk.value_columns_first))) {
        for (output& v : value_columns) pq.outputs.push_back(std::move(v));
        pq.outputs.push_back(std::move(label));
    } else {
        pq.outputs.push_back(std::move(label));
        for (output& v : value_columns) pq.outputs.push_back(std::move(v));
    }
    return true;
}

// DuckDB's PIVOT statement, PIVOT t ON k [IN (...)] USING agg(v) [GROUP BY g]:
// the GROUP BY columns (else every column ON and USING do not read) group
// the rows; with an IN list and one aggregation each value names a column,
// otherwise the values come from the data.
void analysis::pivot_statement(handle root, query_info& pq) {
    object a = args_of(root);
    untraced(root, kind::Pivot, pq.all);
    scope ps;
    query_info reads;
    add_source(arg(a, lk.this_), ps, reads);
    pq.all.absorb_influences(reads.all);
    if (ps.sources.size() != 1) return;
    const source& src = ps.sources.front();
    std::vector<lineage> aggregations;
    std::vector<handle> used;
    each(arg(a, lk.using_), [&](handle e) {
        lineage l;
        walk(e, ps, mode{}, l, clause::select_list, 0);
        aggregations.push_back(std::move(l));
        read_names(e, used, 0);
    });
    lineage filter;
    std::vector<handle> values;
    bool from_data = false;
    each(arg(a, lk.expressions), [&](handle on) {
        object column = kind_of(on) == kind::In ? arg_of(on, lk.this_) : object::borrow(on);
        walk(column, ps, mode{}.influence(FILTER), filter, clause::plain, 0);
        read_names(column, used, 0);
        if (kind_of(on) != kind::In) {
            from_data = true;
            return;
        }
        each(arg_of(on, lk.expressions), [&](handle v) {
            handle name = kind_of(v) == kind::Literal ? name_of(v) : handle{};
            from_data = from_data || !name;
            values.push_back(name);
        });
    });
    if (object group = arg(a, lk.group)) {
        each(arg_of(group, lk.expressions), [&](handle g) {
            output o;
            o.name = column_name(g);
            if (!o.name) return;
            walk(g, ps, mode{}, o.lin, clause::plain, 0);
            walk(g, ps, mode{}.influence(GROUP_BY), pq.all, clause::plain, 0);
            pq.outputs.push_back(std::move(o));
        });
    } else {
        kept_columns(src, used, pq, true);
    }
    if (from_data || aggregations.size() != 1 || values.empty()) {
        values_from_data(src, pq);
        return;
    }
    for (handle name : values) {
        output o;
        o.name = name;
        o.lin.absorb(aggregations.front(), mode{});
        o.lin.absorb(filter, mode{}.influence(FILTER));
        pq.outputs.push_back(std::move(o));
    }
}

// The PIVOTs and UNPIVOTs on a source, in order: each one reads what the
// one before it gives.
void analysis::pivoted(handle pivots, source& src, query_info& q) {
    if (!PyList_Check(pivots.ptr()) || PyList_GET_SIZE(pivots.ptr()) == 0) return;
    std::vector<object> chain;
    each(pivots, [&](handle p) { chain.push_back(object::borrow(p)); });
    for (const object& pivot : chain) {
        untraced(pivot, kind::Pivot, q.all);
        object pa = args_of(pivot);
        const bool unpivot = truthy(arg(pa, lk.unpivot));
        object alias_node = arg(pa, lk.alias);
        handle name = alias_name(alias_node);
        query_info& pq = queries_.emplace_back();
        // Past a pivot that is not traced, neither is the next.
        const bool traced = src.kind != source::opaque &&
                            (unpivot ? unpivot_columns(pa, src, pq) : pivot_columns(pa, src, pq));
        if (name) src.alias = name;
        if (traced) {
            // The grouping decides every row the query reads from the pivot.
            q.all.absorb_influences(pq.all);
            // AS p(a, b, ...) renames the pivot's columns by position.
            source made = derived_table(renamed(&pq, alias_columns(alias_node)), src.alias, src.label);
            made.alias = src.alias;
            src = std::move(made);
        } else if (src.kind != source::opaque) {
            src.kind = source::opaque;
            src.opaque_cause = {unpivot ? reason::unpivot_not_traced : reason::pivot_not_traced};
        }
        if (src.alias) src.label = src.alias;
    }
}

}  // namespace qarvel::lineage
