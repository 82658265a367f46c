// qarvel_lineage._engine: the native core of the lineage engine.  The
// package (python/qarvel_lineage) parses, validates arguments and wraps the
// results; this module walks the parsed tree.
//
//   configure(table_type, source_type, unresolved_type, column_type)
//   analyze(tree, rules, schema) -> (kind, columns, tables, influences, target, literal_names)
//   literals(text, lexicon) -> the literals the fingerprint masks, as written, or None
//   fingerprint(text, lexicon) -> (masked, int)
#include "interop/boundary.hpp"
#include "interop/constants.hpp"
#include "interop/ops.hpp"
#include "lineage/analysis.hpp"
#include "lineage/fingerprint.hpp"
#include "lineage/kinds.hpp"
#include "lineage/names.hpp"
#include "lineage/result.hpp"
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
    check_count("configure", nargs, 4);
    set_result_type(engine.table_type, args[0], 3);
    set_result_type(engine.source_type, args[1], 7);
    set_result_type(engine.unresolved_type, args[2], 4);
    set_result_type(engine.column_type, args[3], 5);
    Py_RETURN_NONE;
}

profile read_rules(handle rules) {
    if (!PyTuple_Check(rules.ptr()) || PyTuple_GET_SIZE(rules.ptr()) != 3) {
        type_error("rules must be a tuple (strategy, ascii_only, qualified_tables_case_sensitive)");
    }
    const long rule = PyLong_AsLong(PyTuple_GET_ITEM(rules.ptr(), 0));
    if (rule == -1 && PyErr_Occurred()) py::throw_error();
    if (rule < 0 || rule > 4) {
        PyErr_SetString(PyExc_ValueError, "unknown normalisation strategy");
        py::throw_error();
    }
    profile p;
    p.rule = static_cast<strategy>(rule);
    p.ascii_only = py::truth(PyTuple_GET_ITEM(rules.ptr(), 1));
    p.qualified_tables_case_sensitive = py::truth(PyTuple_GET_ITEM(rules.ptr(), 2));
    return p;
}

PyObject* analyze(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    check_count("analyze", nargs, 3);
    if (!engine.column_type) {
        PyErr_SetString(PyExc_RuntimeError, "the engine's result types are not configured");
        py::throw_error();
    }
    handle tree = args[0];
    const kind root = kind_of(tree);
    if (root == kind::not_expression) type_error("analyze() needs a sqlglot expression");
    const profile rules = read_rules(args[1]);
    handle schema = args[2];
    if (schema.ptr() != Py_None && !PyDict_Check(schema.ptr())) {
        type_error("schema must be a dict or None");
    }

    analysis an(rules, schema);
    const statement_info info = an.statement(tree);
    result_builder build(an);
    std::vector<object> columns;
    columns.reserve(info.outputs.size());
    for (std::size_t i = 0; i < info.outputs.size(); ++i) {
        columns.push_back(build.column(i + 1, info.outputs[i].name, info.outputs[i].lin, info.all));
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
    return py::make_tuple(kind_label(tree), column_tuple, build.tables(), build.influences(info.all),
                          target, literal_names)
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

PyMethodDef engine_functions[] = {
    {"configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::guarded<configure>)),
     METH_FASTCALL, "configure(table_type, source_type, unresolved_type, column_type)"},
    {"analyze", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::guarded<analyze>)),
     METH_FASTCALL, "analyze(tree, rules, schema) -> (kind, columns, tables, influences, target, literal_names)"},
    {"fingerprint",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::guarded<fingerprint_entry>)),
     METH_FASTCALL, "fingerprint(text, lexicon) -> (masked, int)"},
    {"literals",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::guarded<literals_entry>)),
     METH_FASTCALL, "literals(text, lexicon) -> the masked literals as written, or None"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_engine(PyObject*) {
    if (!create_core_constants() || !create_names()) py::throw_error();
    if (!engine.upper_name) {
        engine.upper_name.reset(py::checked(PyUnicode_InternFromString("upper")));
        engine.lower_name.reset(py::checked(PyUnicode_InternFromString("lower")));
    }
    if (!load_classes()) py::throw_error();
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
    .m_name = "qarvel_lineage._engine",
    .m_doc = "The native core of the qarvel_lineage engine.",
    .m_size = 0,
    .m_methods = engine_functions,
    .m_slots = engine_slots, .m_traverse = nullptr, .m_clear = nullptr, .m_free = nullptr,
};

}  // namespace

}  // namespace qarvel::lineage

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&qarvel::lineage::engine_def); }
