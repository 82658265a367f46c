// What the analysis calls on the sibling modules and the store.  Each helper
// is one operation of the step that uses it; none holds a result across
// steps.
#pragma once

#include "interop/constants.hpp"
#include "interop/ops.hpp"
#include "interop/scope.hpp"

namespace qarvel::siblings {

using py::handle;
using py::object;

// QarvelBases.path_file(text), the class looked up as a module global.
inline object path_file(handle text) {
    return py::call_method(py::global(k.QarvelBases), k.path_file, text);
}

// QarvelBases.path_read(text)
inline object path_read(handle text) {
    return py::call_method(py::global(k.QarvelBases), k.path_read, text);
}

// crypt.md5_encrypt(text): the fingerprint.
inline object md5_encrypt(handle text) {
    return py::call_method(py::global(k.crypt), k.md5_encrypt, text);
}

// self._var
inline object store(handle self) { return py::getattr(self, k.var); }

// self._var.get(sql_md5): the statement record, fetched afresh at each use.
inline object record(handle self, handle sql_md5) {
    return py::call_method(store(self), k.get, sql_md5);
}

// self._var.get(sql_md5).<entry>
inline object entry(handle self, handle sql_md5, handle name) {
    return py::getattr(record(self, sql_md5), name);
}

// self._var.get(sql_md5).<name> += 1: one get, one read, one in-place
// addition, one write to the same record object.
inline void increment(handle self, handle sql_md5, handle name) {
    object rec = record(self, sql_md5);
    object value = py::getattr(rec, name);
    object raised = py::checked(PyNumber_InPlaceAdd(value.ptr(), k.one));
    py::setattr(rec, name, raised);
}

}  // namespace qarvel::siblings
