#include "interop/constants.hpp"

namespace qarvel {

namespace {

bool make_identifier(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool make_text(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = PyUnicode_FromString(text);
    return slot != nullptr;
}

bool make_tuple_of_one(PyObject*& slot, PyObject* item) {
    if (slot != nullptr) return true;
    slot = PyTuple_Pack(1, item);
    return slot != nullptr;
}

}  // namespace

bool create_core_constants() {
#define QARVEL_MAKE_IDENTIFIER(field, text) \
    if (!make_identifier(core.field, text)) return false;
    QARVEL_CORE_IDENTIFIERS(QARVEL_MAKE_IDENTIFIER)
#undef QARVEL_MAKE_IDENTIFIER
    return make_text(core.empty_text, "");
}

bool create_shared_empties() {
    if (k.empty_tuple == nullptr && (k.empty_tuple = PyTuple_New(0)) == nullptr) return false;
    if (k.empty_bytes == nullptr && (k.empty_bytes = PyBytes_FromStringAndSize("", 0)) == nullptr)
        return false;
    if (k.empty == nullptr && (k.empty = PyUnicode_FromStringAndSize("", 0)) == nullptr) return false;
    return true;
}

bool create_constants() {
#define QARVEL_MAKE_IDENTIFIER(field, text) \
    if (!make_identifier(k.field, text)) return false;
#define QARVEL_MAKE_TEXT(field, text) \
    if (!make_text(k.field, text)) return false;
    QARVEL_IDENTIFIERS(QARVEL_MAKE_IDENTIFIER)
    QARVEL_TEXTS(QARVEL_MAKE_TEXT)
#undef QARVEL_MAKE_IDENTIFIER
#undef QARVEL_MAKE_TEXT
    if (k.zero == nullptr && (k.zero = PyLong_FromLong(0)) == nullptr) return false;
    if (k.one == nullptr && (k.one = PyLong_FromLong(1)) == nullptr) return false;
    if (k.two == nullptr && (k.two = PyLong_FromLong(2)) == nullptr) return false;
    return make_tuple_of_one(k.none_defaults, Py_None) &&
           make_tuple_of_one(k.kw_dialect, k.dialect) &&
           make_tuple_of_one(k.kw_flags, k.flags) &&
           make_tuple_of_one(k.kw_ensure_ascii, k.ensure_ascii);
}

}  // namespace qarvel
