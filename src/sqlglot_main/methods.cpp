// The method table of QarvelSQLGlotMain, in definition order: name, line,
// parameters and locals (the code object's co_varnames), and body.
#include "analysis/analysis.hpp"
#include "render/render.hpp"
#include "sqlglot_main/method.hpp"

namespace qarvel {

namespace {

using t = constant_table;

constexpr constant_ref init_locals[] = {&t::self, &t::args, &t::kwargs};
constexpr constant_ref set_sql_md5_locals[] = {&t::self, &t::sql, &t::sql_md5};
constexpr constant_ref format_locals[] = {&t::self, &t::sql, &t::sql_md5, &t::format_sql};
constexpr constant_ref parse_locals[] = {&t::self,    &t::sql,        &t::dialect,   &t::callback,
                                         &t::sql_md5, &t::format_sql, &t::expression};
constexpr constant_ref get_columns_locals[] = {&t::self,       &t::sql_md5,
                                               &t::expressions, &t::expression,
                                               &t::subquery_expressions, &t::find_list};
constexpr constant_ref find_column_locals[] = {
    &t::self,         &t::sql_md5, &t::find_list,    &t::column_type, &t::column_alias,
    &t::column,       &t::column_table, &t::old_alias, &t::table};
constexpr constant_ref get_column_parent_locals[] = {&t::column, &t::column_table, &t::old,
                                                     &t::parent, &t::table};
constexpr constant_ref append_column_info_locals[] = {
    &t::self,         &t::sql_md5,     &t::column,             &t::column_table,
    &t::column_alias, &t::column_type, &t::table,              &t::column_table_alias,
    &t::column_name,  &t::text,        &t::column_info};
constexpr constant_ref get_tables_locals[] = {
    &t::self,   &t::sql_md5,  &t::expression,    &t::new_columns, &t::with_expression,
    &t::select_args, &t::select, &t::subquery, &t::subquery_args, &t::from_args,
    &t::join_args, &t::join};
constexpr constant_ref match_column_locals[] = {
    &t::self,        &t::sql_md5, &t::table_args,        &t::columns,     &t::new_columns,
    &t::column,      &t::text,    &t::table_new_columns, &t::table_column};
constexpr constant_ref callback_locals[] = {&t::self, &t::sql_md5, &t::callback,
                                            &t::callback_function, &t::function};
constexpr constant_ref output_locals[] = {&t::self, &t::sql_md5};
constexpr constant_ref callback_print_locals[] = {&t::self, &t::sql_md5, &t::text_list, &t::column};
constexpr constant_ref callback_table_locals[] = {&t::self, &t::sql_md5, &t::table,
                                                  &t::field_names, &t::row, &t::field};

template <std::size_t N>
constexpr int count(const constant_ref (&)[N]) { return static_cast<int>(N); }

#define QARVEL_TRACE(method) "sqlglot_main.QarvelSQLGlotMain." method
#define QARVEL_DOC(signature) "QarvelSQLGlotMain." signature

}  // namespace

// name, trace name, doc, interned name, line, params, required, default, *args, static, locals, body
const method_spec method_table[] = {
    {"__init__", QARVEL_TRACE("__init__"), QARVEL_DOC("__init__(self, *args, **kwargs)"),
     &t::m_init, 27, 1, 1, false, true, false, init_locals, count(init_locals), analysis::init},
    {"_set_sql_md5", QARVEL_TRACE("_set_sql_md5"), QARVEL_DOC("_set_sql_md5(self, sql)"),
     &t::m_set_sql_md5, 48, 2, 2, false, false, false, set_sql_md5_locals,
     count(set_sql_md5_locals), analysis::set_sql_md5},
    {"_format", QARVEL_TRACE("_format"), QARVEL_DOC("_format(self, sql)"), &t::m_format, 57, 2, 2,
     false, false, false, format_locals, count(format_locals), analysis::format},
    {"_parse", QARVEL_TRACE("_parse"), QARVEL_DOC("_parse(self, sql, dialect, callback)"),
     &t::m_parse, 72, 4, 4, false, false, false, parse_locals, count(parse_locals),
     analysis::parse},
    {"_get_columns", QARVEL_TRACE("_get_columns"),
     QARVEL_DOC("_get_columns(self, sql_md5, expressions)"), &t::m_get_columns, 82, 3, 3, false,
     false, false, get_columns_locals, count(get_columns_locals), analysis::get_columns},
    {"_find_column", QARVEL_TRACE("_find_column"),
     QARVEL_DOC("_find_column(self, sql_md5, find_list, column_type, column_alias=None)"),
     &t::m_find_column, 112, 5, 4, true, false, false, find_column_locals,
     count(find_column_locals), analysis::find_column},
    {"_get_column_parent", QARVEL_TRACE("_get_column_parent"),
     QARVEL_DOC("_get_column_parent(column, column_table)"), &t::m_get_column_parent, 119, 2, 2,
     false, false, true, get_column_parent_locals, count(get_column_parent_locals),
     analysis::get_column_parent},
    {"_append_column_info", QARVEL_TRACE("_append_column_info"),
     QARVEL_DOC("_append_column_info(self, sql_md5, column, column_table, column_alias, "
                "column_type, table=None)"),
     &t::m_append_column_info, 131, 7, 6, true, false, false, append_column_info_locals,
     count(append_column_info_locals), analysis::append_column_info},
    {"_get_tables", QARVEL_TRACE("_get_tables"), QARVEL_DOC("_get_tables(self, sql_md5, expression)"),
     &t::m_get_tables, 162, 3, 3, false, false, false, get_tables_locals,
     count(get_tables_locals), analysis::get_tables},
    {"_match_column", QARVEL_TRACE("_match_column"),
     QARVEL_DOC("_match_column(self, sql_md5, table_args, columns)"), &t::m_match_column, 183, 4,
     4, false, false, false, match_column_locals, count(match_column_locals),
     analysis::match_column},
    {"_callback", QARVEL_TRACE("_callback"), QARVEL_DOC("_callback(self, sql_md5, callback)"),
     &t::m_callback, 229, 3, 3, false, false, false, callback_locals, count(callback_locals),
     render::callback},
    {"_callback_qarvel", QARVEL_TRACE("_callback_qarvel"),
     QARVEL_DOC("_callback_qarvel(self, sql_md5)"), &t::m_callback_qarvel, 241, 2, 2, false,
     false, false, output_locals, count(output_locals), render::callback_qarvel},
    {"_callback_print", QARVEL_TRACE("_callback_print"),
     QARVEL_DOC("_callback_print(self, sql_md5)"), &t::m_callback_print, 244, 2, 2, false, false,
     false, callback_print_locals, count(callback_print_locals), render::callback_print},
    {"_callback_normal", QARVEL_TRACE("_callback_normal"),
     QARVEL_DOC("_callback_normal(self, sql_md5)"), &t::m_callback_normal, 255, 2, 2, false,
     false, false, output_locals, count(output_locals), render::callback_normal},
    {"_callback_dataframe", QARVEL_TRACE("_callback_dataframe"),
     QARVEL_DOC("_callback_dataframe(self, sql_md5)"), &t::m_callback_dataframe, 258, 2, 2,
     false, false, false, output_locals, count(output_locals), render::callback_dataframe},
    {"_callback_sql", QARVEL_TRACE("_callback_sql"), QARVEL_DOC("_callback_sql(self, sql_md5)"),
     &t::m_callback_sql, 261, 2, 2, false, false, false, output_locals, count(output_locals),
     render::callback_sql},
    {"_callback_table", QARVEL_TRACE("_callback_table"),
     QARVEL_DOC("_callback_table(self, sql_md5)"), &t::m_callback_table, 264, 2, 2, false, false,
     false, callback_table_locals, count(callback_table_locals), render::callback_table},
};

const int method_count = sizeof(method_table) / sizeof(method_table[0]);

}  // namespace qarvel
