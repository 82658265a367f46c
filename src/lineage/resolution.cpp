// Names in expressions: column references (qualified or not), select-list
// aliases used as values, and stars.  The scope answers which sources a
// name may mean (scope.hpp); this file decides between them and reads the
// column out of the source chosen.
#include "lineage/analysis.hpp"

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/state.hpp"
#include "lineage/tree.hpp"

#include <cctype>

namespace qarvel::lineage {

using py::handle;
using py::object;

namespace {

bool is_connect_by_pseudo_column(handle name) {
    std::string upper = utf8(name);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper == "LEVEL" || upper == "CONNECT_BY_ISLEAF" || upper == "CONNECT_BY_ISCYCLE";
}

}  // namespace

// --- column references -------------------------------------------------------------

void analysis::column_ref(handle node, scope& sc, mode m, lineage& out, clause where) {
    shape_ = nullptr;
    object a = args_of(node);
    object this_node = arg(a, lk.this_);
    if (!this_node || kind_of(this_node) == kind::Star) return;
    handle name = name_of(this_node);
    if (!name) return;
    object table_node = arg(a, lk.table);
    handle qualifier = table_node ? name_of(table_node) : handle{};
    if (qualifier) {
        qualified(a, qualifier, name, sc, m, out);
    } else {
        unqualified(name, sc, m, out, where);
    }
}

// A bare name: the innermost scope with a source that has (or may have) it.
void analysis::unqualified(handle name, scope& sc, mode m, lineage& out, clause where) {
    if (sc.is_lambda_param(name)) return;
    if (where == clause::order_by && alias_reference(name, sc, m, out, where)) return;
    // The pseudo-columns of a hierarchical query (CONNECT BY) read no table.
    if (sc.hierarchical && is_connect_by_pseudo_column(name)) return;
    bool any_source = false;
    for (scope* s = &sc; s != nullptr; s = s->outer) {
        any_source = any_source || !s->sources.empty();
        const candidates found = s->candidates_for(name);
        const bool using_column = s->is_using_column(name);
        if (settle(found.definite, name, using_column, m, out)) return;
        // GROUP BY / HAVING / QUALIFY may name an output by its alias.
        if (s == &sc && where == clause::group_having && alias_reference(name, sc, m, out, where)) return;
        if (settle(found.unknown, name, using_column, m, out)) return;
        // A name no source has may be an earlier select item's alias (the
        // lateral aliases of Snowflake, BigQuery, DuckDB...).
        if (s == &sc && where == clause::select_list && alias_reference(name, sc, m, out, where)) return;
        // A source's own name as a value (BigQuery's TO_JSON_STRING(t)).
        if (const source* whole = s->named(name)) {
            whole_row(*whole, m, out);
            return;
        }
        // Every source here is known and none has the column: it is a
        // reference to an enclosing query (correlation), if any.
    }
    // In WHERE, a name no source of any scope has is a select item's alias
    // (Snowflake, DuckDB); where the dialect has no such aliases the
    // statement names nothing else.
    if (where == clause::where_clause && alias_reference(name, sc, m, out, where)) return;
    // BigQuery's _TABLE_SUFFIX: which tables of a wildcard table (`d.t_*`)
    // are read, a pseudo-column of that table.  (`unnest_fields` is true
    // exactly for BigQuery.)
    if (rules_.unnest_fields && PyUnicode_CompareWithASCIIString(name.ptr(), "_table_suffix") == 0) {
        for (const source& src : sc.sources) {
            if (src.kind != source::physical || !src.table_name) continue;
            const Py_ssize_t length = PyUnicode_GET_LENGTH(src.table_name.ptr());
            if (length > 0 && PyUnicode_READ_CHAR(src.table_name.ptr(), length - 1) == '*') {
                out.add(column_of(src.table, name), m);
                return;
            }
        }
    }
    out.add_unresolved(note(name, {}, {any_source ? reason::not_in_any_source : reason::no_source}), m);
}

// The one candidate; or every one for a USING column (equal on every side);
// or, between several, none: ambiguous.  False when there is no candidate.
bool analysis::settle(const std::vector<const source*>& found, handle name, bool using_column, mode m,
                      lineage& out) {
    if (found.empty()) return false;
    if (found.size() == 1 || using_column) {
        for (const source* c : found) resolve_in(*c, name, m, out);
        if (found.size() > 1) shape_ = nullptr;
        return true;
    }
    std::string labels;
    for (const source* c : found) {
        if (!labels.empty()) labels += ", ";
        labels += utf8(c->label);
    }
    out.add_unresolved(note(name, {}, {reason::one_of, std::move(labels)}), m);
    return true;
}

// A whole row used as a value: every column of the source.
void analysis::whole_row(const source& src, mode m, lineage& out) {
    const mode whole = m.transformed();
    if (src.kind == source::derived) {
        for (const output& o : src.q->outputs) out.absorb(o.lin, whole);
    } else if (src.kind == source::physical && src.known) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(src.known.ptr()); ++i) {
            out.add(column_of(src.table, PyTuple_GET_ITEM(src.known.ptr(), i)), whole);
        }
    }
}

// q.c, db.t.c: the innermost scope with a source of that name.  Else a
// struct's field: t.col.field..., or col.field... of an unqualified column.
void analysis::qualified(handle args, handle qualifier, handle name, scope& sc, mode m, lineage& out) {
    handle db = name_of(arg(args, lk.db));
    // The names of the reference, outermost first: [catalog.][db.]qualifier.name.
    std::vector<handle> parts;
    for (handle part : {name_of(arg(args, lk.catalog)), db, qualifier, name}) {
        if (part) parts.push_back(part);
    }
    for (scope* s = &sc; s != nullptr; s = s->outer) {
        if (const source* src = s->find(qualifier, db)) {
            if (src->columns_known() && !src->has_column(name)) {
                // The reference as written: q.c names a column q does not have.
                handle text = intern_text(py::checked(PyUnicode_FromFormat("%U.%U", qualifier.ptr(), name.ptr())));
                const std::string of = src->kind == source::physical ? table_text(src->table) : utf8(src->label);
                out.add_unresolved(note(text, src->label, {reason::not_a_column_of, of}), m);
                return;
            }
            resolve_in(*src, name, m, out);
            return;
        }
        if (parts.size() >= 3) {
            if (const source* src = s->named(parts[0])) {
                field_path(*src, parts[1], {parts.begin() + 2, parts.end()}, m, out);
                return;
            }
        }
    }
    for (scope* s = &sc; s != nullptr; s = s->outer) {
        for (const source& src : s->sources) {
            if (src.has_column(parts[0])) {
                field_path(src, parts[0], {parts.begin() + 1, parts.end()}, m, out);
                return;
            }
        }
    }
    // Where the dialect reads a.b as a column's field, the one source that
    // may have a column a (its columns are not known) has it.
    if (rules_.dotted_fields) {
        for (scope* s = &sc; s != nullptr; s = s->outer) {
            const candidates found = s->candidates_for(parts[0]);
            if (found.unknown.size() == 1) {
                field_path(*found.unknown.front(), parts[0], {parts.begin() + 1, parts.end()}, m, out);
                return;
            }
            if (!found.unknown.empty()) break;
        }
    }
    handle text = intern_text(py::checked(PyUnicode_FromFormat("%U.%U", qualifier.ptr(), name.ptr())));
    out.add_unresolved(note(text, qualifier, {reason::no_such_source, utf8(qualifier)}), m);
}

// --- reading a column out of a source ----------------------------------------------

// The column `name` of `src` into `out`; false when the source is known not
// to have it.
bool analysis::resolve_in(const source& src, handle name, mode m, lineage& out) {
    switch (src.kind) {
        case source::physical: return resolve_physical(src, name, m, out);
        case source::opaque: out.add_unresolved(note(name, src.label, src.opaque_cause), m); return true;
        case source::derived: return resolve_derived(src, name, m, out);
    }
    return false;
}

bool analysis::resolve_physical(const source& src, handle name, mode m, lineage& out) {
    // A column the schema does not give the table is no source of it.
    if (src.columns_known() && !src.has_column(name)) {
        out.add_unresolved(note(name, src.label, {reason::not_a_column_of, table_text(src.table)}), m);
        return false;
    }
    out.add(column_of(src.table, name), m);
    shape_ = typed_fields(src.table, name);
    return true;
}

bool analysis::resolve_derived(const source& src, handle name, mode m, lineage& out) {
    const query_info* q = src.q;
    if (q->in_progress) return true;
    const output* found = nullptr;
    std::size_t count = 0;
    for (const output& o : q->outputs) {
        if (!o.placeholder() && same_name(o.name, name)) {
            if (found == nullptr) found = &o;
            ++count;
        }
    }
    if (count == 1) {
        out.absorb(found->lin, m);
        shape_ = found->fields;
        return true;
    }
    if (count > 1) {
        out.add_unresolved(note(name, src.label, {reason::same_named_columns, utf8(src.label), count}), m);
        return true;
    }
    if (resolve_past_stars(src, name, m, out)) return true;
    out.add_unresolved(note(name, src.label, {reason::not_a_column_of, utf8(src.label)}), m);
    return false;
}

// A name not among a derived table's named columns: a star over a table of
// unknown columns passes every column of that table through, as its
// modifiers leave it (renamed, replaced, or not kept).  False when the table
// has no such star that may hold the name.
bool analysis::resolve_past_stars(const source& src, handle name, mode m, lineage& out) {
    struct candidate {
        const output* star;
        handle name;  // the name behind the star's modifiers
        const output* replaced;
        verdict kept;
    };
    std::vector<candidate> stars;
    for (const output& o : src.q->outputs) {
        if (!o.placeholder()) continue;
        candidate c{&o, name, nullptr, verdict::yes};
        c.kept = through_rules(o.rules, c.name, c.replaced);
        if (c.kept != verdict::no) stars.push_back(c);
    }
    if (stars.empty()) return false;
    if (stars.size() == 1) {
        // The star, and those of the other branches of a UNION at its place.
        std::vector<candidate> branches{stars.front()};
        for (const output* other : stars.front().star->also) {
            candidate c{other, name, nullptr, verdict::yes};
            c.kept = through_rules(other->rules, c.name, c.replaced);
            if (c.kept != verdict::no) branches.push_back(c);
        }
        for (const candidate& c : branches) {
            if (c.replaced != nullptr) {
                out.absorb(c.replaced->lin, m);
                shape_ = c.replaced->fields;
            } else if (c.kept == verdict::unknown) {
                out.add_unresolved(note(name, src.label, {reason::selector_not_decided}), m);
            } else if (c.star->star_table >= 0) {
                out.add(column_of(c.star->star_table, c.name), m);
            } else {
                const unresolved_entry& entry = unresolved_[static_cast<std::size_t>(c.star->opaque_note)];
                out.add_unresolved(note(name, entry.table ? entry.table : src.label, entry.why), m);
            }
        }
        return true;
    }
    std::string tables;
    for (const candidate& c : stars) {
        if (!tables.empty()) tables += ", ";
        tables += c.star->star_table >= 0
                      ? table_text(c.star->star_table)
                      : utf8(unresolved_[static_cast<std::size_t>(c.star->opaque_note)].table);
    }
    out.add_unresolved(note(name, src.label, {reason::one_of, std::move(tables)}), m);
    return true;
}

bool analysis::alias_reference(handle name, scope& sc, mode m, lineage& out, clause where) {
    if (where == clause::plain || sc.outputs == nullptr) return false;
    for (const output& o : *sc.outputs) {
        if (o.placeholder() || !same_name(o.name, name)) continue;
        // An alias that only renames the column itself is that column; but
        // ORDER BY reads output names before the sources' columns, so there
        // the output is the one column, even where several sources have it.
        if (where != clause::order_by && o.lin.direct.size() == 1 && o.lin.indirect.empty() &&
            o.lin.unresolved.empty()) {
            const physical_column& c = columns_[o.lin.direct.front().col];
            if (same_name(c.name, name)) return false;
        }
        out.absorb(o.lin, m);
        shape_ = o.fields;
        return true;
    }
    return false;
}

}  // namespace qarvel::lineage
