// Column-to-table matching: `_match_column` attributes the column records
// that belong to one source of a SELECT, tracing sub-queries and WITH
// entries through a nested analysis.
#include "analysis/analysis.hpp"
#include "interop/process_state.hpp"
#include "interop/siblings.hpp"

namespace qarvel::analysis {

using py::handle;
using py::object;

namespace match_column_line {
constexpr int kStart = 184;         // new_columns = []
constexpr int kLoop = 185;          // for column in columns:
constexpr int kNamed = 186;         //     if column.get("table"):
constexpr int kPassThrough = 187;   //         new_columns.append(column)
constexpr int kText = 189;          //     text = "-".join([
constexpr int kTextFirst = 190;     //         column.get("column"), column.get("alias"),
constexpr int kTextSecond = 191;    //         column.get("column_table"), column.get("type")])
constexpr int kMatchTest = 193;     //     if text in record.text and column.get("column_table") in (table_args.alias, ""):
constexpr int kIsTable = 194;       //         if isinstance(table_args, exp.Table):
constexpr int kTableEntry = 195;    //             new_columns.append({
constexpr int kTableCopy = 196;     //                 **column,
constexpr int kTableDb = 197;       //                 "db": table_args.db,
constexpr int kTableName = 198;     //                 "table": table_args.name,
constexpr int kTableAlias = 199;    //                 "table_alias": table_args.alias})
constexpr int kIsQuery = 201;       //         elif isinstance(table_args, (exp.Subquery, exp.CTE)):
constexpr int kInner = 202;         //             table_new_columns = self._parse(str(table_args.this), dialect, "qarvel")
constexpr int kInnerLoop = 203;     //             for table_column in table_new_columns:
constexpr int kInnerTest = 204;     //                 if table_column.get("alias") == column.get("column"):
constexpr int kInnerEntry = 205;    //                     new_columns.append({
constexpr int kInnerCopy = 206;     //                         **column,
constexpr int kInnerColumn = 207;   //                         "column": table_column.get("column"),
constexpr int kInnerType = 208;     //                         "type": table_column.get("type"),
constexpr int kInnerDb = 209;       //                         "db": table_column.get("db"),
constexpr int kInnerTable = 210;    //                         "table": table_column.get("table"),
constexpr int kInnerAlias = 211;    //                         "table_alias": table_column.get("table_alias")})
constexpr int kUnsupported = 214;   //         else: raise NotImplementedError("暂不支持 " + source)
constexpr int kRemove = 215;        //         self._var.get(sql_md5).text.remove(text)
constexpr int kNoMatch = 217;       //     else: new_columns.append({
constexpr int kNoMatchFirst = 218;  //         "sort", "alias", "column", "column_table",
                                    //         "type", "db", "table", "table_alias" (218 to 225)
}  // namespace match_column_line

namespace {

// mapping.get(key)
object get(handle mapping, handle key) { return py::call_method(mapping, k.get, key); }

// {**column}: reported at the line of the copy for a plain dict, at the line
// of the new entry otherwise.
object copy_record(site& s, handle column, int entry_line, int copy_line) {
    s.at(PyDict_CheckExact(column.ptr()) ? copy_line : entry_line);
    return py::dict_copy_of(column);
}

// The eight keys of the no-match shape, with the line of each read.
struct rebuilt_key {
    PyObject* constant_table::*key;
    int line;
};
constexpr rebuilt_key kRebuiltKeys[] = {
    {&constant_table::sort, 218},         {&constant_table::alias, 219},
    {&constant_table::column, 220},       {&constant_table::column_table, 221},
    {&constant_table::key_type, 222},     {&constant_table::db, 223},
    {&constant_table::table, 224},        {&constant_table::key_table_alias, 225},
};

}  // namespace

object match_column(site& s, handle self, handle sql_md5, handle table_args, handle columns) {
    namespace line = match_column_line;

    s.at(line::kStart);
    object new_columns = py::new_list();

    s.at(line::kLoop);
    py::for_each records(columns);
    while (object column = s.next(records, line::kLoop)) {

        s.at(line::kNamed);
        if (py::truth(get(column, k.table))) {
            s.at(line::kPassThrough);
            py::append(new_columns, column);
            continue;
        }

        s.at(line::kText);
        object parts = py::new_list();
        s.at(line::kTextFirst);
        object part = get(column, k.column);
        py::append(parts, part);
        part = get(column, k.alias);
        py::append(parts, part);
        s.at(line::kTextSecond);
        part = get(column, k.column_table);
        py::append(parts, part);
        part = get(column, k.key_type);
        py::append(parts, part);
        s.at(line::kText);
        object text = py::join(k.dash, parts);

        s.at(line::kMatchTest);
        bool matched = py::contains(siblings::entry(self, sql_md5, k.text), text);
        if (matched) {
            object column_table = get(column, k.column_table);
            object source_alias = py::getattr(table_args, k.alias);
            matched = py::equals(column_table, source_alias) || py::equals(column_table, k.empty);
        }

        if (!matched) {
            s.at(line::kNoMatch);
            object entry = py::new_dict();
            for (const rebuilt_key& key : kRebuiltKeys) {
                s.at(key.line);
                object value = get(column, k.*key.key);
                s.at(line::kNoMatchFirst);
                py::dict_set(entry, k.*key.key, value);
            }
            s.at(line::kNoMatch);
            py::append(new_columns, entry);
            continue;
        }

        s.at(line::kIsTable);
        if (py::is_instance(table_args, py::getattr(py::global(k.exp), k.Table))) {
            object entry = copy_record(s, column, line::kTableEntry, line::kTableCopy);
            s.at(line::kTableDb);
            py::dict_set(entry, k.db, py::getattr(table_args, k.db));
            s.at(line::kTableName);
            py::dict_set(entry, k.table, py::getattr(table_args, k.name));
            s.at(line::kTableAlias);
            py::dict_set(entry, k.key_table_alias, py::getattr(table_args, k.alias));
            s.at(line::kTableEntry);
            py::append(new_columns, entry);
        } else {
            s.at(line::kIsQuery);
            const bool query = py::is_instance(table_args, py::getattr(py::global(k.exp), k.Subquery)) ||
                               py::is_instance(table_args, py::getattr(py::global(k.exp), k.CTE));
            if (!query) {
                s.at(line::kUnsupported);
                object source_text = py::format_simple(table_args, k.empty);
                py::raise_new(process.not_implemented_error.ptr(),
                              py::checked(PyUnicode_Concat(k.unsupported, source_text.ptr())));
            }

            s.at(line::kInner);
            object parse = py::getattr(self, k.m_parse);
            object inner_sql = py::str_of(py::getattr(table_args, k.this_));
            object dialect = siblings::entry(self, sql_md5, k.dialect);
            object table_new_columns = py::call(parse, inner_sql, dialect, k.cb_qarvel);

            s.at(line::kInnerLoop);
            py::for_each inner(table_new_columns);
            while (object table_column = s.next(inner, line::kInnerLoop)) {

                s.at(line::kInnerTest);
                object inner_alias = get(table_column, k.alias);
                if (!py::equals(inner_alias, get(column, k.column))) continue;

                object entry = copy_record(s, column, line::kInnerEntry, line::kInnerCopy);
                s.at(line::kInnerColumn);
                py::dict_set(entry, k.column, get(table_column, k.column));
                s.at(line::kInnerType);
                py::dict_set(entry, k.key_type, get(table_column, k.key_type));
                s.at(line::kInnerDb);
                py::dict_set(entry, k.db, get(table_column, k.db));
                s.at(line::kInnerTable);
                py::dict_set(entry, k.table, get(table_column, k.table));
                s.at(line::kInnerAlias);
                py::dict_set(entry, k.key_table_alias, get(table_column, k.key_table_alias));
                s.at(line::kInnerEntry);
                py::append(new_columns, entry);
            }
        }

        s.at(line::kRemove);
        py::call_method(siblings::entry(self, sql_md5, k.text), k.remove, text);
    }
    return new_columns;
}

}  // namespace qarvel::analysis
