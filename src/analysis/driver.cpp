// The analysis driver: `_parse`.  Registers the statement, records the
// dialect, and unless the statement was analysed before, normalises, parses
// and runs the column and table stages; then renders the requested output.
#include "analysis/analysis.hpp"
#include "interop/siblings.hpp"

namespace qarvel::analysis {

using py::handle;
using py::object;

namespace parse_line {
constexpr int kRegister = 73;  // sql_md5 = self._set_sql_md5(sql)
constexpr int kDialect = 74;   // self._var.get(sql_md5).dialect = dialect
constexpr int kAnalysed = 75;  // if not self._var.get(sql_md5).parse_columns:
constexpr int kFormat = 76;    //     format_sql = self._format(self._var.get(sql_md5).sql)
constexpr int kParse = 77;     //     expression = parse_one(format_sql, dialect=dialect).find(exp.Select)
constexpr int kColumns = 78;   //     self._get_columns(sql_md5, expression.expressions)
constexpr int kTables = 79;    //     self._get_tables(sql_md5, expression)
constexpr int kOutput = 80;    // return self._callback(sql_md5, callback)
}  // namespace parse_line

namespace {

// record.columns, record.alias, record.text = [], [], []; record.sort = 0
void reset_analysis(handle self, handle sql_md5) {
    py::setattr(siblings::record(self, sql_md5), k.columns, py::new_list());
    py::setattr(siblings::record(self, sql_md5), k.alias, py::new_list());
    py::setattr(siblings::record(self, sql_md5), k.text, py::new_list());
    py::setattr(siblings::record(self, sql_md5), k.sort, k.zero);
}

}  // namespace

object parse(site& s, handle self, handle sql, handle dialect, handle callback) {
    namespace line = parse_line;

    s.at(line::kRegister);
    object sql_md5 = py::call_method(self, k.m_set_sql_md5, sql);

    s.at(line::kDialect);
    py::setattr(siblings::record(self, sql_md5), k.dialect, dialect);

    s.at(line::kAnalysed);
    if (!py::truth(siblings::entry(self, sql_md5, k.parse_columns))) {
        // Every analysis starts from the state registration creates, so a
        // run after an interrupted or empty one gives what a first run gives.
        reset_analysis(self, sql_md5);
        s.at(line::kFormat);
        object format_method = py::getattr(self, k.m_format);
        object format_sql = py::call(format_method, siblings::entry(self, sql_md5, k.sql));

        s.at(line::kParse);
        object tree = py::call_kw<1>(py::global(k.parse_one), k.kw_dialect, format_sql, dialect);
        object find = py::getattr(tree, k.find);
        object expression = py::call(find, py::getattr(py::global(k.exp), k.Select));

        s.at(line::kColumns);
        object get_columns = py::getattr(self, k.m_get_columns);
        py::call(get_columns, sql_md5, py::getattr(expression, k.expressions));

        s.at(line::kTables);
        py::call_method(self, k.m_get_tables, sql_md5, expression);
    }

    s.at(line::kOutput);
    return py::call_method(self, k.m_callback, sql_md5, callback);
}

}  // namespace qarvel::analysis
