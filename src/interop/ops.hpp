// The object protocol as the analysis uses it: every operation either gives
// its result or throws `pending_error` with the interpreter's exception
// set.  Calls go through vectorcall, with arguments laid out on the stack.
#pragma once

#include "interop/object.hpp"

#include <array>
#include <initializer_list>
#include <cstddef>

namespace qarvel::py {

// --- attributes -------------------------------------------------------------

inline object getattr(handle obj, handle name) {
    return checked(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

inline void setattr(handle obj, handle name, handle value) {
    checked(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()));
}

// obj.name, or an empty object when `obj` has no such attribute.
inline object optional_attr(handle obj, handle name) {
    PyObject* value = nullptr;
    checked(PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &value));
    return object::steal(value);
}

// obj.<name given as a C string>, or an empty object when absent (for code
// that runs before the constant tables exist).
inline object optional_attr_string(handle obj, const char* name) {
    PyObject* value = nullptr;
    checked(PyObject_GetOptionalAttrString(obj.ptr(), name, &value));
    return object::steal(value);
}

// --- calls ------------------------------------------------------------------

// callable(args...)
template <typename... Args>
object call(handle callable, const Args&... args) {
    // Slot 0 is scratch space the callee may borrow (PY_VECTORCALL_ARGUMENTS_OFFSET).
    std::array<PyObject*, sizeof...(Args) + 1> stack{nullptr, handle(args).ptr()...};
    return checked(PyObject_Vectorcall(callable.ptr(), stack.data() + 1,
                                       sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       nullptr));
}

// callable(positional..., **{names[i]: keyword values}) with the names as an
// interned tuple and the keyword values after the positional ones.
template <std::size_t NPos, typename... Args>
object call_kw(handle callable, handle kwnames, const Args&... args) {
    static_assert(sizeof...(Args) >= NPos);
    std::array<PyObject*, sizeof...(Args) + 1> stack{nullptr, handle(args).ptr()...};
    return checked(PyObject_Vectorcall(callable.ptr(), stack.data() + 1,
                                       NPos | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       kwnames.ptr()));
}

// obj.name(args...): the method is looked up on `obj` and called at once,
// without making a bound method where the interpreter can avoid it.
template <typename... Args>
object call_method(handle obj, handle name, const Args&... args) {
    std::array<PyObject*, sizeof...(Args) + 1> stack{obj.ptr(), handle(args).ptr()...};
    return checked(PyObject_VectorcallMethod(name.ptr(), stack.data(),
                                             (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr));
}

// --- tests and comparisons --------------------------------------------------

inline bool truth(handle obj) { return checked(PyObject_IsTrue(obj.ptr())) != 0; }

inline bool is_instance(handle obj, handle cls) {
    return checked(PyObject_IsInstance(obj.ptr(), cls.ptr())) != 0;
}

// `item in container`
inline bool contains(handle container, handle item) {
    return checked(PySequence_Contains(container.ptr(), item.ptr())) != 0;
}

// `a == b`, then the truth test of the result.
inline bool equals(handle a, handle b) {
    object result = checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    return truth(result);
}

// --- text -------------------------------------------------------------------

// format(obj, ""): a str stands as it is, other objects give their text form.
inline object format_simple(handle obj, handle empty_spec) {
    if (PyUnicode_CheckExact(obj.ptr())) return object::borrow(obj);
    return checked(PyObject_Format(obj.ptr(), empty_spec.ptr()));
}

inline object str_of(handle obj) { return checked(PyObject_Str(obj.ptr())); }
inline object repr_of(handle obj) { return checked(PyObject_Repr(obj.ptr())); }

// separator.join(items)
inline object join(handle separator, handle items) {
    return checked(PyUnicode_Join(separator.ptr(), items.ptr()));
}

// --- containers -------------------------------------------------------------

inline object new_list() { return checked(PyList_New(0)); }
inline object new_dict() { return checked(PyDict_New()); }

// A tuple or list of values that all exist already: the container is made
// and filled in one step, so no code can see it with unset slots.
template <typename... Items>
object make_tuple(const Items&... items) {
    return checked(PyTuple_Pack(sizeof...(Items), handle(items).ptr()...));
}

template <typename... Items>
object make_list(const Items&... items) {
    object list = checked(PyList_New(sizeof...(Items)));
    Py_ssize_t i = 0;
    ((PyList_SET_ITEM(list.ptr(), i++, Py_NewRef(handle(items).ptr()))), ...);
    return list;
}

// A tuple of `count` values, taken over from `items` (all set).
object tuple_from(object* items, Py_ssize_t count);

// An instance of `type`, a subclass of tuple (a named tuple), holding
// `items`, which all exist already: allocated and filled in one step, with
// no code run in between.
object tuple_instance(PyTypeObject* type, std::initializer_list<handle> items);

// dict[key] of a plain dict, or an empty object when the key is absent.
inline object optional_item(handle dict, handle key) {
    PyObject* value = nullptr;
    checked(PyDict_GetItemRef(dict.ptr(), key.ptr(), &value));
    return object::steal(value);
}

// mapping[key] of any mapping, or an empty object when the key is absent.
inline object optional_mapping_item(handle mapping, handle key) {
    PyObject* value = nullptr;
    checked(PyMapping_GetOptionalItem(mapping.ptr(), key.ptr(), &value));
    return object::steal(value);
}

// list(iterable)
inline object to_list(handle iterable) { return checked(PySequence_List(iterable.ptr())); }

inline void dict_set(handle dict, handle key, handle value) {
    checked(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()));
}

void append_via_method(handle container, handle item);

// container.append(item): the list operation for a list, the method otherwise.
inline void append(handle container, handle item) {
    if (PyList_CheckExact(container.ptr())) {
        checked(PyList_Append(container.ptr(), item.ptr()));
        return;
    }
    append_via_method(container, item);
}

// {**mapping}: a plain dict copy of the mapping's entries in its key order.
object dict_copy_of(handle mapping);

// --- iteration --------------------------------------------------------------

// A `for` loop over any object: lists and tuples are walked by index (the
// length is read again at every step, so a list that shrinks under the loop
// ends it), everything else through the iterator protocol.
class for_each {
  public:
    explicit for_each(handle iterable);
    // The next item (a new reference), or an empty object at the end.
    object next();

  private:
    object source_;
    object iterator_;
    Py_ssize_t index_ = 0;
};

// `first, second = value`: tuples and lists by index, anything else by
// iteration; exactly two items, with the interpreter's ValueError otherwise.
void unpack_two(handle value, object& first, object& second);

// --- raising ----------------------------------------------------------------

// `raise exception_class(message)`
[[noreturn]] void raise_new(handle exception_class, handle message);

}  // namespace qarvel::py
