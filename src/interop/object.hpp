// Reference handles for Python objects.
//
// `handle` is a borrowed reference: it never touches the reference count and
// must not outlive the owner it was taken from.  `object` owns one strong
// reference and releases it when it goes out of scope.  Code above this layer
// never calls Py_INCREF/Py_DECREF itself: ownership is in the type.
//
// A C-API call that fails leaves a Python exception set; the helpers of this
// layer turn that into a C++ `pending_error`, which the exception boundary
// (boundary.hpp) at every entry from the interpreter catches, so every failure
// leaves a body by the same single path and every owned reference on the way
// is released by its destructor.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>
#include <vector>

namespace qarvel::py {

// The interpreter's error indicator is set and stays set while C++ unwinds to
// the exception boundary, which hands it back to the interpreter untouched.
// (Unlike pybind11's `error_already_set`, it carries nothing: the exception
// is never fetched out of the interpreter.)
struct pending_error {};

[[noreturn]] inline void throw_error() { throw pending_error{}; }

class handle {
  public:
    constexpr handle() noexcept = default;
    constexpr handle(PyObject* ptr) noexcept : ptr_(ptr) {}

    PyObject* ptr() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    bool is(handle other) const noexcept { return ptr_ == other.ptr_; }

  protected:
    PyObject* ptr_ = nullptr;
};

class object : public handle {
  public:
    object() noexcept = default;
    object(const object& other) noexcept : handle(other.ptr_) { Py_XINCREF(ptr_); }
    object(object&& other) noexcept : handle(other.ptr_) { other.ptr_ = nullptr; }
    ~object() { Py_XDECREF(ptr_); }

    object& operator=(const object& other) noexcept {
        object(other).swap(*this);
        return *this;
    }
    object& operator=(object&& other) noexcept {
        object(std::move(other)).swap(*this);
        return *this;
    }

    // Takes over a new reference (may be null).
    static object steal(PyObject* ptr) noexcept { return object(ptr); }
    // Adds a reference to a borrowed one (may be null).
    static object borrow(handle h) noexcept {
        Py_XINCREF(h.ptr());
        return object(h.ptr());
    }

    // Gives up ownership; the caller now holds the reference.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

    void swap(object& other) noexcept { std::swap(ptr_, other.ptr_); }

  private:
    explicit object(PyObject* ptr) noexcept : handle(ptr) {}
};

// An owning reference in static storage.  It is released only when reset,
// never by a destructor: static destructors run after the interpreter has
// finalised, when no reference count may be touched.
class static_ref {
  public:
    PyObject* ptr() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    bool is(handle other) const noexcept { return ptr_ == other.ptr(); }

    void reset(handle value = {}) noexcept {
        PyObject* old = ptr_;
        ptr_ = Py_XNewRef(value.ptr());
        Py_XDECREF(old);
    }

  private:
    PyObject* ptr_ = nullptr;
};

// Owning references in static storage, added one by one and never released
// (for the same reason as `static_ref`).
class static_refs {
  public:
    void add(handle value) {
        Py_INCREF(value.ptr());
        items_.push_back(value.ptr());
    }
    std::size_t size() const noexcept { return items_.size(); }

  private:
    std::vector<PyObject*> items_;
};

// A new reference from a C-API call, or `pending_error` when it is null.
inline object checked(PyObject* result) {
    if (result == nullptr) throw_error();
    return object::steal(result);
}

// A status from a C-API call: negative means an exception is set.
inline int checked(int status) {
    if (status < 0) throw_error();
    return status;
}

}  // namespace qarvel::py
