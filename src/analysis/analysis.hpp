// Bodies of the analysis methods of QarvelSQLGlotMain.  Each receives its
// bound parameters in declaration order and reports the line of every
// statement it runs through `site`.
#pragma once

#include "sqlglot_main/method.hpp"

namespace qarvel::analysis {

py::object init(site& s, PyObject* const* p);                 // __init__
py::object set_sql_md5(site& s, PyObject* const* p);          // _set_sql_md5
py::object format(site& s, PyObject* const* p);               // _format
py::object parse(site& s, PyObject* const* p);                // _parse
py::object get_columns(site& s, PyObject* const* p);          // _get_columns
py::object find_column(site& s, PyObject* const* p);          // _find_column
py::object get_column_parent(site& s, PyObject* const* p);    // _get_column_parent
py::object append_column_info(site& s, PyObject* const* p);   // _append_column_info
py::object get_tables(site& s, PyObject* const* p);           // _get_tables
py::object match_column(site& s, PyObject* const* p);         // _match_column

}  // namespace qarvel::analysis
