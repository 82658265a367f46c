// Method objects: a function-like type whose vectorcall entry binds the
// call's arguments to the method's named parameters exactly as the
// interpreter binds a Python function's, runs the body behind the exception
// boundary and adds a traceback entry when it fails.
//
// A module describes its methods in a table of `method_spec` rows (made with
// `method_row`, which checks each row against its body at compile time) and
// its family of method objects in one `method_family`.
#pragma once

#include "interop/object.hpp"
#include "interop/site.hpp"

#include <cstddef>

namespace qarvel {

// The address of a name in a constant table (made when the module loads).
using name_ref = PyObject* const*;

// Most named parameters of any method (the size of the bound-value array).
inline constexpr int kMaxParams = 8;

struct method_spec {
    const char* name = nullptr;        // bare name, used in binding messages
    const char* trace_name = nullptr;  // function name of traceback entries
    const char* doc = nullptr;         // signature text
    name_ref interned_name = nullptr;  // the name as an interned str
    int line = 0;                      // definition line
    int nrequired = 0;                 // parameters without a default
    bool has_default = false;          // the last parameter defaults to None
    bool star_args = false;            // (self, *args, **kwargs): the body takes self only
    bool is_static = false;            // wrapped in staticmethod by the class
    // Filled in by `method_row` from the body and the locals array:
    int nparams = 0;                   // named parameters
    const name_ref* varnames = nullptr;  // parameters first, then locals
    int nlocals = 0;
    body_fn body = nullptr;
};

// A table row: `row` with the parameter count, locals and body filled in,
// checked against each other when the table is compiled.
template <auto Body, std::size_t NLocals>
consteval method_spec method_row(method_spec row, const name_ref (&locals)[NLocals]) {
    constexpr int arity = body_arity<Body>;
    static_assert(arity >= 1 && arity <= kMaxParams, "a body takes 1 to kMaxParams parameters");
    static_assert(arity <= static_cast<int>(NLocals), "the locals begin with the parameters");
    // A consteval function that reaches a throw does not compile.
    if (row.star_args && (arity != 1 || row.nrequired != 1 || row.has_default))
        throw "a (self, *args, **kwargs) method has one named parameter, required";
    if (!row.star_args && row.nrequired != (row.has_default ? arity - 1 : arity))
        throw "required parameter count does not match the body";
    row.nparams = arity;
    row.varnames = locals;
    row.nlocals = static_cast<int>(NLocals);
    row.body = &call_body<Body>;
    return row;
}

// What the method objects of one module share.
struct method_family {
    const char* type_name;        // the method type's qualified name
    const char* repr_kind;        // "<KIND QUALNAME at ADDRESS>"
    const char* recursion_where;  // appended to the RecursionError message
    const char* trace_file;       // file name of traceback entries
    name_ref class_name;          // prefix of __qualname__
    name_ref module_name;         // __module__
    const py::static_ref* globals;  // globals of the traceback entries' frames
    PyTypeObject* type = nullptr;   // made once per process by ready_method_type
};

// Readies the family's method type (once per process); false with an
// exception set on failure.
bool ready_method_type(method_family& family);

// A new method object for `spec`, with `globals` as its module namespace and
// `filename` as the file of its code object.
py::object new_method(const method_family& family, const method_spec& spec, py::handle globals,
                      py::handle filename);

}  // namespace qarvel
