// The constant tables: every name and text the native code uses, made once
// per process as Python `str` objects when a module is executed.  Identifiers
// are interned (attribute look-ups and keyword matching then compare
// pointers); texts are made from their UTF-8 spelling.  `core` holds the
// names of the interop layer itself, which every extension module built on it
// creates; `k` holds the analyser's names.
#pragma once

#include "interop/object.hpp"

// clang-format off
#define QARVEL_CORE_IDENTIFIERS(X)                                              \
    X(append, "append") X(replace, "replace") X(co_argcount, "co_argcount")    \
    X(co_nlocals, "co_nlocals") X(co_varnames, "co_varnames")                  \
    X(co_flags, "co_flags")

#define QARVEL_IDENTIFIERS(X)                                                   \
    /* methods */                                                               \
    X(m_init, "__init__") X(m_set_sql_md5, "_set_sql_md5") X(m_format, "_format") \
    X(m_parse, "_parse") X(m_get_columns, "_get_columns")                      \
    X(m_find_column, "_find_column") X(m_get_column_parent, "_get_column_parent") \
    X(m_append_column_info, "_append_column_info") X(m_get_tables, "_get_tables") \
    X(m_match_column, "_match_column") X(m_callback, "_callback")              \
    X(m_callback_qarvel, "_callback_qarvel") X(m_callback_print, "_callback_print") \
    X(m_callback_normal, "_callback_normal")                                   \
    X(m_callback_dataframe, "_callback_dataframe")                             \
    X(m_callback_sql, "_callback_sql") X(m_callback_table, "_callback_table")  \
    /* parameters and locals */                                                \
    X(self, "self") X(sql, "sql") X(dialect, "dialect") X(callback, "callback") \
    X(sql_md5, "sql_md5") X(expressions, "expressions") X(find_list, "find_list") \
    X(column_type, "column_type") X(column_alias, "column_alias")              \
    X(column, "column") X(column_table, "column_table") X(table, "table")      \
    X(expression, "expression") X(table_args, "table_args") X(columns, "columns") \
    X(args, "args") X(kwargs, "kwargs") X(format_sql, "format_sql")            \
    X(subquery_expressions, "subquery_expressions") X(old_alias, "old_alias")  \
    X(old, "old") X(parent, "parent") X(column_table_alias, "column_table_alias") \
    X(column_name, "column_name") X(text, "text") X(column_info, "column_info") \
    X(new_columns, "new_columns") X(with_expression, "with_expression")        \
    X(select_args, "select_args") X(select, "select") X(subquery, "subquery")  \
    X(subquery_args, "subquery_args") X(from_args, "from_args")                \
    X(join_args, "join_args") X(join, "join") X(table_new_columns, "table_new_columns") \
    X(table_column, "table_column") X(callback_function, "callback_function")  \
    X(function, "function") X(text_list, "text_list") X(field_names, "field_names") \
    X(row, "row") X(field, "field")                                            \
    /* statement record and store */                                           \
    X(alias, "alias") X(sort, "sort") X(parse_columns, "parse_columns")        \
    X(var, "_var") X(get, "get") X(keys, "keys") X(add, "add") X(todict, "todict") \
    /* sibling modules */                                                      \
    X(QarvelBases, "QarvelBases") X(QarvelCrypt, "QarvelCrypt")                \
    X(QarvelVar, "QarvelVar") X(crypt, "crypt") X(path_file, "path_file")      \
    X(path_read, "path_read") X(md5_encrypt, "md5_encrypt")                    \
    /* re, str, json */                                                        \
    X(re, "re") X(sub, "sub") X(DOTALL, "DOTALL") X(flags, "flags")            \
    X(lower, "lower") X(strip, "strip") X(json, "json") X(dumps, "dumps")      \
    X(ensure_ascii, "ensure_ascii")                                            \
    /* sqlglot */                                                              \
    X(parse_one, "parse_one") X(exp, "exp") X(Select, "Select") X(find, "find") \
    X(find_all, "find_all") X(this_, "this") X(Subquery, "Subquery")           \
    X(Column, "Column") X(Anonymous, "Anonymous") X(Literal, "Literal")        \
    X(Null, "Null") X(Alias, "Alias") X(Table, "Table") X(CTE, "CTE")          \
    X(alias_or_name, "alias_or_name") X(name, "name") X(db, "db")              \
    /* outputs */                                                              \
    X(pd, "pd") X(DataFrame, "DataFrame") X(PrettyTable, "PrettyTable")        \
    X(add_row, "add_row") X(remove, "remove")                                  \
    /* module definition */                                                    \
    X(test_key, "__test__")                                                    \
    X(module_key, "__module__") X(qualname_key, "__qualname__")                \
    X(class_name, "QarvelSQLGlotMain") X(module_name, "sqlglot_main")          \
    X(spec_key, "__spec__") X(initializing, "_initializing")                   \
    X(file_key, "__file__")                                                    \
    X(mod_json, "json") X(mod_random, "random") X(mod_string, "string")        \
    X(mod_datetime, "datetime") X(mod_pandas, "pandas")                        \
    X(mod_qarvel_bases, "qarvel_bases") X(mod_qarvel_crypt, "qarvel_crypt")    \
    X(mod_qarvel_var, "qarvel_var") X(mod_prettytable, "prettytable")          \
    X(mod_sqlglot, "sqlglot") X(staticmethod_, "staticmethod")                 \
    X(print_, "print") X(NotImplementedError_, "NotImplementedError")

#define QARVEL_TEXTS(X)                                                         \
    X(empty, "") X(dash, "-") X(dot, ".") X(space, " ") X(newline, "\n")       \
    X(key_with, "with") X(key_from, "from") X(key_joins, "joins")              \
    X(key_with_, "with_") X(key_from_, "from_") X(arg_types, "arg_types")      \
    X(key_this, "this") X(key_type, "type") X(key_table_alias, "table_alias")  \
    X(type_anonymous, "anonymous") X(type_subquery, "subquery")                \
    X(type_column, "column") X(type_literal, "literal") X(type_null, "null")   \
    X(cb_qarvel, "qarvel") X(cb_print, "print") X(cb_normal, "normal")         \
    X(cb_dataframe, "dataframe") X(cb_sql, "sql") X(cb_table, "table")         \
    X(unsupported, "暂不支持 ")                                                 \
    X(label_sort, "序号: ") X(label_alias, ", 别名: ")                          \
    X(label_column, ", 来源字段名: ") X(label_column_table, ", 来源字段表别名: ") \
    X(label_type, ", 字段类型: ") X(label_db, ", 来源库名: ")                   \
    X(label_table, ", 来源表名: ") X(label_table_alias, ", 来源表别名: ")       \
    /* Comment removal: quoted strings and identifiers are matched first and */ \
    /* put back unchanged, so markers inside them are not comments.         */ \
    /* An unterminated block comment: the first pattern matches it from its  */ \
    /* opening to the end of the text (group 2), the second keeps it with    */ \
    /* the quoted text (a look-ahead tells it has no end), so neither        */ \
    /* pattern tries again at every later opening of a text with no closing. */ \
    X(re_line_comment,                                                         \
      "('(?:[^']|'')*'|\"(?:[^\"]|\"\")*\"|`(?:[^`]|``)*`|/\\*[\\s\\S]*?\\*/)|--[^\\n]*" \
      "|(/\\*[\\s\\S]*)")                                                        \
    X(re_line_comment_tail,                                                    \
      "('(?:[^']|'')*'|\"(?:[^\"]|\"\")*\"|`(?:[^`]|``)*`)|--[^\\n]*")         \
    X(re_block_comment,                                                        \
      "('(?:[^']|'')*'|\"(?:[^\"]|\"\")*\"|`(?:[^`]|``)*`|/\\*(?!.*?\\*/).*)|/\\*.*?\\*/") \
    X(re_keep_quoted, "\\1") X(slash, "/") X(compile, "compile")              \
    X(re_whitespace, "\\s+")                                                   \
    X(re_space_before, "\\s+(?=[\\(\\),;])")                                   \
    X(re_space_after, "(?<=[\\(\\),;])\\s+")                                   \
    X(file_name, "sqlglot_main.py")
// clang-format on

namespace qarvel {

#define QARVEL_CONSTANT_FIELD(field, text) PyObject* field;

struct core_table {
    QARVEL_CORE_IDENTIFIERS(QARVEL_CONSTANT_FIELD)
    PyObject* empty_text;  // ""
};

struct constant_table {
    QARVEL_IDENTIFIERS(QARVEL_CONSTANT_FIELD)
    QARVEL_TEXTS(QARVEL_CONSTANT_FIELD)
    PyObject* zero;            // 0
    PyObject* one;             // 1
    PyObject* two;             // 2
    PyObject* none_defaults;   // (None,)
    PyObject* kw_dialect;      // ("dialect",)
    PyObject* kw_flags;        // ("flags",)
    PyObject* kw_ensure_ascii; // ("ensure_ascii",)
    PyObject* empty_tuple;
    PyObject* empty_bytes;
};

#undef QARVEL_CONSTANT_FIELD

// Filled by `create_core_constants` and `create_constants`; read-only
// afterwards.  Both live in the process state (process_state.cpp).
extern core_table core;
extern constant_table k;

// Each creates its table once per process (a failed load keeps what was
// made; the objects are immutable).  Returns false with an exception set on
// failure.
bool create_core_constants();
bool create_shared_empties();
bool create_constants();

}  // namespace qarvel
