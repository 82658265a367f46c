// Struct values: the constructors that name their fields ({'a': x},
// STRUCT(x AS a), struct_pack(a := x), named_struct('a', x),
// OBJECT_CONSTRUCT('a', x), CAST(... AS STRUCT<a ...>)), arrays of them, and
// the accessors that read one field (s.a, t.s.a, s['a'], struct_extract(s,
// 'a'), GET(o, 'a'), o:a).
//
// After walking a value, `shape_` holds its fields where the text tells
// them, and is null otherwise; outputs keep it (output::fields), so a field
// is known through CTEs, derived tables, stars and UNION.  An accessor of a
// known field takes that field's lineage alone; any other use of a struct is
// computed from all of it (TRANSFORMATION), as without fields.
#include "lineage/analysis.hpp"

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/tree.hpp"

#include <cctype>

namespace qarvel::lineage {

using py::handle;
using py::object;

namespace {

// The one output named `name` of a derived source, or null.
const output* unique_output(const source& src, handle name) {
    if (src.kind != source::derived || src.q->in_progress) return nullptr;
    const output* found = nullptr;
    for (const output& o : src.q->outputs) {
        if (o.placeholder() || !same_name(o.name, name)) continue;
        if (found != nullptr) return nullptr;
        found = &o;
    }
    return found;
}

bool is_string_literal(handle node) {
    return kind_of(node) == kind::Literal && truthy(arg_of(node, lk.is_string));
}

// An Anonymous function's name, in small letters.
std::string function_name(handle node) {
    object name = arg_of(node, lk.this_);
    if (!name || !PyUnicode_Check(name.ptr())) return {};
    std::string text = utf8(name);
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool field_list::expandable() const {
    if (array) return false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!fields[i].name) return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (same_name(fields[j].name, fields[i].name)) return false;
        }
    }
    return true;
}

const output* field_list::field(handle name) const {
    if (array || !name) return nullptr;
    for (const output& f : fields) {
        if (f.name && same_name(f.name, name)) return &f;
    }
    return nullptr;
}

bool analysis::gives_shape(kind k) noexcept {
    switch (k) {
        case kind::Column:
        case kind::Alias:
        case kind::Paren:
        case kind::Subquery:
        case kind::Struct:
        case kind::Array:
        case kind::ArrayAgg:
        case kind::Order:
        case kind::Cast:
        case kind::Bracket:
        case kind::Dot:
        case kind::StructExtract:
        case kind::GetExtract:
        case kind::JSONExtract:
        case kind::Explode:
        case kind::Columns:
        case kind::Anonymous: return true;
        default: return false;
    }
}

void analysis::walk_structured(handle node, kind k, scope& sc, mode m, lineage& out, clause where, int depth) {
    switch (k) {
        case kind::Struct: walk_struct(node, sc, m, out, where, depth); return;
        case kind::Array: walk_array(node, sc, m, out, where, depth); return;
        case kind::Cast: walk_cast(node, sc, m, out, where, depth); return;
        case kind::Explode: walk_explode(node, sc, m, out, where, depth); return;
        case kind::Anonymous:
            // sqlglot 27 keeps Spark's named_struct as a function of no class.
            if (function_name(node) == "named_struct") {
                walk_named_struct(node, sc, m, out, where, depth);
            } else {
                walk_operator(node, sc, m, out, where, depth);
                shape_ = nullptr;
            }
            return;
        default: walk_access(node, k, sc, m, out, where, depth); return;
    }
}

// --- constructors ------------------------------------------------------------------

// The value is computed from every field; each field keeps what was put
// into it.  STRUCT(a, t.b) names a field after its column.
void analysis::walk_struct(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    field_list& list = field_lists_.emplace_back();
    const mode value = m.transformed();
    each(arg_of(node, lk.expressions), [&](handle item) {
        handle name;
        object field;
        if (kind_of(item) == kind::PropertyEQ) {
            object ia = args_of(item);
            name = field_key(arg(ia, lk.this_));
            field = arg(ia, lk.expression);
        } else {
            name = item_name(item, field);
        }
        add_field(list, name, field, sc, value, out, where, depth);
    });
    shape_ = &list;
}

// named_struct('a', x, 'b', y): names and values in turn.
void analysis::walk_named_struct(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    std::vector<object> items;
    each(arg_of(node, lk.expressions), [&](handle e) { items.push_back(object::borrow(e)); });
    field_list& list = field_lists_.emplace_back();
    const mode value = m.transformed();
    for (std::size_t i = 0; i < items.size(); i += 2) {
        const bool named = kind_of(items[i]) == kind::Literal;
        if (!named) walk(items[i], sc, value, out, where, depth + 1);
        if (i + 1 == items.size()) break;
        add_field(list, named ? field_key(items[i]) : handle{}, items[i + 1], sc, value, out, where, depth);
    }
    shape_ = &list;
}

// A key of a struct constructor.  {'a': x} and OBJECT_CONSTRUCT('a', x)
// spell it as a string, which the template fingerprint masks: the lineage
// depends on it only where a field is looked up by name, which says so then
// (field_named, expandable), so a struct nobody reads a field of keeps its
// statement's template.
handle analysis::field_key(handle node) {
    const bool before = literal_elsewhere_;
    handle name = name_of(node);
    literal_elsewhere_ = before;
    return name;
}

// The field `key` of `list`; a lookup by name, whose answer may depend on
// keys the fingerprint masked (the statement is then cached by its text).
const output* analysis::field_named(const field_list* list, handle key) {
    if (list == nullptr) return nullptr;
    read_literal_name();
    return list->field(key);
}

// Whether a star can expand `list` (the answer and the names it gives
// depend on its keys, as field_named's).
bool analysis::expandable(const field_list* list) {
    if (list == nullptr) return false;
    read_literal_name();
    return list->expandable();
}

void analysis::add_field(field_list& list, handle name, handle value, scope& sc, mode m, lineage& out,
                         clause where, int depth) {
    output f;
    f.name = name;
    if (value) {
        walk(value, sc, mode{}, f.lin, where, depth + 1);
        f.fields = shape_;
    }
    out.absorb(f.lin, m);
    list.fields.push_back(std::move(f));
}

// [e, ...]: computed from every element.  Where every element is a struct
// (or a tuple) of as many fields, the array's elements have those fields,
// each from the fields at its position.
void analysis::walk_array(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    const mode value = m.transformed();
    field_list* merged = nullptr;
    bool shaped = true;
    each(arg_of(node, lk.expressions), [&](handle e) {
        if (!shaped) {
            walk(e, sc, value, out, where, depth + 1);
            return;
        }
        lineage element;
        const field_list* s = nullptr;
        const kind ek = kind_of(e);
        if (ek == kind::Tuple) {
            s = tuple_fields(e, sc, element, where, depth);
        } else if (is_query(ek)) {
            s = query_rows(e, sc, element);
        } else {
            walk(e, sc, mode{}, element, where, depth + 1);
            s = shape_;
        }
        out.absorb(element, value);
        if (s == nullptr || s->array) {
            shaped = false;
        } else if (merged == nullptr) {
            merged = &field_lists_.emplace_back(*s);
            merged->array = true;
        } else {
            shaped = absorb_fields(*merged, *s);
        }
    });
    shape_ = shaped ? merged : nullptr;
}

// ARRAY_AGG(v): an array of v's values; where v is a struct, the elements
// have its fields, each aggregated from what was put into it.
void analysis::walk_array_agg(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    const mode value = m.aggregated();
    object value_node = arg_of(node, lk.this_);
    const field_list* element = nullptr;
    if (value_node) {
        walk(value_node, sc, value, out, where, depth + 1);
        element = shape_;
    }
    walk_rest(node, value_node, sc, value, out, where, depth);
    shape_ = nullptr;
    if (element == nullptr || element->array) return;
    field_list& list = field_lists_.emplace_back();
    list.array = true;
    for (const output& f : element->fields) {
        output g;
        g.name = f.name;
        g.fields = f.fields;
        g.lin.absorb(f.lin, mode{}.aggregated());
        list.fields.push_back(std::move(g));
    }
    shape_ = &list;
}

// ARRAY(SELECT ...): an element per row, with the lineage of the rows'
// values and of what decides which rows there are (a correlation too).  An
// element of SELECT AS STRUCT has a field per column; of a query of one
// column, that column's fields where it is a struct.
const field_list* analysis::query_rows(handle query_node, scope& sc, lineage& out) {
    const std::uint32_t aggregates = aggregates_;
    const query_info* inner = query(query_node, &sc, sc.env);
    aggregates_ = aggregates;
    for (const output& o : inner->outputs) out.absorb(o.lin, mode{});
    out.absorb_influences(inner->all);
    if (inner->has_placeholder()) return nullptr;
    object kind_text = kind_of(query_node) == kind::Select ? arg_of(query_node, lk.kind) : object{};
    const bool as_struct = kind_text && PyUnicode_Check(kind_text.ptr()) &&
                           PyUnicode_CompareWithASCIIString(kind_text.ptr(), "STRUCT") == 0;
    if (as_struct) {
        field_list& list = field_lists_.emplace_back();
        for (const output& o : inner->outputs) {
            output f;
            f.name = o.name;
            f.lin = o.lin;
            f.fields = o.fields;
            list.fields.push_back(std::move(f));
        }
        return &list;
    }
    return inner->outputs.size() == 1 ? inner->outputs.front().fields : nullptr;
}

// ("p10", 1) as an element of an array: fields by position, unnamed.
const field_list* analysis::tuple_fields(handle tuple, scope& sc, lineage& out, clause where, int depth) {
    field_list& list = field_lists_.emplace_back();
    each(arg_of(tuple, lk.expressions), [&](handle e) { add_field(list, {}, e, sc, mode{}, out, where, depth); });
    return &list;
}

// CAST(v AS STRUCT<a ..., b ...>) and ARRAY<STRUCT<...>>[...]: the type names
// the fields by position; a field takes the lineage of the field at its
// position in v, or else all of v.
void analysis::walk_cast(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    bool array = false;
    const std::vector<handle> names = struct_type_names(arg(a, lk.to), array);
    if (names.empty()) {
        walk_operator(node, sc, m, out, where, depth);
        shape_ = nullptr;
        return;
    }
    lineage whole;
    const field_list* inner = nullptr;
    if (object value = arg(a, lk.this_)) {
        walk(value, sc, mode{}, whole, where, depth + 1);
        inner = shape_;
    }
    out.absorb(whole, m.transformed());
    field_list& list = field_lists_.emplace_back();
    list.array = array;
    for (std::size_t i = 0; i < names.size(); ++i) {
        output f;
        f.name = names[i];
        if (inner != nullptr && inner->array == array && i < inner->fields.size()) {
            f.lin = inner->fields[i].lin;
            f.fields = inner->fields[i].fields;
        } else {
            f.lin.absorb(whole, mode{}.transformed());
        }
        list.fields.push_back(std::move(f));
    }
    shape_ = &list;
}

// The field names of a STRUCT type (array false) or of an ARRAY of STRUCT
// type (array true); empty for any other type.
std::vector<handle> analysis::struct_type_names(handle type, bool& array) {
    auto column_defs = [&](handle list, std::vector<handle>& names) {
        bool all = true;
        each(list, [&](handle c) {
            if (kind_of(c) != kind::ColumnDef) {
                all = false;
            } else if (handle n = name_of(arg_of(c, lk.this_))) {
                names.push_back(n);
            }
        });
        if (!all) names.clear();
        return !names.empty();
    };
    std::vector<handle> names;
    if (kind_of(type) != kind::DataType) return names;
    object types = arg_of(type, lk.expressions);
    if (column_defs(types, names)) {
        array = false;
        return names;
    }
    if (types && PyList_Check(types.ptr()) && PyList_GET_SIZE(types.ptr()) == 1) {
        object element = object::borrow(PyList_GET_ITEM(types.ptr(), 0));
        if (kind_of(element) == kind::DataType && column_defs(arg_of(element, lk.expressions), names)) {
            array = true;
        }
    }
    return names;
}

// --- accessors ---------------------------------------------------------------------

// s.a (a Dot), s['a'], struct_extract(s, 'a'), GET(o, 'a'), o:a.b: the field
// the keys name, where the struct's fields are known; else a value computed
// from the whole struct and the keys.  arr[i] of an array of structs is an
// element with the array's fields.
void analysis::walk_access(handle node, kind k, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    object base = arg(a, lk.this_);
    if (!base || (k == kind::Dot && kind_of(arg(a, lk.expression)) != kind::Identifier)) {
        walk_operator(node, sc, m, out, where, depth);
        shape_ = nullptr;
        return;
    }
    lineage value;
    walk(base, sc, mode{}, value, where, depth + 1);
    const field_list* s = shape_;
    std::vector<handle> keys;
    if (s != nullptr && access_keys(node, k, keys)) {
        const output* f = nullptr;
        const field_list* at = s;
        for (handle key : keys) {
            f = field_named(at, key);
            if (f == nullptr) break;
            at = f->fields;
        }
        if (f != nullptr) {
            out.absorb(f->lin, m);
            shape_ = f->fields;
            return;
        }
    }
    out.absorb(value, m.transformed());
    walk_rest(node, base, sc, m.transformed(), out, where, depth);
    shape_ = k == kind::Bracket && keys.empty() ? element_of(s) : nullptr;
}

// The names an accessor reads, outermost first; false when it reads no
// name (an index, a computed key, a path with subscripts).
bool analysis::access_keys(handle node, kind k, std::vector<handle>& keys) {
    object a = args_of(node);
    if (k == kind::Dot) {
        if (handle n = name_of(arg(a, lk.expression))) keys.push_back(n);
    } else if (k == kind::Bracket) {
        object index = arg(a, lk.expressions);
        if (index && PyList_Check(index.ptr()) && PyList_GET_SIZE(index.ptr()) == 1) {
            object only = object::borrow(PyList_GET_ITEM(index.ptr(), 0));
            if (is_string_literal(only)) {
                if (handle n = name_of(only)) keys.push_back(n);
            }
        }
    } else if (k == kind::StructExtract || k == kind::GetExtract) {
        object key = arg(a, lk.expression);
        if (key && is_string_literal(key)) {
            if (handle n = name_of(key)) keys.push_back(n);
        }
    } else if (k == kind::JSONExtract) {
        object path = arg(a, lk.expression);
        if (kind_of(path) != kind::JSONPath) return false;
        bool first = true, plain = true;
        each(arg_of(path, lk.expressions), [&](handle part) {
            object text = kind_of(part) == kind::JSONPathKey ? arg_of(part, lk.this_) : object{};
            if (text && PyUnicode_Check(text.ptr())) {
                keys.push_back(normalise(text, true, false));
            } else if (!first) {
                plain = false;  // a subscript or a wildcard
            }
            first = false;
        });
        // The path may be written as a string ('$.a'), which the
        // fingerprint masks.
        read_literal_name();
        if (!plain) keys.clear();
    }
    return !keys.empty();
}

// UNNEST(v) as a value: an element of an array (with the array's fields),
// or, for a struct, its fields as columns of their own (select_list reads
// unnested_struct_).
void analysis::walk_explode(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    object inner = arg_of(node, lk.this_);
    const field_list* s = nullptr;
    if (inner) {
        walk(inner, sc, m.transformed(), out, where, depth + 1);
        s = shape_;
    }
    walk_rest(node, inner, sc, m.transformed(), out, where, depth);
    if (expandable(s)) unnested_struct_ = s;
    shape_ = element_of(s);
}

// Every operand of a node but `skip`, used under `m`.
void analysis::walk_rest(handle node, handle skip, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    if (!a) return;
    py::for_each values(py::checked(PyDict_Values(a.ptr())));
    while (object value = values.next()) {
        if (skip && value.is(skip)) continue;
        if (PyList_Check(value.ptr())) {
            py::for_each items(value);
            while (object item = items.next()) walk(item, sc, m, out, where, depth + 1);
        } else if (kind_of(value) != kind::not_expression) {
            walk(value, sc, m, out, where, depth + 1);
        }
    }
}

// --- columns that hold structs -----------------------------------------------------

// src.column.path...: the field's own lineage where the column's fields are
// known down the path, else the whole column, transformed.
void analysis::field_path(const source& src, handle column, const std::vector<handle>& path, mode m,
                          lineage& out) {
    const output* at = src.kind == source::physical ? nullptr : unique_output(src, column);
    const field_list* fields = src.kind == source::physical ? typed_fields(src.table, column)
                               : at != nullptr                ? at->fields
                                                              : nullptr;
    for (handle key : path) {
        at = field_named(fields, key);
        if (at == nullptr) break;
        fields = at->fields;
    }
    if (at == nullptr) {
        resolve_in(src, column, m.transformed(), out);
        shape_ = path.empty() ? fields : nullptr;
        return;
    }
    out.absorb(at->lin, m);
    shape_ = at->fields;
}

// The fields of a source's column: a derived table's output's, or those
// the schema's type gives a table's column.
const field_list* analysis::column_fields(const source& src, handle column) {
    if (src.kind == source::physical) return typed_fields(src.table, column);
    const output* at = unique_output(src, column);
    return at != nullptr ? at->fields : nullptr;
}

// The fields of src.column.path..., or null where they are not known.
const field_list* analysis::path_fields(const source& src, handle column, const std::vector<handle>& path) {
    const field_list* fields = column_fields(src, column);
    for (handle key : path) {
        const output* at = field_named(fields, key);
        fields = at != nullptr ? at->fields : nullptr;
    }
    return fields;
}

const field_list* analysis::typed_fields(int table, handle column) {
    if (table < 0 || static_cast<std::size_t>(table) >= schema_types_.size()) return nullptr;
    const object& types = schema_types_[static_cast<std::size_t>(table)];
    if (!types || !column) return nullptr;
    object type = py::optional_item(types, column);
    if (!type) return nullptr;
    return type_fields(table, utf8(column), type, 0);
}

// The fields a struct type names (of its elements, for an array of
// structs), each the column's part at `path.field`; nested structs to a
// fixed depth.  Made once per table and path.
const field_list* analysis::type_fields(int table, const std::string& path, handle type, int depth) {
    constexpr int kMaxTypeDepth = 8;
    if (depth >= kMaxTypeDepth || kind_of(type) != kind::DataType) return nullptr;
    const std::string key = std::to_string(table) + ":" + path;
    if (auto found = typed_fields_.find(key); found != typed_fields_.end()) return found->second;
    bool array = false;
    std::vector<handle> names = struct_type_names(type, array);
    const field_list* made = nullptr;
    if (!names.empty()) {
        // The field types, in the order of the names (ColumnDef kind).
        object defs = arg_of(type, lk.expressions);
        if (array && defs && PyList_Check(defs.ptr()) && PyList_GET_SIZE(defs.ptr()) == 1) {
            defs = arg_of(PyList_GET_ITEM(defs.ptr(), 0), lk.expressions);
        }
        std::vector<object> kinds;
        each(defs, [&](handle d) { kinds.push_back(arg_of(d, lk.kind)); });
        field_list& list = field_lists_.emplace_back();
        list.array = array;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::string part = path + "." + utf8(names[i]);
            output f;
            f.name = names[i];
            f.lin.add(column_of(table, text_name(part)), mode{});
            if (i < kinds.size() && kinds[i]) f.fields = type_fields(table, part, kinds[i], depth + 1);
            list.fields.push_back(std::move(f));
        }
        made = &list;
    }
    typed_fields_.emplace(key, made);
    return made;
}

// s.*, t.s.*, t.s.f.*: a column per field of a struct whose fields are
// known, each named once.  A struct column whose fields are not known (or
// not all named once) gives a placeholder of the column's lineage that says
// so.  False when the star names no column (t.* of a source t, or a name no
// source is known to have: star() reads it).
bool analysis::struct_star(handle column_args, scope& sc, query_info& q) {
    std::vector<handle> parts;
    for (handle key : {lk.catalog, lk.db, lk.table}) {
        if (handle n = name_of(arg(column_args, key))) parts.push_back(n);
    }
    if (parts.empty() || (parts.size() == 1 && sc.named(parts[0]) != nullptr)) return false;
    for (scope* s = &sc; s != nullptr; s = s->outer) {
        const source* src = parts.size() >= 2 ? s->named(parts[0]) : nullptr;
        const std::size_t column = src != nullptr ? 1 : 0;
        for (const source& c : s->sources) {
            if (src == nullptr && c.has_column(parts[0])) src = &c;
        }
        // As for a.b (resolution.cpp, qualified): the one source here whose
        // columns are not known may have the struct column.
        if (src == nullptr && rules_.dotted_fields && s == &sc) {
            const candidates found = s->candidates_for(parts[0]);
            if (found.unknown.size() == 1) src = found.unknown.front();
        }
        if (src == nullptr) continue;
        const std::vector<handle> path(parts.begin() + static_cast<std::ptrdiff_t>(column) + 1, parts.end());
        const field_list* found = path_fields(*src, parts[column], path);
        if (expandable(found)) {
            emit_fields(*found, q);
        } else {
            std::string dotted;
            for (handle part : parts) dotted += (dotted.empty() ? "" : ".") + utf8(part);
            output o;
            o.name = lk.star;
            field_path(*src, parts[column], path, mode{}.transformed(), o.lin);
            const std::uint32_t entry =
                note(text_name(dotted + ".*"), {}, {reason::struct_fields, dotted, found != nullptr ? 1u : 0u});
            o.lin.add_unresolved(entry, mode{});
            o.opaque_note = static_cast<int>(entry);
            q.outputs.push_back(std::move(o));
        }
        return true;
    }
    return false;
}

// A struct's fields as output columns.
void analysis::emit_fields(const field_list& fields, query_info& q) {
    for (const output& f : fields.fields) {
        output o;
        o.name = f.name;
        o.lin = f.lin;
        o.fields = f.fields;
        q.outputs.push_back(std::move(o));
    }
}

// --- field lists -------------------------------------------------------------------

// The fields of an array's elements, or null for anything but an array.
const field_list* analysis::element_of(const field_list* fields) {
    if (fields == nullptr || !fields->array) return nullptr;
    field_list& element = field_lists_.emplace_back(*fields);
    element.array = false;
    return &element;
}

// The fields of a value that is either of two (UNION branches), by
// position; null when they do not match.
const field_list* analysis::merge_fields(const field_list* a, const field_list* b) {
    if (a == nullptr || b == nullptr) return nullptr;
    if (a == b) return a;
    field_list& merged = field_lists_.emplace_back(*a);
    return absorb_fields(merged, *b) ? &merged : nullptr;
}

bool analysis::absorb_fields(field_list& into, const field_list& from) {
    if (into.array != from.array || into.fields.size() != from.fields.size()) return false;
    for (std::size_t i = 0; i < into.fields.size(); ++i) {
        output& f = into.fields[i];
        const output& g = from.fields[i];
        f.lin.absorb(g.lin, mode{});
        if (!f.name) f.name = g.name;
        f.fields = merge_fields(f.fields, g.fields);
    }
    return true;
}

}  // namespace qarvel::lineage
