// Column record construction: `_append_column_info` builds one column record,
// drops exact duplicates, registers the alias key and keeps the sort counter.
#include "analysis/analysis.hpp"
#include "interop/siblings.hpp"

namespace qarvel::analysis {

using py::handle;
using py::object;

namespace append_column_info_line {
constexpr int kAliasKey = 132;      // column_table_alias = f"{column_table}.{column_alias}"
constexpr int kMappingName = 134;   //     column_name = json.dumps(table, ensure_ascii=False)
constexpr int kMappingText = 136;   //     text = "-".join([...])
constexpr int kName = 138;          //     column_name = column.name
constexpr int kColumnTable = 139;   //     column_table = "" if column_table == "anonymous" else column.table
constexpr int kText = 140;          //     text = "-".join([...])
constexpr int kDuplicate = 141;     // if text in self._var.get(sql_md5).text: return
constexpr int kTextAppend = 143;    // self._var.get(sql_md5).text.append(text)
constexpr int kAliasKnown = 144;    // if column_table_alias not in self._var.get(sql_md5).alias:
constexpr int kAliasAppend = 145;   //     self._var.get(sql_md5).alias.append(column_table_alias)
constexpr int kSortRaise = 146;     //     self._var.get(sql_md5).sort += 1
constexpr int kRecord = 148;        // column_info = {"sort": ..., "column": ..., ...}
constexpr int kSourceTest = 154;    // if table and isinstance(table, exp.Table):
constexpr int kSourceUpdate = 155;  //     column_info.update({
constexpr int kSourceDb = 156;      //         "db": table.db,
constexpr int kSourceTable = 157;   //         "table": table.name,
constexpr int kSourceAlias = 158;   //         "table_alias": table.alias})
constexpr int kColumnsAppend = 160; // self._var.get(sql_md5).columns.append(column_info)
}  // namespace append_column_info_line

namespace {

// "-".join([column_name, column_alias, column_table, column_type])
object column_text(handle column_name, handle column_alias, handle column_table,
                   handle column_type) {
    return py::join(k.dash, py::make_list(column_name, column_alias, column_table, column_type));
}

}  // namespace

object append_column_info(site& s, handle self, handle sql_md5, handle column,
                          handle column_table_param, handle column_alias, handle column_type,
                          handle table) {
    namespace line = append_column_info_line;
    object column_table = object::borrow(column_table_param);

    s.at(line::kAliasKey);
    object column_table_alias;
    {
        object left = py::format_simple(column_table, k.empty);
        object right = py::format_simple(column_alias, k.empty);
        object head = py::checked(PyUnicode_Concat(left.ptr(), k.dot));
        column_table_alias = py::checked(PyUnicode_Concat(head.ptr(), right.ptr()));
    }

    object column_name, text;
    if (PyDict_Check(table.ptr())) {
        s.at(line::kMappingName);
        object dumps = py::getattr(py::global(k.json), k.dumps);
        column_name = py::call_kw<1>(dumps, k.kw_ensure_ascii, table, Py_False);
        column_table = object::borrow(k.empty);
        s.at(line::kMappingText);
        text = column_text(column_name, column_alias, column_table, column_type);
    } else {
        s.at(line::kName);
        column_name = py::getattr(column, k.name);
        s.at(line::kColumnTable);
        column_table = py::equals(column_table, k.type_anonymous) ? object::borrow(k.empty)
                                                                  : py::getattr(column, k.table);
        s.at(line::kText);
        text = column_text(column_name, column_alias, column_table, column_type);
    }

    s.at(line::kDuplicate);
    if (py::contains(siblings::entry(self, sql_md5, k.text), text)) return object::borrow(Py_None);

    s.at(line::kTextAppend);
    py::append(siblings::entry(self, sql_md5, k.text), text);

    s.at(line::kAliasKnown);
    if (!py::contains(siblings::entry(self, sql_md5, k.alias), column_table_alias)) {
        s.at(line::kAliasAppend);
        py::append(siblings::entry(self, sql_md5, k.alias), column_table_alias);
        s.at(line::kSortRaise);
        siblings::increment(self, sql_md5, k.sort);
    }

    s.at(line::kRecord);
    object column_info = py::new_dict();
    py::dict_set(column_info, k.sort, siblings::entry(self, sql_md5, k.sort));
    py::dict_set(column_info, k.column, column_name);
    py::dict_set(column_info, k.alias, column_alias);
    py::dict_set(column_info, k.column_table, column_table);
    py::dict_set(column_info, k.key_type, column_type);

    s.at(line::kSourceTest);
    if (py::truth(table) && py::is_instance(table, py::getattr(py::global(k.exp), k.Table))) {
        s.at(line::kSourceUpdate);
        object source = py::new_dict();
        s.at(line::kSourceDb);
        py::dict_set(source, k.db, py::getattr(table, k.db));
        s.at(line::kSourceTable);
        object name = py::getattr(table, k.name);
        s.at(line::kSourceDb);
        py::dict_set(source, k.table, name);
        s.at(line::kSourceAlias);
        object alias = py::getattr(table, k.alias);
        s.at(line::kSourceDb);
        py::dict_set(source, k.key_table_alias, alias);
        s.at(line::kSourceUpdate);
        py::checked(PyDict_Update(column_info.ptr(), source.ptr()));
    }

    s.at(line::kColumnsAppend);
    py::append(siblings::entry(self, sql_md5, k.columns), column_info);
    return object::borrow(Py_None);
}

}  // namespace qarvel::analysis
