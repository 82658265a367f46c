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
        case kind::JSONExtractScalar:
        case kind::JSONBExtract:
        case kind::JSONBExtractScalar:
        case kind::JSONObject:
        case kind::VarMap:
        case kind::Map:
        case kind::Tuple:
        case kind::Explode:
        case kind::Posexplode:
        case kind::Inline:
        case kind::Columns:
        case kind::Anonymous: return true;
        default: return false;
    }
}

void analysis::walk_structured(handle node, kind k, scope& sc, mode m, lineage& out, clause where, int depth) {
    switch (k) {
        case kind::Struct:
        case kind::JSONObject: walk_struct(node, sc, m, out, where, depth); return;
        case kind::VarMap:
        case kind::Map: walk_map(node, sc, m, out, where, depth); return;
        case kind::Tuple: walk_tuple(node, sc, m, out, where, depth); return;
        case kind::Array: walk_array(node, sc, m, out, where, depth); return;
        case kind::Cast: walk_cast(node, sc, m, out, where, depth); return;
        case kind::Explode:
        case kind::Posexplode:
        case kind::Inline: walk_explode(node, sc, m, out, where, depth); return;
        case kind::Anonymous: walk_function(node, sc, m, out, where, depth); return;
        default: walk_access(node, k, sc, m, out, where, depth); return;
    }
}

// The functions of no class of sqlglot's that build or read a struct:
// Spark's named_struct (sqlglot 27) and PostgreSQL's json_build_object (names
// and values in turn), ClickHouse's tupleElement (a field by position or
// name), Spark's inline_outer (a row generator).
void analysis::walk_function(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    const std::string name = function_name(node);
    if (name == "named_struct" || name == "json_build_object" || name == "jsonb_build_object") {
        walk_named_struct(node, sc, m, out, where, depth);
    } else if (name == "tupleelement") {
        walk_access(node, kind::Anonymous, sc, m, out, where, depth);
    } else if (name == "inline_outer") {
        walk_explode(node, sc, m, out, where, depth);
    } else {
        walk_operator(node, sc, m, out, where, depth);
        shape_ = nullptr;
    }
}

// --- constructors ------------------------------------------------------------------

// STRUCT(...), {'a': x}, JSON_OBJECT('a', x): the value is computed from
// every field; each field keeps what was put into it.  STRUCT(a, t.b) names
// a field after its column.
void analysis::walk_struct(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    field_list& list = field_lists_.emplace_back();
    const mode value = m.transformed();
    each(arg_of(node, lk.expressions), [&](handle item) {
        handle name;
        object field;
        const kind ik = kind_of(item);
        if (ik == kind::PropertyEQ || ik == kind::JSONKeyValue) {
            object ia = args_of(item);
            object key = arg(ia, lk.this_);
            name = field_key(key);
            // A key computed from columns decides what the value holds.
            if (!name) walk(key, sc, value, out, where, depth + 1);
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

// MAP('a', x, 'b', y) (keys and values as two lists): each key whose name
// the text gives is a field holding its value.  A map of other keys (a
// column's) is computed from everything, without fields.
void analysis::walk_map(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    object keys = arg(a, lk.keys);
    object values = arg(a, lk.values);
    if (kind_of(keys) != kind::Array || kind_of(values) != kind::Array) {
        walk_operator(node, sc, m, out, where, depth);
        shape_ = nullptr;
        return;
    }
    std::vector<object> key_nodes, value_nodes;
    each(arg_of(keys, lk.expressions), [&](handle k) { key_nodes.push_back(object::borrow(k)); });
    each(arg_of(values, lk.expressions), [&](handle v) { value_nodes.push_back(object::borrow(v)); });
    field_list& list = field_lists_.emplace_back();
    const mode value = m.transformed();
    for (std::size_t i = 0; i < key_nodes.size() || i < value_nodes.size(); ++i) {
        handle name = i < key_nodes.size() && kind_of(key_nodes[i]) == kind::Literal ? field_key(key_nodes[i]) : handle{};
        if (!name && i < key_nodes.size()) walk(key_nodes[i], sc, value, out, where, depth + 1);
        add_field(list, name, i < value_nodes.size() ? handle(value_nodes[i]) : handle{}, sc, value, out, where, depth);
    }
    shape_ = &list;
}

// (a, b) as a value (ClickHouse's tuples): computed from every element; its
// fields, unnamed, are read by position (t.1, tupleElement(t, 1)).
void analysis::walk_tuple(handle node, scope& sc, mode m, lineage& out, clause where, int depth) {
    lineage whole;
    const field_list* fields = tuple_fields(node, sc, whole, where, depth);
    out.absorb(whole, m.transformed());
    shape_ = fields;
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
            merged->counted = true;
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
    list.counted = true;
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
    into.counted = into.counted && from.counted;
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
