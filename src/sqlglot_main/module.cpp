// The module definition of sqlglot_main: multi-phase initialisation with a
// create step and an exec step.  The exec step runs the module's statements
// in order (imports, the digest helper, the class) and reports a failure at
// the line of the failing statement.
#include "sqlglot_main/sqlglot_main.hpp"

#include "interop/constants.hpp"
#include "interop/ops.hpp"
#include "interop/scope.hpp"

#include <cstdint>
#include <initializer_list>
#include <new>

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

// Process-wide state: one module object, loaded into one interpreter.
std::int64_t loaded_interpreter_id = -1;
py::static_ref the_module;

// --- imports -----------------------------------------------------------------------

// `import name`: the entry of sys.modules unless it is still initialising,
// else through the import system.
object import_module(handle name) {
    object found = object::steal(PyImport_GetModule(name.ptr()));
    if (found) {
        bool initializing = true;
        PyObject* spec = nullptr;
        if (PyObject_GetOptionalAttr(found.ptr(), k.spec_key, &spec) >= 0) {
            object spec_obj = object::steal(spec);
            PyObject* flag = nullptr;
            if (!spec_obj) {
                initializing = false;
            } else if (PyObject_GetOptionalAttr(spec_obj.ptr(), k.initializing, &flag) >= 0) {
                object flag_obj = object::steal(flag);
                const int truth = flag_obj ? PyObject_IsTrue(flag_obj.ptr()) : 0;
                if (truth >= 0) initializing = truth != 0;
            }
        }
        if (!initializing) return found;
    }
    PyErr_Clear();
    object locals = py::new_dict();
    return py::checked(PyImport_ImportModuleLevelObject(name.ptr(), py::scope_namespace(),
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
    object fromlist = py::checked(PyList_New(0));
    for (handle name : names) py::checked(PyList_Append(fromlist.ptr(), name.ptr()));
    object locals = py::new_dict();
    object module = py::checked(PyImport_ImportModuleLevelObject(
        module_name.ptr(), ns.ptr(), locals.ptr(), fromlist.ptr(), 0));
    for (handle name : names) py::dict_set(ns, name, import_name(module, module_name, name));
}

void bind_import(handle ns, handle module_name, handle bound_name) {
    py::dict_set(ns, bound_name, import_module(module_name));
}

// --- the class ---------------------------------------------------------------------

// The file name of the methods' code objects: the module's directory joined
// with "sqlglot_main.py".
object code_file_name(handle ns) {
    PyObject* file = nullptr;
    if (py::checked(PyDict_GetItemRef(ns.ptr(), k.file_key, &file)) > 0) {
        object file_obj = object::steal(file);
        if (PyUnicode_Check(file)) {
            const Py_ssize_t slash = PyUnicode_FindChar(file, '/', 0, PyUnicode_GET_LENGTH(file), -1);
            if (slash == -2) py::throw_error();
            if (slash >= 0) {
                object dir = py::checked(PyUnicode_Substring(file, 0, slash + 1));
                return py::checked(PyUnicode_Concat(dir.ptr(), k.file_name));
            }
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
        object method = py::checked(new_method(spec, ns.ptr(), filename.ptr()));
        if (spec.has_default) {
            py::checked(PyObject_SetAttrString(method.ptr(), "__defaults__", k.none_defaults));
        }
        if (spec.is_static) method = py::call(staticmethod, method);
        py::dict_set(class_ns, k.*spec.name_ref, method);
    }
    s.at(kLineClass);
    object cls = py::call(reinterpret_cast<PyObject*>(&PyType_Type), k.class_name, k.empty_tuple,
                          class_ns);
    py::dict_set(ns, k.class_name, cls);
}

// --- exec step ---------------------------------------------------------------------

object fetch_builtin(handle builtins, handle name) {
    PyObject* value = nullptr;
    if (py::checked(PyObject_GetOptionalAttr(builtins.ptr(), name.ptr(), &value)) == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        py::throw_error();
    }
    return object::steal(value);
}

void check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == 3 && minor == 13) return;
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 13, "sqlglot_main", "does not match", major, minor);
    py::checked(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

// Steps 3 to 10 of loading; `s` holds the line to report once the constant
// table exists (0 before: no entry).
void run_definition(site& s, handle module) {
    handle ns = PyModule_GetDict(module.ptr());
    object builtins = py::checked(PyImport_AddModuleRef("builtins"));
    py::checked(PyObject_SetAttrString(module.ptr(), "__builtins__", builtins.ptr()));
    py::set_scope(ns, builtins);

    check_version();
    if (!create_shared_empties() || !create_constants()) py::throw_error();
    s.at(kLineSetup);

    object modules = object::borrow(PyImport_GetModuleDict());
    PyObject* existing = nullptr;
    if (py::checked(PyMapping_GetOptionalItem(modules.ptr(), k.module_name, &existing)) == 0) {
        py::checked(PyObject_SetItem(modules.ptr(), k.module_name, module.ptr()));
    }
    Py_XDECREF(existing);

    object staticmethod = fetch_builtin(builtins, k.staticmethod_);
    object print = fetch_builtin(builtins, k.print_);
    object not_implemented = fetch_builtin(builtins, k.NotImplementedError_);
    py::set_loaded_builtins(print, not_implemented);
    if (!ready_method_type()) py::throw_error();

    s.at(kLineImportJson);
    bind_import(ns, k.mod_json, k.json);
    s.at(kLineImportRandom);
    bind_import(ns, k.mod_random, k.mod_random);
    s.at(kLineImportRe);
    bind_import(ns, k.re, k.re);
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

    s.at(kLineCrypt);
    py::dict_set(ns, k.crypt, py::call(py::global(k.QarvelCrypt)));

    define_class(s, ns, staticmethod);

    s.at(kLineSetup);
    py::dict_set(ns, k.test_key, py::new_dict());
}

int exec_module(PyObject* module) {
    if (the_module) {
        if (the_module.is(module)) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'sqlglot_main' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    the_module.reset(module);
    site s(0);
    try {
        run_definition(s, module);
        return 0;
    } catch (const py::error_already_set&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (s.line() != 0) add_traceback("init sqlglot_main", s.line());
    the_module.reset();
    return -1;
}

// --- create step -------------------------------------------------------------------

int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                        bool skip_none) {
    PyObject* value = nullptr;
    const int found = PyObject_GetOptionalAttrString(spec, from, &value);
    if (found <= 0) return found;
    int status = 0;
    if (!(skip_none && value == Py_None)) status = PyDict_SetItemString(module_dict, to, value);
    Py_DECREF(value);
    return status;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (loaded_interpreter_id == -1) {
        loaded_interpreter_id = current;
        if (current == -1) return nullptr;
    } else if (current != loaded_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module.ptr());

    object name = object::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    object module = object::steal(PyModule_NewObject(name.ptr()));
    if (!module) return nullptr;
    PyObject* module_dict = PyModule_GetDict(module.ptr());
    if (copy_spec_attribute(spec, module_dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "sqlglot_main",
    kModuleDoc,
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace qarvel

PyMODINIT_FUNC PyInit_sqlglot_main(void) { return PyModuleDef_Init(&qarvel::module_def); }
