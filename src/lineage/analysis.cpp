// The lineage analysis: one read-only walk over sqlglot's tree.
//
// A query is analysed into a query_info: its sources (tables, CTEs, derived
// tables, UNNEST, VALUES, table functions) are gathered into a scope, every
// select item is walked once and the physical columns it reads are collected
// with their subtypes, and the clauses that decide which rows appear (JOIN,
// WHERE, GROUP BY, HAVING, QUALIFY, ORDER BY under LIMIT) become influences
// of every row.  A CTE is analysed once and shared by every reference; a
// derived table or CTE passes its columns' lineage and its influences on to
// whatever reads it.  Nothing is rewritten, copied or generated.
#include "lineage/analysis.hpp"

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/tree.hpp"
#include "lineage/state.hpp"

#include <cctype>
#include <cstring>

namespace qarvel::lineage {

using py::handle;
using py::object;

// The deepest nesting of expressions and of queries the walk follows; deeper
// parts are reported as unresolved instead of risking the C stack.
constexpr int kMaxExpressionDepth = 1500;
constexpr int kMaxQueryDepth = 200;
// Rounds of a recursive CTE before its lineage is taken as complete.
constexpr int kMaxRecursiveRounds = 8;

bool source::columns_known(analysis& an) const {
    switch (kind) {
        case physical: return an.schema_columns(table) != nullptr;
        case derived: return !q->in_progress && !q->has_placeholder();
        case opaque: return false;
    }
    return false;
}

namespace {

// --- reading the tree ------------------------------------------------------------

std::string utf8(PyObject* text) {
    if (text == nullptr) return {};
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) py::throw_error();
    return std::string(data, static_cast<std::size_t>(size));
}

// The integer a positional GROUP BY / ORDER BY item names (1-based), or 0.
long position_of(handle node) {
    if (kind_of(node) != kind::Literal) return 0;
    object a = args_of(node);
    if (truthy(arg(a, lk.is_string))) return 0;
    object text = arg(a, lk.this_);
    if (!text || !PyUnicode_Check(text.ptr())) return 0;
    const std::string digits = utf8(text.ptr());
    if (digits.empty() || digits.size() > 6) return 0;
    long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

// --- names -----------------------------------------------------------------------

analysis::analysis(const profile& rules, handle schema) : rules_(rules) {
    if (schema && PyDict_Check(schema.ptr())) {
        schema_ = object::borrow(schema);
        // The index keeps the nesting of the schema under the key None.
        object depth = py::optional_item(schema_, Py_None);
        if (depth && PyLong_Check(depth.ptr())) {
            const long value = PyLong_AsLong(depth.ptr());
            if (value == -1 && PyErr_Occurred()) py::throw_error();
            schema_depth_ = static_cast<int>(value);
        }
    }
}

PyObject* analysis::keep(object name) {
    PyObject* raw = name.ptr();
    kept_.push_back(std::move(name));
    return raw;
}

// The one object this analysis uses for a text: equal names are the same
// object, so they compare and key by pointer.  The table is the analysis's
// own (not the interpreter's interned strings, which would be changed by
// every analysis of new names).
PyObject* analysis::canonical(handle text) {
    if (!names_) names_ = py::new_dict();
    PyObject* found = PyDict_SetDefault(names_.ptr(), text.ptr(), text.ptr());
    if (found == nullptr) py::throw_error();
    return found;  // borrowed: the table keeps it
}

PyObject* analysis::intern_text(object text) {
    if (!PyUnicode_CheckExact(text.ptr())) {
        text = py::checked(PyObject_Str(text.ptr()));
    }
    return canonical(text);
}

namespace {

// ASCII letters only, up or down; the same object when nothing changes.
object change_ascii_case(PyObject* text, bool upper) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind_ = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t first = -1;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind_, data, i);
        if (upper ? (c >= 'a' && c <= 'z') : (c >= 'A' && c <= 'Z')) {
            first = i;
            break;
        }
    }
    if (first < 0) return object::borrow(text);
    object changed = py::checked(PyUnicode_New(length, PyUnicode_MAX_CHAR_VALUE(text)));
    const int out_kind = PyUnicode_KIND(changed.ptr());
    void* out = PyUnicode_DATA(changed.ptr());
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind_, data, i);
        if (upper && c >= 'a' && c <= 'z') c -= 32;
        if (!upper && c >= 'A' && c <= 'Z') c += 32;
        PyUnicode_WRITE(out_kind, out, i, c);
    }
    return changed;
}

}  // namespace

PyObject* analysis::normalise(PyObject* text, bool quoted, bool keep_case) {
    bool change = !keep_case;
    bool upper = false;
    switch (rules_.rule) {
        case strategy::case_sensitive: change = false; break;
        case strategy::lowercase: change = change && !quoted; break;
        case strategy::uppercase: change = change && !quoted; upper = true; break;
        case strategy::case_insensitive: break;
        case strategy::case_insensitive_uppercase: upper = true; break;
    }
    object result = object::borrow(text);
    if (change) {
        if (rules_.ascii_only || PyUnicode_IS_ASCII(text)) {
            result = change_ascii_case(text, upper);
        } else {
            result = py::call_method(text, upper ? engine.upper_name.ptr() : engine.lower_name.ptr());
        }
    }
    return intern_text(std::move(result));
}

PyObject* analysis::name_of(handle identifier, bool qualified_table) {
    if (!identifier) return nullptr;
    const kind k = kind_of(identifier);
    if (k == kind::Star) return lk.star;
    if (k != kind::Identifier && k != kind::Literal && k != kind::Var) {
        if (PyUnicode_Check(identifier.ptr())) return normalise(identifier.ptr(), false, false);
        return nullptr;
    }
    object a = args_of(identifier);
    object text = arg(a, lk.this_);
    if (!text || !PyUnicode_Check(text.ptr())) return nullptr;
    if (k == kind::Literal) read_literal_name();
    const bool quoted = k != kind::Identifier || truthy(arg(a, lk.quoted));
    const bool keep_case = qualified_table && rules_.qualified_tables_case_sensitive;
    return normalise(text.ptr(), quoted, keep_case);
}

// --- registries --------------------------------------------------------------------

namespace {

template <typename... Parts>
std::string key_of(const Parts&... parts) {
    std::string key;
    key.reserve((sizeof(Parts) + ...));
    (key.append(reinterpret_cast<const char*>(&parts), sizeof(Parts)), ...);
    return key;
}

}  // namespace

int analysis::table_index(handle table_node) {
    object a = args_of(table_node);
    object db_node = arg(a, lk.db);
    const bool qualified = static_cast<bool>(db_node);
    PyObject* name = name_of(arg(a, lk.this_), qualified);
    if (name == nullptr) return -1;
    PyObject* db = name_of(db_node, qualified);
    PyObject* catalog = name_of(arg(a, lk.catalog), qualified);
    const std::string key = key_of(catalog, db, name);
    for (std::size_t i = 0; i < tables_.size(); ++i) {
        const table_ref& t = tables_[i];
        if (t.catalog == catalog && t.db == db && t.name == name) return static_cast<int>(i);
    }
    tables_.push_back({catalog, db, name});
    read_.push_back(0);
    // The schema's columns of this table, looked up by the parts the
    // statement names (the schema index holds every partial name that is
    // unambiguous).
    schema_entries_.push_back(schema_lookup(catalog, db, name));
    return static_cast<int>(tables_.size() - 1);
}

object analysis::schema_lookup(PyObject* catalog, PyObject* db, PyObject* name) {
    if (!schema_) return {};
    // A schema without catalogs (or dbs) describes a table whatever
    // catalog (or db) a statement names it with.
    PyObject* key_catalog = schema_depth_ >= 4 ? catalog : nullptr;
    PyObject* key_db = schema_depth_ >= 3 ? db : nullptr;
    object lookup = py::make_tuple(key_catalog ? key_catalog : Py_None, key_db ? key_db : Py_None, name);
    object entry = py::optional_item(schema_, lookup);
    if (!entry || !PyTuple_Check(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) != 2) return {};
    object columns = object::borrow(PyTuple_GET_ITEM(entry.ptr(), 1));
    if (!PyTuple_Check(columns.ptr())) return {};
    // The index is the caller's to give: its names must be text.
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(columns.ptr()); ++i) {
        PyObject* column = PyTuple_GET_ITEM(columns.ptr(), i);
        if (!PyUnicode_Check(column)) {
            PyErr_Format(PyExc_TypeError, "the schema index's column names must be str, not %.100s",
                         Py_TYPE(column)->tp_name);
            py::throw_error();
        }
    }
    return columns;
}

PyObject* analysis::schema_columns(int table) {
    if (table < 0 || static_cast<std::size_t>(table) >= schema_entries_.size()) return nullptr;
    return schema_entries_[static_cast<std::size_t>(table)].ptr();
}

col_id analysis::column_of(int table, PyObject* name) {
    read_[static_cast<std::size_t>(table)] = 1;
    // Names from the schema and from the tree meet here: one object each.
    name = canonical(name);
    const std::string key = key_of(table, name);
    if (auto found = column_ids_.find(key); found != column_ids_.end()) return found->second;
    const col_id id = static_cast<col_id>(columns_.size());
    columns_.push_back({table, name});
    column_ids_.emplace(key, id);
    return id;
}

std::uint32_t analysis::note(PyObject* text, PyObject* table, std::string reason) {
    std::string key = key_of(text, table);
    key += reason;
    if (auto found = unresolved_ids_.find(key); found != unresolved_ids_.end()) return found->second;
    const auto id = static_cast<std::uint32_t>(unresolved_.size());
    unresolved_.push_back({text, table, std::move(reason)});
    unresolved_ids_.emplace(std::move(key), id);
    return id;
}

std::string analysis::table_text(int table) const {
    const table_ref& t = tables_[static_cast<std::size_t>(table)];
    std::string text;
    for (PyObject* part : {t.catalog, t.db, t.name}) {
        if (part == nullptr) continue;
        if (!text.empty()) text += '.';
        text += utf8(part);
    }
    return text;
}

// --- queries -----------------------------------------------------------------------

const query_info* analysis::query(handle node, scope* outer, const cte_env* env) {
    if (query_depth_ >= kMaxQueryDepth) {
        query_info& q = queries_.emplace_back();
        q.all.add_unresolved(note(lk.empty, nullptr, "queries nested too deeply"), FILTER);
        return &q;
    }
    ++query_depth_;
    struct leave {
        int& depth;
        ~leave() { --depth; }
    } guard{query_depth_};

    const kind k = kind_of(node);
    switch (k) {
        case kind::Select: return select(node, outer, env);
        case kind::Union:
        case kind::Intersect:
        case kind::Except: return set_operation(node, k, outer, env);
        case kind::Subquery: {
            const cte_env* inner_env = with_clause(node, outer, env);
            object inner = arg_of(node, lk.this_);
            if (!inner) return &queries_.emplace_back();
            const kind ik = kind_of(inner);
            if (ik != kind::Select && ik != kind::Union && ik != kind::Intersect &&
                ik != kind::Except && ik != kind::Subquery && ik != kind::Values) {
                // (t), (x JOIN y): every column of the sources, as SELECT * would.
                query_info& q = queries_.emplace_back();
                scope sc;
                sc.outer = outer;
                sc.env = inner_env;
                add_source(inner, sc, q);
                nested_joins(node, sc, q);
                star({}, nullptr, sc, q);
                return &q;
            }
            const query_info* q = query(inner, outer, inner_env);
            // Modifiers of a parenthesised query: ORDER BY ... LIMIT.
            object a = args_of(node);
            if (arg(a, lk.order) || arg(a, lk.limit) || arg(a, lk.offset)) {
                query_info& copy = queries_.emplace_back(*q);
                scope sc;
                sc.outer = outer;
                sc.env = inner_env;
                sc.outputs = &copy.outputs;
                modifiers(node, sc, copy, false);
                return &copy;
            }
            return q;
        }
        case kind::Values: {
            scope sc;
            sc.outer = outer;
            sc.env = env;
            return values(node, sc);
        }
        default: return &queries_.emplace_back();
    }
}

const cte_env* analysis::with_clause(handle node, scope* outer, const cte_env* env) {
    object with = arg_of(node, engine.key_with);
    if (!with) return env;
    object a = args_of(with);
    const bool recursive = truthy(arg(a, lk.recursive));
    each(arg(a, lk.expressions), [&](handle cte) {
        object ca = args_of(cte);
        object alias = arg(ca, lk.alias);
        object body = arg(ca, lk.this_);
        PyObject* name = name_of(arg_of(alias, lk.this_));
        if (name == nullptr || !body) return;
        // WITH c(a, b) AS (...): the column list names the outputs.
        std::vector<PyObject*> column_names;
        each(arg_of(alias, lk.columns), [&](handle column) {
            if (PyObject* n = name_of(column)) column_names.push_back(n);
        });
        const query_info* q = nullptr;
        if (recursive) {
            // To a fixed point: each round reads the previous round's lineage
            // for its own references; a round that adds nothing ends it.
            query_info& start = queries_.emplace_back();
            start.in_progress = true;
            q = renamed(query(body, outer, &envs_.emplace_back(cte_env{name, &start, env})),
                        column_names);
            auto size_of = [](const query_info& info) {
                std::size_t n = info.all.indirect.size() + info.all.unresolved.size();
                for (const output& o : info.outputs) {
                    n += o.lin.direct.size() + o.lin.indirect.size() + o.lin.unresolved.size();
                }
                return n;
            };
            for (int round = 0; round < kMaxRecursiveRounds; ++round) {
                const query_info* again =
                    renamed(query(body, outer, &envs_.emplace_back(cte_env{name, q, env})), column_names);
                query_info& merged = queries_.emplace_back(*q);
                const std::size_t before = size_of(merged);
                for (std::size_t i = 0; i < merged.outputs.size() && i < again->outputs.size(); ++i) {
                    merged.outputs[i].lin.absorb(again->outputs[i].lin, mode{});
                }
                merged.all.absorb_influences(again->all);
                q = &merged;
                if (size_of(merged) == before) break;
            }
        } else {
            q = renamed(query(body, outer, env), column_names);
        }
        env = &envs_.emplace_back(cte_env{name, q, env});
    });
    return env;
}

namespace {

const query_info* find_cte(const cte_env* env, PyObject* name) {
    for (; env != nullptr; env = env->next) {
        if (same_name(env->name, name)) return env->q;
    }
    return nullptr;
}

}  // namespace

// A copy of `q` whose outputs take the names of an alias's column list.
// A copy of `q` whose outputs take the names of an alias's column list.
// Past a placeholder the names are known but not which column each one is.
const query_info* analysis::renamed(const query_info* q, const std::vector<PyObject*>& names) {
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
        named.literal_name = false;
        copy.outputs.push_back(std::move(named));
    }
    if (i == names.size()) {
        // Fewer names than columns: the rest keep theirs.
        for (std::size_t j = i; j < q->outputs.size(); ++j) copy.outputs.push_back(q->outputs[j]);
    }
    for (std::size_t j = i; j < names.size(); ++j) {
        output named;
        named.name = names[j];
        if (i < q->outputs.size()) {
            const output& star = q->outputs[i];
            PyObject* table = nullptr;
            std::string reason = "needs a schema";
            if (star.star_table >= 0) {
                table = intern_text(py::checked(PyUnicode_FromString(table_text(star.star_table).c_str())));
            } else if (star.opaque_note >= 0) {
                const unresolved_entry& why = unresolved_[static_cast<std::size_t>(star.opaque_note)];
                table = why.table;
                reason = why.reason;
            }
            named.lin.add_unresolved(note(names[j], table, std::move(reason)), mode{});
        }
        copy.outputs.push_back(std::move(named));
    }
    return &copy;
}

PyObject* analysis::generated_name(std::size_t index) {
    object text = py::checked(PyUnicode_FromFormat("_col_%zu", index));
    return normalise(text.ptr(), false, false);
}

void analysis::add_source(handle node, scope& sc, query_info& q) {
    const kind k = kind_of(node);
    object a = args_of(node);
    object alias_node = arg(a, lk.alias);
    PyObject* alias = nullptr;
    std::vector<PyObject*> alias_columns;
    if (alias_node) {
        if (kind_of(alias_node) == kind::TableAlias) {
            alias = name_of(arg_of(alias_node, lk.this_));
            each(arg_of(alias_node, lk.columns), [&](handle c) {
                if (PyObject* n = name_of(c)) alias_columns.push_back(n);
            });
        } else {
            alias = name_of(alias_node);
        }
    }
    source src;
    object pivots = arg(a, lk.pivots);
    const bool pivoted = pivots && PyList_Check(pivots.ptr()) && PyList_GET_SIZE(pivots.ptr()) > 0;

    switch (k) {
        case kind::Table: {
            object target = arg(a, lk.this_);
            const kind target_kind = target ? kind_of(target) : kind::not_expression;
            if (target_kind == kind::Identifier) {
                const bool qualified = static_cast<bool>(arg(a, lk.db)) || static_cast<bool>(arg(a, lk.catalog));
                PyObject* name = name_of(target, qualified);
                const query_info* cte = qualified ? nullptr : find_cte(sc.env, name);
                if (cte != nullptr) {
                    src.kind = source::derived;
                    src.q = renamed(cte, alias_columns);
                    src.alias = alias ? alias : name;
                    src.label = utf8(src.alias);
                    if (!cte->in_progress) q.all.absorb_influences(cte->all);
                } else {
                    src.kind = source::physical;
                    src.table = table_index(node);
                    if (src.table < 0) return;
                    read_[static_cast<std::size_t>(src.table)] = 1;
                    src.alias = alias ? alias : tables_[static_cast<std::size_t>(src.table)].name;
                    src.label = utf8(src.alias);
                    if (!alias_columns.empty()) {
                        // FROM t AS a(x, y): the names replace t's columns by
                        // position, which only the schema knows.
                        query_info& cols = queries_.emplace_back();
                        PyObject* known = schema_columns(src.table);
                        for (std::size_t i = 0; i < alias_columns.size(); ++i) {
                            output o;
                            o.name = alias_columns[i];
                            if (known != nullptr && static_cast<Py_ssize_t>(i) < PyTuple_GET_SIZE(known)) {
                                o.lin.add(column_of(src.table, PyTuple_GET_ITEM(known, i)), mode{});
                            } else {
                                o.lin.add_unresolved(
                                    note(o.name, tables_[static_cast<std::size_t>(src.table)].name,
                                         "needs a schema"),
                                    mode{});
                            }
                            cols.outputs.push_back(std::move(o));
                        }
                        src.kind = source::derived;
                        src.q = &cols;
                    }
                }
            } else if (target) {
                // A table function: its columns come from its arguments.
                query_info& fn = queries_.emplace_back();
                lineage args_lineage;
                walk(target, sc, mode{}.transformed(), args_lineage, clause::plain, 0);
                if (alias_columns.empty()) {
                    src.kind = source::opaque;
                    object fname = py::checked(PyType_GetName(Py_TYPE(target.ptr())));
                    src.reason = "columns of table function " + utf8(fname.ptr()) + " are not known";
                    for (const direct_ref& d : args_lineage.direct) fn.all.add_indirect(d.col, FILTER);
                } else {
                    for (PyObject* name : alias_columns) {
                        fn.outputs.push_back({.name = name, .lin = args_lineage});
                    }
                    src.kind = source::derived;
                    src.q = &fn;
                }
                src.alias = alias;
                src.label = alias ? utf8(alias) : "table function";
            } else {
                return;
            }
            break;
        }
        case kind::Subquery: {
            object inner_node = arg(a, lk.this_);
            const kind ik = inner_node ? kind_of(inner_node) : kind::not_expression;
            const bool inner_is_query = ik == kind::Select || ik == kind::Union ||
                                        ik == kind::Intersect || ik == kind::Except ||
                                        ik == kind::Values;
            if (inner_node && !inner_is_query && (ik != kind::Subquery || alias == nullptr)) {
                // Parentheses around a source or a join: (x JOIN y ON ...) or
                // ((SELECT ...) AS q); its sources belong to this scope.
                add_source(inner_node, sc, q);
                nested_joins(node, sc, q);
                return;
            }
            const query_info* inner = query(node, sc.outer, sc.env);
            src.kind = source::derived;
            src.q = renamed(inner, alias_columns);
            src.alias = alias;
            src.label = alias ? utf8(alias) : "derived table";
            q.all.absorb_influences(inner->all);
            break;
        }
        case kind::Values: {
            const query_info* v = values(node, sc);
            src.kind = source::derived;
            src.q = renamed(v, alias_columns);
            src.alias = alias;
            src.label = alias ? utf8(alias) : "VALUES";
            break;
        }
        case kind::Unnest:
            unnest_source(node, alias_node, sc, q, false);
            return;
        case kind::Lateral: {
            object target = arg(a, lk.this_);
            if (target && (kind_of(target) == kind::Subquery || kind_of(target) == kind::Select)) {
                // LATERAL (subquery): it sees the sources before it.
                const query_info* inner = query(target, &sc, sc.env);
                src.kind = source::derived;
                src.q = renamed(inner, alias_columns);
                src.alias = alias;
                src.label = alias ? utf8(alias) : "LATERAL";
                q.all.absorb_influences(inner->all);
                break;
            }
            unnest_source(target, alias_node, sc, q, true);
            return;
        }
        default: {
            if (k == kind::Select || k == kind::Union || k == kind::Intersect || k == kind::Except) {
                const query_info* inner = query(node, sc.outer, sc.env);
                src.kind = source::derived;
                src.q = inner;
                src.alias = alias;
                src.label = alias ? utf8(alias) : "derived table";
                q.all.absorb_influences(inner->all);
                break;
            }
            src.kind = source::opaque;
            object tname = py::checked(PyType_GetName(Py_TYPE(node.ptr())));
            src.reason = "source " + utf8(tname.ptr()) + " is not traced";
            src.alias = alias;
            src.label = alias ? utf8(alias) : utf8(tname.ptr());
            break;
        }
    }
    if (pivoted) {
        // PIVOT / UNPIVOT: which output column comes from which input is not
        // traced; the pivot's alias (if any) names the result.
        object pivot = object::borrow(PyList_GET_ITEM(pivots.ptr(), 0));
        object pa = args_of(pivot);
        const bool unpivot = truthy(arg(pa, lk.unpivot));
        object pivot_alias = arg(pa, lk.alias);
        if (pivot_alias) {
            PyObject* n = kind_of(pivot_alias) == kind::TableAlias ? name_of(arg_of(pivot_alias, lk.this_))
                                                                   : name_of(pivot_alias);
            if (n != nullptr) src.alias = n;
        }
        src.kind = source::opaque;
        src.reason = unpivot ? "UNPIVOT output is not traced" : "PIVOT output is not traced";
        if (src.alias != nullptr) src.label = utf8(src.alias);
    }
    sc.sources.push_back(std::move(src));
    nested_joins(node, sc, q);
}

// The joins of a parenthesised join, (x JOIN y ON ...): sqlglot keeps them
// on the first source.
void analysis::nested_joins(handle node, scope& sc, query_info& q) {
    each(arg_of(node, lk.joins), [&](handle join) {
        object target = arg_of(join, lk.this_);
        if (!target) return;
        add_source(target, sc, q);
        join_conditions(join, sc, q);
    });
}

// UNNEST(...) [AS t(c)], LATERAL VIEW explode(...) t AS c and their kind: the
// columns come from the unnested values.
void analysis::unnest_source(handle node, handle alias_node, scope& sc, query_info& q,
                             bool lateral_view) {
    (void)q;
    lineage values_lineage;
    if (node) {
        if (lateral_view) {
            walk(node, sc, mode{}.transformed(), values_lineage, clause::plain, 0);
        } else {
            each(arg_of(node, lk.expressions), [&](handle e) {
                walk(e, sc, mode{}.transformed(), values_lineage, clause::plain, 0);
            });
        }
    }
    source src;
    query_info& u = queries_.emplace_back();
    std::vector<PyObject*> names;
    PyObject* table_alias = nullptr;
    if (alias_node) {
        table_alias = name_of(arg_of(alias_node, lk.this_));
        each(arg_of(alias_node, lk.columns), [&](handle c) {
            if (PyObject* n = name_of(c)) names.push_back(n);
        });
    }
    if (names.empty() && table_alias != nullptr && !lateral_view) {
        // UNNEST(arr) AS x: a single column, named by the alias.
        names.push_back(table_alias);
    }
    PyObject* offset_name = nullptr;
    if (node && !lateral_view) {
        object offset = arg_of(node, lk.offset);
        if (offset && kind_of(offset) != kind::not_expression) offset_name = name_of(offset);
    }
    for (PyObject* name : names) {
        output o;
        o.name = name;
        if (name != offset_name) o.lin = values_lineage;
        u.outputs.push_back(std::move(o));
    }
    if (offset_name != nullptr && names.end() == std::find(names.begin(), names.end(), offset_name)) {
        u.outputs.push_back({.name = offset_name});
    }
    if (u.outputs.empty()) {
        object unnest = py::checked(PyUnicode_FromString("unnest"));
        u.outputs.push_back({.name = intern_text(std::move(unnest)), .lin = values_lineage});
    }
    src.kind = source::derived;
    src.q = &u;
    src.alias = table_alias;
    src.label = table_alias ? utf8(table_alias) : "UNNEST";
    sc.sources.push_back(std::move(src));
}

void analysis::join_conditions(handle join, scope& sc, query_info& q) {
    object a = args_of(join);
    if (object on = arg(a, lk.on)) walk(on, sc, mode{}.influence(JOIN), q.all, clause::plain, 0);
    object using_list = arg(a, lk.using_);
    if (!using_list) return;
    // JOIN ... USING (c): c of the joined source and of the one source before
    // it that has c (every source before it when that is not known).
    const source& joined = sc.sources.back();
    each(using_list, [&](handle item) {
        PyObject* name = kind_of(item) == kind::Column ? name_of(arg_of(item, lk.this_)) : name_of(item);
        if (name == nullptr) return;
        sc.using_names.push_back(name);
        lineage l;
        resolve_in(joined, name, mode{}, l);
        bool found = false;
        for (std::size_t i = 0; i + 1 < sc.sources.size(); ++i) {
            const source& left = sc.sources[i];
            if (!left.columns_known(*this)) continue;
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
    });
}

const query_info* analysis::values(handle node, scope& sc) {
    query_info& v = queries_.emplace_back();
    std::size_t row = 0;
    each(arg_of(node, lk.expressions), [&](handle tuple) {
        std::size_t i = 0;
        auto cell = [&](handle e) {
            if (v.outputs.size() <= i) v.outputs.push_back({.name = generated_name(i)});
            walk(e, sc, mode{}, v.outputs[i].lin, clause::plain, 0);
            ++i;
        };
        if (kind_of(tuple) == kind::Tuple) {
            each(arg_of(tuple, lk.expressions), cell);
        } else {
            cell(tuple);
        }
        ++row;
    });
    return &v;
}

// The sources of FROM and of the joins (with their conditions), in order.
void analysis::from_and_joins(handle args, scope& sc, query_info& q) {
    if (object from = arg(args, engine.key_from)) {
        if (object first = arg_of(from, lk.this_)) add_source(first, sc, q);
        // FROM a, b (some dialects keep the extra sources in From.expressions).
        each(arg_of(from, lk.expressions), [&](handle extra) { add_source(extra, sc, q); });
    }
    each(arg(args, lk.joins), [&](handle join) {
        object target = arg_of(join, lk.this_);
        if (!target) return;
        add_source(target, sc, q);
        join_conditions(join, sc, q);
    });
}

const query_info* analysis::select(handle node, scope* outer, const cte_env* env) {
    object a = args_of(node);
    query_info& q = queries_.emplace_back();
    scope sc;
    sc.outer = outer;
    sc.env = with_clause(node, outer, env);

    from_and_joins(a, sc, q);
    each(arg(a, lk.laterals), [&](handle lateral) { add_source(lateral, sc, q); });
    sc.windows = arg(a, lk.windows);
    sc.hierarchical = static_cast<bool>(arg(a, lk.connect));

    select_list(node, sc, q);
    modifiers(node, sc, q, true);
    return &q;
}

const query_info* analysis::set_operation(handle node, kind k, scope* outer, const cte_env* env) {
    object a = args_of(node);
    const cte_env* inner_env = with_clause(node, outer, env);
    object left_node = arg(a, lk.this_);
    object right_node = arg(a, lk.expression);
    if (!left_node || !right_node) return &queries_.emplace_back();
    const bool by_name = k == kind::Union && truthy(arg(a, lk.by_name));
    if (k == kind::Union && !by_name) {
        // A chain of UNIONs nests to the left, a level per branch: it is
        // walked with a loop, so a long chain needs no deep recursion.
        std::vector<object> branches{right_node};
        object left = left_node;
        while (kind_of(left) == kind::Union) {
            object la = args_of(left);
            object next_left = arg(la, lk.this_);
            object next_right = arg(la, lk.expression);
            if (!next_left || !next_right || truthy(arg(la, lk.by_name)) || arg(la, engine.key_with) ||
                arg(la, lk.order) || arg(la, lk.limit) || arg(la, lk.offset)) {
                break;
            }
            branches.push_back(next_right);
            left = next_left;
        }
        const query_info* first = query(left, outer, inner_env);
        query_info& q = queries_.emplace_back();
        q.outputs = first->outputs;
        q.all.absorb_influences(first->all);
        bool mismatch = false;
        for (auto branch = branches.rbegin(); branch != branches.rend(); ++branch) {
            const query_info* right = query(*branch, outer, inner_env);
            q.all.absorb_influences(right->all);
            // Every branch feeds the result, by position.
            for (std::size_t i = 0; i < right->outputs.size() && i < q.outputs.size(); ++i) {
                q.outputs[i].lin.absorb(right->outputs[i].lin, mode{});
            }
            if (right->outputs.size() != first->outputs.size() && !first->has_placeholder() &&
                !right->has_placeholder()) {
                mismatch = true;
            }
        }
        if (mismatch) {
            q.all.add_unresolved(note(lk.empty, nullptr, "set operation branches differ in column count"),
                                 FILTER);
        }
        scope sc;
        sc.outer = outer;
        sc.env = inner_env;
        sc.outputs = &q.outputs;
        modifiers(node, sc, q, false);
        return &q;
    }
    const query_info* left = query(left_node, outer, inner_env);
    const query_info* right = query(right_node, outer, inner_env);
    query_info& q = queries_.emplace_back();
    q.outputs = left->outputs;
    q.all.absorb_influences(left->all);
    q.all.absorb_influences(right->all);
    if (by_name) {
        // BY NAME / CORRESPONDING: columns meet by name; ON (...) lists them,
        // INNER keeps the common ones, LEFT the left branch's, otherwise all.
        auto text_of = [&](PyObject* key) {
            object value = arg(a, key);
            return value && PyUnicode_Check(value.ptr()) ? utf8(value.ptr()) : std::string{};
        };
        const std::string side = text_of(lk.side), join_kind = text_of(lk.kind);
        auto find = [&](const query_info* branch, PyObject* name) -> const output* {
            for (const output& o : branch->outputs) {
                if (!o.placeholder() && same_name(o.name, name)) return &o;
            }
            return nullptr;
        };
        std::vector<PyObject*> names;
        object on = arg(a, lk.on);
        if (on) {
            each(on, [&](handle c) {
                PyObject* n = kind_of(c) == kind::Column ? name_of(arg_of(c, lk.this_)) : name_of(c);
                if (n != nullptr) names.push_back(n);
            });
        } else {
            for (const output& o : left->outputs) {
                if (join_kind != "INNER" || find(right, o.name) != nullptr) names.push_back(o.name);
            }
            if (join_kind != "INNER" && side != "LEFT") {
                for (const output& o : right->outputs) {
                    if (find(left, o.name) == nullptr) names.push_back(o.name);
                }
            }
        }
        q.outputs.clear();
        for (PyObject* name : names) {
            output o;
            o.name = name;
            const output* l = find(left, name);
            const output* r = find(right, name);
            if (l != nullptr) o.lin.absorb(l->lin, mode{});
            if (r != nullptr) o.lin.absorb(r->lin, mode{});
            o.literal_name = l != nullptr ? l->literal_name : (r != nullptr && r->literal_name);
            q.outputs.push_back(std::move(o));
        }
    } else {
        // INTERSECT / EXCEPT: the right branch decides which rows remain.
        for (const output& r : right->outputs) q.all.absorb(r.lin, mode{}.influence(FILTER));
    }
    scope sc;
    sc.outer = outer;
    sc.env = inner_env;
    sc.outputs = &q.outputs;
    modifiers(node, sc, q, false);
    return &q;
}

// --- select list -------------------------------------------------------------------

PyObject* analysis::output_name(handle item, kind k) {
    object a = args_of(item);
    switch (k) {
        case kind::Alias:
        case kind::PivotAlias: return name_of(arg(a, lk.alias));
        case kind::Column: return name_of(arg(a, lk.this_));
        case kind::Identifier: return name_of(item);
        case kind::Literal: {
            object text = arg(a, lk.this_);
            if (!text || !PyUnicode_Check(text.ptr())) return nullptr;
            read_literal_name();
            return intern_text(std::move(text));
        }
        case kind::Star: return lk.star;
        case kind::Dot: return name_of(arg(a, lk.expression));
        case kind::Paren:
        case kind::Cast: {
            // Their name is the name of what they hold, when that has one.
            object inner = arg(a, lk.this_);
            if (!inner) return nullptr;
            const kind ik = kind_of(inner);
            if (ik == kind::Column) return name_of(arg_of(inner, lk.this_));
            if (ik == kind::Identifier || ik == kind::Literal) return output_name(inner, ik);
            return nullptr;
        }
        case kind::Subquery: {
            object alias = arg(a, lk.alias);
            if (!alias) return nullptr;
            return kind_of(alias) == kind::TableAlias ? name_of(arg_of(alias, lk.this_)) : name_of(alias);
        }
        case kind::Bracket: {
            object index = arg(a, lk.expressions);
            if (index && PyList_Check(index.ptr()) && PyList_GET_SIZE(index.ptr()) == 1) {
                object only = object::borrow(PyList_GET_ITEM(index.ptr(), 0));
                return output_name(only, kind_of(only));
            }
            return nullptr;
        }
        default: return nullptr;
    }
}

void analysis::select_list(handle node, scope& sc, query_info& q) {
    sc.outputs = &q.outputs;
    std::size_t index = 0;
    each(arg_of(node, lk.expressions), [&](handle item) {
        const kind k = kind_of(item);
        if (k == kind::Star) {
            star(item, nullptr, sc, q);
        } else if (k == kind::Column && kind_of(arg_of(item, lk.this_)) == kind::Star) {
            object ia = args_of(item);
            star(arg(ia, lk.this_), name_of(arg(ia, lk.table)), sc, q);
        } else {
            output o;
            naming_output_ = true;
            output_literal_ = false;
            o.name = output_name(item, k);
            naming_output_ = false;
            o.literal_name = output_literal_;
            if (o.name == nullptr || PyUnicode_GET_LENGTH(o.name) == 0) {
                o.literal_name = false;
                o.name = generated_name(index);
            }
            walk(item, sc, mode{}, o.lin, clause::select_list, 0);
            q.outputs.push_back(std::move(o));
        }
        ++index;
    });
}

void analysis::star(handle star_node, PyObject* qualifier, scope& sc, query_info& q) {
    object sa = star_node ? args_of(star_node) : object{};
    std::vector<PyObject*> excluded;
    each(arg(sa, engine.key_except), [&](handle c) {
        PyObject* n = kind_of(c) == kind::Column ? name_of(arg_of(c, lk.this_)) : name_of(c);
        if (n != nullptr) excluded.push_back(n);
    });
    std::vector<std::pair<PyObject*, object>> replaced;
    each(arg(sa, lk.replace), [&](handle r) {
        if (PyObject* n = output_name(r, kind_of(r))) replaced.emplace_back(n, object::borrow(r));
    });
    auto skip = [&](PyObject* name) {
        for (PyObject* e : excluded) {
            if (same_name(e, name)) return true;
        }
        return false;
    };
    auto emit = [&](PyObject* name, lineage lin, int star_table, int opaque_note = -1,
                    bool literal_name = false) {
        output o;
        o.name = name;
        o.literal_name = literal_name;
        o.star_table = star_table;
        o.opaque_note = opaque_note;
        for (auto& [rname, expression] : replaced) {
            if (same_name(rname, name)) {
                o.lin = lineage{};
                walk(expression, sc, mode{}, o.lin, clause::select_list, 0);
                q.outputs.push_back(std::move(o));
                return;
            }
        }
        o.lin = std::move(lin);
        q.outputs.push_back(std::move(o));
    };
    PyObject* text = lk.star;
    if (qualifier != nullptr) {
        text = intern_text(py::checked(PyUnicode_FromFormat("%U.*", qualifier)));
    }
    // SELECT * over JOIN ... USING (c): c appears once, from every side.
    std::vector<std::pair<PyObject*, std::size_t>> using_outputs;
    auto coalesced = [&](PyObject* name, const lineage& lin) {
        if (qualifier != nullptr) return false;
        bool is_using = false;
        for (PyObject* u : sc.using_names) is_using = is_using || same_name(u, name);
        if (!is_using) return false;
        for (auto& [seen, index] : using_outputs) {
            if (same_name(seen, name)) {
                q.outputs[index].lin.absorb(lin, mode{});
                return true;
            }
        }
        using_outputs.emplace_back(name, q.outputs.size());
        return false;
    };
    bool matched = false;
    for (const source& src : sc.sources) {
        if (qualifier != nullptr && !same_name(src.alias, qualifier)) continue;
        matched = true;
        switch (src.kind) {
            case source::physical: {
                PyObject* known = schema_columns(src.table);
                if (known != nullptr) {
                    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(known); ++i) {
                        PyObject* name = PyTuple_GET_ITEM(known, i);
                        if (skip(name)) continue;
                        lineage l;
                        l.add(column_of(src.table, name), mode{});
                        if (coalesced(name, l)) continue;
                        emit(name, std::move(l), -1);
                    }
                } else {
                    lineage l;
                    object table_name = py::checked(PyUnicode_FromString(table_text(src.table).c_str()));
                    l.add_unresolved(note(text, intern_text(std::move(table_name)), "needs a schema"), mode{});
                    emit(lk.star, std::move(l), src.table);
                }
                break;
            }
            case source::derived:
                for (const output& o : src.q->outputs) {
                    if (!o.placeholder() && (skip(o.name) || coalesced(o.name, o.lin))) continue;
                    emit(o.name, o.lin, o.star_table, o.opaque_note, o.literal_name);
                }
                break;
            case source::opaque: {
                lineage l;
                object label = py::checked(PyUnicode_FromString(src.label.c_str()));
                const auto entry = note(text, intern_text(std::move(label)), src.reason);
                l.add_unresolved(entry, mode{});
                emit(lk.star, std::move(l), -1, static_cast<int>(entry));
                break;
            }
        }
    }
    if (!matched) {
        lineage l;
        if (qualifier != nullptr) {
            l.add_unresolved(note(text, qualifier, "no table or alias named " + utf8(qualifier)), mode{});
        } else {
            l.add_unresolved(note(text, nullptr, "no source to read it from"), mode{});
        }
        emit(lk.star, std::move(l), -1);
    }
}

// --- clauses -----------------------------------------------------------------------

void analysis::modifiers(handle node, scope& sc, query_info& q, bool has_group_aliases) {
    object a = args_of(node);
    const clause group_clause = has_group_aliases ? clause::group_having : clause::order_by;
    if (object where = arg(a, lk.where)) walk(where, sc, mode{}.influence(FILTER), q.all, clause::plain, 0);
    if (object prewhere = arg(a, lk.prewhere)) {
        walk(prewhere, sc, mode{}.influence(FILTER), q.all, clause::plain, 0);
    }
    if (object connect = arg(a, lk.connect)) {
        walk(connect, sc, mode{}.influence(FILTER), q.all, clause::plain, 0);
    }
    auto by_position = [&](handle item, mode m) {
        const long position = position_of(item);
        if (position > 0 && sc.outputs != nullptr &&
            static_cast<std::size_t>(position) <= sc.outputs->size()) {
            q.all.absorb((*sc.outputs)[static_cast<std::size_t>(position - 1)].lin, m);
            return true;
        }
        return false;
    };
    if (object group = arg(a, lk.group)) {
        const mode m = mode{}.influence(GROUP_BY);
        object ga = args_of(group);
        if (ga) {
            py::for_each values(py::checked(PyDict_Values(ga.ptr())));
            while (object value = values.next()) {
                each(value, [&](handle item) {
                    if (kind_of(item) == kind::not_expression) return;
                    if (!by_position(item, m)) walk(item, sc, m, q.all, group_clause, 0);
                });
            }
        }
    }
    if (object having = arg(a, lk.having)) {
        walk(having, sc, mode{}.influence(FILTER), q.all, group_clause, 0);
    }
    if (object qualify = arg(a, lk.qualify)) {
        walk(qualify, sc, mode{}.influence(FILTER), q.all, group_clause, 0);
    }
    // ORDER BY decides which rows appear only under LIMIT / OFFSET / FETCH.
    object order = arg(a, lk.order);
    if (order && (arg(a, lk.limit) || arg(a, lk.offset) || arg(a, lk.fetch))) {
        const mode m = mode{}.influence(SORT);
        each(arg_of(order, lk.expressions), [&](handle ordered) {
            object item = kind_of(ordered) == kind::Ordered ? arg_of(ordered, lk.this_) : object::borrow(ordered);
            if (!item) return;
            if (!by_position(item, m)) walk(item, sc, m, q.all, clause::order_by, 0);
        });
    }
}

// --- expressions -------------------------------------------------------------------

void analysis::expression(handle node, scope& sc, mode m, lineage& out, clause where) {
    walk(node, sc, m, out, where, 0);
}

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

void analysis::subquery(handle node, scope& sc, mode m, lineage& out) {
    const query_info* inner = query(node, &sc, sc.env);
    if (m.direct() && !inner->outputs.empty()) {
        out.absorb(inner->outputs.front().lin, m);
        for (std::size_t i = 1; i < inner->outputs.size(); ++i) out.absorb(inner->outputs[i].lin, m);
    } else {
        for (const output& o : inner->outputs) out.absorb(o.lin, m);
    }
    out.absorb_influences(inner->all);
}

void analysis::walk(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    // As the interpreter's loops do, a long walk looks for pending signals
    // (Ctrl-C stops it with KeyboardInterrupt).
    if ((++steps_ & kSignalEvery) == 0 && PyErr_CheckSignals() < 0) py::throw_error();
    if (depth > kMaxExpressionDepth) {
        out.add_unresolved(note(lk.empty, nullptr, "expression nested too deeply"), m);
        return;
    }
    const kind k = kind_of(node);
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
        case kind::Ordered: {
            if (object inner = arg_of(node, lk.this_)) walk(inner, sc, m, out, where, depth + 1);
            return;
        }
        case kind::Subquery:
        case kind::Select:
        case kind::Union:
        case kind::Intersect:
        case kind::Except: subquery(node, sc, m, out); return;
        case kind::Exists: {
            if (object inner = arg_of(node, lk.this_)) subquery(inner, sc, m.transformed(), out);
            return;
        }
        case kind::In: {
            object a = args_of(node);
            const mode t = m.transformed();
            if (object value = arg(a, lk.this_)) walk(value, sc, t, out, where, depth + 1);
            each(arg(a, lk.expressions), [&](handle e) { walk(e, sc, t, out, where, depth + 1); });
            if (object q = arg(a, lk.query)) subquery(q, sc, t, out);
            if (object f = arg(a, lk.field)) walk(f, sc, t, out, where, depth + 1);
            return;
        }
        case kind::AggFunc: walk_children(node, sc, m.aggregated(), out, where, depth); return;
        case kind::Window: {
            object a = args_of(node);
            if (object fn = arg(a, lk.this_)) walk(fn, sc, m, out, where, depth + 1);
            const mode w = m.influence(WINDOW);
            if (object p = arg(a, lk.partition_by)) walk(p, sc, w, out, where, depth + 1);
            if (object o = arg(a, lk.order)) walk(o, sc, w, out, where, depth + 1);
            // OVER w: the named window of the WINDOW clause.
            object named = arg(a, lk.alias);
            if (PyObject* name = named ? name_of(named) : nullptr; name && sc.windows) {
                each(sc.windows, [&](handle window) {
                    object wa = args_of(window);
                    if (!same_name(name_of(arg(wa, lk.this_)), name)) return;
                    if (object p = arg(wa, lk.partition_by)) walk(p, sc, w, out, where, depth + 1);
                    if (object o = arg(wa, lk.order)) walk(o, sc, w, out, where, depth + 1);
                });
            }
            return;
        }
        case kind::Case: {
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
            return;
        }
        case kind::If: {
            object a = args_of(node);
            if (object c = arg(a, lk.this_)) walk(c, sc, m.influence(CONDITIONAL), out, where, depth + 1);
            if (object t = arg(a, lk.true_)) walk(t, sc, m.transformed(), out, where, depth + 1);
            if (object f = arg(a, lk.false_)) walk(f, sc, m.transformed(), out, where, depth + 1);
            return;
        }
        case kind::Filter: {
            object a = args_of(node);
            if (object fn = arg(a, lk.this_)) walk(fn, sc, m, out, where, depth + 1);
            if (object f = arg(a, lk.expression)) walk(f, sc, m.influence(FILTER), out, where, depth + 1);
            return;
        }
        case kind::MD5:
        case kind::MD5Digest:
        case kind::SHA:
        case kind::SHA2:
        case kind::SHA1Digest:
        case kind::SHA2Digest: walk_children(node, sc, m.masked(), out, where, depth); return;
        case kind::Lambda: {
            object a = args_of(node);
            const std::size_t mark = sc.lambda_params.size();
            each(arg(a, lk.expressions), [&](handle p) {
                PyObject* name = kind_of(p) == kind::Column ? name_of(arg_of(p, lk.this_)) : name_of(p);
                if (name != nullptr) sc.lambda_params.push_back(name);
            });
            if (object body = arg(a, lk.this_)) walk(body, sc, m.transformed(), out, where, depth + 1);
            sc.lambda_params.resize(mark);
            return;
        }
        default: {
            // A left-deep chain of one operator (a + b + c ..., x OR y OR ...)
            // nests a level per operand: it is walked with a loop.
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
    }
}

// --- column references -------------------------------------------------------------

namespace {

bool is_connect_by_pseudo_column(PyObject* name) {
    const std::string text = utf8(name);
    std::string upper;
    for (char c : text) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper == "LEVEL" || upper == "CONNECT_BY_ISLEAF" || upper == "CONNECT_BY_ISCYCLE";
}

}  // namespace

// Whether `src` is known to have a column `name` (false when its columns
// are not known).
bool analysis::has_column(const source& src, PyObject* name) {
    if (!src.columns_known(*this)) return false;
    if (src.kind == source::physical) {
        PyObject* known = schema_columns(src.table);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(known); ++i) {
            if (same_name(PyTuple_GET_ITEM(known, i), name)) return true;
        }
        return false;
    }
    for (const output& o : src.q->outputs) {
        if (same_name(o.name, name)) return true;
    }
    return false;
}

bool analysis::resolve_in(const source& src, PyObject* name, mode m, lineage& out) {
    switch (src.kind) {
        case source::physical: {
            // A column the schema does not give the table is no source of it.
            if (src.columns_known(*this) && !has_column(src, name)) {
                object label = py::checked(PyUnicode_FromString(src.label.c_str()));
                out.add_unresolved(note(name, intern_text(std::move(label)), "not a column of " +
                                                                                 table_text(src.table)),
                                   m);
                return false;
            }
            out.add(column_of(src.table, name), m);
            return true;
        }
        case source::opaque: {
            object label = py::checked(PyUnicode_FromString(src.label.c_str()));
            out.add_unresolved(note(name, intern_text(std::move(label)), src.reason), m);
            return true;
        }
        case source::derived: break;
    }
    const query_info* q = src.q;
    if (q->in_progress) return true;
    const output* found = nullptr;
    int count = 0;
    for (const output& o : q->outputs) {
        if (!o.placeholder() && same_name(o.name, name)) {
            if (found == nullptr) found = &o;
            ++count;
        }
    }
    if (count == 1) {
        out.absorb(found->lin, m);
        return true;
    }
    object label = py::checked(PyUnicode_FromString(src.label.c_str()));
    PyObject* label_name = intern_text(std::move(label));
    if (count > 1) {
        out.add_unresolved(note(name, label_name, "ambiguous: " + src.label + " has " +
                                                      std::to_string(count) + " columns named " +
                                                      utf8(name)),
                           m);
        return true;
    }
    // Not among the named columns: a star over a table of unknown columns
    // passes every column of that table through.
    std::vector<const output*> stars;
    for (const output& o : q->outputs) {
        if (o.placeholder()) stars.push_back(&o);
    }
    if (stars.size() == 1) {
        const output& star = *stars.front();
        if (star.star_table >= 0) {
            out.add(column_of(star.star_table, name), m);
        } else {
            const unresolved_entry& why = unresolved_[static_cast<std::size_t>(star.opaque_note)];
            std::string reason = why.reason;
            out.add_unresolved(note(name, why.table, std::move(reason)), m);
        }
        return true;
    }
    if (stars.size() > 1) {
        std::string candidates;
        for (const output* o : stars) {
            if (!candidates.empty()) candidates += ", ";
            candidates += o->star_table >= 0 ? table_text(o->star_table)
                                             : utf8(unresolved_[static_cast<std::size_t>(o->opaque_note)].table);
        }
        out.add_unresolved(note(name, label_name, "ambiguous: one of " + candidates), m);
        return true;
    }
    out.add_unresolved(note(name, label_name, "not a column of " + src.label), m);
    return false;
}

bool analysis::alias_reference(PyObject* name, scope& sc, mode m, lineage& out, clause where) {
    if (where == clause::plain || sc.outputs == nullptr) return false;
    for (const output& o : *sc.outputs) {
        if (!o.placeholder() && same_name(o.name, name)) {
            // An alias that only renames the column itself is that column.
            if (o.lin.direct.size() == 1 && o.lin.indirect.empty() && o.lin.unresolved.empty()) {
                const physical_column& c = columns_[o.lin.direct.front().col];
                if (same_name(c.name, name)) return false;
            }
            out.absorb(o.lin, m);
            return true;
        }
    }
    return false;
}

void analysis::column_ref(handle node, scope& sc, mode m, lineage& out, clause where) {
    object a = args_of(node);
    object this_node = arg(a, lk.this_);
    if (!this_node || kind_of(this_node) == kind::Star) return;
    PyObject* name = name_of(this_node);
    if (name == nullptr) return;
    object table_node = arg(a, lk.table);
    PyObject* qualifier = table_node ? name_of(table_node) : nullptr;

    if (qualifier == nullptr) {
        for (PyObject* param : sc.lambda_params) {
            if (same_name(param, name)) return;
        }
        if (where == clause::order_by && alias_reference(name, sc, m, out, where)) return;
        // The pseudo-columns of a hierarchical query (CONNECT BY) read no table.
        if (sc.hierarchical && is_connect_by_pseudo_column(name)) return;
        bool any_source = false;
        for (scope* s = &sc; s != nullptr; s = s->outer) {
            if (!s->sources.empty()) any_source = true;
            std::vector<const source*> definite, unknown;
            for (const source& src : s->sources) {
                if (!src.columns_known(*this)) {
                    unknown.push_back(&src);
                    continue;
                }
                if (has_column(src, name)) definite.push_back(&src);
            }
            const bool using_column =
                std::any_of(s->using_names.begin(), s->using_names.end(),
                            [&](PyObject* u) { return same_name(u, name); });
            // The one candidate; or every one for a USING column (equal on
            // every side); or none, ambiguous.  False when there is none.
            auto settle = [&](const std::vector<const source*>& candidates) {
                if (candidates.empty()) return false;
                if (candidates.size() == 1 || using_column) {
                    for (const source* c : candidates) resolve_in(*c, name, m, out);
                    return true;
                }
                std::string names;
                for (const source* c : candidates) {
                    if (!names.empty()) names += ", ";
                    names += c->label;
                }
                out.add_unresolved(note(name, nullptr, "ambiguous: one of " + names), m);
                return true;
            };
            if (settle(definite)) return;
            // GROUP BY / HAVING / QUALIFY may name an output by its alias.
            if (s == &sc && where == clause::group_having && alias_reference(name, sc, m, out, where)) {
                return;
            }
            if (settle(unknown)) return;
            // A name no source has may be an earlier select item's alias
            // (the lateral aliases of Snowflake, BigQuery, DuckDB...).
            if (s == &sc && where == clause::select_list && alias_reference(name, sc, m, out, where)) {
                return;
            }
            // A source's own name as a value (BigQuery's TO_JSON_STRING(t)):
            // the whole row, every column of it.
            for (const source& src : s->sources) {
                if (!same_name(src.alias, name)) continue;
                const mode whole = m.transformed();
                if (src.kind == source::derived) {
                    for (const output& o : src.q->outputs) out.absorb(o.lin, whole);
                } else if (src.kind == source::physical) {
                    PyObject* known = schema_columns(src.table);
                    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(known); ++i) {
                        out.add(column_of(src.table, PyTuple_GET_ITEM(known, i)), whole);
                    }
                }
                return;
            }
            // Every source here is known and none has the column: it is a
            // reference to an enclosing query (correlation), if any.
        }
        out.add_unresolved(note(name, nullptr, any_source ? "not a column of any source"
                                                          : "no source to read it from"),
                           m);
        return;
    }

    // Qualified: the innermost scope with a source of that name.
    PyObject* db = name_of(arg(a, lk.db));
    for (scope* s = &sc; s != nullptr; s = s->outer) {
        const source* by_alias = nullptr;
        const source* by_table = nullptr;
        int table_matches = 0;
        for (const source& src : s->sources) {
            const bool db_ok =
                db == nullptr ||
                (src.kind == source::physical && same_name(tables_[static_cast<std::size_t>(src.table)].db, db));
            if (same_name(src.alias, qualifier) && db_ok && by_alias == nullptr) by_alias = &src;
            if (src.kind == source::physical &&
                same_name(tables_[static_cast<std::size_t>(src.table)].name, qualifier) && db_ok) {
                by_table = &src;
                ++table_matches;
            }
        }
        if (by_alias == nullptr && table_matches == 1) by_alias = by_table;
        if (by_alias != nullptr) {
            resolve_in(*by_alias, name, m, out);
            return;
        }
        // t.col.field: a struct field of t's column col.
        if (db != nullptr && !arg(a, lk.catalog)) {
            for (const source& src : s->sources) {
                if (same_name(src.alias, db)) {
                    resolve_in(src, qualifier, m.transformed(), out);
                    return;
                }
            }
        }
    }
    // col.field of an unqualified struct column, or an unknown qualifier.
    if (db == nullptr) {
        for (scope* s = &sc; s != nullptr; s = s->outer) {
            for (const source& src : s->sources) {
                if (has_column(src, qualifier)) {
                    resolve_in(src, qualifier, m.transformed(), out);
                    return;
                }
            }
        }
    }
    object text = py::checked(PyUnicode_FromFormat("%U.%U", qualifier, name));
    out.add_unresolved(note(intern_text(std::move(text)), qualifier,
                            "no table or alias named " + utf8(qualifier)),
                       m);
}

}  // namespace qarvel::lineage
