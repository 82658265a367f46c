// A script's statements: the text split at each ';' that is not inside a
// comment, a quoted name or a string, read with the dialect's lexicon as the
// fingerprint reads it.  What the lexicon does not settle (block comments
// that nest in some dialects only, dollar quoting, MySQL's "--" glued to
// what follows, backslashes in raw strings and quoted names, a text that
// ends inside a quote or a comment) makes the split uncertain; the spans are
// then the scanner's best reading, for the caller to confirm.
#include "lineage/split.hpp"

#include "interop/ops.hpp"
#include "lineage/lexicon.hpp"
#include "lineage/text.hpp"

#include <string_view>
#include <vector>

namespace qarvel::lineage {

namespace {

using py::handle;

inline bool space_byte(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

inline bool word_byte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' ||
           u >= 0x80;
}

// One reader per kind of token that can hide a ';'; each returns false when
// the token is not at the current position, and moves past it when it is.
class splitter {
  public:
    splitter(std::string_view text, const lexicon& lex) : text_(text), n_(text.size()), lex_(lex) {}

    // The byte offsets of every separating ';'.
    std::vector<std::size_t> run() {
        while (i_ < n_) {
            const char c = text_[i_];
            if (lex_.opens[static_cast<unsigned char>(c)] &&
                (line_comment() || block_comment() || dollar_quoted() || quoted(lex_.identifiers, true) ||
                 quoted(lex_.strings, false))) {
                continue;
            }
            if (c == ';') separators_.push_back(i_);
            ++i_;
        }
        return std::move(separators_);
    }

    bool certain() const { return certain_; }

  private:
    bool line_comment() {
        for (const std::string& marker : lex_.line_comments) {
            if (!starts(text_, i_, marker)) continue;
            if (marker == "--" && i_ + 2 < n_ && !space_byte(text_[i_ + 2])) certain_ = false;
            const std::size_t end = text_.find('\n', i_);
            i_ = end == std::string_view::npos ? n_ : end + 1;
            return true;
        }
        return false;
    }

    bool block_comment() {
        for (const delimiter& block : lex_.block_comments) {
            if (!starts(text_, i_, block.open)) continue;
            const std::size_t inside = i_ + block.open.size();
            const std::size_t end = text_.find(block.close, inside);
            if (end == std::string_view::npos) {
                certain_ = false;
                i_ = n_;
                return true;
            }
            if (text_.substr(inside, end - inside).find(block.open) != std::string_view::npos) {
                certain_ = false;
            }
            i_ = end + block.close.size();
            return true;
        }
        return false;
    }

    // $tag$ ... $tag$: read to its closing tag, but dialects differ on
    // whether it is a string at all.
    bool dollar_quoted() {
        if (text_[i_] != '$') return false;
        std::size_t j = i_ + 1;
        while (j < n_ && word_byte(text_[j]) && text_[j] != '$') ++j;
        if (j >= n_ || text_[j] != '$') return false;
        certain_ = false;
        const std::string_view tag = text_.substr(i_, j + 1 - i_);
        const std::size_t end = text_.find(tag, j + 1);
        i_ = end == std::string_view::npos ? n_ : end + tag.size();
        return true;
    }

    // A quoted name or a string: a doubled closing delimiter stands for
    // itself; a backslash escapes in strings of dialects that say so.
    bool quoted(const std::vector<delimiter>& kinds, bool name) {
        for (const delimiter& q : kinds) {
            if (!starts(text_, i_, q.open)) continue;
            const bool raw = !name && raw_prefix();
            const bool backslash = !name && !raw && lex_.backslash_escapes;
            std::size_t j = i_ + q.open.size();
            while (j < n_) {
                if (text_[j] == '\\' && (name || raw)) certain_ = false;
                if (backslash && text_[j] == '\\') {
                    j += 2;
                    continue;
                }
                if (starts(text_, j, q.close)) {
                    if (text_.substr(j + q.close.size(), q.close.size()) == q.close) {
                        j += 2 * q.close.size();
                        continue;
                    }
                    break;
                }
                ++j;
            }
            if (j >= n_) {
                certain_ = false;
                i_ = n_;
            } else {
                i_ = j + q.close.size();
            }
            return true;
        }
        return false;
    }

    // r'..', br'..', rb'..': backslashes in raw strings are read differently by dialects.
    bool raw_prefix() const {
        std::size_t p = i_;
        while (p > 0 && word_byte(text_[p - 1])) --p;
        const std::string_view prefix = text_.substr(p, i_ - p);
        if (prefix.empty() || prefix.size() > 2) return false;
        bool r = false;
        for (char c : prefix) {
            if (c == 'r' || c == 'R') {
                r = true;
            } else if (c != 'b' && c != 'B') {
                return false;
            }
        }
        return r;
    }

    const std::string_view text_;
    const std::size_t n_;
    const lexicon& lex_;
    std::size_t i_ = 0;
    bool certain_ = true;
    std::vector<std::size_t> separators_;
};

py::object index_of(std::size_t value) { return py::checked(PyLong_FromSize_t(value)); }

}  // namespace

py::object split(handle text, handle spec) {
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_SetString(PyExc_TypeError, "split() needs a str");
        py::throw_error();
    }
    const lexicon& lex = cached_lexicon(spec);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    std::string_view view;
    if (!utf8_view_of(text, view)) {
        // Lone surrogates: no UTF-8 form to read, so one uncertain span.
        PyErr_Clear();
        return py::make_tuple(Py_False, py::make_tuple(py::make_tuple(index_of(0), index_of(length))));
    }
    splitter reader(view, lex);
    const std::vector<std::size_t> separators = reader.run();
    // Byte offsets to code points, in one pass over the text.
    std::vector<py::object> spans;
    spans.reserve(separators.size() + 1);
    std::size_t byte = 0, point = 0, start = 0;
    for (std::size_t at : separators) {
        for (; byte < at; ++byte) point += (static_cast<unsigned char>(view[byte]) & 0xC0) != 0x80;
        spans.push_back(py::make_tuple(index_of(start), index_of(point)));
        start = point + 1;
    }
    spans.push_back(py::make_tuple(index_of(start), index_of(static_cast<std::size_t>(length))));
    return py::make_tuple(reader.certain() ? Py_True : Py_False,
                          py::tuple_from(spans.data(), static_cast<Py_ssize_t>(spans.size())));
}

}  // namespace qarvel::lineage
