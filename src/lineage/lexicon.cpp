// The dialect's lexical rules from the tuple the package hands over.
#include "lineage/lexicon.hpp"

#include "interop/ops.hpp"
#include "lineage/state.hpp"
#include "lineage/text.hpp"

#include <algorithm>

namespace qarvel::lineage {

namespace {

using py::handle;

// A list of str, or of (open, close) pairs.
std::vector<delimiter> delimiters_of(handle list) {
    std::vector<delimiter> found;
    py::for_each items(list);
    while (py::object item = items.next()) {
        if (PyUnicode_Check(item.ptr())) {
            std::string d = utf8(item);
            found.push_back({d, d});
        } else if (PyTuple_Check(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2 &&
                   PyUnicode_Check(PyTuple_GET_ITEM(item.ptr(), 0)) &&
                   PyUnicode_Check(PyTuple_GET_ITEM(item.ptr(), 1))) {
            found.push_back({utf8(PyTuple_GET_ITEM(item.ptr(), 0)),
                             utf8(PyTuple_GET_ITEM(item.ptr(), 1))});
        } else {
            PyErr_SetString(PyExc_TypeError, "delimiters must be str or (open, close) pairs of str");
            py::throw_error();
        }
    }
    // Longest first, so ''' is taken before '.
    std::stable_sort(found.begin(), found.end(),
                     [](const delimiter& a, const delimiter& b) { return a.open.size() > b.open.size(); });
    return found;
}

// (comments, quotes, identifiers, escapes) from sqlglot's tokenizer class.
lexicon lexicon_of(handle spec) {
    if (!PyTuple_Check(spec.ptr()) || PyTuple_GET_SIZE(spec.ptr()) != 4) {
        PyErr_SetString(PyExc_TypeError, "lexicon must be (comments, quotes, identifiers, escapes)");
        py::throw_error();
    }
    lexicon lex;
    // Comments: a str opens a line comment, an (open, close) pair a block.
    py::for_each comments(PyTuple_GET_ITEM(spec.ptr(), 0));
    while (py::object item = comments.next()) {
        if (PyUnicode_Check(item.ptr())) {
            lex.line_comments.push_back(utf8(item));
        } else if (PyTuple_Check(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2 &&
                   PyUnicode_Check(PyTuple_GET_ITEM(item.ptr(), 0)) &&
                   PyUnicode_Check(PyTuple_GET_ITEM(item.ptr(), 1))) {
            lex.block_comments.push_back({utf8(PyTuple_GET_ITEM(item.ptr(), 0)),
                                          utf8(PyTuple_GET_ITEM(item.ptr(), 1))});
        } else {
            PyErr_SetString(PyExc_TypeError, "comment markers must be str or (open, close) pairs of str");
            py::throw_error();
        }
    }
    // Longest first: "#!" before "#".
    std::stable_sort(lex.line_comments.begin(), lex.line_comments.end(),
                     [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    lex.identifiers = delimiters_of(PyTuple_GET_ITEM(spec.ptr(), 2));
    for (const delimiter& q : delimiters_of(PyTuple_GET_ITEM(spec.ptr(), 1))) {
        bool is_identifier = false;
        for (const delimiter& i : lex.identifiers) is_identifier = is_identifier || i.open == q.open;
        if (!is_identifier) lex.strings.push_back(q);
    }
    py::for_each escapes(PyTuple_GET_ITEM(spec.ptr(), 3));
    while (py::object e = escapes.next()) {
        if (PyUnicode_Check(e.ptr()) && utf8(e) == "\\") lex.backslash_escapes = true;
    }
    // An empty marker would match everywhere.
    std::erase_if(lex.line_comments, [](const std::string& m) { return m.empty(); });
    std::erase_if(lex.block_comments, [](const delimiter& d) { return d.open.empty() || d.close.empty(); });
    std::erase_if(lex.strings, [](const delimiter& d) { return d.open.empty() || d.close.empty(); });
    std::erase_if(lex.identifiers, [](const delimiter& d) { return d.open.empty() || d.close.empty(); });
    lex.index_openings();
    return lex;
}

}  // namespace

// The lexicon of a spec tuple: the last one's is kept in the engine's state.
const lexicon& cached_lexicon(py::handle spec) {
    if (!engine.lexicon_spec.is(spec)) {
        lexicon made = lexicon_of(spec);
        engine.last_lexicon = std::move(made);
        engine.lexicon_spec.reset(spec);
    }
    return engine.last_lexicon;
}

}  // namespace qarvel::lineage
