// Text-table renderings: `_callback_print` (one labelled line per column
// record) and `_callback_table` (a PrettyTable).
#include "interop/siblings.hpp"
#include "render/render.hpp"

namespace qarvel::render {

using py::handle;
using py::object;

namespace print_line {
constexpr int kStart = 245;   // text_list = []
constexpr int kLoop = 246;    // for column in self._var.get(sql_md5).parse_columns:
constexpr int kAppend = 247;  //     text_list.append(
constexpr int kBuild = 248;   //         f"序号: {column.sort}, 别名: {column.alias}, " ... (248 to 251)
constexpr int kJoin = 253;    // return "\n".join(text_list)
}  // namespace print_line

namespace {

struct labelled_value {
    PyObject* constant_table::*label;
    PyObject* constant_table::*attribute;
    int line;
};

constexpr labelled_value kLabels[] = {
    {&constant_table::label_sort, &constant_table::sort, 248},
    {&constant_table::label_alias, &constant_table::alias, 248},
    {&constant_table::label_column, &constant_table::column, 249},
    {&constant_table::label_column_table, &constant_table::column_table, 249},
    {&constant_table::label_type, &constant_table::key_type, 250},
    {&constant_table::label_db, &constant_table::db, 250},
    {&constant_table::label_table, &constant_table::table, 251},
    {&constant_table::label_table_alias, &constant_table::key_table_alias, 251},
};

}  // namespace

object callback_print(site& s, handle self, handle sql_md5) {
    namespace line = print_line;

    s.at(line::kStart);
    object text_list = py::new_list();

    s.at(line::kLoop);
    py::for_each columns(siblings::entry(self, sql_md5, k.parse_columns));
    while (object column = s.next(columns, line::kLoop)) {

        // Every piece is made before the tuple that joins them: the attribute
        // look-ups can run Python code, which must never see a tuple with
        // unset slots.
        constexpr Py_ssize_t kPieces = 2 * (sizeof(kLabels) / sizeof(kLabels[0]));
        object pieces[kPieces];
        Py_ssize_t i = 0;
        for (const labelled_value& value : kLabels) {
            s.at(value.line);
            pieces[i++] = object::borrow(k.*value.label);
            pieces[i++] = py::format_simple(py::getattr(column, k.*value.attribute), k.empty);
        }
        s.at(line::kBuild);
        object text = py::join(k.empty, py::tuple_from(pieces, kPieces));
        s.at(line::kAppend);
        py::append(text_list, text);
    }

    s.at(line::kJoin);
    return py::join(k.newline, text_list);
}

namespace table_line {
constexpr int kNew = 265;     // table = PrettyTable()
constexpr int kHeader = 266;  // field_names = self._var.get(sql_md5).parse_columns[0].keys()
constexpr int kAssign = 267;  // table.field_names = field_names
constexpr int kLoop = 268;    // for row in self._var.get(sql_md5).parse_columns:
constexpr int kRow = 269;     //     table.add_row([row.get(field) for field in field_names])
}  // namespace table_line

object callback_table(site& s, handle self, handle sql_md5) {
    namespace line = table_line;

    s.at(line::kNew);
    object table = py::call(py::global(k.PrettyTable));

    // The first record names the columns; an empty list has none, and the
    // item access fails with IndexError here.
    s.at(line::kHeader);
    object first = py::checked(
        PyObject_GetItem(siblings::entry(self, sql_md5, k.parse_columns).ptr(), k.zero));
    object field_names = py::call_method(first, k.keys);

    s.at(line::kAssign);
    py::setattr(table, k.field_names, field_names);

    s.at(line::kLoop);
    py::for_each rows(siblings::entry(self, sql_md5, k.parse_columns));
    while (object row = s.next(rows, line::kLoop)) {

        s.at(line::kRow);
        object add_row = py::getattr(table, k.add_row);
        object cells = py::new_list();
        py::for_each fields(field_names);
        while (object field = fields.next()) {
            py::append(cells, py::call_method(row, k.get, field));
        }
        py::call(add_row, cells);
    }
    return table;
}

}  // namespace qarvel::render
