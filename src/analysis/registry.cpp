// The analyser's store and the statement registry: `__init__` and
// `_set_sql_md5`.
#include "analysis/analysis.hpp"
#include "interop/siblings.hpp"

namespace qarvel::analysis {

using py::handle;
using py::object;

// __init__(self, *args, **kwargs): the extra arguments are ignored.
namespace init_line {
constexpr int kStore = 29;  // self._var = QarvelVar()
}

object init(site& s, handle self) {
    s.at(init_line::kStore);
    py::setattr(self, k.var, py::call(py::global(k.QarvelVar)));
    return object::borrow(Py_None);
}

// _set_sql_md5(self, sql) -> the fingerprint
namespace set_sql_md5_line {
constexpr int kText = 49;         // if QarvelBases.path_file(sql): sql = QarvelBases.path_read(sql)
constexpr int kFingerprint = 50;  // sql_md5 = crypt.md5_encrypt(sql)
constexpr int kPresence = 51;     // if sql_md5 not in self._var.keys():
constexpr int kAdd = 52;          //     self._var.add(**{sql_md5: {...}})
constexpr int kRecord = 53;       //         {"sql": sql, "columns": [], "alias": [], "text": [], "sort": 0}
}  // namespace set_sql_md5_line

object set_sql_md5(site& s, handle self, handle sql_param) {
    namespace line = set_sql_md5_line;
    object sql = object::borrow(sql_param);

    s.at(line::kText);
    if (py::truth(siblings::path_file(sql))) sql = siblings::path_read(sql);

    s.at(line::kFingerprint);
    object sql_md5 = siblings::md5_encrypt(sql);

    s.at(line::kPresence);
    object keys = py::call_method(siblings::store(self), k.keys);
    if (!py::contains(keys, sql_md5)) {
        s.at(line::kAdd);
        object add = py::getattr(siblings::store(self), k.add);

        s.at(line::kRecord);
        object record = py::new_dict();
        py::dict_set(record, k.sql, sql);
        py::dict_set(record, k.columns, py::new_list());
        py::dict_set(record, k.alias, py::new_list());
        py::dict_set(record, k.text, py::new_list());
        py::dict_set(record, k.sort, k.zero);

        // add(**{sql_md5: record}): through a dict, so that a fingerprint that
        // is not a str fails as any keyword expansion does.
        s.at(line::kAdd);
        object keywords = py::new_dict();
        py::dict_set(keywords, sql_md5, record);
        py::checked(PyObject_Call(add.ptr(), k.empty_tuple, keywords.ptr()));
    }
    return sql_md5;
}

}  // namespace qarvel::analysis
