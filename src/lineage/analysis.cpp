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
//
// This file holds what the other parts share: names, their normalisation,
// and the registries of tables, columns and unresolved entries.
#include "lineage/analysis.hpp"

#include "lineage/clauses.hpp"

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/state.hpp"
#include "lineage/tree.hpp"

namespace qarvel::lineage {

using py::handle;
using py::object;

analysis::analysis(const profile& rules, schema_view schema)
    : rules_(rules), schema_(std::move(schema)), names_(py::new_dict()) {}

// --- names -----------------------------------------------------------------------

// The one object this analysis uses for a text: equal names are the same
// object, so they compare and key by pointer.  The table is the analysis's
// own (not the interpreter's interned strings, which would be changed by
// every analysis of new names).
handle analysis::canonical(handle text) {
    PyObject* found = PyDict_SetDefault(names_.ptr(), text.ptr(), text.ptr());
    if (found == nullptr) py::throw_error();
    return found;  // borrowed: the table keeps it
}

handle analysis::intern_text(object text) {
    if (!PyUnicode_CheckExact(text.ptr())) {
        text = py::checked(PyObject_Str(text.ptr()));
    }
    return canonical(text);
}

handle analysis::text_name(const std::string& text) {
    return intern_text(py::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
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

handle analysis::normalise(handle text, bool quoted, bool keep_case) {
    bool change = !keep_case && !keep_written_;
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
        if (rules_.ascii_only || PyUnicode_IS_ASCII(text.ptr())) {
            result = change_ascii_case(text.ptr(), upper);
        } else {
            result = py::call_method(text, upper ? lk.upper : lk.lower);
        }
    }
    return intern_text(std::move(result));
}

handle analysis::name_of(handle identifier, bool qualified_table) {
    if (!identifier) return {};
    const kind k = kind_of(identifier);
    if (k == kind::Star) return lk.star;
    if (k != kind::Identifier && k != kind::Literal && k != kind::Var) {
        if (PyUnicode_Check(identifier.ptr())) return normalise(identifier, false, false);
        return {};
    }
    object a = args_of(identifier);
    object text = arg(a, lk.this_);
    if (!text || !PyUnicode_Check(text.ptr())) return {};
    if (k == kind::Literal) read_literal_name();
    const bool quoted = k != kind::Identifier || truthy(arg(a, lk.quoted));
    const bool keep_case =
        qualified_table && (rules_.qualified_tables_case_sensitive || rules_.tables_case_sensitive);
    return normalise(text, quoted, keep_case);
}

// The name a list item gives and the value it holds: `x AS a` is a and x,
// a column its own name and itself, anything else no name and itself.
handle analysis::item_name(handle item, object& value) {
    const kind k = kind_of(item);
    if (k == kind::Alias) {
        object a = args_of(item);
        value = arg(a, lk.this_);
        return name_of(arg(a, lk.alias));
    }
    value = object::borrow(item);
    return k == kind::Column ? column_name(item) : handle{};
}

handle analysis::column_name(handle node) {
    return kind_of(node) == kind::Column ? name_of(arg_of(node, lk.this_)) : name_of(node);
}

handle analysis::alias_name(handle alias) {
    if (!alias) return {};
    return kind_of(alias) == kind::TableAlias ? name_of(arg_of(alias, lk.this_)) : name_of(alias);
}

std::vector<handle> analysis::names_in(handle list) {
    std::vector<handle> names;
    each(list, [&](handle c) {
        if (handle n = name_of(c)) names.push_back(n);
    });
    return names;
}

std::vector<handle> analysis::alias_columns(handle alias) {
    if (!alias || kind_of(alias) != kind::TableAlias) return {};
    return alias_columns_of(arg_of(alias, lk.columns));
}

// The names of a list of identifiers or of column definitions: AS x(a, b)
// or, for a function's record, AS x(a INT, b TEXT).
std::vector<handle> analysis::alias_columns_of(handle list) {
    std::vector<handle> names;
    each(list, [&](handle c) {
        handle n = name_of(c);
        if (!n) n = name_of(arg_of(c, lk.this_));
        if (n) names.push_back(n);
    });
    return names;
}

handle analysis::generated_name(std::size_t index) {
    object text = py::checked(PyUnicode_FromFormat("_col_%zu", index));
    return normalise(text, false, false);
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

// The parts of a qualified name keep their case where the dialect says so.
table_ref analysis::table_name(handle table_node) {
    object a = args_of(table_node);
    object db_node = arg(a, lk.db);
    const bool keep_case = rules_.tables_case_sensitive || static_cast<bool>(db_node);
    table_ref t{};
    t.name = name_of(arg(a, lk.this_), keep_case);
    t.db = name_of(db_node, keep_case);
    t.catalog = name_of(arg(a, lk.catalog), keep_case);
    // BigQuery's partition decorator, `t$20230101`: a partition of table t.
    // (`unnest_fields` is true exactly for BigQuery and its descendants.)
    if (rules_.unnest_fields && t.name) {
        const Py_ssize_t at = PyUnicode_FindChar(t.name.ptr(), '$', 0, PyUnicode_GET_LENGTH(t.name.ptr()), 1);
        if (at == -2) py::throw_error();
        if (at > 0) t.name = intern_text(py::checked(PyUnicode_Substring(t.name.ptr(), 0, at)));
    }
    return t;
}

int analysis::table_index(handle table_node) {
    const table_ref t = table_name(table_node);
    if (!t.name) return -1;
    for (std::size_t i = 0; i < tables_.size(); ++i) {
        const table_ref& known = tables_[i];
        if (known.catalog.is(t.catalog) && known.db.is(t.db) && known.name.is(t.name)) return static_cast<int>(i);
    }
    tables_.push_back(t);
    read_.push_back(0);
    // The schema's columns of this table, looked up by the parts the
    // statement names (the schema index holds every partial name that is
    // unambiguous).
    schema_entries_.push_back(schema_lookup(t));
    object types;
    if (schema_entries_.back() && schema_.types && PyDict_GET_SIZE(schema_.types.ptr()) > 0) {
        // The entry's first item is the table's full key.
        handle key_catalog = schema_.depth >= 4 && t.catalog ? t.catalog : handle(Py_None);
        handle key_db = schema_.depth >= 3 && t.db ? t.db : handle(Py_None);
        object entry = py::optional_item(schema_.entries, py::make_tuple(key_catalog, key_db, t.name));
        if (entry && PyTuple_Check(entry.ptr()) && PyTuple_GET_SIZE(entry.ptr()) == 2) {
            types = py::optional_item(schema_.types, PyTuple_GET_ITEM(entry.ptr(), 0));
            if (types && !PyDict_Check(types.ptr())) types = {};
        }
    }
    schema_types_.push_back(std::move(types));
    return static_cast<int>(tables_.size() - 1);
}

object analysis::schema_lookup(const table_ref& t) {
    if (!schema_.entries || !t.name) return {};
    // A schema without catalogs (or dbs) describes a table whatever
    // catalog (or db) a statement names it with.
    handle key_catalog = schema_.depth >= 4 && t.catalog ? t.catalog : handle(Py_None);
    handle key_db = schema_.depth >= 3 && t.db ? t.db : handle(Py_None);
    object entry = py::optional_item(schema_.entries, py::make_tuple(key_catalog, key_db, t.name));
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

handle analysis::schema_columns(int table) {
    if (table < 0 || static_cast<std::size_t>(table) >= schema_entries_.size()) return {};
    return schema_entries_[static_cast<std::size_t>(table)];
}

col_id analysis::column_of(int table, handle name) {
    read_[static_cast<std::size_t>(table)] = 1;
    // Names from the schema and from the tree meet here: one object each.
    name = canonical(name);
    const std::string key = key_of(table, name.ptr());
    if (auto found = column_ids_.find(key); found != column_ids_.end()) return found->second;
    const col_id id = static_cast<col_id>(columns_.size());
    columns_.push_back({table, name});
    column_ids_.emplace(key, id);
    return id;
}

std::uint32_t analysis::note(handle text, handle table, cause why) {
    std::string key = key_of(text.ptr(), table.ptr(), why.code, why.count);
    key += why.subject;
    if (auto found = unresolved_ids_.find(key); found != unresolved_ids_.end()) return found->second;
    const auto id = static_cast<std::uint32_t>(unresolved_.size());
    unresolved_.push_back({text, table, std::move(why)});
    unresolved_ids_.emplace(std::move(key), id);
    return id;
}

bool analysis::untraced(handle node, kind k, lineage& all) {
    const std::vector<std::string> constructs = unread_clauses(node, k);
    for (const std::string& what : constructs) {
        all.add_unresolved(note(text_name(what), {}, {reason::not_traced, what}), FILTER);
    }
    return !constructs.empty();
}

std::string analysis::table_text(int table) const {
    const table_ref& t = tables_[static_cast<std::size_t>(table)];
    std::string text;
    for (handle part : {t.catalog, t.db, t.name}) {
        if (!part) continue;
        if (!text.empty()) text += '.';
        text += utf8(part);
    }
    return text;
}

handle analysis::table_label(int table) { return text_name(table_text(table)); }

}  // namespace qarvel::lineage
