// Row generators: the constructs that make a row of each element of a value
// (UNNEST, explode, posexplode, inline, LATERAL VIEW [OUTER], Snowflake's
// FLATTEN, ClickHouse's arrayJoin and ARRAY JOIN), in FROM and in the select
// list.
//
// Their columns come from the elements.  How many rows there are comes from
// the value itself: each direct source of an expanded value is an INDIRECT
// FILTER of every row of the query (p_name of explode(split(p_name, ' '))),
// as the WHERE and correlation of a sub-query an UNNEST expands are, and the
// influences of the value stay what they are.  An array the text constructs
// (ARRAY[a, b], ARRAY(SELECT ...), ARRAY_AGG(x)) has as many elements as the
// text or the rows aggregated say, whatever its values: only its influences
// decide the rows.
#include "lineage/analysis.hpp"

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/tree.hpp"

#include <algorithm>
#include <cctype>

namespace qarvel::lineage {

using py::handle;
using py::object;

namespace {

// inline(v) and Spark's inline_outer(v).
bool is_inline(handle generator) {
    const kind k = kind_of(generator);
    if (k == kind::Inline) return true;
    if (k != kind::Anonymous) return false;
    object name = arg_of(generator, lk.this_);
    if (!name || !PyUnicode_Check(name.ptr())) return false;
    std::string text = utf8(name);
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text == "inline_outer";
}

// What a generator expands: explode(v), inline(v), inline_outer(v).
object generator_input(handle generator) {
    if (kind_of(generator) != kind::Anonymous) return arg_of(generator, lk.this_);
    object first;
    each(arg_of(generator, lk.expressions), [&](handle e) {
        if (!first) first = object::borrow(e);
    });
    return first;
}

// The value whose elements a generator makes rows of: its input, past
// parentheses and FLATTEN's `input =>`.
object expanded_value(handle generator) {
    const kind k = kind_of(generator);
    object value = k == kind::Explode || is_inline(generator) ? generator_input(generator)
                                                                   : object::borrow(generator);
    for (int i = 0; i < 8 && value; ++i) {
        const kind vk = kind_of(value);
        if (vk == kind::Paren || vk == kind::Alias) {
            value = arg_of(value, lk.this_);
        } else if (vk == kind::Kwarg) {
            value = arg_of(value, lk.expression);
        } else {
            break;
        }
    }
    return value;
}

// Whether the number of elements of `value` is fixed by the text (an array
// of listed elements, of a sub-query's rows, of an aggregate's rows) rather
// than by the values it is made of.
bool constructed_array(handle value) {
    const kind k = kind_of(value);
    return k == kind::Array || k == kind::ArrayAgg;
}

}  // namespace

// What the values a generator expands say about the rows: every source of
// the value, unless the text or the rows it was made of fix the number of
// elements (`array`: the expanded array's fields, where known).
void analysis::generated_rows(handle generator, const field_list* array, const lineage& values, lineage& all) {
    object value = expanded_value(generator);
    if ((value && constructed_array(value)) || (array != nullptr && array->counted)) {
        all.absorb_indirect(values);
    } else {
        all.absorb_generated(values);
    }
}

// explode(v), posexplode(v), UNNEST(v) as a value (the select list's, or a
// LATERAL VIEW's): an element of an array (with the array's fields), or,
// for a struct, its fields as columns of their own (select_list reads
// unnested_struct_).  In a select list, the array's elements are rows of
// the query (rows_of_item_); a struct is one row.
void analysis::walk_explode(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    object inner = generator_input(node);
    const field_list* s = nullptr;
    lineage values;
    if (inner) {
        walk(inner, sc, mode{}.transformed(), values, where, depth + 1);
        s = shape_;
    }
    walk_rest(node, inner, sc, mode{}.transformed(), values, where, depth);
    out.absorb(values, m.transformed());
    if (rows_of_item_ != nullptr && (s == nullptr || s->array)) generated_rows(node, s, values, *rows_of_item_);
    expanded_ = s;
    if (expandable(s)) unnested_struct_ = s;
    shape_ = element_of(s);
}

bool analysis::is_inline_call(handle node) { return is_inline(node); }

// inline(arr) in a select list: a column per field of the elements, named
// by the fields; where they are not known, one column that says so.
void analysis::inline_outputs(output o, query_info& q) {
    if (expandable(o.fields)) {
        emit_fields(*o.fields, q);
        return;
    }
    const std::uint32_t entry = note(lk.star, {}, {reason::struct_fields, "inline(...)"});
    o.name = lk.star;
    o.opaque_note = static_cast<int>(entry);
    o.fields = nullptr;
    o.lin.add_unresolved(entry, mode{});
    q.outputs.push_back(std::move(o));
}

// ClickHouse's [LEFT] ARRAY JOIN a [AS x], ...: a row per element of the
// arrays, read from the sources before it.  An element takes its array's
// name or the alias, and hides a column of that name in those sources (a
// bare `a` after ARRAY JOIN a is the element).
void analysis::array_join(handle join, scope& sc, query_info& q) {
    query_info& u = queries_.emplace_back();
    auto unfold = [&](handle item) {
        object value;
        handle name = item_name(item, value);
        if (!value || !name) return;  // an element nothing can name
        output o;
        o.name = name;
        walk(value, sc, mode{}.transformed(), o.lin, clause::plain, 0);
        generated_rows(value, shape_, o.lin, q.all);
        o.fields = element_of(shape_);
        u.outputs.push_back(std::move(o));
    };
    unfold(arg_of(join, lk.this_));
    each(arg_of(join, lk.expressions), unfold);
    source src = derived_table(&u, {}, lk.ARRAY_JOIN);
    src.hides = true;
    sc.sources.push_back(std::move(src));
}

// Snowflake's TABLE(FLATTEN(...)) AS f: the columns FLATTEN gives (as
// sqlglot names them for LATERAL FLATTEN), each from the flattened value; a
// row per element.
source analysis::flatten_source(handle function, handle alias, scope& sc, query_info& q) {
    lineage values_lineage;
    walk(function, sc, mode{}.transformed(), values_lineage, clause::plain, 0);
    generated_rows(function, nullptr, values_lineage, q.all);
    query_info& f = queries_.emplace_back();
    for (const char* column : {"seq", "key", "path", "index", "value", "this"}) {
        object text = py::checked(PyUnicode_FromString(column));
        f.outputs.push_back({.name = normalise(text, false, false), .lin = values_lineage});
    }
    return derived_table(&f, alias, lk.table_function);
}

// LATERAL VIEW [OUTER] gen(...) t [AS c, ...] (Hive, Spark) and LATERAL
// FLATTEN(...) (Snowflake): a row per element.  explode's columns are the
// element (a map's key and value: each from all of it), posexplode's first
// the position (no value of the array), inline's the fields of the
// elements, named by them or, with a list, each the field at its place;
// STACK(n, ...)'s each its own values, as many rows as the text says.
void analysis::lateral_view(handle node, handle alias_node, scope& sc, query_info& q) {
    const std::vector<handle> columns = alias_node ? names_in(arg_of(alias_node, lk.columns)) : std::vector<handle>{};
    const handle alias = alias_node ? name_of(arg_of(alias_node, lk.this_)) : handle{};
    std::vector<object> stacked;
    if (node && !columns.empty() && stack_values(node, stacked)) {
        stacked_view(stacked, columns, alias, sc, q);
        return;
    }
    lineage values;
    const field_list* element = nullptr;
    if (node) {
        expanded_ = nullptr;
        walk(node, sc, mode{}.transformed(), values, clause::plain, 0);
        element = shape_;
        generated_rows(node, expanded_, values, q.all);
    }
    if (node && is_inline(node)) {
        sc.sources.push_back(inline_source(node, element, columns, values, alias));
        return;
    }
    query_info& u = queries_.emplace_back();
    const bool positions = kind_of(node) == kind::Posexplode;
    for (std::size_t j = 0; j < columns.size(); ++j) {
        output o;
        o.name = columns[j];
        if (!(positions && j == 0 && columns.size() > 1)) {
            o.lin = values;
            o.fields = element;
        }
        u.outputs.push_back(std::move(o));
    }
    if (u.outputs.empty()) {
        u.outputs.push_back({.name = canonical(lk.unnest), .lin = values, .fields = element});
    }
    sc.sources.push_back(derived_table(&u, alias, lk.UNNEST));
}

// inline(arr) as a source: a column per field of the elements, named by the
// fields, or by `names` in order; where the fields are not known, a list
// names columns of the whole element, and without one the columns are not
// known.
source analysis::inline_source(handle node, const field_list* element, const std::vector<handle>& names,
                               const lineage& values, handle alias) {
    query_info& u = queries_.emplace_back();
    if (element != nullptr && !element->array && (!names.empty() || expandable(element))) {
        if (names.empty()) emit_fields(*element, u);
        for (std::size_t j = 0; j < names.size(); ++j) {
            output o;
            o.name = names[j];
            if (j < element->fields.size()) {
                o.lin = element->fields[j].lin;
                o.fields = element->fields[j].fields;
            } else {
                o.lin = values;
            }
            u.outputs.push_back(std::move(o));
        }
        return derived_table(&u, alias, lk.UNNEST);
    }
    if (!names.empty()) {
        for (handle name : names) u.outputs.push_back({.name = name, .lin = values});
        return derived_table(&u, alias, lk.UNNEST);
    }
    object value = expanded_value(node);
    const handle label = alias ? alias : canonical(lk.UNNEST);
    source src;
    src.kind = source::opaque;
    src.opaque_cause = {reason::struct_fields,
                        kind_of(value) == kind::Column ? utf8(column_name(value)) : std::string("inline(...)")};
    src.alias = alias;
    src.label = label;
    return src;
}

// UNNEST(a [, b ...]) [WITH OFFSET | WITH ORDINALITY] [AS t(c, ...)]: the
// columns come from the unnested values (the offset from none), a row from
// each element.
void analysis::unnest_source(handle node, handle alias_node, scope& sc, query_info& q) {
    lineage values_lineage;
    const field_list* shape = nullptr;
    std::size_t count = 0;
    each(node ? arg_of(node, lk.expressions) : object{}, [&](handle e) {
        lineage one;
        walk(e, sc, mode{}.transformed(), one, clause::plain, 0);
        shape = ++count == 1 ? shape_ : nullptr;
        generated_rows(e, shape_, one, q.all);
        values_lineage.absorb(one, mode{});
    });
    handle table_alias = alias_node ? name_of(arg_of(alias_node, lk.this_)) : handle{};
    std::vector<handle> names = alias_node ? names_in(arg_of(alias_node, lk.columns)) : std::vector<handle>{};
    // UNNEST(arr) AS x: a single column, named by the alias.
    if (names.empty() && table_alias) names.push_back(table_alias);
    handle offset_name;
    if (object offset = node ? arg_of(node, lk.offset) : object{}) {
        if (kind_of(offset) != kind::not_expression) offset_name = name_of(offset);
    }
    query_info& u = queries_.emplace_back();
    const field_list* element = element_of(shape);
    // BigQuery's UNNEST of an array of structs: a column per field, the
    // alias naming the rows.  sqlglot marks the arrays whose type it knows;
    // the others are known here where the text builds them (ARRAY_AGG of a
    // STRUCT, an array of structs passed on by a sub-query).
    if ((rules_.unnest_fields || truthy(arg_of(node, lk.explode_array))) && expandable(element)) {
        emit_fields(*element, u);
        if (!table_alias && names.size() == 1) table_alias = names.front();
        names.clear();
    }
    for (handle name : names) {
        output o;
        o.name = name;
        if (!name.is(offset_name)) {
            o.lin = values_lineage;
            o.fields = element;
        }
        u.outputs.push_back(std::move(o));
    }
    if (offset_name && std::none_of(names.begin(), names.end(), [&](handle n) { return n.is(offset_name); })) {
        u.outputs.emplace_back().name = offset_name;
    }
    if (u.outputs.empty()) {
        u.outputs.push_back({.name = canonical(lk.unnest), .lin = values_lineage, .fields = element});
    }
    sc.sources.push_back(derived_table(&u, table_alias, lk.UNNEST));
}

// LATERAL VIEW STACK(n, ...) s AS x, y: each column its own values; the
// text says how many rows.
void analysis::stacked_view(const std::vector<object>& values, const std::vector<handle>& names, handle alias,
                            scope& sc, query_info& q) {
    query_info& u = queries_.emplace_back();
    for (std::size_t j = 0; j < names.size(); ++j) {
        output o;
        o.name = names[j];
        o.shown = {};
        stacked_column(values, j, names.size(), sc, o.lin);
        q.all.absorb_indirect(o.lin);
        u.outputs.push_back(std::move(o));
    }
    sc.sources.push_back(derived_table(&u, alias, lk.UNNEST));
}

}  // namespace qarvel::lineage
