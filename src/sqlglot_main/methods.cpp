// The method table of QarvelSQLGlotMain, in definition order: name, line,
// parameters and locals (the code object's co_varnames), and body.  Each row
// is checked against its body when this file compiles (method_row).
#include "analysis/analysis.hpp"
#include "interop/constants.hpp"
#include "interop/process_state.hpp"
#include "render/render.hpp"
#include "sqlglot_main/sqlglot_main.hpp"

namespace qarvel {

method_family analyser_methods = {
    .type_name = "sqlglot_main.method",
    .repr_kind = "sqlglot_main method",
    .recursion_where = " while calling a QarvelSQLGlotMain method",
    .trace_file = "sqlglot_main.py",
    .class_name = &k.class_name,
    .module_name = &k.module_name,
    .globals = &process.namespace_dict,
};

namespace {

constexpr name_ref init_locals[] = {&k.self, &k.args, &k.kwargs};
constexpr name_ref set_sql_md5_locals[] = {&k.self, &k.sql, &k.sql_md5};
constexpr name_ref format_locals[] = {&k.self, &k.sql, &k.sql_md5, &k.format_sql};
constexpr name_ref parse_locals[] = {&k.self,    &k.sql,        &k.dialect,   &k.callback,
                                     &k.sql_md5, &k.format_sql, &k.expression};
constexpr name_ref get_columns_locals[] = {&k.self,       &k.sql_md5,
                                           &k.expressions, &k.expression,
                                           &k.subquery_expressions, &k.find_list};
constexpr name_ref find_column_locals[] = {
    &k.self,   &k.sql_md5,       &k.find_list, &k.column_type, &k.column_alias,
    &k.column, &k.column_table,  &k.old_alias, &k.table};
constexpr name_ref get_column_parent_locals[] = {&k.column, &k.column_table, &k.old,
                                                 &k.parent, &k.table};
constexpr name_ref append_column_info_locals[] = {
    &k.self,         &k.sql_md5,     &k.column,             &k.column_table,
    &k.column_alias, &k.column_type, &k.table,              &k.column_table_alias,
    &k.column_name,  &k.text,        &k.column_info};
constexpr name_ref get_tables_locals[] = {
    &k.self,        &k.sql_md5, &k.expression, &k.new_columns,   &k.with_expression,
    &k.select_args, &k.select,  &k.subquery,   &k.subquery_args, &k.from_args,
    &k.join_args,   &k.join};
constexpr name_ref match_column_locals[] = {
    &k.self,   &k.sql_md5, &k.table_args,        &k.columns,     &k.new_columns,
    &k.column, &k.text,    &k.table_new_columns, &k.table_column};
constexpr name_ref callback_locals[] = {&k.self, &k.sql_md5, &k.callback,
                                        &k.callback_function, &k.function};
constexpr name_ref output_locals[] = {&k.self, &k.sql_md5};
constexpr name_ref callback_print_locals[] = {&k.self, &k.sql_md5, &k.text_list, &k.column};
constexpr name_ref callback_table_locals[] = {&k.self, &k.sql_md5, &k.table,
                                              &k.field_names, &k.row, &k.field};

#define QARVEL_TRACE(method) "sqlglot_main.QarvelSQLGlotMain." method
#define QARVEL_DOC(signature) "QarvelSQLGlotMain." signature

// A method with only required parameters, none static.
#define QARVEL_PLAIN(method, signature, interned, def_line)                                 \
    .name = method, .trace_name = QARVEL_TRACE(method), .doc = QARVEL_DOC(signature),       \
    .interned_name = &k.interned, .line = def_line

}  // namespace

const method_spec method_table[] = {
    method_row<&analysis::init>(
        {QARVEL_PLAIN("__init__", "__init__(self, *args, **kwargs)", m_init, 27),
         .nrequired = 1, .star_args = true},
        init_locals),
    method_row<&analysis::set_sql_md5>(
        {QARVEL_PLAIN("_set_sql_md5", "_set_sql_md5(self, sql)", m_set_sql_md5, 48),
         .nrequired = 2},
        set_sql_md5_locals),
    method_row<&analysis::format>(
        {QARVEL_PLAIN("_format", "_format(self, sql)", m_format, 57), .nrequired = 2},
        format_locals),
    method_row<&analysis::parse>(
        {QARVEL_PLAIN("_parse", "_parse(self, sql, dialect, callback)", m_parse, 72),
         .nrequired = 4},
        parse_locals),
    method_row<&analysis::get_columns>(
        {QARVEL_PLAIN("_get_columns", "_get_columns(self, sql_md5, expressions)", m_get_columns,
                      82),
         .nrequired = 3},
        get_columns_locals),
    method_row<&analysis::find_column>(
        {QARVEL_PLAIN("_find_column",
                      "_find_column(self, sql_md5, find_list, column_type, column_alias=None)",
                      m_find_column, 112),
         .nrequired = 4, .has_default = true},
        find_column_locals),
    method_row<&analysis::get_column_parent>(
        {QARVEL_PLAIN("_get_column_parent", "_get_column_parent(column, column_table)",
                      m_get_column_parent, 119),
         .nrequired = 2, .is_static = true},
        get_column_parent_locals),
    method_row<&analysis::append_column_info>(
        {QARVEL_PLAIN("_append_column_info",
                      "_append_column_info(self, sql_md5, column, column_table, column_alias, "
                      "column_type, table=None)",
                      m_append_column_info, 131),
         .nrequired = 6, .has_default = true},
        append_column_info_locals),
    method_row<&analysis::get_tables>(
        {QARVEL_PLAIN("_get_tables", "_get_tables(self, sql_md5, expression)", m_get_tables, 162),
         .nrequired = 3},
        get_tables_locals),
    method_row<&analysis::match_column>(
        {QARVEL_PLAIN("_match_column", "_match_column(self, sql_md5, table_args, columns)",
                      m_match_column, 183),
         .nrequired = 4},
        match_column_locals),
    method_row<&render::callback>(
        {QARVEL_PLAIN("_callback", "_callback(self, sql_md5, callback)", m_callback, 229),
         .nrequired = 3},
        callback_locals),
    method_row<&render::callback_qarvel>(
        {QARVEL_PLAIN("_callback_qarvel", "_callback_qarvel(self, sql_md5)", m_callback_qarvel,
                      241),
         .nrequired = 2},
        output_locals),
    method_row<&render::callback_print>(
        {QARVEL_PLAIN("_callback_print", "_callback_print(self, sql_md5)", m_callback_print, 244),
         .nrequired = 2},
        callback_print_locals),
    method_row<&render::callback_normal>(
        {QARVEL_PLAIN("_callback_normal", "_callback_normal(self, sql_md5)", m_callback_normal,
                      255),
         .nrequired = 2},
        output_locals),
    method_row<&render::callback_dataframe>(
        {QARVEL_PLAIN("_callback_dataframe", "_callback_dataframe(self, sql_md5)",
                      m_callback_dataframe, 258),
         .nrequired = 2},
        output_locals),
    method_row<&render::callback_sql>(
        {QARVEL_PLAIN("_callback_sql", "_callback_sql(self, sql_md5)", m_callback_sql, 261),
         .nrequired = 2},
        output_locals),
    method_row<&render::callback_table>(
        {QARVEL_PLAIN("_callback_table", "_callback_table(self, sql_md5)", m_callback_table, 264),
         .nrequired = 2},
        callback_table_locals),
};

const int method_count = sizeof(method_table) / sizeof(method_table[0]);

}  // namespace qarvel
