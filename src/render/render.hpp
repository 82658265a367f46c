// Bodies of the output methods of QarvelSQLGlotMain.
#pragma once

#include "sqlglot_main/method.hpp"

namespace qarvel::render {

py::object callback(site& s, PyObject* const* p);             // _callback
py::object callback_qarvel(site& s, PyObject* const* p);      // _callback_qarvel
py::object callback_print(site& s, PyObject* const* p);       // _callback_print
py::object callback_normal(site& s, PyObject* const* p);      // _callback_normal
py::object callback_dataframe(site& s, PyObject* const* p);   // _callback_dataframe
py::object callback_sql(site& s, PyObject* const* p);         // _callback_sql
py::object callback_table(site& s, PyObject* const* p);       // _callback_table

}  // namespace qarvel::render
