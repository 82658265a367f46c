// Method objects of QarvelSQLGlotMain: a function-like type with a vectorcall
// entry that binds the call's arguments to the method's parameters and runs
// the method body.
#pragma once

#include "interop/constants.hpp"
#include "interop/object.hpp"

namespace qarvel {

// The line of the statement a body is running; a failure leaving the body is
// reported at it.  Bodies say `s.at(line)` before each statement.
class site {
  public:
    explicit constexpr site(int line) noexcept : line_(line) {}
    constexpr void at(int line) noexcept { line_ = line; }
    constexpr int line() const noexcept { return line_; }

    // The next item of a loop, the step reported at the loop's line.
    template <typename Items>
    auto next(Items& items, int line) {
        at(line);
        return items.next();
    }

  private:
    int line_;
};

// A method body: the bound parameters in declaration order (borrowed from
// the caller for the duration of the call).  Returns a new reference or
// throws py::error_already_set.
using body_fn = py::object (*)(site& s, PyObject* const* params);

using constant_ref = PyObject* constant_table::*;

struct method_spec {
    const char* name;        // bare name, used in binding messages
    const char* trace_name;  // function name of traceback entries
    const char* doc;         // signature text
    constant_ref name_ref;   // interned name
    int line;                // definition line
    int nparams;             // named parameters (__init__: self only)
    int nrequired;
    bool has_default;        // last parameter defaults to None
    bool star_args;          // __init__(self, *args, **kwargs)
    bool is_static;
    const constant_ref* varnames;  // parameters first, then locals
    int nlocals;
    body_fn body;
};

// The method table, in definition order.
extern const method_spec method_table[];
extern const int method_count;

// Readies the method type (once per process).
bool ready_method_type();

// A new method object for `spec`, with `globals` as its module namespace
// and `filename` as the file of its code object.
PyObject* new_method(const method_spec& spec, PyObject* globals, PyObject* filename);

}  // namespace qarvel
