// Output dispatch and the plain outputs: `_callback`, `_callback_qarvel`,
// `_callback_normal`, `_callback_dataframe`, `_callback_sql`.
#include "interop/siblings.hpp"
#include "render/render.hpp"

namespace qarvel::render {

using py::handle;
using py::object;

namespace callback_line {
constexpr int kTable = 231;  // callback_function = {"qarvel": self._callback_qarvel,
// the other entries follow at 232 to 236, in the order of kOutputs
constexpr int kChoose = 238;  // function = callback_function.get(callback)
constexpr int kCall = 239;    // return function(sql_md5)
}  // namespace callback_line

namespace {

struct output {
    PyObject* constant_table::*callback_name;
    PyObject* constant_table::*method_name;
    int line;
};

constexpr output kOutputs[] = {
    {&constant_table::cb_qarvel, &constant_table::m_callback_qarvel, 231},
    {&constant_table::cb_print, &constant_table::m_callback_print, 232},
    {&constant_table::cb_normal, &constant_table::m_callback_normal, 233},
    {&constant_table::cb_dataframe, &constant_table::m_callback_dataframe, 234},
    {&constant_table::cb_sql, &constant_table::m_callback_sql, 235},
    {&constant_table::cb_table, &constant_table::m_callback_table, 236},
};

}  // namespace

object callback(site& s, handle self, handle sql_md5, handle callback_name) {
    namespace line = callback_line;

    s.at(line::kTable);
    object callback_function = py::new_dict();
    for (const output& out : kOutputs) {
        s.at(out.line);
        object method = py::getattr(self, k.*out.method_name);
        s.at(line::kTable);
        py::dict_set(callback_function, k.*out.callback_name, method);
    }

    s.at(line::kChoose);
    object function = py::optional_item(callback_function, callback_name);
    if (!function) function = object::borrow(Py_None);

    s.at(line::kCall);
    return py::call(function, sql_md5);
}

// return self._var.get(sql_md5).parse_columns
constexpr int kQarvelLine = 242;

object callback_qarvel(site& s, handle self, handle sql_md5) {
    s.at(kQarvelLine);
    return siblings::entry(self, sql_md5, k.parse_columns);
}

// return self._var.get(sql_md5).todict().get("parse_columns")
constexpr int kNormalLine = 256;

object callback_normal(site& s, handle self, handle sql_md5) {
    s.at(kNormalLine);
    object plain = py::call_method(siblings::record(self, sql_md5), k.todict);
    return py::call_method(plain, k.get, k.parse_columns);
}

// return pd.DataFrame(self._callback_normal(sql_md5))
constexpr int kDataFrameLine = 259;

object callback_dataframe(site& s, handle self, handle sql_md5) {
    s.at(kDataFrameLine);
    object data_frame = py::getattr(py::global(k.pd), k.DataFrame);
    object rows = py::call_method(self, k.m_callback_normal, sql_md5);
    return py::call(data_frame, rows);
}

// return self._format(self._var.get(sql_md5).sql)
constexpr int kSqlLine = 262;

object callback_sql(site& s, handle self, handle sql_md5) {
    s.at(kSqlLine);
    object format = py::getattr(self, k.m_format);
    return py::call(format, siblings::entry(self, sql_md5, k.sql));
}

}  // namespace qarvel::render
