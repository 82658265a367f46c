// SQL text normalisation: `_format`.  Lower case, comments removed, every
// whitespace run one space, no whitespace before "(", ")", "," or ";".  The
// result is cached in the statement record as `format_sql`.
#include "analysis/analysis.hpp"
#include "interop/boundary.hpp"
#include "interop/process_state.hpp"
#include "interop/siblings.hpp"

namespace qarvel::analysis {

using py::handle;
using py::object;

namespace format_line {
constexpr int kRegister = 58;      // sql_md5 = self._set_sql_md5(sql)
constexpr int kCacheRead = 59;     // format_sql = self._var.get(sql_md5).format_sql
constexpr int kCacheTest = 60;     // if format_sql:
constexpr int kLower = 62;         // sql = sql.lower()
constexpr int kLineComments = 63;  // line comments outside quoted text
constexpr int kBlockComments = 64; // block comments outside quoted text
constexpr int kCollapse = 65;      // format_sql = re.sub(r"\s+", " ", sql).strip()
constexpr int kBefore = 66;        // no whitespace before ( ) , ;
constexpr int kAfter = 67;         // one space after ( ) , ;
constexpr int kFinal = 68;         // collapse and strip once more
constexpr int kStore = 69;         // self._var.get(sql_md5).format_sql = format_sql
}  // namespace format_line

namespace {

// re.sub(pattern, replacement, text), `re` looked up now.
object re_sub(handle pattern, handle replacement, handle text) {
    object sub = py::getattr(py::global(k.re), k.sub);
    return py::call(sub, pattern, replacement, text);
}

// The replacement of the line-comment pass, for each match: quoted text and
// block comments (group 1) stay; an unterminated block comment (group 2,
// from its "/" to the end) keeps its "/" and the rest is processed as the
// pattern would have processed it from the next character on, where no
// block comment can match any more; a line comment goes.
object replace_comment(handle match) {
    object kept = py::checked(PyObject_GetItem(match.ptr(), k.one));
    if (!kept.is(Py_None)) return kept;
    object unterminated = py::checked(PyObject_GetItem(match.ptr(), k.two));
    if (unterminated.is(Py_None)) return object::borrow(k.empty);
    object rest = py::checked(
        PyUnicode_Substring(unterminated.ptr(), 1, PyUnicode_GET_LENGTH(unterminated.ptr())));
    object sub = py::getattr(process.comment_tail_pattern.ptr(), k.sub);
    object processed = py::call(sub, k.re_keep_quoted, rest);
    return py::checked(PyUnicode_Concat(k.slash, processed.ptr()));
}

PyObject* replace_comment_entry(PyObject*, PyObject* match) {
    return replace_comment(match).release();
}

PyMethodDef replace_comment_def = {
    .ml_name = "replace_comment",
    .ml_meth = py::guarded<replace_comment_entry>,
    .ml_flags = METH_O,
    .ml_doc = nullptr,
};

}  // namespace

void prepare_normalisation() {
    if (process.comment_replacement) return;
    object re = py::checked(PyImport_ImportModule("re"));
    object compile = py::getattr(re, k.compile);
    process.comment_tail_pattern.reset(py::call(compile, k.re_line_comment_tail));
    process.comment_replacement.reset(
        py::checked(PyCFunction_New(&replace_comment_def, nullptr)));
}

object format(site& s, handle self, handle sql_param) {
    namespace line = format_line;
    object sql = object::borrow(sql_param);

    s.at(line::kRegister);
    object sql_md5 = py::call_method(self, k.m_set_sql_md5, sql);

    s.at(line::kCacheRead);
    object format_sql = siblings::entry(self, sql_md5, k.format_sql);
    s.at(line::kCacheTest);
    if (py::truth(format_sql)) return format_sql;

    // The text registration stored: the file's content when `sql` named a
    // statement file.
    s.at(line::kLower);
    sql = py::call_method(siblings::entry(self, sql_md5, k.sql), k.lower);

    // Comment markers count only outside quoted strings and identifiers: the
    // patterns match quoted text first and put it back unchanged, so a "--"
    // or "/*" inside quotes, or a "--" inside a block comment, is text.
    s.at(line::kLineComments);
    sql = re_sub(k.re_line_comment, process.comment_replacement.ptr(), sql);

    s.at(line::kBlockComments);
    {
        object sub = py::getattr(py::global(k.re), k.sub);
        object dotall = py::getattr(py::global(k.re), k.DOTALL);
        sql = py::call_kw<3>(sub, k.kw_flags, k.re_block_comment, k.re_keep_quoted, sql, dotall);
    }

    s.at(line::kCollapse);
    format_sql = py::call_method(re_sub(k.re_whitespace, k.space, sql), k.strip);
    s.at(line::kBefore);
    format_sql = re_sub(k.re_space_before, k.empty, format_sql);
    s.at(line::kAfter);
    format_sql = re_sub(k.re_space_after, k.space, format_sql);
    s.at(line::kFinal);
    format_sql = py::call_method(re_sub(k.re_whitespace, k.space, format_sql), k.strip);

    s.at(line::kStore);
    py::setattr(siblings::record(self, sql_md5), k.format_sql, format_sql);
    return format_sql;
}

}  // namespace qarvel::analysis
