// Reading sqlglot's tree: a node's `args` dict and the values under its
// keys, every one taken as a strong reference (a caller's Python code could
// change the tree while the walk runs).
#pragma once

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/text.hpp"

namespace qarvel::lineage {

// node.args, or an empty object when the node has no dict of args (or is
// empty).
inline py::object args_of(py::handle node) {
    if (!node) return {};
    py::object args = py::optional_attr(node, lk.args);
    if (args && !PyDict_Check(args.ptr())) return {};
    return args;
}

// args[key], or an empty object when absent or None.
inline py::object arg(py::handle args, py::handle key) {
    if (!args) return {};
    py::object value = py::optional_item(args, key);
    if (value && value.is(Py_None)) return {};
    return value;
}

inline py::object arg_of(py::handle node, py::handle key) { return arg(args_of(node), key); }

inline bool truthy(py::handle value) { return value && py::truth(value); }

// Two normalised names: interned, so mostly the same object.
inline bool same_name(py::handle a, py::handle b) {
    if (a.is(b)) return true;
    if (!a || !b || !PyUnicode_Check(a.ptr()) || !PyUnicode_Check(b.ptr())) return false;
    return PyUnicode_GET_LENGTH(a.ptr()) == PyUnicode_GET_LENGTH(b.ptr()) && PyUnicode_Compare(a.ptr(), b.ptr()) == 0;
}

// `f` for each element of a list or tuple value, or for the value itself.
template <typename F>
void each(py::handle value, F&& f) {
    if (!value) return;
    if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
        py::for_each items(value);
        while (py::object item = items.next()) f(py::handle(item));
        return;
    }
    f(value);
}

}  // namespace qarvel::lineage
