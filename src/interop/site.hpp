// The contract between a method entry and the body it runs.
//
// A body is a function `py::object body(site& s, py::handle p1, ...)`: the
// bound parameters, in declaration order, borrowed from the caller for the
// duration of the call.  It returns a new reference or throws
// `py::pending_error` with the Python exception set.  Before each statement it
// says `s.at(line)`, so a failure leaving the body is reported at the line of
// the statement that was running.
#pragma once

#include "interop/object.hpp"

#include <cstddef>
#include <type_traits>
#include <utility>

namespace qarvel {

class site {
  public:
    explicit constexpr site(int line) noexcept : line_(line) {}
    constexpr void at(int line) noexcept { line_ = line; }
    constexpr int line() const noexcept { return line_; }

    // The next item of a loop, the step reported at the loop's line.  As in
    // the interpreter's own loops, pending signals are handled first, so a
    // loop whose length the caller controls stops on Ctrl-C
    // (KeyboardInterrupt, reported at the loop's line).
    template <typename Items>
    auto next(Items& items, int line) {
        at(line);
        check_signals();
        return items.next();
    }

    static void check_signals() {
        if (PyErr_CheckSignals() < 0) py::throw_error();
    }

  private:
    int line_;
};

// What a method object stores: the body behind an adaptor that unpacks the
// bound parameters.
using body_fn = py::object (*)(site& s, PyObject* const* params);

template <typename F>
struct body_traits;

template <typename... Params>
struct body_traits<py::object (*)(site&, Params...)> {
    static_assert((std::is_same_v<Params, py::handle> && ...),
                  "body parameters are borrowed py::handle values");
    static constexpr int arity = static_cast<int>(sizeof...(Params));
};

// The number of named parameters of a body.
template <auto Body>
inline constexpr int body_arity = body_traits<decltype(Body)>::arity;

// The adaptor: calls `Body` with the first `body_arity<Body>` bound values.
template <auto Body>
py::object call_body(site& s, PyObject* const* params) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return Body(s, py::handle(params[I])...);
    }(std::make_index_sequence<body_arity<Body>>{});
}

}  // namespace qarvel
