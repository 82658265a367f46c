// qarvel_lineage.engine._engine: the native core of the lineage engine.  The
// package (python/qarvel_lineage) parses, validates arguments and wraps the
// results; this module walks the parsed tree.
//
//   configure(table_type, source_type, unresolved_type, column_type, result_type, index_type)
//   analyze(tree, rules, index) -> result_type(kind, columns, tables, influences, target,
//                                              literal_names, effect, named, defined)
//   literals(text, lexicon) -> the literals the fingerprint masks, as written, or None
//   fingerprint(text, lexicon) -> (masked, int)
//   split(text, lexicon) -> (certain, ((start, end), ...)): a script's statements
//   STRATEGIES: the names of the normalisation strategies, in the numbering `rules` uses
//   CLAUSES: {class name: {args key: (use, words)}}, how the engine reads each clause
//   STATEMENT_CLASSES: the classes of sqlglot's trees that are statements
#include "interop/boundary.hpp"
#include "interop/constants.hpp"
#include "interop/ops.hpp"
#include "lineage/analysis.hpp"
#include "lineage/clauses.hpp"
#include "lineage/fingerprint.hpp"
#include "lineage/kinds.hpp"
#include "lineage/names.hpp"
#include "lineage/result.hpp"
#include "lineage/split.hpp"
#include "lineage/state.hpp"

namespace qarvel::lineage {

engine_state engine{};

namespace {

using py::handle;
using py::object;

[[noreturn]] void type_error(const char* message) {
    PyErr_SetString(PyExc_TypeError, message);
    py::throw_error();
}

void check_count(const char* function, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", function,
                     expected, nargs);
        py::throw_error();
    }
}

// A result type must be a named tuple with `fields` fields: instances are
// made by filling a tuple of that size.
void set_result_type(py::static_ref& slot, handle type, Py_ssize_t fields) {
    if (!PyType_Check(type.ptr()) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.ptr()), &PyTuple_Type)) {
        type_error("result types must be subclasses of tuple");
    }
    object names = py::optional_attr(type, lk.fields);
    if (!names || !PyTuple_Check(names.ptr()) || PyTuple_GET_SIZE(names.ptr()) != fields) {
        PyErr_Format(PyExc_TypeError, "result type %R must be a named tuple of %zd fields",
                     type.ptr(), fields);
        py::throw_error();
    }
    slot.reset(type);
}

PyObject* configure(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    check_count("configure", nargs, 6);
    if (!PyType_Check(args[5])) type_error("the index type must be a class");
    set_result_type(engine.table_type, args[0], 3);
    set_result_type(engine.source_type, args[1], 7);
    set_result_type(engine.unresolved_type, args[2], 4);
    set_result_type(engine.column_type, args[3], 5);
    set_result_type(engine.result_type, args[4], 9);
    engine.index_type.reset(args[5]);
    Py_RETURN_NONE;
}

// The schema index (an instance of the registered index type): its entries,
// a dict of (catalog, db, name) -> ((catalog, db, name), columns), and how
// deeply the schema nests (2: tables, 3: dbs, 4: catalogs).
schema_view read_index(handle index) {
    if (index.ptr() == Py_None) return {};
    if (!PyObject_TypeCheck(index.ptr(), reinterpret_cast<PyTypeObject*>(engine.index_type.ptr()))) {
        PyErr_Format(PyExc_TypeError, "the schema index must be a %.100s or None, not %.100s",
                     reinterpret_cast<PyTypeObject*>(engine.index_type.ptr())->tp_name,
                     Py_TYPE(index.ptr())->tp_name);
        py::throw_error();
    }
    schema_view view;
    view.entries = py::getattr(index, lk.entries);
    if (!PyDict_Check(view.entries.ptr())) type_error("the schema index's entries must be a dict");
    object depth = py::getattr(index, lk.depth);
    const long value = PyLong_Check(depth.ptr()) ? PyLong_AsLong(depth.ptr()) : -1;
    if (value == -1 && PyErr_Occurred()) py::throw_error();
    if (value < 2 || value > 4) {
        PyErr_SetString(PyExc_ValueError, "the schema index's depth must be 2, 3 or 4");
        py::throw_error();
    }
    view.depth = static_cast<int>(value);
    view.types = py::optional_attr(index, lk.types);
    if (view.types && !PyDict_Check(view.types.ptr())) view.types = {};
    return view;
}

profile read_rules(handle rules) {
    if (!PyTuple_Check(rules.ptr()) || PyTuple_GET_SIZE(rules.ptr()) != 6) {
        type_error("rules must be a tuple (strategy, ascii_only, qualified_tables_case_sensitive, dotted_fields, "
                   "unnest_fields, tables_case_sensitive)");
    }
    const long rule = PyLong_AsLong(PyTuple_GET_ITEM(rules.ptr(), 0));
    if (rule == -1 && PyErr_Occurred()) py::throw_error();
    if (rule < 0 || rule > static_cast<long>(strategy::case_insensitive_uppercase)) {
        PyErr_SetString(PyExc_ValueError, "unknown normalisation strategy");
        py::throw_error();
    }
    profile p;
    p.rule = static_cast<strategy>(rule);
    p.ascii_only = py::truth(PyTuple_GET_ITEM(rules.ptr(), 1));
    p.qualified_tables_case_sensitive = py::truth(PyTuple_GET_ITEM(rules.ptr(), 2));
    p.dotted_fields = py::truth(PyTuple_GET_ITEM(rules.ptr(), 3));
    p.unnest_fields = py::truth(PyTuple_GET_ITEM(rules.ptr(), 4));
    p.tables_case_sensitive = py::truth(PyTuple_GET_ITEM(rules.ptr(), 5));
    return p;
}

// The word the script layer keys its actions by; None for no effect.
handle effect_label(effect e) {
    switch (e) {
        case effect::none: break;
        case effect::define: return lk.DEFINE;
        case effect::write: return lk.WRITE;
        case effect::replace: return lk.REPLACE;
        case effect::filter: return lk.FILTER;
        case effect::empty: return lk.EMPTY;
        case effect::drop: return lk.DROP;
        case effect::rename: return lk.RENAME;
    }
    return Py_None;
}

PyObject* analyze(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    check_count("analyze", nargs, 3);
    if (!engine.result_type) {
        PyErr_SetString(PyExc_RuntimeError, "the engine's result types are not configured");
        py::throw_error();
    }
    handle tree = args[0];
    const kind root = kind_of(tree);
    if (root == kind::not_expression) type_error("analyze() needs a sqlglot expression");
    const profile rules = read_rules(args[1]);
    analysis an(rules, read_index(args[2]));
    const statement_info info = an.statement(tree);
    result_builder build(an);
    std::vector<object> columns;
    columns.reserve(info.outputs.size());
    for (std::size_t i = 0; i < info.outputs.size(); ++i) {
        columns.push_back(build.column(i + 1, info.outputs[i].shown ? info.outputs[i].shown : info.outputs[i].name, info.outputs[i].lin,
                                         info.all));
    }
    object column_tuple = py::tuple_from(columns.data(), static_cast<Py_ssize_t>(columns.size()));
    object target = info.has_target ? build.table(info.target) : object::borrow(Py_None);
    // What depends on literal values: True when a name other than an output
    // column's came from one, else the positions of the output columns named
    // by a literal.
    object literal_names;
    if (an.literal_elsewhere()) {
        literal_names = object::borrow(Py_True);
    } else {
        std::vector<object> positions;
        for (std::size_t i = 0; i < info.outputs.size(); ++i) {
            if (info.outputs[i].literal_name) positions.push_back(py::checked(PyLong_FromSize_t(i + 1)));
        }
        literal_names = py::tuple_from(positions.data(), static_cast<Py_ssize_t>(positions.size()));
    }
    object tables = build.tables();
    object influences = build.influences(info.all);
    std::vector<object> named;
    for (const table_ref& t : info.named) named.push_back(build.table(t));
    object named_tuple = py::tuple_from(named.data(), static_cast<Py_ssize_t>(named.size()));
    object defined = object::borrow(Py_None);
    if (info.has_defined) {
        std::vector<object> names;
        for (handle name : info.defined) names.push_back(object::borrow(name));
        defined = py::tuple_from(names.data(), static_cast<Py_ssize_t>(names.size()));
    }
    return py::tuple_instance(reinterpret_cast<PyTypeObject*>(engine.result_type.ptr()),
                              {kind_label(tree), column_tuple, tables, influences, target, literal_names,
                               effect_label(info.does), named_tuple, defined})
        .release();
}

PyObject* fingerprint_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    check_count("fingerprint", nargs, 2);
    return fingerprint(args[0], args[1]).release();
}

PyObject* literals_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    check_count("literals", nargs, 2);
    return masked_literals(args[0], args[1]).release();
}

PyObject* split_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    check_count("split", nargs, 2);
    return split(args[0], args[1]).release();
}

PyMethodDef engine_functions[] = {
    {"configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::guarded<configure>)),
     METH_FASTCALL, "configure(table_type, source_type, unresolved_type, column_type, result_type, index_type)"},
    {"analyze", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::guarded<analyze>)),
     METH_FASTCALL, "analyze(tree, rules, index) -> result_type(kind, columns, tables, influences, target, literal_names, effect, named, defined)"},
    {"fingerprint",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::guarded<fingerprint_entry>)),
     METH_FASTCALL, "fingerprint(text, lexicon) -> (masked, int)"},
    {"literals",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::guarded<literals_entry>)),
     METH_FASTCALL, "literals(text, lexicon) -> the masked literals as written, or None"},
    {"split", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::guarded<split_entry>)),
     METH_FASTCALL, "split(text, lexicon) -> (certain, the (start, end) of each statement)"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_engine(PyObject* module) {
    if (!create_core_constants() || !create_names()) py::throw_error();
    // The names of `strategy`'s values, in order (sqlglot's names for them).
    const auto text = [](const char* word) { return py::checked(PyUnicode_FromString(word)); };
    object names = py::make_tuple(text("LOWERCASE"), text("UPPERCASE"), text("CASE_SENSITIVE"),
                                  text("CASE_INSENSITIVE"), text("CASE_INSENSITIVE_UPPERCASE"));
    static_assert(static_cast<int>(strategy::case_insensitive_uppercase) == 4);
    if (PyModule_AddObjectRef(module, "STRATEGIES", names.ptr()) < 0) py::throw_error();
    if (PyModule_AddObjectRef(module, "CLAUSES", clause_table().ptr()) < 0) py::throw_error();
    if (!load_classes()) py::throw_error();
    if (PyModule_AddObjectRef(module, "STATEMENT_CLASSES", statement_classes().ptr()) < 0) {
        py::throw_error();
    }
    return 0;
}

PyModuleDef_Slot engine_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(py::guarded<exec_engine>)},
    // The engine keeps process-wide state (state.hpp) and relies on the
    // interpreter lock.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef engine_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "qarvel_lineage.engine._engine",
    .m_doc = "The native core of the qarvel_lineage engine.",
    .m_size = 0,
    .m_methods = engine_functions,
    .m_slots = engine_slots, .m_traverse = nullptr, .m_clear = nullptr, .m_free = nullptr,
};

}  // namespace

}  // namespace qarvel::lineage

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&qarvel::lineage::engine_def); }
