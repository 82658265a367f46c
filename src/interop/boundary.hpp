// The exception boundary: where the interpreter calls into C++ (method calls,
// the module's create and exec steps, type slots, getters and setters), a C++
// exception must not unwind into C frames.  Each entry catches everything and
// turns it into a Python exception through the one translation below.
#pragma once

#include "interop/object.hpp"

#include <type_traits>

namespace qarvel::py {

// Sets the Python exception for the C++ exception being handled; call only
// from a catch block.  `pending_error` leaves the set exception as it is;
// `std::bad_alloc` becomes MemoryError; any other exception SystemError with
// its `what()` text.
void set_error_from_current_exception() noexcept;

namespace detail {

template <typename R>
constexpr R failure_value() noexcept {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        static_assert(std::is_same_v<R, int>, "slot functions fail with NULL or -1");
        return -1;
    }
}

template <auto F>
struct guard;

template <typename R, typename... Args, R (*F)(Args...)>
struct guard<F> {
    static R entry(Args... args) noexcept {
        try {
            return F(args...);
        } catch (...) {
            set_error_from_current_exception();
            return failure_value<R>();
        }
    }
};

}  // namespace detail

// `guarded<f>`: `f` with the C signature the interpreter expects, behind the
// exception boundary (a failure returns NULL or -1 with an exception set).
template <auto F>
inline constexpr auto guarded = &detail::guard<F>::entry;

}  // namespace qarvel::py
