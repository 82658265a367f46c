// Table and sub-query discovery: `_get_tables` offers the SELECT's sources
// to `_match_column` in a fixed order and stores the final column list.
#include "analysis/analysis.hpp"
#include "interop/process_state.hpp"
#include "interop/siblings.hpp"

namespace qarvel::analysis {

using py::handle;
using py::object;

namespace get_tables_line {
constexpr int kStart = 163;          // new_columns = []
constexpr int kWithTest = 164;       // if expression.args.get("with"):
constexpr int kWithColumns = 165;    //     new_columns = self._var.get(sql_md5).columns
constexpr int kWithLoop = 166;       //     for with_expression in expression.args.get("with").expressions:
constexpr int kWithMatch = 167;      //         new_columns = self._match_column(sql_md5, with_expression, new_columns)
constexpr int kColumns = 169;        //     new_columns = self._var.get(sql_md5).columns
constexpr int kSelectArgs = 170;     //     select_args = expression.expressions
constexpr int kSelectLoop = 171;     //     for select in select_args:
constexpr int kSubqueryLoop = 172;   //         for subquery in select.find_all(exp.Subquery):
constexpr int kSubqueryFrom = 173;   //             subquery_args = subquery.this.args.get("from").this
constexpr int kSubqueryMatch = 174;  //             new_columns = self._match_column(sql_md5, subquery_args, new_columns)
constexpr int kFrom = 175;           //     from_args = expression.args.get("from").this
constexpr int kFromMatch = 176;      //     new_columns = self._match_column(sql_md5, from_args, new_columns)
constexpr int kJoins = 177;          //     join_args = expression.args.get("joins", [])
constexpr int kJoinLoop = 178;       //     for join in join_args:
constexpr int kJoinSource = 179;     //         join_args = join.this
constexpr int kJoinMatch = 180;      //         new_columns = self._match_column(sql_md5, join_args, new_columns)
constexpr int kStore = 181;          // self._var.get(sql_md5).parse_columns = new_columns
}  // namespace get_tables_line

namespace {

// expression.args.get(key)
object arg(handle expression, handle key) {
    return py::call_method(py::getattr(expression, k.args), k.get, key);
}

// self._match_column(sql_md5, source, new_columns)
object match(handle self, handle sql_md5, handle source, handle new_columns) {
    return py::call_method(self, k.m_match_column, sql_md5, source, new_columns);
}

}  // namespace

object get_tables(site& s, handle self, handle sql_md5, handle expression) {
    namespace line = get_tables_line;

    s.at(line::kStart);
    object new_columns = py::new_list();

    s.at(line::kWithTest);
    if (py::truth(arg(expression, process.arg_with))) {
        s.at(line::kWithColumns);
        new_columns = siblings::entry(self, sql_md5, k.columns);

        s.at(line::kWithLoop);
        py::for_each entries(py::getattr(arg(expression, process.arg_with), k.expressions));
        while (object with_expression = s.next(entries, line::kWithLoop)) {
            s.at(line::kWithMatch);
            new_columns = match(self, sql_md5, with_expression, new_columns);
        }
    } else {
        s.at(line::kColumns);
        new_columns = siblings::entry(self, sql_md5, k.columns);

        s.at(line::kSelectArgs);
        object select_args = py::getattr(expression, k.expressions);
        s.at(line::kSelectLoop);
        py::for_each selects(select_args);
        while (object select = s.next(selects, line::kSelectLoop)) {

            s.at(line::kSubqueryLoop);
            object find_all = py::getattr(select, k.find_all);
            py::for_each subqueries(py::call(find_all, py::getattr(py::global(k.exp), k.Subquery)));
            while (object subquery = s.next(subqueries, line::kSubqueryLoop)) {
                s.at(line::kSubqueryFrom);
                object subquery_args = py::getattr(arg(py::getattr(subquery, k.this_), process.arg_from), k.this_);
                s.at(line::kSubqueryMatch);
                new_columns = match(self, sql_md5, subquery_args, new_columns);
            }
        }

        s.at(line::kFrom);
        object from_args = py::getattr(arg(expression, process.arg_from), k.this_);
        s.at(line::kFromMatch);
        new_columns = match(self, sql_md5, from_args, new_columns);

        s.at(line::kJoins);
        object joins = [&] {
            object get = py::getattr(py::getattr(expression, k.args), k.get);
            return py::call(get, k.key_joins, py::new_list());
        }();
        s.at(line::kJoinLoop);
        py::for_each join_items(joins);
        while (object join = s.next(join_items, line::kJoinLoop)) {
            s.at(line::kJoinSource);
            object join_args = py::getattr(join, k.this_);
            s.at(line::kJoinMatch);
            new_columns = match(self, sql_md5, join_args, new_columns);
        }
    }

    s.at(line::kStore);
    py::setattr(siblings::record(self, sql_md5), k.parse_columns, new_columns);
    return object::borrow(Py_None);
}

}  // namespace qarvel::analysis
