// The template fingerprint of a statement: a hash of its text with string
// and numeric literals masked, comments dropped and whitespace runs
// collapsed, so statements that differ only in literal values (a query log's
// template with different constants) share one analysis.
//
// The scanner follows the dialect's lexical rules as sqlglot's tokenizer
// states them (comment markers, string and identifier delimiters, escapes).
// It masks only what it is sure is a literal: anything it cannot read with
// certainty (dollar quoting, unknown string prefixes, unterminated strings or
// comments) makes the fingerprint the hash of the exact text, which is
// always safe.  Integers inside GROUP BY and ORDER BY are kept, since they
// name columns by position.
#include "lineage/fingerprint.hpp"

#include "interop/ops.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qarvel::lineage {

namespace {

struct delimiter {
    std::string open;
    std::string close;
};

// The dialect's lexical rules, as the package hands them over.
struct lexicon {
    std::vector<std::string> line_comments;
    std::vector<delimiter> block_comments;
    std::vector<delimiter> strings;      // masked
    std::vector<delimiter> identifiers;  // kept verbatim
    bool backslash_escapes = false;
};

using py::handle;

std::string utf8_of(handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) py::throw_error();
    return std::string(data, static_cast<std::size_t>(size));
}

// A list of str, or of (open, close) pairs.
std::vector<delimiter> delimiters_of(handle list) {
    std::vector<delimiter> found;
    py::for_each items(list);
    while (py::object item = items.next()) {
        if (PyUnicode_Check(item.ptr())) {
            std::string d = utf8_of(item);
            found.push_back({d, d});
        } else if (PyTuple_Check(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2 &&
                   PyUnicode_Check(PyTuple_GET_ITEM(item.ptr(), 0)) &&
                   PyUnicode_Check(PyTuple_GET_ITEM(item.ptr(), 1))) {
            found.push_back({utf8_of(PyTuple_GET_ITEM(item.ptr(), 0)),
                             utf8_of(PyTuple_GET_ITEM(item.ptr(), 1))});
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
            lex.line_comments.push_back(utf8_of(item));
        } else if (PyTuple_Check(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2 &&
                   PyUnicode_Check(PyTuple_GET_ITEM(item.ptr(), 0)) &&
                   PyUnicode_Check(PyTuple_GET_ITEM(item.ptr(), 1))) {
            lex.block_comments.push_back({utf8_of(PyTuple_GET_ITEM(item.ptr(), 0)),
                                          utf8_of(PyTuple_GET_ITEM(item.ptr(), 1))});
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
        if (PyUnicode_Check(e.ptr()) && utf8_of(e) == "\\") lex.backslash_escapes = true;
    }
    return lex;
}

bool ident_char(unsigned char c) { return std::isalnum(c) || c == '_' || c >= 0x80; }

bool starts(std::string_view text, std::size_t at, const std::string& what) {
    return !what.empty() && text.substr(at, what.size()) == what;
}

// Two 64-bit hashes of the token stream (FNV-1a and a multiply-rotate mix),
// 128 bits in all.
struct hasher {
    std::uint64_t a = 0xcbf29ce484222325ULL;
    std::uint64_t b = 0x9e3779b97f4a7c15ULL;
    void byte(unsigned char c) {
        a = (a ^ c) * 0x100000001b3ULL;
        b = (b ^ (c + 0x9fULL)) * 0xff51afd7ed558ccdULL;
        b = (b << 31) | (b >> 33);
    }
    void bytes(std::string_view s) {
        for (unsigned char c : s) byte(c);
    }
};

// Clause words that end a GROUP BY / ORDER BY list at the same depth.
bool ends_positions(std::string_view word) {
    static constexpr std::string_view kWords[] = {
        "having", "limit", "qualify", "window", "union",  "intersect", "except", "offset",
        "fetch",  "select", "from",   "where",  "rows",   "range",     "on",     "join",
        "into",   "values", "set",    "minus",  "groups", "top"};
    for (std::string_view w : kWords) {
        if (word.size() == w.size()) {
            bool same = true;
            for (std::size_t i = 0; i < w.size() && same; ++i) {
                same = std::tolower(static_cast<unsigned char>(word[i])) == w[i];
            }
            if (same) return true;
        }
    }
    return false;
}

bool word_is(std::string_view word, std::string_view lower) {
    if (word.size() != lower.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(word[i])) != lower[i]) return false;
    }
    return true;
}

// Whether a GROUP BY / ORDER BY item ends at `at`: what follows (after
// whitespace and comments) is ',', ')', ';', the end, or a word that ends
// an item (ASC, DESC, NULLS, or a clause).
bool item_ends(std::string_view text, std::size_t at, const lexicon& lex) {
    const std::size_t n = text.size();
    while (at < n) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (std::isspace(c)) {
            ++at;
            continue;
        }
        bool skipped = false;
        for (const std::string& marker : lex.line_comments) {
            if (starts(text, at, marker)) {
                const std::size_t end = text.find('\n', at);
                at = end == std::string_view::npos ? n : end + 1;
                skipped = true;
                break;
            }
        }
        for (const delimiter& block : lex.block_comments) {
            if (!skipped && starts(text, at, block.open)) {
                const std::size_t end = text.find(block.close, at + block.open.size());
                at = end == std::string_view::npos ? n : end + block.close.size();
                skipped = true;
            }
        }
        if (skipped) continue;
        if (c == ',' || c == ')' || c == ';') return true;
        if (!ident_char(c)) return false;
        std::size_t j = at;
        while (j < n && ident_char(static_cast<unsigned char>(text[j]))) ++j;
        const std::string_view word = text.substr(at, j - at);
        return word_is(word, "asc") || word_is(word, "desc") || word_is(word, "nulls") ||
               word_is(word, "with") || ends_positions(word);
    }
    return true;
}

// The masked token stream of `text` into `h`; false when the text holds
// something the scanner cannot read with certainty.
bool scan(std::string_view text, const lexicon& lex, hasher& h) {
    const std::size_t n = text.size();
    std::vector<int> positions_at;  // paren depths where a GROUP/ORDER BY list is open
    int depth = 0;
    std::string_view last_word;
    char last_punct = 0;  // the last piece when it was a single character
    bool pending_space = false;
    auto emit = [&](std::string_view piece) {
        if (pending_space) h.byte(' ');
        pending_space = false;
        h.bytes(piece);
        last_punct = 0;
    };
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isspace(c)) {
            pending_space = true;
            ++i;
            continue;
        }
        // Comments: dropped.
        bool comment = false;
        for (const std::string& marker : lex.line_comments) {
            if (starts(text, i, marker)) {
                const std::size_t end = text.find('\n', i);
                i = end == std::string_view::npos ? n : end + 1;
                pending_space = comment = true;
                break;
            }
        }
        if (comment) continue;
        for (const delimiter& block : lex.block_comments) {
            if (starts(text, i, block.open)) {
                const std::size_t end = text.find(block.close, i + block.open.size());
                if (end == std::string_view::npos) return false;
                i = end + block.close.size();
                pending_space = comment = true;
                break;
            }
        }
        if (comment) continue;
        // Dollar quoting ($$ ... $$, $tag$ ... $tag$) is not read here.
        if (c == '$') {
            std::size_t j = i + 1;
            while (j < n && ident_char(static_cast<unsigned char>(text[j])) && text[j] != '$') ++j;
            if (j < n && text[j] == '$') return false;
        }
        // Quoted identifiers: kept as they are.
        bool quoted = false;
        for (const delimiter& q : lex.identifiers) {
            if (!starts(text, i, q.open)) continue;
            std::size_t j = i + q.open.size();
            while (true) {
                const std::size_t end = text.find(q.close, j);
                if (end == std::string_view::npos) return false;
                // A doubled closing delimiter stands for itself.
                if (text.substr(end + q.close.size(), q.close.size()) == q.close) {
                    j = end + 2 * q.close.size();
                    continue;
                }
                emit(text.substr(i, end + q.close.size() - i));
                i = end + q.close.size();
                break;
            }
            quoted = true;
            break;
        }
        if (quoted) {
            last_word = {};
            continue;
        }
        // String literals: masked, unless prefixed by a letter the scanner
        // does not know (E'..', r'..', b'..', N'..', x'..' are known).
        for (const delimiter& q : lex.strings) {
            if (!starts(text, i, q.open)) continue;
            bool raw = false;
            bool prefixed = i > 0 && ident_char(static_cast<unsigned char>(text[i - 1]));
            if (prefixed) {
                // The prefix is the word just before the quote.
                std::size_t p = i;
                while (p > 0 && ident_char(static_cast<unsigned char>(text[p - 1]))) --p;
                const std::string_view prefix = text.substr(p, i - p);
                if (word_is(prefix, "r") || word_is(prefix, "br") || word_is(prefix, "rb")) {
                    raw = true;
                } else if (!(word_is(prefix, "e") || word_is(prefix, "n") || word_is(prefix, "b") ||
                             word_is(prefix, "x"))) {
                    return false;
                }
            }
            const bool backslash =
                !raw && (lex.backslash_escapes || (prefixed && word_is(last_word, "e")));
            std::size_t j = i + q.open.size();
            bool closed = false;
            while (j < n) {
                if (backslash && text[j] == '\\') {
                    j += 2;
                    continue;
                }
                if (starts(text, j, q.close)) {
                    if (q.close.size() == 1 && text.substr(j + 1, 1) == q.close) {
                        j += 2;  // '' inside '...'
                        continue;
                    }
                    j += q.close.size();
                    closed = true;
                    break;
                }
                ++j;
            }
            if (!closed) return false;
            emit("?s");
            i = j;
            quoted = true;
            break;
        }
        if (quoted) {
            last_word = {};
            continue;
        }
        // Numbers: masked when they stand alone (not part of a name like t1 or
        // 1col), except the positions of a GROUP BY / ORDER BY list.
        const bool after_name = i > 0 && (ident_char(static_cast<unsigned char>(text[i - 1])) || text[i - 1] == '.');
        if (std::isdigit(c) && !after_name) {
            std::size_t j = i;
            while (j < n && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
            bool integer = true;
            if (j + 1 < n && text[j] == '.' && std::isdigit(static_cast<unsigned char>(text[j + 1]))) {
                integer = false;
                ++j;
                while (j < n && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
            }
            if (j < n && (ident_char(static_cast<unsigned char>(text[j])) || text[j] == '.')) {
                // 1e5, 1col, 1.x: kept as written.
                while (j < n && (ident_char(static_cast<unsigned char>(text[j])) || text[j] == '.')) ++j;
                emit(text.substr(i, j - i));
            } else if (integer && !positions_at.empty() && positions_at.back() == depth &&
                       (word_is(last_word, "by") || last_punct == ',') && item_ends(text, j, lex)) {
                // GROUP BY 1, ORDER BY 2 DESC: a position, which names a column.
                emit(text.substr(i, j - i));
            } else {
                emit("?n");
            }
            i = j;
            last_word = {};
            continue;
        }
        if (ident_char(c)) {
            std::size_t j = i;
            while (j < n && ident_char(static_cast<unsigned char>(text[j]))) ++j;
            const std::string_view word = text.substr(i, j - i);
            if (ends_positions(word)) {
                while (!positions_at.empty() && positions_at.back() == depth) positions_at.pop_back();
            }
            if (word_is(word, "by") && (word_is(last_word, "group") || word_is(last_word, "order")) &&
                (positions_at.empty() || positions_at.back() != depth)) {
                positions_at.push_back(depth);
            }
            emit(word);
            last_word = word;
            i = j;
            continue;
        }
        if (c == '(') ++depth;
        if (c == ')') {
            while (!positions_at.empty() && positions_at.back() >= depth) positions_at.pop_back();
            --depth;
        }
        if (c == ';') positions_at.clear();
        emit(text.substr(i, 1));
        last_punct = static_cast<char>(c);
        last_word = {};
        ++i;
    }
    return true;
}

}  // namespace

py::object fingerprint(handle text, handle spec) {
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_SetString(PyExc_TypeError, "fingerprint() needs a str");
        py::throw_error();
    }
    const lexicon lex = lexicon_of(spec);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        // Lone surrogates: no UTF-8 form, so no template either.
        PyErr_Clear();
        return py::make_tuple(Py_False, text);
    }
    const std::string_view view(data, static_cast<std::size_t>(size));
    hasher h;
    const bool masked = scan(view, lex, h);
    if (!masked) {
        h = hasher{};
        h.byte(0);
        h.bytes(view);
    }
    // 128 bits as one Python int.
    py::object high = py::checked(PyLong_FromUnsignedLongLong(h.a));
    py::object low = py::checked(PyLong_FromUnsignedLongLong(h.b));
    py::object shift = py::checked(PyLong_FromLong(64));
    py::object shifted = py::checked(PyNumber_Lshift(high.ptr(), shift.ptr()));
    py::object value = py::checked(PyNumber_Or(shifted.ptr(), low.ptr()));
    return py::make_tuple(masked ? Py_True : Py_False, value);
}

}  // namespace qarvel::lineage
