#include "interop/ops.hpp"

#include "interop/constants.hpp"

namespace qarvel::py {

void append_via_method(handle container, handle item) {
    call_method(container, core.append, item);
}

object tuple_from(object* items, Py_ssize_t count) {
    object tuple = checked(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple.ptr(), i, items[i].release());
    return tuple;
}

object tuple_instance(PyTypeObject* type, std::initializer_list<handle> items) {
    object instance = checked(type->tp_alloc(type, static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (handle item : items) PyTuple_SET_ITEM(instance.ptr(), i++, Py_NewRef(item.ptr()));
    return instance;
}

object dict_copy_of(handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) return checked(PyDict_Copy(mapping.ptr()));
    object copy = new_dict();
    if (PyDict_Update(copy.ptr(), mapping.ptr()) < 0) {
        // As `{**obj}` reports an object without keys().
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping",
                         Py_TYPE(mapping.ptr())->tp_name);
        }
        throw_error();
    }
    return copy;
}

for_each::for_each(handle iterable) : source_(object::borrow(iterable)) {
    if (!PyList_CheckExact(iterable.ptr()) && !PyTuple_CheckExact(iterable.ptr())) {
        iterator_ = checked(PyObject_GetIter(iterable.ptr()));
    }
}

object for_each::next() {
    if (!iterator_) {
        PyObject* source = source_.ptr();
        if (PyList_CheckExact(source)) {
            if (index_ >= PyList_GET_SIZE(source)) return {};
            // Owned at once: the loop body may run code that changes the list.
            return object::borrow(PyList_GET_ITEM(source, index_++));
        }
        if (index_ >= PyTuple_GET_SIZE(source)) return {};
        return object::borrow(PyTuple_GET_ITEM(source, index_++));
    }
    PyObject* item = PyIter_Next(iterator_.ptr());
    if (item == nullptr && PyErr_Occurred()) throw_error();
    return object::steal(item);
}

namespace {

[[noreturn]] void too_many_values() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    throw_error();
}

[[noreturn]] void need_more_values(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
    throw_error();
}

}  // namespace

void unpack_two(handle value, object& first, object& second) {
    PyObject* v = value.ptr();
    if (PyTuple_CheckExact(v) || PyList_CheckExact(v)) {
        const bool is_tuple = PyTuple_CheckExact(v);
        const Py_ssize_t size = is_tuple ? PyTuple_GET_SIZE(v) : PyList_GET_SIZE(v);
        if (size > 2) too_many_values();
        if (size < 2) need_more_values(size);
        first = object::borrow(is_tuple ? PyTuple_GET_ITEM(v, 0) : PyList_GET_ITEM(v, 0));
        second = object::borrow(is_tuple ? PyTuple_GET_ITEM(v, 1) : PyList_GET_ITEM(v, 1));
        return;
    }
    object iterator = checked(PyObject_GetIter(v));
    object items[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        items[i] = object::steal(PyIter_Next(iterator.ptr()));
        if (!items[i]) {
            if (PyErr_Occurred()) throw_error();
            need_more_values(i);
        }
    }
    object extra = object::steal(PyIter_Next(iterator.ptr()));
    if (extra) too_many_values();
    if (PyErr_Occurred()) throw_error();
    first = std::move(items[0]);
    second = std::move(items[1]);
}

void raise_new(handle exception_class, handle message) {
    object exception = call(exception_class, message);
    if (!PyExceptionInstance_Check(exception.ptr())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        throw_error();
    }
    PyErr_SetRaisedException(exception.release());
    throw_error();
}

}  // namespace qarvel::py
