#include "interop/method.hpp"

#include "interop/boundary.hpp"
#include "interop/constants.hpp"
#include "interop/ops.hpp"
#include "interop/traceback.hpp"

#include <cstddef>

namespace qarvel {

namespace {

using py::guarded;

struct method_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const method_family* family;
    const method_spec* spec;
    // As in the interpreter's own functions, name, qualname and code are
    // never NULL (clearing sets the names to "" and keeps the code); the
    // others may be NULL after clearing and then read as None.
    PyObject* name;
    PyObject* qualname;
    PyObject* code;
    PyObject* doc;
    PyObject* module;
    PyObject* globals;
    PyObject* defaults;
    PyObject* dict;
    PyObject* weakrefs;
};

method_object* as_method(PyObject* self) { return reinterpret_cast<method_object*>(self); }

// Nesting of method calls on this thread (a thread's own count, not state of
// the process).
thread_local int method_depth = 0;

// --- binding -----------------------------------------------------------------

PyObject* param_name(const method_spec& spec, Py_ssize_t i) { return *spec.varnames[i]; }

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
    if (PyUnicode_CheckExact(key)) {
        return PyUnicode_Compare(key, param) == 0 ? 1 : (PyErr_Occurred() ? -1 : 0);
    }
    return PyObject_RichCompareBool(key, param, Py_EQ);
}

// Which keyword bound each parameter (-1: none).  A keyword binds at most one
// parameter, as in the interpreter's own binding.
struct keyword_use {
    Py_ssize_t by_param[kMaxParams];
    Py_ssize_t count = 0;

    keyword_use() {
        for (Py_ssize_t& k : by_param) k = -1;
    }
    bool used(Py_ssize_t keyword, int nparams) const {
        for (int i = 0; i < nparams; ++i) {
            if (by_param[i] == keyword) return true;
        }
        return false;
    }
    void bind(int param, Py_ssize_t keyword) {
        by_param[param] = keyword;
        ++count;
    }
};

// Index of the not yet used keyword that names `param`: identity first, then
// equality.  -1 when absent, -2 when a comparison raised.
Py_ssize_t find_keyword(const method_spec& spec, PyObject* kwnames, const keyword_use& use,
                        PyObject* param) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == param && !use.used(i, spec.nparams)) return i;
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (use.used(i, spec.nparams)) continue;
        const int same = same_name(PyTuple_GET_ITEM(kwnames, i), param);
        if (same < 0) return -2;
        if (same) return i;
    }
    return -1;
}

// Index of the parameter that keyword name `key` spells: identity first,
// then equality.  -1 when none, -2 on error.
int find_parameter(const method_spec& spec, PyObject* key) {
    for (int i = 0; i < spec.nparams; ++i) {
        if (key == param_name(spec, i)) return i;
    }
    for (int i = 0; i < spec.nparams; ++i) {
        const int same = same_name(key, param_name(spec, i));
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
        self_keyword = nkw ? find_keyword(spec, kwnames, keyword_use{}, param_name(spec, 0)) : -1;
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
            const int same = same_name(key, param_name(spec, 0));
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
    keyword_use use;

    for (Py_ssize_t i = nargs; i < r; ++i) {
        const Py_ssize_t found = find_keyword(spec, kwnames, use, param_name(spec, i));
        if (found == -2) return false;
        if (found < 0) {
            count_error(spec, false, i);
            return false;
        }
        bound[i] = kwvalues[found];
        use.bind(static_cast<int>(i), found);
    }
    for (Py_ssize_t i = nargs > r ? nargs : r; i < n; ++i) {
        bound[i] = Py_None;
        if (use.count < nkw) {
            const Py_ssize_t found = find_keyword(spec, kwnames, use, param_name(spec, i));
            if (found == -2) return false;
            if (found >= 0) {
                bound[i] = kwvalues[found];
                use.bind(static_cast<int>(i), found);
            }
        }
    }
    if (use.count < nkw) {
        // Some keyword is left over: the first one in call order decides.
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            if (use.used(j, spec.nparams)) continue;
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            const int param = find_parameter(spec, key);
            if (param == -2) return false;
            if (param >= nargs && use.by_param[param] < 0) {
                bound[param] = kwvalues[j];
                use.bind(param, j);
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

void add_entry(const method_object* m, int line) {
    add_traceback(m->family->trace_file, m->spec->trace_name, line, m->family->globals->ptr());
}

// The entry from the interpreter: binding, then the body behind the
// exception boundary.
PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) noexcept {
    const method_object* m = as_method(callable);
    const method_spec& spec = *m->spec;
    PyObject* bound[kMaxParams];
    if (!bind(spec, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        add_entry(m, spec.line);
        return nullptr;
    }
    // Methods call each other through `self`; an override that loops back
    // must end in RecursionError, not in a C stack overflow.  Every level of
    // such a loop is a chain of C frames, so besides the interpreter's C
    // recursion guard the nesting of these methods is held to the Python
    // recursion limit.
    if (method_depth >= Py_GetRecursionLimit()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s",
                     m->family->recursion_where);
        add_entry(m, spec.line);
        return nullptr;
    }
    if (Py_EnterRecursiveCall(m->family->recursion_where)) {
        add_entry(m, spec.line);
        return nullptr;
    }
    ++method_depth;
    site s(spec.line);
    PyObject* result = nullptr;
    try {
        result = spec.body(s, bound).release();
    } catch (...) {
        py::set_error_from_current_exception();
    }
    --method_depth;
    Py_LeaveRecursiveCall();
    if (result == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "a method body failed without setting an exception");
        }
        add_entry(m, s.line());
    }
    return result;
}

// --- the type --------------------------------------------------------------------

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    method_object* m = as_method(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->name);
    Py_VISIT(m->qualname);
    Py_VISIT(m->code);
    Py_VISIT(m->doc);
    Py_VISIT(m->module);
    Py_VISIT(m->globals);
    Py_VISIT(m->defaults);
    Py_VISIT(m->dict);
    return 0;
}

int method_clear(PyObject* self) {
    method_object* m = as_method(self);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->module);
    Py_CLEAR(m->globals);
    Py_CLEAR(m->defaults);
    Py_CLEAR(m->dict);
    // Name, qualname and code stay valid, as in the interpreter's functions:
    // code objects hold no references that could form a cycle, and the names
    // become "".
    Py_SETREF(m->name, Py_NewRef(core.empty_text));
    Py_SETREF(m->qualname, Py_NewRef(core.empty_text));
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    method_object* m = as_method(self);
    PyObject_GC_UnTrack(self);
    if (m->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    (void)method_clear(self);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->code);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* method_repr(PyObject* self) {
    const method_object* m = as_method(self);
    return PyUnicode_FromFormat("<%s %U at %p>", m->family->repr_kind, m->qualname, self);
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* or_none(PyObject* value) { return Py_NewRef(value ? value : Py_None); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_method(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_method(self)->qualname); }

int set_text(PyObject*& slot, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_SETREF(slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(as_method(self)->name, value, "__name__ must be set to a string object");
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(as_method(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_doc(PyObject* self, void*) { return or_none(as_method(self)->doc); }

int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_method(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_module(PyObject* self, void*) { return or_none(as_method(self)->module); }

int set_module(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_method(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_globals(PyObject* self, void*) { return or_none(as_method(self)->globals); }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_method(self)->code); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_defaults(PyObject* self, void*) { return or_none(as_method(self)->defaults); }

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

PyObject* get_dict(PyObject* self, void* context) { return PyObject_GenericGetDict(self, context); }
int set_dict(PyObject* self, PyObject* value, void* context) {
    return PyObject_GenericSetDict(self, value, context);
}

PyGetSetDef method_getset[] = {
    {"__name__", guarded<get_name>, guarded<set_name>, nullptr, nullptr},
    {"__qualname__", guarded<get_qualname>, guarded<set_qualname>, nullptr, nullptr},
    {"__doc__", guarded<get_doc>, guarded<set_doc>, nullptr, nullptr},
    {"__module__", guarded<get_module>, guarded<set_module>, nullptr, nullptr},
    {"__globals__", guarded<get_globals>, nullptr, nullptr, nullptr},
    {"__closure__", guarded<get_none>, nullptr, nullptr, nullptr},
    {"__code__", guarded<get_code>, nullptr, nullptr, nullptr},
    {"__defaults__", guarded<get_defaults>, guarded<set_defaults>, nullptr, nullptr},
    {"__kwdefaults__", guarded<get_none>, nullptr, nullptr, nullptr},
    {"__annotations__", guarded<get_none>, nullptr, nullptr, nullptr},
    {"__dict__", guarded<get_dict>, guarded<set_dict>, nullptr, nullptr},
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
    {Py_tp_clear, reinterpret_cast<void*>(guarded<method_clear>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<method_repr>)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(guarded<method_descr_get>)},
    {Py_tp_getset, method_getset},
    {Py_tp_members, method_members},
    {0, nullptr},
};

// The code object of a method: what introspection reads (argument counts,
// parameter and local names, flags, file, first line), and as its body the
// code of `PyCode_NewEmpty`, which raises when executed.
py::object new_code(const method_spec& spec, py::handle filename) {
    py::object varnames_items[32];
    static_assert(sizeof(varnames_items) / sizeof(varnames_items[0]) >= kMaxParams);
    if (spec.nlocals > 32) {
        PyErr_SetString(PyExc_SystemError, "too many locals for a method code object");
        py::throw_error();
    }
    for (int i = 0; i < spec.nlocals; ++i) varnames_items[i] = py::object::borrow(*spec.varnames[i]);
    py::object varnames = py::tuple_from(varnames_items, spec.nlocals);

    const char* file = PyUnicode_AsUTF8(filename.ptr());
    if (file == nullptr) py::throw_error();
    const char* name = PyUnicode_AsUTF8(*spec.interned_name);
    if (name == nullptr) py::throw_error();
    py::object empty = py::checked(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, spec.line)));

    const int flags =
        CO_OPTIMIZED | CO_NEWLOCALS | (spec.star_args ? CO_VARARGS | CO_VARKEYWORDS : 0);
    py::object argcount = py::checked(PyLong_FromLong(spec.nparams));
    py::object nlocals = py::checked(PyLong_FromLong(spec.nlocals));
    py::object flag_value = py::checked(PyLong_FromLong(flags));
    py::object replace = py::getattr(empty, core.replace);
    py::object kwnames = py::make_tuple(core.co_argcount, core.co_nlocals, core.co_varnames,
                                        core.co_flags);
    return py::call_kw<0>(replace, kwnames, argcount, nlocals, varnames, flag_value);
}

}  // namespace

bool ready_method_type(method_family& family) {
    if (family.type != nullptr) return true;
    PyType_Spec spec = {
        .name = family.type_name,
        .basicsize = static_cast<int>(sizeof(method_object)),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                 Py_TPFLAGS_DISALLOW_INSTANTIATION,
        .slots = method_slots,
    };
    family.type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return family.type != nullptr;
}

py::object new_method(const method_family& family, const method_spec& spec, py::handle globals,
                      py::handle filename) {
    py::object code = new_code(spec, filename);
    py::object qualname = py::checked(
        PyUnicode_FromFormat("%U.%U", *family.class_name, *spec.interned_name));
    py::object doc = py::checked(PyUnicode_FromString(spec.doc));
    method_object* m = PyObject_GC_New(method_object, family.type);
    if (m == nullptr) py::throw_error();
    m->vectorcall = method_vectorcall;
    m->family = &family;
    m->spec = &spec;
    m->name = Py_NewRef(*spec.interned_name);
    m->qualname = qualname.release();
    m->code = code.release();
    m->doc = doc.release();
    m->module = Py_NewRef(*family.module_name);
    m->globals = Py_NewRef(globals.ptr());
    m->defaults = Py_NewRef(Py_None);
    m->dict = nullptr;
    m->weakrefs = nullptr;
    PyObject_GC_Track(m);
    return py::object::steal(reinterpret_cast<PyObject*>(m));
}

}  // namespace qarvel
