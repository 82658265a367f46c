// Bodies of the output methods of QarvelSQLGlotMain.
#pragma once

#include "interop/site.hpp"

namespace qarvel::render {

using py::handle;

py::object callback(site& s, handle self, handle sql_md5, handle callback);  // _callback
py::object callback_qarvel(site& s, handle self, handle sql_md5);            // _callback_qarvel
py::object callback_print(site& s, handle self, handle sql_md5);             // _callback_print
py::object callback_normal(site& s, handle self, handle sql_md5);            // _callback_normal
py::object callback_dataframe(site& s, handle self, handle sql_md5);         // _callback_dataframe
py::object callback_sql(site& s, handle self, handle sql_md5);               // _callback_sql
py::object callback_table(site& s, handle self, handle sql_md5);             // _callback_table

}  // namespace qarvel::render
