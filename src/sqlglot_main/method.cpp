#include "sqlglot_main/method.hpp"

#include "sqlglot_main/traceback.hpp"

#include <cstddef>
#include <new>

namespace qarvel {

namespace {

struct method_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const method_spec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;
    PyObject* dict;
    PyObject* weakrefs;
};

PyTypeObject* method_type = nullptr;

constexpr int kMaxParams = 8;

// Nesting of method calls on this thread.
thread_local int method_depth = 0;

// --- binding -----------------------------------------------------------------

void count_error(const method_spec& spec, bool too_many, Py_ssize_t given) {
    const char* word = "exactly";
    Py_ssize_t number = spec.nparams;
    if (spec.star_args) {
        word = "at least";
        number = spec.nrequired;
    } else if (spec.has_default) {
        word = too_many ? "at most" : "at least";
        number = too_many ? spec.nparams : spec.nrequired;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, word, number, number == 1 ? "" : "s", given);
}

void keywords_not_strings(const method_spec& spec) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
}

void multiple_values(const method_spec& spec, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name,
                 keyword);
}

void unexpected_keyword(const method_spec& spec, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name,
                 keyword);
}

// Does keyword name `key` spell parameter name `param`?  -1 on error.
int same_name(PyObject* key, PyObject* param) {
    if (key == param) return 1;
    if (PyUnicode_CheckExact(key)) return PyUnicode_Compare(key, param) == 0 ? 1 : (PyErr_Occurred() ? -1 : 0);
    return PyObject_RichCompareBool(key, param, Py_EQ);
}

// Index of `param` among the keyword names: identity first, then text.
// -1 when absent, -2 when a comparison raised.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* param) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == param) return i;
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        const int same = same_name(PyTuple_GET_ITEM(kwnames, i), param);
        if (same < 0) return -2;
        if (same) return i;
    }
    return -1;
}

// Index of the parameter that keyword name `key` spells; -1 when none, -2 on error.
int find_parameter(const method_spec& spec, PyObject* key) {
    for (int i = 0; i < spec.nparams; ++i) {
        if (key == k.*spec.varnames[i]) return i;
    }
    for (int i = 0; i < spec.nparams; ++i) {
        const int same = same_name(key, k.*spec.varnames[i]);
        if (same < 0) return -2;
        if (same) return i;
    }
    return -1;
}

bool bind_init(const method_spec& spec, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** bound) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t self_keyword = -1;
    if (nargs > 0) {
        bound[0] = args[0];
    } else {
        self_keyword = nkw ? find_keyword(kwnames, k.self) : -1;
        if (self_keyword == -2) return false;
        if (self_keyword < 0) {
            count_error(spec, false, 0);
            return false;
        }
        bound[0] = kwvalues[self_keyword];
    }
    // The other keywords would go to **kwargs, which the body ignores; they
    // are checked, not collected.
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (i == self_keyword) continue;
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) {
            keywords_not_strings(spec);
            return false;
        }
        if (nargs > 0) {
            const int same = same_name(key, k.self);
            if (same < 0) return false;
            if (same) {
                multiple_values(spec, key);
                return false;
            }
        }
    }
    return true;
}

bool bind(const method_spec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
    if (spec.star_args) return bind_init(spec, args, nargs, kwnames, bound);

    const Py_ssize_t n = spec.nparams;
    const Py_ssize_t r = spec.nrequired;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (nkw == 0) {
        if (nargs < r || nargs > n) {
            count_error(spec, nargs > n, nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
        for (Py_ssize_t i = nargs; i < n; ++i) bound[i] = Py_None;
        return true;
    }

    if (nargs > n) {
        count_error(spec, true, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t used = 0;

    for (Py_ssize_t i = nargs; i < r; ++i) {
        const Py_ssize_t found = find_keyword(kwnames, k.*spec.varnames[i]);
        if (found == -2) return false;
        if (found < 0) {
            count_error(spec, false, i);
            return false;
        }
        bound[i] = kwvalues[found];
        ++used;
    }
    for (Py_ssize_t i = nargs > r ? nargs : r; i < n; ++i) {
        bound[i] = Py_None;
        if (used < nkw) {
            const Py_ssize_t found = find_keyword(kwnames, k.*spec.varnames[i]);
            if (found == -2) return false;
            if (found >= 0) {
                bound[i] = kwvalues[found];
                ++used;
            }
        }
    }
    if (used < nkw) {
        // Some keyword was not consumed: the first offending name decides.
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            const int param = find_parameter(spec, key);
            if (param == -2) return false;
            if (param >= nargs) {
                bound[param] = kwvalues[j];
                continue;
            }
            if (!PyUnicode_Check(key)) {
                keywords_not_strings(spec);
            } else if (param >= 0) {
                multiple_values(spec, key);
            } else {
                unexpected_keyword(spec, key);
            }
            return false;
        }
    }
    return true;
}

// --- calling -------------------------------------------------------------------

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    const method_spec& spec = *reinterpret_cast<method_object*>(callable)->spec;
    PyObject* bound[kMaxParams];
    if (!bind(spec, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        add_traceback(spec.trace_name, spec.line);
        return nullptr;
    }
    // Methods call each other through `self`; an override that loops back
    // must end in RecursionError, not in a C stack overflow.  Every level of
    // such a loop is a chain of C frames, so besides the interpreter's C
    // recursion guard the nesting of these methods is held to the Python
    // recursion limit.
    if (method_depth >= Py_GetRecursionLimit()) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a QarvelSQLGlotMain method");
        add_traceback(spec.trace_name, spec.line);
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while calling a QarvelSQLGlotMain method")) {
        add_traceback(spec.trace_name, spec.line);
        return nullptr;
    }
    ++method_depth;
    site s(spec.line);
    PyObject* result = nullptr;
    try {
        result = spec.body(s, bound).release();
    } catch (const py::error_already_set&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in sqlglot_main");
    }
    --method_depth;
    Py_LeaveRecursiveCall();
    if (result == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "sqlglot_main method failed without an exception");
        }
        add_traceback(spec.trace_name, s.line());
    }
    return result;
}

// --- the type --------------------------------------------------------------------

method_object* as_method(PyObject* self) { return reinterpret_cast<method_object*>(self); }

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    method_object* m = as_method(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->name);
    Py_VISIT(m->qualname);
    Py_VISIT(m->doc);
    Py_VISIT(m->module);
    Py_VISIT(m->globals);
    Py_VISIT(m->code);
    Py_VISIT(m->defaults);
    Py_VISIT(m->dict);
    return 0;
}

int method_clear(PyObject* self) {
    method_object* m = as_method(self);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->module);
    Py_CLEAR(m->globals);
    Py_CLEAR(m->code);
    Py_CLEAR(m->defaults);
    Py_CLEAR(m->dict);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_method(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    method_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<sqlglot_main method %U at %p>", as_method(self)->qualname, self);
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_method(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_method(self)->qualname); }

int set_text(PyObject*& slot, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(as_method(self)->name, value, "__name__ must be set to a string object");
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(as_method(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_method(self)->doc); }

int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_method(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_method(self)->module); }

int set_module(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_method(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_method(self)->globals); }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_method(self)->code); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_method(self)->defaults); }

int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    // Informational only: calls always bind the default None.
    Py_XSETREF(as_method(self)->defaults, Py_NewRef(value));
    return 0;
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(method_object, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(method_object, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(method_object, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
    {Py_tp_getset, method_getset},
    {Py_tp_members, method_members},
    {0, nullptr},
};

PyType_Spec method_type_spec = {
    "sqlglot_main.method",
    sizeof(method_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    method_slots,
};

// The code object of a method: no bytecode, only what introspection reads.
PyObject* new_code(const method_spec& spec, PyObject* filename) {
    py::object varnames = py::object::steal(PyTuple_New(spec.nlocals));
    if (!varnames) return nullptr;
    for (int i = 0; i < spec.nlocals; ++i) {
        PyTuple_SET_ITEM(varnames.ptr(), i, Py_NewRef(k.*spec.varnames[i]));
    }
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.star_args ? CO_VARARGS | CO_VARKEYWORDS : 0);
    PyObject* name = k.*spec.name_ref;
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        spec.nparams, 0, 0, spec.nlocals, 0, flags, k.empty_bytes, k.empty_tuple, k.empty_tuple,
        varnames.ptr(), k.empty_tuple, k.empty_tuple, filename, name, name, spec.line,
        k.empty_bytes, k.empty_bytes));
}

}  // namespace

bool ready_method_type() {
    if (method_type != nullptr) return true;
    method_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&method_type_spec));
    return method_type != nullptr;
}

PyObject* new_method(const method_spec& spec, PyObject* globals, PyObject* filename) {
    py::object code = py::object::steal(new_code(spec, filename));
    if (!code) return nullptr;
    py::object qualname = py::object::steal(
        PyUnicode_FromFormat("%U.%U", k.class_name, k.*spec.name_ref));
    if (!qualname) return nullptr;
    py::object doc = py::object::steal(PyUnicode_FromString(spec.doc));
    if (!doc) return nullptr;
    method_object* m = PyObject_GC_New(method_object, method_type);
    if (m == nullptr) return nullptr;
    m->vectorcall = method_vectorcall;
    m->spec = &spec;
    m->name = Py_NewRef(k.*spec.name_ref);
    m->qualname = qualname.release();
    m->doc = doc.release();
    m->module = Py_NewRef(k.module_name);
    m->globals = Py_NewRef(globals);
    m->code = code.release();
    m->defaults = Py_NewRef(Py_None);
    m->dict = nullptr;
    m->weakrefs = nullptr;
    PyObject_GC_Track(m);
    return reinterpret_cast<PyObject*>(m);
}

}  // namespace qarvel
