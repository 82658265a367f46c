// Reading sqlglot's tree: a node's `args` dict and the values under its
// keys, every one taken as a strong reference (a caller's Python code could
// change the tree while the walk runs).
#pragma once

#include "interop/ops.hpp"
#include "lineage/names.hpp"

namespace qarvel::lineage {

// node.args, or an empty object when the node has no dict of args.
inline py::object args_of(py::handle node) {
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
inline bool same_name(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (a == nullptr || b == nullptr || !PyUnicode_Check(a) || !PyUnicode_Check(b)) return false;
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
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
