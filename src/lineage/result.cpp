#include "lineage/result.hpp"

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/state.hpp"
#include "lineage/tree.hpp"

#include <string>

namespace qarvel::lineage {

using py::handle;
using py::object;

namespace {

handle or_none(handle value) { return value ? value : handle(Py_None); }

PyTypeObject* type_of(const py::static_ref& ref) { return reinterpret_cast<PyTypeObject*>(ref.ptr()); }

}  // namespace

std::string reason_text(const cause& c, handle text) {
    switch (c.code) {
        case reason::queries_too_deep: return "queries nested too deeply";
        case reason::expression_too_deep: return "expression nested too deeply";
        case reason::needs_schema: return "needs a schema";
        case reason::table_function: return "columns of table function " + c.subject + " are not known";
        case reason::source_not_traced: return "source " + c.subject + " is not traced";
        case reason::pivot_not_traced: return "PIVOT output is not traced";
        case reason::unpivot_not_traced: return "UNPIVOT output is not traced";
        case reason::pivot_values_from_data: return "pivot values come from the data";
        case reason::not_a_column_of: return "not a column of " + c.subject;
        case reason::same_named_columns:
            return "ambiguous: " + c.subject + " has " + std::to_string(c.count) + " columns named " + utf8(text);
        case reason::one_of: return "ambiguous: one of " + c.subject;
        case reason::not_in_any_source: return "not a column of any source";
        case reason::no_source: return "no source to read it from";
        case reason::no_such_source: return "no table or alias named " + c.subject;
        case reason::branch_column_counts: return "set operation branches differ in column count";
        case reason::struct_fields:
            return c.count != 0 ? "the fields of struct " + c.subject + " are not all named once"
                                : "the fields of struct " + c.subject + " are not known";
        case reason::selector_not_decided: return "which columns it selects cannot be told from their names";
        case reason::bad_pattern: return c.subject + " is not a valid regular expression";
        case reason::nothing_selected: return "no column is left";
        case reason::columns_differ: return "different COLUMNS(...) in one expression";
        case reason::not_traced: return "not traced: " + c.subject;
        case reason::natural_join_columns:
            return c.count != 0 ? "NATURAL JOIN compares columns that are not known"
                                : "NATURAL JOIN compares columns that are not known: needs a schema";
    }
    return {};
}

handle subtype_label(subtype s) {
    switch (s) {
        case IDENTITY: return lk.IDENTITY;
        case TRANSFORMATION: return lk.TRANSFORMATION;
        case AGGREGATION: return lk.AGGREGATION;
        case JOIN: return lk.JOIN;
        case FILTER: return lk.FILTER;
        case GROUP_BY: return lk.GROUP_BY;
        case SORT: return lk.SORT;
        case WINDOW: return lk.WINDOW;
        case CONDITIONAL: return lk.CONDITIONAL;
    }
    return lk.TRANSFORMATION;
}

object result_builder::table(const table_ref& t) {
    return py::tuple_instance(type_of(engine.table_type),
                              {or_none(t.catalog), or_none(t.db), or_none(t.name)});
}

object result_builder::tables() {
    const auto& refs = an_.tables();
    std::vector<object> items;
    items.reserve(refs.size());
    for (std::size_t i = 0; i < refs.size(); ++i) {
        if (!an_.read(static_cast<int>(i))) continue;
        items.push_back(table(refs[i]));
    }
    return py::tuple_from(items.data(), static_cast<Py_ssize_t>(items.size()));
}

object result_builder::source(col_id col, subtype sub, bool masking) {
    const std::uint64_t key = (static_cast<std::uint64_t>(col) << 8) | (static_cast<std::uint64_t>(sub) << 1) |
                              (masking ? 1u : 0u);
    if (auto found = sources_.find(key); found != sources_.end()) return found->second;
    const physical_column& c = an_.columns()[col];
    const table_ref& t = an_.tables()[static_cast<std::size_t>(c.table)];
    object made = py::tuple_instance(
        type_of(engine.source_type),
        {or_none(t.catalog), or_none(t.db), t.name, c.name, is_direct(sub) ? lk.DIRECT : lk.INDIRECT,
         subtype_label(sub), masking ? Py_True : Py_False});
    sources_.emplace(key, made);
    return made;
}

object result_builder::unresolved(const unresolved_ref& ref) {
    const std::uint64_t key = (static_cast<std::uint64_t>(ref.entry) << 8) | ref.role;
    if (auto found = unresolved_.find(key); found != unresolved_.end()) return found->second;
    const unresolved_entry& e = an_.unresolved()[ref.entry];
    const std::string words = reason_text(e.why, e.text);
    object reason = py::checked(PyUnicode_FromStringAndSize(words.data(), static_cast<Py_ssize_t>(words.size())));
    object made = py::tuple_instance(type_of(engine.unresolved_type),
                                     {e.text, or_none(e.table), subtype_label(ref.role), reason});
    unresolved_.emplace(key, made);
    return made;
}

object result_builder::influences(const lineage& all) { return sources_tuple(all); }

object result_builder::sources_tuple(const lineage& lin) {
    std::vector<object> items;
    items.reserve(lin.indirect.size());
    for (const indirect_ref& i : lin.indirect) items.push_back(source(i.col, i.sub, false));
    return py::tuple_from(items.data(), static_cast<Py_ssize_t>(items.size()));
}

object result_builder::unresolved_tuple(const lineage& lin) {
    std::vector<object> items;
    items.reserve(lin.unresolved.size());
    for (const unresolved_ref& u : lin.unresolved) items.push_back(unresolved(u));
    return py::tuple_from(items.data(), static_cast<Py_ssize_t>(items.size()));
}

object result_builder::column(std::size_t position, handle name, const lineage& own,
                              const lineage& all) {
    std::vector<object> direct;
    direct.reserve(own.direct.size());
    for (const direct_ref& d : own.direct) direct.push_back(source(d.col, d.sub, d.masking));
    object indirect_tuple, unresolved_items;
    if (own.indirect.empty() && own.unresolved.empty()) {
        // A column with no influences of its own has those of every row:
        // such columns share one tuple of them.
        if (shared_for_ != &all || !shared_indirect_) {
            shared_indirect_ = sources_tuple(all);
            shared_unresolved_ = unresolved_tuple(all);
            shared_for_ = &all;
        }
        indirect_tuple = shared_indirect_;
        unresolved_items = shared_unresolved_;
    } else {
        // The column's own influences, then those of every row not already there.
        lineage merged;
        merged.absorb_influences(own);
        merged.absorb_influences(all);
        indirect_tuple = sources_tuple(merged);
        unresolved_items = unresolved_tuple(merged);
    }
    object pos = py::checked(PyLong_FromSize_t(position));
    object direct_tuple = py::tuple_from(direct.data(), static_cast<Py_ssize_t>(direct.size()));
    return py::tuple_instance(type_of(engine.column_type),
                              {pos, name, direct_tuple, indirect_tuple, unresolved_items});
}

}  // namespace qarvel::lineage
