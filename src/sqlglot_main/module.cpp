// The module definition of sqlglot_main: multi-phase initialisation with a
// create step and an exec step.  The exec step runs the module's statements
// in order (imports, the digest helper, the class) and reports a failure at
// the line of the failing statement.
#include "sqlglot_main/sqlglot_main.hpp"

#include "analysis/analysis.hpp"
#include "interop/boundary.hpp"
#include "interop/constants.hpp"
#include "interop/ops.hpp"
#include "interop/process_state.hpp"
#include "interop/scope.hpp"
#include "interop/traceback.hpp"

#include <initializer_list>

namespace qarvel {

namespace {

using py::handle;
using py::object;

// Lines of the module statements.
constexpr int kLineSetup = 1;  // constant-table set-up and `__test__ = {}`
constexpr int kLineImportJson = 10;
constexpr int kLineImportRandom = 11;
constexpr int kLineImportRe = 12;
constexpr int kLineImportString = 13;
constexpr int kLineImportDatetime = 14;
constexpr int kLineImportPandas = 16;
constexpr int kLineImportBases = 17;
constexpr int kLineImportCrypt = 18;
constexpr int kLineImportVar = 19;
constexpr int kLineImportPrettyTable = 20;
constexpr int kLineImportSqlglot = 21;
constexpr int kLineCrypt = 23;
constexpr int kLineClass = 26;

constexpr const char kModuleDoc[] =
    "Author: qarvel\n"
    "Created: 2026-12-07\n"
    "Editor: C++20 / CPython 3.13 C API\n"
    "Project: qarvel SQL lineage\n"
    "File: sqlglot_main.py";

constexpr const char kTraceFile[] = "sqlglot_main.py";
constexpr const char kTraceInit[] = "init sqlglot_main";

// --- imports -----------------------------------------------------------------------

// Whether `module` (an entry of sys.modules) is still being initialised:
// its __spec__._initializing is true.  A module whose spec cannot be read
// counts as initialising, so it is imported again.
bool still_initializing(handle module) {
    try {
        object spec = py::optional_attr(module, k.spec_key);
        if (!spec) return false;
        object flag = py::optional_attr(spec, k.initializing);
        return flag && py::truth(flag);
    } catch (const py::pending_error&) {
        PyErr_Clear();
        return true;
    }
}

// `import name`: the entry of sys.modules unless it is still initialising,
// else through the import system.
object import_module(handle name) {
    object found = object::steal(PyImport_GetModule(name.ptr()));
    if (found && !still_initializing(found)) return found;
    PyErr_Clear();
    object locals = py::new_dict();
    return py::checked(PyImport_ImportModuleLevelObject(name.ptr(), process.namespace_dict.ptr(),
                                                        locals.ptr(), nullptr, 0));
}

// `from module import name` for one name of an imported module.
object import_name(handle module, handle module_name, handle name) {
    PyObject* value = PyObject_GetAttr(module.ptr(), name.ptr());
    if (value != nullptr) return object::steal(value);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        object full_name = py::checked(PyUnicode_FromFormat("%U.%U", module_name.ptr(), name.ptr()));
        object submodule = object::steal(PyImport_GetModule(full_name.ptr()));
        if (submodule) return submodule;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name.ptr());
    py::throw_error();
}

// `from module import names...`: one import with the from-list, then each
// name fetched and bound in order.
void import_from(handle ns, handle module_name, std::initializer_list<handle> names) {
    object fromlist = py::new_list();
    for (handle name : names) py::append(fromlist, name);
    object locals = py::new_dict();
    object module = py::checked(PyImport_ImportModuleLevelObject(
        module_name.ptr(), ns.ptr(), locals.ptr(), fromlist.ptr(), 0));
    for (handle name : names) py::dict_set(ns, name, import_name(module, module_name, name));
}

void bind_import(handle ns, handle module_name, handle bound_name) {
    py::dict_set(ns, bound_name, import_module(module_name));
}

// The `args` keys of a SELECT's FROM and WITH clauses in the sqlglot just
// imported: from 28 on its `Select.arg_types` names them "from_" and "with_".
void choose_sqlglot_arg_keys() {
    object exp = py::global(k.exp);
    object arg_types = py::getattr(py::getattr(exp, k.Select), k.arg_types);
    const bool trailing_underscore = py::contains(arg_types, k.key_from_);
    process.arg_from = trailing_underscore ? k.key_from_ : k.key_from;
    process.arg_with = trailing_underscore ? k.key_with_ : k.key_with;
}

// --- the class ---------------------------------------------------------------------

// The file name of the methods' code objects: the module's directory joined
// with "sqlglot_main.py".
object code_file_name(handle ns) {
    object file = py::optional_item(ns, k.file_key);
    if (file && PyUnicode_Check(file.ptr())) {
        const Py_ssize_t slash =
            PyUnicode_FindChar(file.ptr(), '/', 0, PyUnicode_GET_LENGTH(file.ptr()), -1);
        if (slash == -2) py::throw_error();
        if (slash >= 0) {
            object dir = py::checked(PyUnicode_Substring(file.ptr(), 0, slash + 1));
            return py::checked(PyUnicode_Concat(dir.ptr(), k.file_name));
        }
    }
    return object::borrow(k.file_name);
}

void define_class(site& s, handle ns, handle staticmethod) {
    s.at(kLineClass);
    object class_ns = py::new_dict();
    py::dict_set(class_ns, k.module_key, k.module_name);
    py::dict_set(class_ns, k.qualname_key, k.class_name);
    object filename = code_file_name(ns);
    for (int i = 0; i < method_count; ++i) {
        const method_spec& spec = method_table[i];
        s.at(spec.line);
        object method = new_method(analyser_methods, spec, ns, filename);
        if (spec.has_default) {
            py::checked(PyObject_SetAttrString(method.ptr(), "__defaults__", k.none_defaults));
        }
        if (spec.is_static) method = py::call(staticmethod, method);
        py::dict_set(class_ns, *spec.interned_name, method);
    }
    s.at(kLineClass);
    object cls = py::call(reinterpret_cast<PyObject*>(&PyType_Type), k.class_name, k.empty_tuple,
                          class_ns);
    py::dict_set(ns, k.class_name, cls);
}

// --- exec step ---------------------------------------------------------------------

object fetch_builtin(handle builtins, handle name) {
    object value = py::optional_attr(builtins, name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        py::throw_error();
    }
    return value;
}

// The interpreter running the module must be the one it was compiled for.
void check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "sqlglot_main", "does not match", major,
                  minor);
    py::checked(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

// Steps 3 to 10 of loading; `s` holds the line to report once the constant
// table exists (0 before: no entry).
void run_definition(site& s, handle module) {
    handle ns = PyModule_GetDict(module.ptr());
    object builtins = py::checked(PyImport_AddModuleRef("builtins"));
    py::checked(PyObject_SetAttrString(module.ptr(), "__builtins__", builtins.ptr()));
    process.namespace_dict.reset(ns);
    process.builtins.reset(builtins);

    check_version();
    if (!create_core_constants() || !create_shared_empties() || !create_constants()) {
        py::throw_error();
    }
    s.at(kLineSetup);

    object modules = object::borrow(PyImport_GetModuleDict());
    if (!py::optional_mapping_item(modules, k.module_name)) {
        py::checked(PyObject_SetItem(modules.ptr(), k.module_name, module.ptr()));
    }

    object staticmethod = fetch_builtin(builtins, k.staticmethod_);
    process.print.reset(fetch_builtin(builtins, k.print_));
    process.not_implemented_error.reset(fetch_builtin(builtins, k.NotImplementedError_));
    if (!ready_method_type(analyser_methods)) py::throw_error();

    s.at(kLineImportJson);
    bind_import(ns, k.mod_json, k.json);
    s.at(kLineImportRandom);
    bind_import(ns, k.mod_random, k.mod_random);
    s.at(kLineImportRe);
    bind_import(ns, k.re, k.re);
    analysis::prepare_normalisation();
    s.at(kLineImportString);
    bind_import(ns, k.mod_string, k.mod_string);
    s.at(kLineImportDatetime);
    import_from(ns, k.mod_datetime, {k.mod_datetime});
    s.at(kLineImportPandas);
    bind_import(ns, k.mod_pandas, k.pd);
    s.at(kLineImportBases);
    import_from(ns, k.mod_qarvel_bases, {k.QarvelBases});
    s.at(kLineImportCrypt);
    import_from(ns, k.mod_qarvel_crypt, {k.QarvelCrypt});
    s.at(kLineImportVar);
    import_from(ns, k.mod_qarvel_var, {k.QarvelVar});
    s.at(kLineImportPrettyTable);
    import_from(ns, k.mod_prettytable, {k.PrettyTable});
    s.at(kLineImportSqlglot);
    import_from(ns, k.mod_sqlglot, {k.parse_one, k.exp});
    choose_sqlglot_arg_keys();

    s.at(kLineCrypt);
    py::dict_set(ns, k.crypt, py::call(py::global(k.QarvelCrypt)));

    define_class(s, ns, staticmethod);

    s.at(kLineSetup);
    py::dict_set(ns, k.test_key, py::new_dict());
}

// The exec step, an entry from the interpreter: failures are translated by
// the exception boundary and reported at the line of the failing statement.
int exec_module(PyObject* module) noexcept {
    if (process.module) {
        if (process.module.is(module)) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'sqlglot_main' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    process.module.reset(module);
    site s(0);
    try {
        run_definition(s, module);
        return 0;
    } catch (...) {
        py::set_error_from_current_exception();
    }
    if (s.line() != 0) {
        add_traceback(kTraceFile, kTraceInit, s.line(), process.namespace_dict.ptr());
    }
    process.module.reset();
    return -1;
}

// --- create step -------------------------------------------------------------------

void copy_spec_attribute(handle spec, handle module_dict, const char* from, const char* to,
                         bool skip_none) {
    object value = py::optional_attr_string(spec, from);
    if (!value || (skip_none && value.is(Py_None))) return;
    py::checked(PyDict_SetItemString(module_dict.ptr(), to, value.ptr()));
}

// One interpreter per process: the analyser keeps its state in process-wide
// statics (process_state.hpp), which objects of two interpreters must not
// share, so a second interpreter is refused here, before anything of it is
// touched.  The first interpreter may import the module any number of times
// and always gets the same module object.
PyObject* create_module(PyObject* spec, PyModuleDef*) {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (process.interpreter_id == -1) {
        process.interpreter_id = current;
        if (current == -1) return nullptr;
    } else if (current != process.interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (process.module) return object::borrow(process.module.ptr()).release();

    object name = py::checked(PyObject_GetAttrString(spec, "name"));
    object module = py::checked(PyModule_NewObject(name.ptr()));
    handle module_dict = PyModule_GetDict(module.ptr());
    copy_spec_attribute(spec, module_dict, "loader", "__loader__", false);
    copy_spec_attribute(spec, module_dict, "origin", "__file__", false);
    copy_spec_attribute(spec, module_dict, "parent", "__package__", false);
    copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__", true);
    return module.release();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(py::guarded<create_module>)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The module relies on the interpreter lock: it keeps no locks of its own.
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "sqlglot_main",
    .m_doc = kModuleDoc,
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace qarvel

PyMODINIT_FUNC PyInit_sqlglot_main(void) { return PyModuleDef_Init(&qarvel::module_def); }
