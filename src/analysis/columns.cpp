// Column discovery: `_get_columns` classifies each select item and records
// literals and NULL directly; sub-queries, columns and unknown function calls
// go to `_find_column`.
#include "analysis/analysis.hpp"
#include "interop/process_state.hpp"
#include "interop/siblings.hpp"

namespace qarvel::analysis {

using py::handle;
using py::object;

namespace get_columns_line {
constexpr int kLoop = 83;            // for expression in expressions:
constexpr int kLiteralTest = 84;     //     if isinstance(expression, (exp.Literal, exp.Null))
constexpr int kAliasedLiteral = 85;  //        or isinstance(expression, exp.Alias) and ... expression.this
constexpr int kAliasKnown = 87;      //         if expression.alias_or_name not in record.alias:
constexpr int kAliasAppend = 88;     //             record.alias.append(expression.alias_or_name)
constexpr int kSortRaise = 89;       //             record.sort += 1
constexpr int kColumnsAppend = 90;   //         record.columns.append({
constexpr int kRecordSort = 91;      //             "sort": record.sort,
constexpr int kRecordColumn = 92;    //             "column": expression.name,
constexpr int kRecordAlias = 93;     //             "alias": expression.alias_or_name,
constexpr int kRecordType = 95;      //             "type": "literal" or "null"
constexpr int kSubqueryTest = 97;    //     elif list(expression.find_all(exp.Subquery)):
constexpr int kSubqueryList = 98;    //         find_list = expression.find(exp.Select).expressions
constexpr int kSubqueryFind = 101;   //         self._find_column(sql_md5, find_list, "subquery", alias)
constexpr int kColumnTest = 102;     //     elif list(expression.find_all(exp.Column)):
constexpr int kColumnList = 103;     //         find_list = list(expression.find_all(exp.Column))
constexpr int kColumnFind = 104;     //         self._find_column(sql_md5, find_list, "column")
constexpr int kAnonymousTest = 105;  //     elif list(expression.find_all(exp.Anonymous)):
constexpr int kAnonymousList = 106;  //         find_list = list(expression.find_all(exp.Anonymous))
constexpr int kAnonymousFind = 107;  //         self._find_column(sql_md5, find_list, "anonymous")
constexpr int kPrint = 109;          //     else: print(repr(expression))
constexpr int kRaise = 110;          //           raise NotImplementedError("暂不支持 " + sql)
}  // namespace get_columns_line

namespace {

// isinstance(obj, exp.<name>), `exp` looked up now.
bool is_exp(handle obj, handle class_name) {
    return py::is_instance(obj, py::getattr(py::global(k.exp), class_name));
}

// list(expression.find_all(exp.<name>))
object find_all_list(handle expression, handle class_name) {
    object find_all = py::getattr(expression, k.find_all);
    return py::to_list(py::call(find_all, py::getattr(py::global(k.exp), class_name)));
}

// isinstance(expression, exp.Alias) and isinstance(expression.this, exp.<name>)
bool is_aliased(handle expression, handle class_name) {
    return is_exp(expression, k.Alias) && is_exp(py::getattr(expression, k.this_), class_name);
}

// The item kinds whose every match is handed to `_find_column`, in the
// order they are tested.
struct source_kind {
    PyObject* constant_table::*class_name;
    PyObject* constant_table::*type_label;
    int test_line, list_line, find_line;
};

constexpr source_kind kSourceKinds[] = {
    {&constant_table::Column, &constant_table::type_column, get_columns_line::kColumnTest,
     get_columns_line::kColumnList, get_columns_line::kColumnFind},
    {&constant_table::Anonymous, &constant_table::type_anonymous, get_columns_line::kAnonymousTest,
     get_columns_line::kAnonymousList, get_columns_line::kAnonymousFind},
};

void record_literal(site& s, handle self, handle sql_md5, handle expression) {
    namespace line = get_columns_line;
    s.at(line::kAliasKnown);
    object alias_or_name = py::getattr(expression, k.alias_or_name);
    if (!py::contains(siblings::entry(self, sql_md5, k.alias), alias_or_name)) {
        s.at(line::kAliasAppend);
        object aliases = siblings::entry(self, sql_md5, k.alias);
        py::append(aliases, py::getattr(expression, k.alias_or_name));
        s.at(line::kSortRaise);
        siblings::increment(self, sql_md5, k.sort);
    }

    s.at(line::kColumnsAppend);
    object columns = siblings::entry(self, sql_md5, k.columns);
    s.at(line::kRecordSort);
    object record = py::new_dict();
    py::dict_set(record, k.sort, siblings::entry(self, sql_md5, k.sort));
    s.at(line::kRecordColumn);
    object name = py::getattr(expression, k.name);
    s.at(line::kRecordSort);
    py::dict_set(record, k.column, name);
    s.at(line::kRecordAlias);
    object alias = py::getattr(expression, k.alias_or_name);
    s.at(line::kRecordSort);
    py::dict_set(record, k.alias, alias);
    py::dict_set(record, k.column_table, k.empty);
    s.at(line::kRecordType);
    const bool literal = is_exp(expression, k.Literal) || is_aliased(expression, k.Literal);
    s.at(line::kRecordSort);
    py::dict_set(record, k.key_type, literal ? k.type_literal : k.type_null);

    s.at(line::kColumnsAppend);
    py::append(columns, record);
}

}  // namespace

object get_columns(site& s, handle self, handle sql_md5, handle expressions) {
    namespace line = get_columns_line;

    s.at(line::kLoop);
    py::for_each items(expressions);
    while (object expression = s.next(items, line::kLoop)) {
        s.at(line::kLiteralTest);
        bool literal_or_null = is_exp(expression, k.Literal) || is_exp(expression, k.Null);
        if (!literal_or_null) {
            s.at(line::kAliasedLiteral);
            literal_or_null = is_exp(expression, k.Alias) &&
                              (is_exp(py::getattr(expression, k.this_), k.Literal) ||
                               is_exp(py::getattr(expression, k.this_), k.Null));
        }
        if (literal_or_null) {
            record_literal(s, self, sql_md5, expression);
            continue;
        }

        s.at(line::kSubqueryTest);
        if (py::truth(find_all_list(expression, k.Subquery))) {
            s.at(line::kSubqueryList);
            object find = py::getattr(expression, k.find);
            object select = py::call(find, py::getattr(py::global(k.exp), k.Select));
            object find_list = py::getattr(select, k.expressions);
            s.at(line::kSubqueryFind);
            object find_column = py::getattr(self, k.m_find_column);
            object alias = py::getattr(expression, k.alias_or_name);
            py::call(find_column, sql_md5, find_list, k.type_subquery, alias);
            continue;
        }

        // Column references, then calls of functions sqlglot does not know.
        bool handed_on = false;
        for (const source_kind& kind : kSourceKinds) {
            s.at(kind.test_line);
            if (!py::truth(find_all_list(expression, k.*kind.class_name))) continue;
            s.at(kind.list_line);
            object find_list = find_all_list(expression, k.*kind.class_name);
            s.at(kind.find_line);
            py::call_method(self, k.m_find_column, sql_md5, find_list, k.*kind.type_label);
            handed_on = true;
            break;
        }
        if (handed_on) continue;

        s.at(line::kPrint);
        py::call(process.print.ptr(), py::repr_of(expression));
        s.at(line::kRaise);
        object text = py::format_simple(expression, k.empty);
        py::raise_new(process.not_implemented_error.ptr(),
                      py::checked(PyUnicode_Concat(k.unsupported, text.ptr())));
    }
    return object::borrow(Py_None);
}

}  // namespace qarvel::analysis
