// Reading one field of a struct value: the accessors (s.a, t.s.a, s['a'],
// struct_extract(s, 'a'), GET(o, 'a'), o:a, JSON paths), a table's struct
// columns whose type the schema gives, and struct stars (s.*).  An accessor
// of a known field takes that field's lineage alone; any other use of a
// struct is computed from all of it (TRANSFORMATION).
#include "lineage/analysis.hpp"

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/tree.hpp"

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

// A function's first and second arguments (tupleElement(t, 1)).
object nth_argument(handle node, std::size_t n) {
    object found;
    std::size_t i = 0;
    each(arg_of(node, lk.expressions), [&](handle e) {
        if (i++ == n) found = object::borrow(e);
    });
    return found;
}
object first_argument(handle node) { return nth_argument(node, 0); }
object second_argument(handle node) { return nth_argument(node, 1); }

// The position (from 1) a tuple accessor reads: t.1, tupleElement(t, 1); 0
// for any other.
long field_position(handle node, kind k) {
    object index = k == kind::Dot ? arg_of(node, lk.expression) : k == kind::Anonymous ? second_argument(node) : object{};
    if (kind_of(index) != kind::Literal || truthy(arg_of(index, lk.is_string))) return 0;
    object text = arg_of(index, lk.this_);
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

}  // namespace

// --- accessors ---------------------------------------------------------------------

// s.a (a Dot), s['a'], struct_extract(s, 'a'), GET(o, 'a'), o:a.b, a JSON
// path (o -> '$.a', o ->> 'a', JSON_EXTRACT(o, '$.a')), a tuple's t.1 and
// tupleElement(t, 1) or (t, 'a'): the field the keys or the position name,
// where the struct's fields are known (an object built in the query: only
// that field's value flows, the others are no sources); else a value
// computed from the whole struct and the keys.  arr[i] of an array of
// structs is an element with the array's fields.
void analysis::walk_access(handle node, kind k, scope& sc, mode m, lineage& out, clause where, int depth) {
    object a = args_of(node);
    object base = k == kind::Anonymous ? first_argument(node) : arg(a, lk.this_);
    const kind key_kind = k == kind::Dot ? kind_of(arg(a, lk.expression)) : kind::not_expression;
    if (!base || (k == kind::Dot && key_kind != kind::Identifier && key_kind != kind::Literal)) {
        walk_operator(node, sc, m, out, where, depth);
        shape_ = nullptr;
        return;
    }
    lineage value;
    walk(base, sc, mode{}, value, where, depth + 1);
    const field_list* s = shape_;
    std::vector<handle> keys;
    if (const output* f = accessed_field(node, k, s, keys)) {
        out.absorb(f->lin, m);
        shape_ = f->fields;
        return;
    }
    out.absorb(value, m.transformed());
    walk_rest(node, base, sc, m.transformed(), out, where, depth);
    shape_ = k == kind::Bracket && keys.empty() ? element_of(s) : nullptr;
}

// The field of `s` an accessor reads (by its keys, into `keys`, or by its
// position), or null where it is not known.
const output* analysis::accessed_field(handle node, kind k, const field_list* s, std::vector<handle>& keys) {
    if (s == nullptr) return nullptr;
    const long position = field_position(node, k);
    if (position > 0) {
        // The position is a number, which the fingerprint masks.
        read_literal_name();
        if (s->array || static_cast<std::size_t>(position) > s->fields.size()) return nullptr;
        return &s->fields[static_cast<std::size_t>(position - 1)];
    }
    if (!access_keys(node, k, keys)) return nullptr;
    const output* f = nullptr;
    const field_list* at = s;
    for (handle key : keys) {
        f = field_named(at, key);
        if (f == nullptr) return nullptr;
        at = f->fields;
    }
    return f;
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
    } else if (k == kind::Anonymous) {
        // tupleElement(t, 'a')
        object key = second_argument(node);
        if (key && is_string_literal(key)) {
            if (handle n = name_of(key)) keys.push_back(n);
        }
    } else if (k == kind::JSONExtract || k == kind::JSONExtractScalar || k == kind::JSONBExtract ||
               k == kind::JSONBExtractScalar) {
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

}  // namespace qarvel::lineage
