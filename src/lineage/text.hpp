// The UTF-8 of Python str objects.
#pragma once

#include "interop/object.hpp"

#include <string>
#include <string_view>

namespace qarvel::lineage {

// A view of a str's UTF-8 (the str's own buffer: valid while it lives); false
// with an exception set when there is none (a text with lone surrogates).
inline bool utf8_view_of(py::handle text, std::string_view& view) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) return false;
    view = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

// The UTF-8 of a str (empty for an empty handle).
inline std::string utf8(py::handle text) {
    if (!text) return {};
    std::string_view view;
    if (!utf8_view_of(text, view)) py::throw_error();
    return std::string(view);
}

}  // namespace qarvel::lineage
