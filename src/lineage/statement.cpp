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
#include "lineage/tree.hpp"
#include "lineage/state.hpp"

namespace qarvel::lineage {

using py::handle;
using py::object;

namespace {

bool is_query_kind(kind k) {
    return k == kind::Select || k == kind::Union || k == kind::Intersect || k == kind::Except ||
           k == kind::Subquery || k == kind::Values;
}

// The output named `name` (added at the end when there is none yet).
output& output_for(std::vector<output>& outputs, PyObject* name) {
    for (output& o : outputs) {
        if (same_name(o.name, name)) return o;
    }
    output& made = outputs.emplace_back();
    made.name = name;
    return made;
}

}  // namespace

statement_info analysis::statement(handle root) {
    const kind k = kind_of(root);
    if (is_query_kind(k)) {
        const query_info* q = query(root, nullptr, nullptr);
        statement_info s;
        s.outputs = q->outputs;
        s.all = q->all;
        return s;
    }
    switch (k) {
        case kind::Insert: return insert(root);
        case kind::Create: return create(root);
        case kind::Merge: return merge(root);
        case kind::Update: return update(root);
        case kind::Delete: return remove(root);
        default: return {};
    }
}

// The table a statement writes, by name (not registered as read).
table_ref analysis::target_of(handle table_node) {
    object a = args_of(table_node);
    object db_node = arg(a, lk.db);
    const bool qualified = static_cast<bool>(db_node);
    table_ref t{};
    t.name = name_of(arg(a, lk.this_), qualified);
    t.db = name_of(db_node, qualified);
    t.catalog = name_of(arg(a, lk.catalog), qualified);
    return t;
}

PyObject* analysis::schema_of(const table_ref& t) {
    if (t.name == nullptr) return nullptr;
    object columns = schema_lookup(t.catalog, t.db, t.name);
    return columns ? keep(std::move(columns)) : nullptr;
}

// The written table as a source of the statement's own expressions (MERGE,
// UPDATE, DELETE read it); it counts as read only when a column of it is.
source analysis::target_source(handle table_node) {
    source src;
    src.kind = source::physical;
    src.table = table_index(table_node);
    if (src.table < 0) return src;
    PyObject* alias = nullptr;
    if (object alias_node = arg_of(table_node, lk.alias)) {
        alias = kind_of(alias_node) == kind::TableAlias ? name_of(arg_of(alias_node, lk.this_))
                                                        : name_of(alias_node);
    }
    src.alias = alias ? alias : tables_[static_cast<std::size_t>(src.table)].name;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(src.alias, &size);
    if (text == nullptr) py::throw_error();
    src.label.assign(text, static_cast<std::size_t>(size));
    return src;
}

// The statement's scope with the written table as its first source; false
// when the target is not a table.
bool analysis::open_target(handle root, handle target, statement_info& s, scope& sc) {
    if (!target || kind_of(target) != kind::Table) return false;
    s.has_target = true;
    s.target = target_of(target);
    sc.env = with_clause(root, nullptr, nullptr);
    source written = target_source(target);
    if (written.table >= 0) sc.sources.push_back(std::move(written));
    return true;
}

// The table node of a target written as `t` or `t (x, y)`, and the names of
// the column list.
static object split_target(analysis& an, handle target, std::vector<PyObject*>& names) {
    if (kind_of(target) != kind::Schema) return object::borrow(target);
    object a = args_of(target);
    each(arg(a, lk.expressions), [&](handle c) {
        const kind ck = kind_of(c);
        // Identifier, Column, or ColumnDef (CREATE TABLE t (a INT) AS ...).
        object id = ck == kind::Identifier ? object::borrow(c) : arg_of(c, lk.this_);
        if (PyObject* n = id ? an.name_of(id) : nullptr) names.push_back(n);
    });
    return arg(a, lk.this_);
}

static void fill_target(statement_info& s, const query_info& q, const std::vector<PyObject*>& names);

statement_info analysis::insert(handle root) {
    statement_info s;
    object a = args_of(root);
    object target = arg(a, lk.this_);
    object body = arg(a, lk.expression);
    if (!target) return s;
    std::vector<PyObject*> names;
    object table = split_target(*this, target, names);
    if (!table || kind_of(table) != kind::Table) return s;
    s.has_target = true;
    s.target = target_of(table);
    if (!body || !is_query_kind(kind_of(body))) return s;
    const query_info* q = query(body, nullptr, with_clause(root, nullptr, nullptr));
    const bool listed = !names.empty();
    if (!listed && !truthy(arg(a, lk.by_name))) {
        // No column list: the table's columns in order, when the schema knows them.
        if (PyObject* known = schema_of(s.target)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(known); ++i) names.push_back(PyTuple_GET_ITEM(known, i));
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
    return s;
}

// The query's outputs as the target's columns, named by position after
// `names` where there are names.
static void fill_target(statement_info& s, const query_info& q, const std::vector<PyObject*>& names) {
    s.all = q.all;
    for (std::size_t i = 0; i < q.outputs.size(); ++i) {
        output o = q.outputs[i];
        if (i < names.size() && !o.placeholder()) {
            o.name = names[i];
            o.literal_name = false;
        }
        s.outputs.push_back(std::move(o));
    }
}

statement_info analysis::create(handle root) {
    statement_info s;
    object a = args_of(root);
    object target = arg(a, lk.this_);
    if (!target) return s;
    std::vector<PyObject*> names;
    object table = split_target(*this, target, names);
    if (!table || kind_of(table) != kind::Table) return s;
    s.has_target = true;
    s.target = target_of(table);
    object body = arg(a, lk.expression);
    if (!body || !is_query_kind(kind_of(body))) return s;
    fill_target(s, *query(body, nullptr, with_clause(root, nullptr, nullptr)), names);
    return s;
}

statement_info analysis::merge(handle root) {
    statement_info s;
    object a = args_of(root);
    object target = arg(a, lk.this_);
    object using_node = arg(a, lk.using_);
    scope sc;
    query_info q;
    if (!open_target(root, target, s, sc)) return s;
    if (using_node) add_source(using_node, sc, q);
    s.all = q.all;
    if (object on = arg(a, lk.on)) expression(on, sc, mode{}.influence(JOIN), s.all, clause::plain);

    object whens = arg(a, lk.whens);
    object branches = whens && kind_of(whens) == kind::Whens ? arg_of(whens, lk.expressions) : whens;
    each(branches, [&](handle when) {
        object wa = args_of(when);
        // The branch's own condition decides which rows it writes.
        lineage condition;
        if (object c = arg(wa, lk.condition)) expression(c, sc, mode{}.influence(FILTER), condition, clause::plain);
        object then = arg(wa, lk.then);
        if (!then) return;
        const kind tk = kind_of(then);
        if (tk == kind::Update) {
            each(arg_of(then, lk.expressions), [&](handle assignment) {
                object column = arg_of(assignment, lk.this_);
                object value = arg_of(assignment, lk.expression);
                PyObject* name = column ? name_of(arg_of(column, lk.this_)) : nullptr;
                if (name == nullptr || !value) return;
                output& o = output_for(s.outputs, name);
                expression(value, sc, mode{}, o.lin, clause::plain);
                o.lin.absorb_influences(condition);
            });
        } else if (tk == kind::Insert) {
            object ta = args_of(then);
            std::vector<PyObject*> names;
            object columns = arg(ta, lk.this_);
            each(columns && kind_of(columns) == kind::Tuple ? arg_of(columns, lk.expressions) : columns,
                 [&](handle c) {
                     object id = kind_of(c) == kind::Column ? arg_of(c, lk.this_) : object::borrow(c);
                     if (PyObject* n = name_of(id)) names.push_back(n);
                 });
            object values = arg(ta, lk.expression);
            std::size_t i = 0;
            each(values && kind_of(values) == kind::Tuple ? arg_of(values, lk.expressions) : values,
                 [&](handle value) {
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
    });
    return s;
}

statement_info analysis::update(handle root) {
    statement_info s;
    object a = args_of(root);
    object target = arg(a, lk.this_);
    scope sc;
    query_info q;
    if (!open_target(root, target, s, sc)) return s;
    from_and_joins(a, sc, q);
    s.all = q.all;
    if (object where = arg(a, lk.where)) expression(where, sc, mode{}.influence(FILTER), s.all, clause::plain);
    each(arg(a, lk.expressions), [&](handle assignment) {
        object column = arg_of(assignment, lk.this_);
        object value = arg_of(assignment, lk.expression);
        PyObject* name = column ? name_of(arg_of(column, lk.this_)) : nullptr;
        if (name == nullptr || !value) return;
        output& o = output_for(s.outputs, name);
        expression(value, sc, mode{}, o.lin, clause::plain);
    });
    return s;
}

statement_info analysis::remove(handle root) {
    statement_info s;
    object a = args_of(root);
    object target = arg(a, lk.this_);
    scope sc;
    query_info q;
    if (!open_target(root, target, s, sc)) return s;
    // DELETE ... USING other tables.
    each(arg(a, lk.using_), [&](handle extra) {
        if (kind_of(extra) != kind::not_expression) add_source(extra, sc, q);
    });
    s.all = q.all;
    if (object where = arg(a, lk.where)) expression(where, sc, mode{}.influence(FILTER), s.all, clause::plain);
    return s;
}

}  // namespace qarvel::lineage
