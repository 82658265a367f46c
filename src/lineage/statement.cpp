// Statements that write: which table they write, and which columns of it
// each value fills.
//
//   INSERT INTO t (x, y) SELECT ... / VALUES    by position against the list
//   INSERT INTO t SELECT ...                    against the schema's columns of
//                                               t, else the query's names
//   INSERT OVERWRITE, CREATE TABLE ... AS,      the query's names, or the
//   CREATE VIEW v (x, y) AS                     column list
//   MERGE INTO t USING s ON ...                 each WHEN branch's SET / INSERT
//   UPDATE t SET c = expr [FROM ...] WHERE ...  each SET column
//   DELETE FROM t WHERE ...                     no columns; the WHERE columns
//
// Every other statement has no columns and no target.
#include "interop/ops.hpp"
#include "lineage/analysis.hpp"
#include "lineage/names.hpp"
#include "lineage/state.hpp"
#include "lineage/text.hpp"
#include "lineage/tree.hpp"

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

namespace qarvel::lineage {

using py::handle;
using py::object;

namespace {

// The output named `name` (added at the end when there is none yet).
output& output_for(std::vector<output>& outputs, handle name) {
    for (output& o : outputs) {
        if (same_name(o.name, name)) return o;
    }
    output& made = outputs.emplace_back();
    made.name = name;
    return made;
}

// The query's outputs as the target's columns, named by position after
// `names` where there are names.
void fill_target(statement_info& s, const query_info& q, const std::vector<handle>& names) {
    s.all = q.all;
    for (std::size_t i = 0; i < q.outputs.size(); ++i) {
        output o = q.outputs[i];
        if (i < names.size() && !o.placeholder()) {
            o.name = names[i];
            o.shown = {};
            o.literal_name = false;
        }
        s.outputs.push_back(std::move(o));
    }
}

// The elements of a tuple node, or the value itself.
object elements(object value) {
    return value && kind_of(value) == kind::Tuple ? arg_of(value, lk.expressions) : value;
}

}  // namespace

statement_info analysis::statement(handle root) {
    const kind k = kind_of(root);
    if (k == kind::Select && arg_of(root, lk.into)) return select_into(root);
    if (is_query(k)) {
        const query_info* q = query(root, nullptr, nullptr);
        statement_info s;
        s.outputs = q->outputs;
        s.all = q->all;
        return s;
    }
    statement_info s;
    switch (k) {
        case kind::Pivot: {
            query_info pq;
            pivot_statement(root, pq);
            s.outputs = std::move(pq.outputs);
            s.all = std::move(pq.all);
            return s;
        }
        case kind::Alter: return alter_rename(root);
        case kind::Command: {
            object word = arg_of(root, lk.this_);
            object rest = arg_of(root, lk.expression);
            const bool rename = word && PyUnicode_Check(word.ptr()) &&
                                PyUnicode_CompareWithASCIIString(py::call_method(word, lk.upper).ptr(),
                                                                 "RENAME") == 0;
            if (!rename || kind_of(rest) != kind::Literal) return s;
            return rename_command(arg_of(rest, lk.this_));
        }
        case kind::Insert:
            s = insert(root);
            s.does = truthy(arg_of(root, lk.overwrite)) ? effect::replace : effect::write;
            break;
        case kind::Create:
            s = create(root);
            if (s.does == effect::none) s.does = effect::define;
            break;
        case kind::Merge:
        case kind::Update:
            s = in_place(root, k);
            s.does = effect::write;
            break;
        case kind::Delete:
            s = in_place(root, k);
            s.does = arg_of(root, lk.where) ? effect::filter : effect::empty;
            if (s.does == effect::empty && s.has_target) s.named.push_back(s.target);
            break;
        case kind::Drop:
        case kind::Truncate:
        case kind::TruncateTable:
            s.named = named_tables(root);
            s.does = k == kind::Drop ? effect::drop : effect::empty;
            return s;
        default: return s;
    }
    untraced(root, k, s.all);
    if (!s.has_target) s.does = effect::none;
    return s;
}

// The tables a DROP or a TRUNCATE names (one or several).
std::vector<table_ref> analysis::named_tables(handle root) {
    object a = args_of(root);
    object listed = arg(a, lk.tables);
    if (!truthy(listed)) listed = arg(a, lk.expressions);
    std::vector<table_ref> named;
    const auto add = [&](handle node) {
        if (kind_of(node) != kind::Table) return;
        const table_ref t = table_name(node);
        if (t.name) named.push_back(t);
    };
    if (truthy(listed)) {
        each(listed, add);
    } else if (object one = arg(a, lk.this_)) {
        add(one);
    }
    return named;
}

// The written table as a source of the statement's own expressions (MERGE,
// UPDATE, DELETE read it); it counts as read only when a column of it is.
source analysis::target_source(handle table_node) {
    const int table = table_index(table_node);
    if (table < 0) return {};
    return physical_table(table, alias_name(arg_of(table_node, lk.alias)));
}

// The statement's scope with the written table as its first source, and
// the statement's args; empty when the target is not a table.
object analysis::open_target(handle root, statement_info& s, scope& sc) {
    object a = args_of(root);
    object target = arg(a, lk.this_);
    if (!target || kind_of(target) != kind::Table) return {};
    s.has_target = true;
    sc.env = with_clause(root, nullptr, nullptr);
    // T-SQL's UPDATE t SET ... FROM tab1 t JOIN ...: t is the alias of a
    // table of FROM, which is the one written (and read there).
    if (object aliased = kind_of(root) == kind::Update ? from_alias(a, target) : object{}) {
        s.target = table_name(aliased);
        return a;
    }
    s.target = table_name(target);
    source written = target_source(target);
    if (written.table >= 0) sc.sources.push_back(std::move(written));
    return a;
}

// The table of an UPDATE's FROM (or of a join there) whose alias is the
// name the UPDATE writes, an unqualified name without alias of its own; or
// empty.
object analysis::from_alias(handle args, handle target) {
    object ta = args_of(target);
    if (arg(ta, lk.db) || arg(ta, lk.catalog) || arg(ta, lk.alias)) return {};
    handle name = name_of(arg(ta, lk.this_));
    object from = arg(args, engine.key_from);
    if (!name || !from) return {};
    object found;
    auto check = [&](handle node) {
        if (found || kind_of(node) != kind::Table) return;
        if (same_name(alias_name(arg_of(node, lk.alias)), name)) found = object::borrow(node);
    };
    auto with_joins = [&](handle node) {
        check(node);
        each(arg_of(node, lk.joins), [&](handle join) { check(arg_of(join, lk.this_)); });
    };
    if (object first = arg_of(from, lk.this_)) with_joins(first);
    each(arg_of(from, lk.expressions), with_joins);
    each(arg(args, lk.joins), [&](handle join) { check(arg_of(join, lk.this_)); });
    return found;
}

// MERGE, UPDATE, DELETE: statements that read the table they write.
statement_info analysis::in_place(handle root, kind k) {
    statement_info s;
    scope sc;
    query_info q;
    object a = open_target(root, s, sc);
    if (!a) return s;
    if (k == kind::Merge) {
        merge(a, sc, q, s);
    } else if (k == kind::Update) {
        update(a, sc, q, s);
    } else {
        remove(a, sc, q, s);
    }
    return s;
}

// The table a statement writes, written as `t` or `t (x, y)`, into
// `s.target`, and the names of the column list; false when it is no table.
bool analysis::written_table(handle target, statement_info& s, std::vector<handle>& names) {
    if (!target) return false;
    object table = object::borrow(target);
    if (kind_of(target) == kind::Schema) {
        object a = args_of(target);
        each(arg(a, lk.expressions), [&](handle c) {
            const kind ck = kind_of(c);
            // Identifier, Column, or ColumnDef (CREATE TABLE t (a INT) AS ...).
            object id = ck == kind::Identifier ? object::borrow(c) : arg_of(c, lk.this_);
            if (handle n = id ? name_of(id) : handle{}) names.push_back(n);
        });
        table = arg(a, lk.this_);
    }
    if (!table || kind_of(table) != kind::Table) return false;
    s.has_target = true;
    s.target = table_name(table);
    return true;
}

// INSERT / CREATE: the table written (into `s`), the names of its column
// list, and the query that fills it (null when there is none).
const query_info* analysis::written_query(handle root, statement_info& s, std::vector<handle>& names) {
    object a = args_of(root);
    if (!written_table(arg(a, lk.this_), s, names)) return nullptr;
    object body = arg(a, lk.expression);
    if (!body || !is_query(kind_of(body))) return nullptr;
    return query(body, nullptr, with_clause(root, nullptr, nullptr));
}

statement_info analysis::insert(handle root) {
    statement_info s;
    std::vector<handle> names;
    const query_info* q = written_query(root, s, names);
    if (q == nullptr) return s;
    const bool listed = !names.empty();
    if (!listed && !truthy(arg_of(root, lk.by_name))) {
        // No column list: the table's columns in order, when the schema knows
        // them (each name then kept by the analysis's table of names).
        if (object known = schema_lookup(s.target)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(known.ptr()); ++i) {
                names.push_back(canonical(PyTuple_GET_ITEM(known.ptr(), i)));
            }
        }
    }
    // Values for columns the statement does not have are an error in SQL: no
    // column is made up for them.  (Without a column list, fewer values than
    // the table has columns fill its first columns.)
    const std::size_t given = q->outputs.size();
    if (!names.empty() && !q->has_placeholder() &&
        (listed ? given != names.size() : given > names.size())) {
        PyErr_Format(PyExc_ValueError,
                     listed ? "the INSERT names %zu target column(s) but its query gives %zu value(s)"
                            : "the INSERT's query gives %zu value(s) but the schema's target table has %zu column(s)",
                     listed ? names.size() : given, listed ? given : names.size());
        py::throw_error();
    }
    fill_target(s, *q, names);
    // INSERT INTO t (a, ...): t may have columns the statement does not
    // name, which a later statement reads as what t held.
    if (listed) {
        s.has_defined = true;
        s.defined = {lk.star};
    }
    return s;
}

statement_info analysis::create(handle root) {
    statement_info s;
    std::vector<handle> names;
    if (const query_info* q = written_query(root, s, names)) {
        fill_target(s, *q, names);
        // ClickHouse's CREATE MATERIALIZED VIEW v TO t AS SELECT: the view's
        // rows are inserted into t, which it writes.
        object properties = arg_of(root, lk.properties);
        each(properties ? arg_of(properties, lk.expressions) : object{}, [&](handle property) {
            if (kind_of(property) != kind::ToTableProperty) return;
            object into = arg_of(property, lk.this_);
            if (!into || kind_of(into) != kind::Table) return;
            const table_ref t = table_name(into);
            if (!t.name) return;
            s.target = t;
            s.does = effect::write;
        });
    } else if (!arg_of(root, lk.expression) && created_like(root, s)) {
        // CREATE TABLE t LIKE src: src's columns, without content.
    } else if (!arg_of(root, lk.expression) && kind_of(arg_of(root, lk.this_)) == kind::Schema) {
        // CREATE TABLE t (a INT, ...): the table's columns, without content.
        s.has_defined = true;
        s.defined = std::move(names);
    }
    return s;
}

// CREATE TABLE t LIKE src (MySQL, Databricks, Snowflake) and PostgreSQL's
// CREATE TABLE t (LIKE src [INCLUDING ...], c INT, ...): t has src's columns
// (the schema's, a script's tables included) and those it lists, in order,
// and no rows; src is not read.  Where src's columns are not known, neither
// are t's: its columns are one `*` (a later statement may read any name
// from it).  False when the statement has no LIKE.
bool analysis::created_like(handle root, statement_info& s) {
    object target = arg_of(root, lk.this_);
    object listed = kind_of(target) == kind::Schema ? arg_of(target, lk.expressions) : object{};
    object properties = arg_of(root, lk.properties);
    bool like = false;
    auto find = [&](handle node) { like = like || kind_of(node) == kind::LikeProperty; };
    each(listed, find);
    each(properties ? arg_of(properties, lk.expressions) : object{}, find);
    std::vector<handle> ignored;
    if (!like || !written_table(target, s, ignored)) return false;
    bool known = true;
    auto add = [&](handle node) {
        if (kind_of(node) == kind::LikeProperty) {
            object from = arg_of(node, lk.this_);
            object columns = kind_of(from) == kind::Table ? schema_lookup(table_name(from)) : object{};
            known = known && columns;
            for (Py_ssize_t i = 0; columns && i < PyTuple_GET_SIZE(columns.ptr()); ++i) {
                s.defined.push_back(canonical(PyTuple_GET_ITEM(columns.ptr(), i)));
            }
        } else if (kind_of(node) == kind::ColumnDef) {
            if (handle n = name_of(arg_of(node, lk.this_))) s.defined.push_back(n);
        }
    };
    each(listed, add);
    each(properties ? arg_of(properties, lk.expressions) : object{}, add);
    if (!known) s.defined = {lk.star};
    s.has_defined = true;
    return true;
}

// SET c = value (UPDATE, MERGE's WHEN ... THEN UPDATE): the value fills c;
// under a MERGE branch, its condition decides which rows it writes.
void analysis::assign(handle assignment, scope& sc, statement_info& s, const lineage* condition) {
    object column = arg_of(assignment, lk.this_);
    object value = arg_of(assignment, lk.expression);
    handle name = column ? name_of(arg_of(column, lk.this_)) : handle{};
    if (!name || !value) return;
    output& o = output_for(s.outputs, name);
    expression(value, sc, mode{}, o.lin, clause::plain);
    if (condition != nullptr) o.lin.absorb_influences(*condition);
}

void analysis::merge(handle a, scope& sc, query_info& q, statement_info& s) {
    const std::size_t first = sc.sources.size();
    if (object using_node = arg(a, lk.using_)) add_source(using_node, sc, q);
    s.all = q.all;
    if (object on = arg(a, lk.on)) expression(on, sc, mode{}.influence(JOIN), s.all, clause::plain);
    object whens = arg(a, lk.whens);
    object branches = whens && kind_of(whens) == kind::Whens ? arg_of(whens, lk.expressions) : whens;
    each(branches, [&](handle when) { merge_branch(when, sc, first, s); });
}

// WHEN [NOT] MATCHED [AND condition] THEN UPDATE / INSERT / DELETE.  The
// sources from `first` on are the USING's.
void analysis::merge_branch(handle when, scope& sc, std::size_t first, statement_info& s) {
    object wa = args_of(when);
    untraced(when, kind::When, s.all);
    // The branch's own condition decides which rows it writes.
    lineage condition;
    if (object c = arg(wa, lk.condition)) expression(c, sc, mode{}.influence(FILTER), condition, clause::plain);
    object then = arg(wa, lk.then);
    if (!then) return;
    const kind tk = kind_of(then);
    if (tk == kind::Update) {
        bool star = false;
        each(arg_of(then, lk.expressions), [&](handle assignment) {
            if (kind_of(assignment) == kind::Star) {
                star = true;
            } else {
                assign(assignment, sc, s, &condition);
            }
        });
        if (star) merge_star(sc, first, condition, s);
    } else if (tk == kind::Insert) {
        object ta = args_of(then);
        if (kind_of(arg(ta, lk.this_)) == kind::Star) {
            merge_star(sc, first, condition, s);
            return;
        }
        std::vector<handle> names;
        each(elements(arg(ta, lk.this_)), [&](handle c) {
            if (handle n = column_name(c)) names.push_back(n);
        });
        std::size_t i = 0;
        each(elements(arg(ta, lk.expression)), [&](handle value) {
            if (i < names.size()) {
                output& o = output_for(s.outputs, names[i]);
                expression(value, sc, mode{}, o.lin, clause::plain);
                o.lin.absorb_influences(condition);
            }
            ++i;
        });
    } else {
        // WHEN MATCHED THEN DELETE: its condition decides which rows go.
        s.all.absorb_influences(condition);
    }
}

// UPDATE SET * / INSERT * (Databricks, Spark, Delta): each column of the
// target takes the USING source's column of its name.  The target's
// columns are the schema's (a script's tables included); where it has
// none, the source's are.  A target column the source is known not to have
// is reported (not a column of the source), and a source whose columns are
// not known either gives one column that says so.
void analysis::merge_star(scope& sc, std::size_t first, const lineage& condition, statement_info& s) {
    scope from;
    from.outer = sc.outer;
    from.env = sc.env;
    from.sources.assign(sc.sources.begin() + static_cast<std::ptrdiff_t>(first), sc.sources.end());
    if (object known = schema_lookup(s.target)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(known.ptr()); ++i) {
            handle name = canonical(PyTuple_GET_ITEM(known.ptr(), i));
            output& o = output_for(s.outputs, name);
            if (from.sources.size() == 1) {
                resolve_in(from.sources.front(), name, mode{}, o.lin);
            } else {
                unqualified(name, from, mode{}, o.lin, clause::plain);
            }
            o.lin.absorb_influences(condition);
        }
        return;
    }
    query_info columns;
    star({}, {}, from, columns);
    for (output& c : columns.outputs) {
        output* into = nullptr;
        for (output& o : s.outputs) {
            const bool same_placeholder = o.placeholder() && c.placeholder() && o.star_table == c.star_table &&
                                          o.opaque_note == c.opaque_note;
            if (same_placeholder || (!o.placeholder() && !c.placeholder() && same_name(o.name, c.name))) into = &o;
        }
        if (into == nullptr) {
            c.lin.absorb_influences(condition);
            s.outputs.push_back(std::move(c));
            continue;
        }
        into->lin.absorb(c.lin, mode{});
        into->lin.absorb_influences(condition);
    }
}

void analysis::update(handle a, scope& sc, query_info& q, statement_info& s) {
    from_and_joins(a, sc, q);
    s.all = q.all;
    if (object where = arg(a, lk.where)) expression(where, sc, mode{}.influence(FILTER), s.all, clause::plain);
    each(arg(a, lk.expressions), [&](handle assignment) { assign(assignment, sc, s, nullptr); });
}

void analysis::remove(handle a, scope& sc, query_info& q, statement_info& s) {
    // DELETE ... USING other tables.
    each(arg(a, lk.using_), [&](handle extra) {
        if (kind_of(extra) != kind::not_expression) add_source(extra, sc, q);
    });
    s.all = q.all;
    if (object where = arg(a, lk.where)) expression(where, sc, mode{}.influence(FILTER), s.all, clause::plain);
}

}  // namespace qarvel::lineage

namespace qarvel::lineage {

// SELECT ... INTO t (T-SQL, Postgres): t is made from the query, as by
// CREATE TABLE t AS SELECT.
statement_info analysis::select_into(handle root) {
    statement_info s;
    object into = arg_of(arg_of(root, lk.into), lk.this_);
    const query_info* q = query(root, nullptr, nullptr);
    s.outputs = q->outputs;
    s.all = q->all;
    if (into && kind_of(into) == kind::Table) {
        s.has_target = true;
        s.target = table_name(into);
        s.does = s.target.name ? effect::define : effect::none;
    }
    return s;
}

// ALTER TABLE|VIEW t RENAME TO u: the parts u does not name are t's.
statement_info analysis::alter_rename(handle root) {
    statement_info s;
    object old_node = arg_of(root, lk.this_);
    if (!old_node || kind_of(old_node) != kind::Table) return s;
    object renamed;
    each(arg_of(root, lk.actions), [&](handle action) {
        if (kind_of(action) == kind::AlterRename) renamed = arg_of(action, lk.this_);
    });
    if (!renamed || kind_of(renamed) != kind::Table) return s;
    const table_ref old_name = table_name(old_node);
    table_ref new_name = table_name(renamed);
    if (!old_name.name || !new_name.name) return s;
    if (!new_name.db) {
        new_name.db = old_name.db;
        if (!new_name.catalog) new_name.catalog = old_name.catalog;
    }
    s.named = {old_name, new_name};
    s.does = effect::rename;
    return s;
}

namespace {

// The names of RENAME TABLE a TO b, c TO d (a statement sqlglot keeps as
// text): each qualified name as its parts, each part with whether it was
// quoted.  Empty when the text is not of that form.
struct name_part {
    std::string text;
    bool quoted = false;
};

std::vector<std::vector<std::vector<name_part>>> rename_pairs(std::string_view text) {
    std::vector<std::vector<name_part>> names;  // old, TO, new, ",", old, ...
    std::vector<std::string> words;
    std::vector<name_part> current;
    std::size_t i = 0;
    const auto flush = [&]() {
        if (!current.empty()) names.push_back(std::move(current));
        current.clear();
    };
    while (i < text.size()) {
        const char c = text[i];
        if (c == '`' || c == '"') {
            const std::size_t end = text.find(c, i + 1);
            if (end == std::string_view::npos) return {};
            current.push_back({std::string(text.substr(i + 1, end - i - 1)), true});
            i = end + 1;
        } else if (c == '.') {
            ++i;
        } else if (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            flush();
            if (c == ',') names.push_back({{",", false}});
            ++i;
        } else {
            std::size_t j = i;
            while (j < text.size() && text[j] != '.' && text[j] != ',' && text[j] != ' ' &&
                   text[j] != '\t' && text[j] != '\n' && text[j] != '\r' && text[j] != '`' && text[j] != '"') {
                ++j;
            }
            current.push_back({std::string(text.substr(i, j - i)), false});
            i = j;
        }
    }
    flush();
    const auto is_word = [](const std::vector<name_part>& n, const char* w) {
        if (n.size() != 1 || n[0].quoted || n[0].text.size() != std::strlen(w)) return false;
        for (std::size_t k = 0; k < n[0].text.size(); ++k) {
            if (std::toupper(static_cast<unsigned char>(n[0].text[k])) != w[k]) return false;
        }
        return true;
    };
    std::vector<std::vector<std::vector<name_part>>> pairs;
    std::size_t at = names.empty() || !is_word(names[0], "TABLE") ? 0 : 1;
    while (at + 2 < names.size() && is_word(names[at + 1], "TO")) {
        pairs.push_back({names[at], names[at + 2]});
        at += 3;
        if (at < names.size() && names[at].size() == 1 && names[at][0].text == ",") ++at;
    }
    if (at != names.size() || pairs.empty()) return {};
    return pairs;
}

}  // namespace

// RENAME TABLE a TO b [, c TO d ...] (MySQL and others, kept as text).
statement_info analysis::rename_command(handle text) {
    statement_info s;
    std::string_view view;
    if (!text || !PyUnicode_Check(text.ptr()) || !utf8_view_of(text, view)) {
        PyErr_Clear();
        return s;
    }
    for (const auto& pair : rename_pairs(view)) {
        table_ref names[2];
        for (int side = 0; side < 2; ++side) {
            const auto& parts = pair[static_cast<std::size_t>(side)];
            if (parts.empty() || parts.size() > 3) return {};
            std::vector<handle> normal;
            for (const name_part& part : parts) {
                object str = py::checked(PyUnicode_FromStringAndSize(
                    part.text.data(), static_cast<Py_ssize_t>(part.text.size())));
                normal.push_back(normalise(str, part.quoted,
                                           rules_.tables_case_sensitive || (parts.size() > 1 && rules_.qualified_tables_case_sensitive)));
            }
            table_ref& t = names[side];
            t.name = normal.back();
            if (normal.size() >= 2) t.db = normal[normal.size() - 2];
            if (normal.size() == 3) t.catalog = normal[0];
        }
        if (!names[1].db) {
            names[1].db = names[0].db;
            if (!names[1].catalog) names[1].catalog = names[0].catalog;
        }
        s.named.push_back(names[0]);
        s.named.push_back(names[1]);
    }
    s.does = s.named.empty() ? effect::none : effect::rename;
    return s;
}

}  // namespace qarvel::lineage
