// Bodies of the analysis methods of QarvelSQLGlotMain.  Each receives its
// bound parameters by name, in declaration order, and reports the line of
// every statement it runs through `site`.
#pragma once

#include "interop/site.hpp"

namespace qarvel::analysis {

using py::handle;

// Makes what comment removal needs beyond the module globals (once per
// process, when the module loads).
void prepare_normalisation();

py::object init(site& s, handle self);                                          // __init__
py::object set_sql_md5(site& s, handle self, handle sql);                       // _set_sql_md5
py::object format(site& s, handle self, handle sql);                            // _format
py::object parse(site& s, handle self, handle sql, handle dialect, handle callback);  // _parse
py::object get_columns(site& s, handle self, handle sql_md5, handle expressions);     // _get_columns
py::object find_column(site& s, handle self, handle sql_md5, handle find_list,
                       handle column_type, handle column_alias);                // _find_column
py::object get_column_parent(site& s, handle column, handle column_table);     // _get_column_parent
py::object append_column_info(site& s, handle self, handle sql_md5, handle column,
                              handle column_table, handle column_alias, handle column_type,
                              handle table);                                    // _append_column_info
py::object get_tables(site& s, handle self, handle sql_md5, handle expression);  // _get_tables
py::object match_column(site& s, handle self, handle sql_md5, handle table_args,
                        handle columns);                                        // _match_column

}  // namespace qarvel::analysis
