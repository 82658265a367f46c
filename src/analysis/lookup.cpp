// Column lookup: `_find_column` settles each source column's table qualifier,
// output alias and (for unqualified columns) source table;
// `_get_column_parent` walks up to the nearest enclosing SELECT.
#include "analysis/analysis.hpp"
#include "interop/process_state.hpp"
#include "interop/siblings.hpp"

namespace qarvel::analysis {

using py::handle;
using py::object;

namespace find_column_line {
constexpr int kLoop = 113;    // for column in find_list:
constexpr int kTable = 114;   //     column_table = "anonymous" if column_type == "anonymous" else column.table
constexpr int kParent = 115;  //     old_alias, table = self._get_column_parent(column, column_table)
constexpr int kAlias = 116;   //     column_alias = column_alias or old_alias or column.alias_or_name
constexpr int kRecord = 117;  //     self._append_column_info(sql_md5, column, column_table, column_alias, column_type, table)
}  // namespace find_column_line

object find_column(site& s, handle self, handle sql_md5, handle find_list, handle column_type,
                   handle column_alias_param) {
    namespace line = find_column_line;
    object column_alias = object::borrow(column_alias_param);

    s.at(line::kLoop);
    py::for_each columns(find_list);
    while (object column = s.next(columns, line::kLoop)) {

        s.at(line::kTable);
        object column_table = py::equals(column_type, k.type_anonymous)
                                  ? object::borrow(k.type_anonymous)
                                  : py::getattr(column, k.table);

        s.at(line::kParent);
        object parent = py::call_method(self, k.m_get_column_parent, column, column_table);
        object old_alias, table;
        py::unpack_two(parent, old_alias, table);

        s.at(line::kAlias);
        if (!py::truth(column_alias)) {
            column_alias = py::truth(old_alias) ? old_alias : py::getattr(column, k.alias_or_name);
        }

        s.at(line::kRecord);
        py::call_method(self, k.m_append_column_info, sql_md5, column, column_table, column_alias,
                        column_type, table);
    }
    return object::borrow(Py_None);
}

namespace get_column_parent_line {
constexpr int kStart = 121;   // old, table, parent = column, None, column.parent
constexpr int kWalk = 123;    // while parent:
constexpr int kSelect = 124;  //     if isinstance(parent, exp.Select):
constexpr int kOwnFrom = 125; //         if column_table == "":
constexpr int kSource = 126;  //             table = parent.args.get("from").args.get("this")
constexpr int kFound = 127;   //         return old.alias, table
constexpr int kUp = 128;      //     old, parent = parent, parent.parent
constexpr int kTop = 129;     // return old.alias, table
}  // namespace get_column_parent_line

namespace {

// (old.alias, table)
object alias_and_table(handle old, handle table) {
    object alias = py::getattr(old, k.alias);
    return py::checked(PyTuple_Pack(2, alias.ptr(), table.ptr()));
}

}  // namespace

object get_column_parent(site& s, handle column, handle column_table) {
    namespace line = get_column_parent_line;

    s.at(line::kStart);
    object old = object::borrow(column);
    object table = object::borrow(Py_None);
    object parent = py::getattr(column, k.parent);

    while (true) {
        // The chain is the caller's: a cyclic one must stop on Ctrl-C.
        s.at(line::kWalk);
        site::check_signals();
        if (!py::truth(parent)) break;

        s.at(line::kSelect);
        if (py::is_instance(parent, py::getattr(py::global(k.exp), k.Select))) {
            s.at(line::kOwnFrom);
            if (py::equals(column_table, k.empty)) {
                s.at(line::kSource);
                object from = py::call_method(py::getattr(parent, k.args), k.get, process.arg_from);
                table = py::call_method(py::getattr(from, k.args), k.get, k.key_this);
            }
            s.at(line::kFound);
            return alias_and_table(old, table);
        }

        s.at(line::kUp);
        object next = py::getattr(parent, k.parent);
        old = std::move(parent);
        parent = std::move(next);
    }
    s.at(line::kTop);
    return alias_and_table(old, table);
}

}  // namespace qarvel::analysis
