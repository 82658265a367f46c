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
#include "lineage/lexicon.hpp"
#include "lineage/state.hpp"
#include "lineage/text.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qarvel::lineage {

namespace {

using py::handle;

struct char_classes {
    bool ident[256] = {};
    bool space[256] = {};
    bool digit[256] = {};
    constexpr char_classes() {
        for (int c = 0; c < 256; ++c) {
            ident[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c >= 0x80;
            space[c] = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
            digit[c] = c >= '0' && c <= '9';
        }
    }
};
constexpr char_classes kClasses{};

inline bool ident_char(unsigned char c) { return kClasses.ident[c]; }
inline bool space_char(unsigned char c) { return kClasses.space[c]; }
inline bool digit_char(unsigned char c) { return kClasses.digit[c]; }

// The token stream, collected and then hashed 8 bytes at a time with two
// seeds (128 bits in all).
struct hasher {
    std::string stream;
    void byte(unsigned char c) { stream.push_back(static_cast<char>(c)); }
    void bytes(std::string_view s) { stream.append(s); }

    static std::uint64_t mix(std::uint64_t h, std::uint64_t v) {
        h ^= v;
        h *= 0x9fb21c651e98df25ULL;
        h ^= h >> 29;
        return h;
    }
    static std::uint64_t digest(std::string_view s, std::uint64_t seed) {
        std::uint64_t h = seed ^ (s.size() * 0x9e3779b97f4a7c15ULL);
        std::size_t i = 0;
        for (; i + 8 <= s.size(); i += 8) {
            std::uint64_t v;
            std::memcpy(&v, s.data() + i, 8);
            h = mix(h, v);
        }
        std::uint64_t tail = 0;
        std::memcpy(&tail, s.data() + i, s.size() - i);
        h = mix(h, tail ^ (static_cast<std::uint64_t>(s.size() - i) << 56));
        h ^= h >> 32;
        h *= 0xd6e8feb86659fd93ULL;
        h ^= h >> 32;
        return h;
    }
    std::uint64_t high() const { return digest(stream, 0x243f6a8885a308d3ULL); }
    std::uint64_t low() const { return digest(stream, 0x13198a2e03707344ULL); }
};

// Clause words that end a GROUP BY / ORDER BY list at the same depth.
bool ends_positions(std::string_view word) {
    static constexpr std::string_view kWords[] = {
        "having", "limit", "qualify", "window", "union",  "intersect", "except", "offset",
        "fetch",  "select", "from",   "where",  "rows",   "range",     "on",     "join",
        "into",   "values", "set",    "minus",  "groups", "top",       "order",  "group",
        "sort",   "cluster", "distribute"};
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

bool word_is(std::string_view word, std::string_view lower);

// Words after which a string is a value, not a name.
bool takes_literal(std::string_view word) {
    static constexpr std::string_view kWords[] = {
        "like",    "ilike",  "rlike",     "regexp",   "glob",     "similar", "to",       "escape",
        "then",    "else",   "when",      "case",     "and",      "or",      "not",      "between",
        "is",      "where",  "having",    "qualify",  "on",       "select",  "by",       "distinct",
        "all",     "any",    "some",      "in",       "values",   "set",     "default",  "return",
        "date",    "time",   "timestamp", "datetime", "interval", "comment", "format",   "location",
        "with",    "limit",  "offset",    "using",    "returns",  "exists",  "collate",  "separator",
        "options", "tblproperties", "delimiter", "null", "array",  "struct",  "map",      "json"};
    for (std::string_view w : kWords) {
        if (word_is(word, w)) return true;
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
// an item (ASC, DESC, NULLS, or a clause): `ends`; an operator: `goes_on`
// (the number is part of an expression); any other word: `unknown`.
enum class item_end { ends, goes_on, unknown };

item_end item_ends(std::string_view text, std::size_t at, const lexicon& lex) {
    const std::size_t n = text.size();
    while (at < n) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (space_char(c)) {
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
        if (c == ',' || c == ')' || c == ';') return item_end::ends;
        if (!ident_char(c)) return item_end::goes_on;
        std::size_t j = at;
        while (j < n && ident_char(static_cast<unsigned char>(text[j]))) ++j;
        const std::string_view word = text.substr(at, j - at);
        const bool ends = word_is(word, "asc") || word_is(word, "desc") || word_is(word, "nulls") ||
                          word_is(word, "with") || ends_positions(word);
        return ends ? item_end::ends : item_end::unknown;
    }
    return item_end::ends;
}

// Quoted names of a text, case-folded, as hashes: a value found here may
// also be a name (a collision only costs the template).
struct name_set {
    std::vector<std::uint64_t> hashes;
    bool sorted = true;

    static std::uint64_t hash(std::string_view text) {
        std::uint64_t h = 0xcbf29ce484222325ULL;
        for (char ch : text) {
            h ^= static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(ch)));
            h *= 0x100000001b3ULL;
        }
        return h;
    }
    void add(std::string_view text) {
        hashes.push_back(hash(text));
        sorted = false;
    }
    bool has(std::string_view text) {
        if (!sorted) {
            std::sort(hashes.begin(), hashes.end());
            hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
            sorted = true;
        }
        return std::binary_search(hashes.begin(), hashes.end(), hash(text));
    }
};

// The masked token stream of a text.  One method reads each kind of token
// at the current position and appends its piece to the stream; `unsure`
// from any of them means the text holds something the scanner cannot read
// with certainty, and the text is then only its own template.
class scanner {
  public:
    scanner(std::string_view text, const lexicon& lex, hasher& h, std::vector<std::string_view>* masked)
        : text_(text), n_(text.size()), lex_(lex), h_(h), masked_(masked) {}

    // False when the text is not read with certainty.
    bool run() {
        while (i_ < n_) {
            const unsigned char c = byte_at(i_);
            if (space_char(c)) {
                pending_space_ = true;
                ++i_;
                continue;
            }
            read r = lex_.opens[c] ? delimited(c) : read::none;
            if (r == read::none) r = plain(c);
            if (r == read::unsure) return false;
        }
        return !value_is_a_name();
    }

  private:
    // What a token reader found at the current position: not its kind of
    // token, a token (read and emitted), or something not read with certainty.
    enum class read : std::uint8_t { none, token, unsure };

    unsigned char byte_at(std::size_t at) const { return static_cast<unsigned char>(text_[at]); }

    void emit(std::string_view piece) {
        if (pending_space_) h_.byte(' ');
        pending_space_ = false;
        h_.bytes(piece);
        last_punct_ = 0;
        last_quoted_ = false;
    }
    // A literal replaced by `marker`; `token` is the literal as written.
    void mask(std::string_view marker, std::string_view token) {
        emit(marker);
        if (masked_ != nullptr) masked_->push_back(token);
    }

    // What can only start at a character that opens a comment, a quoted
    // text or dollar quoting.
    read delimited(unsigned char c) {
        if (read r = line_comment(); r != read::none) return r;
        if (read r = block_comment(); r != read::none) return r;
        if (c == '$' && dollar_quoted()) return read::unsure;
        if (read r = quoted_name(); r != read::none) return r;
        return string_literal();
    }

    // Names, numbers and punctuation.
    read plain(unsigned char c) {
        const bool after_name = i_ > 0 && (ident_char(byte_at(i_ - 1)) || text_[i_ - 1] == '.');
        if (digit_char(c) && !after_name) return number();
        if (ident_char(c)) {
            word();
            return read::token;
        }
        punctuation(c);
        return read::token;
    }

    // Line comments: dropped.
    read line_comment() {
        for (const std::string& marker : lex_.line_comments) {
            if (!starts(text_, i_, marker)) continue;
            // MySQL reads "--" as a comment only before whitespace (a--b
            // is a - -b): a "--" glued to what follows is not read here.
            if (marker == "--" && i_ + 2 < n_ && !space_char(byte_at(i_ + 2))) return read::unsure;
            const std::size_t end = text_.find('\n', i_);
            i_ = end == std::string_view::npos ? n_ : end + 1;
            pending_space_ = true;
            return read::token;
        }
        return read::none;
    }

    // Block comments: dropped.
    read block_comment() {
        for (const delimiter& block : lex_.block_comments) {
            if (!starts(text_, i_, block.open)) continue;
            const std::size_t end = text_.find(block.close, i_ + block.open.size());
            if (end == std::string_view::npos) return read::unsure;
            // Some dialects nest block comments, others do not: a comment
            // that opens another inside it is not read here.
            const std::size_t inside = i_ + block.open.size();
            if (text_.substr(inside, end - inside).find(block.open) != std::string_view::npos) {
                return read::unsure;
            }
            i_ = end + block.close.size();
            pending_space_ = true;
            return read::token;
        }
        return read::none;
    }

    // Dollar quoting ($$ ... $$, $tag$ ... $tag$), which is not read here.
    bool dollar_quoted() const {
        std::size_t j = i_ + 1;
        while (j < n_ && ident_char(byte_at(j)) && text_[j] != '$') ++j;
        return j < n_ && text_[j] == '$';
    }

    // Quoted identifiers: kept as they are.
    read quoted_name() {
        for (const delimiter& q : lex_.identifiers) {
            if (!starts(text_, i_, q.open)) continue;
            std::size_t j = i_ + q.open.size();
            std::size_t end = text_.find(q.close, j);
            // A doubled closing delimiter stands for itself.
            while (end != std::string_view::npos &&
                   text_.substr(end + q.close.size(), q.close.size()) == q.close) {
                j = end + 2 * q.close.size();
                end = text_.find(q.close, j);
            }
            if (end == std::string_view::npos) return read::unsure;
            const std::size_t inside = i_ + q.open.size();
            const std::string_view body = text_.substr(inside, end - inside);
            // Backslash escapes in quoted names (`a\`b` in BigQuery) are not read here.
            if (body.find('\\') != std::string_view::npos) return read::unsure;
            names_.add(body);
            emit(text_.substr(i_, end + q.close.size() - i_));
            i_ = end + q.close.size();
            last_word_ = {};
            last_quoted_ = true;
            return read::token;
        }
        return read::none;
    }

    // How the word just before a quote (E'..', r'..', b'..', N'..', x'..')
    // makes the string read.
    enum class prefix_kind : std::uint8_t { none, escaped_or_national, raw, verbatim, unknown };

    prefix_kind string_prefix() const {
        if (i_ == 0 || !ident_char(byte_at(i_ - 1))) return prefix_kind::none;
        std::size_t p = i_;
        while (p > 0 && ident_char(byte_at(p - 1))) --p;
        const std::string_view prefix = text_.substr(p, i_ - p);
        if (word_is(prefix, "r") || word_is(prefix, "br") || word_is(prefix, "rb")) return prefix_kind::raw;
        // Hex and bit strings: whether x'..' parses depends on its digits.
        if (word_is(prefix, "b") || word_is(prefix, "x")) return prefix_kind::verbatim;
        if (word_is(prefix, "e") || word_is(prefix, "n")) return prefix_kind::escaped_or_national;
        return prefix_kind::unknown;
    }

    // Where the string opened by `q` at the current position ends (past its
    // closing delimiter), or npos when it does not.
    std::size_t string_end(const delimiter& q, bool backslash) const {
        std::size_t j = i_ + q.open.size();
        while (j < n_) {
            if (backslash && text_[j] == '\\') {
                j += 2;
                continue;
            }
            if (starts(text_, j, q.close)) {
                if (q.close.size() == 1 && text_.substr(j + 1, 1) == q.close) {
                    j += 2;  // '' inside '...'
                    continue;
                }
                return j + q.close.size();
            }
            ++j;
        }
        return std::string_view::npos;
    }

    // String literals: masked, unless prefixed by a letter the scanner does
    // not know.
    read string_literal() {
        for (const delimiter& q : lex_.strings) {
            if (!starts(text_, i_, q.open)) continue;
            const prefix_kind prefix = string_prefix();
            if (prefix == prefix_kind::unknown) return read::unsure;
            const bool prefixed = prefix != prefix_kind::none;
            const bool raw = prefix == prefix_kind::raw;
            const bool backslash = !raw && (lex_.backslash_escapes || (prefixed && word_is(last_word_, "e")));
            const std::size_t j = string_end(q, backslash);
            if (j == std::string_view::npos) return read::unsure;
            const std::size_t inside = i_ + q.open.size();
            const std::string_view value = text_.substr(inside, j - inside - q.close.size());
            // A raw string's backslashes (r'\'') are read differently by dialects.
            if (raw && value.find('\\') != std::string_view::npos) return read::unsure;
            const std::string_view token = text_.substr(i_, j - i_);
            if (prefix == prefix_kind::verbatim) {
                emit(token);
            } else if (word_is(last_word_, "interval")) {
                // INTERVAL '1' DAY: sqlglot reads the string itself, so its
                // text decides whether the statement parses.
                interval_text(value, token);
            } else if (!prefixed && name_may_stand_here()) {
                // AS 'n', t 'u', (...) 'q': an alias in some dialects; other
                // values would be other names.
                return read::unsure;
            } else {
                mask("?s", token);
                values_.push_back(value);
            }
            i_ = j;
            last_word_ = {};
            return read::token;
        }
        return read::none;
    }

    // A number in quotes (INTERVAL '30' DAY) reads like any other; anything
    // else is kept as written.
    void interval_text(std::string_view body, std::string_view token) {
        const bool numeric = !body.empty() && std::all_of(body.begin(), body.end(), [](char ch) {
            return digit_char(static_cast<unsigned char>(ch)) || ch == '.' || ch == '-' || ch == '+';
        });
        if (numeric) {
            mask("?i", token);
        } else {
            emit(token);
        }
    }

    // Whether a string here may be a name rather than a value.
    bool name_may_stand_here() const {
        return last_quoted_ || last_punct_ == ')' || (!last_word_.empty() && !takes_literal(last_word_));
    }

    // Numbers: masked when they stand alone (not part of a name like t1 or
    // 1col), except the positions of a GROUP BY / ORDER BY list.
    read number() {
        std::size_t j = i_;
        while (j < n_ && digit_char(byte_at(j))) ++j;
        bool integer = true;
        if (j + 1 < n_ && text_[j] == '.' && digit_char(byte_at(j + 1))) {
            integer = false;
            ++j;
            while (j < n_ && digit_char(byte_at(j))) ++j;
        }
        const std::string_view digits = text_.substr(i_, j - i_);
        if (j < n_ && (ident_char(byte_at(j)) || text_[j] == '.')) {
            // 1e5, 1col, 1.x: kept as written.
            while (j < n_ && (ident_char(byte_at(j)) || text_[j] == '.')) ++j;
            emit(text_.substr(i_, j - i_));
        } else if (i_ >= 2 && text_[i_ - 1] == '-' && ident_char(byte_at(i_ - 2))) {
            // my-table-1: a dashed name (BigQuery) or a subtraction; not read here.
            return read::unsure;
        } else if (integer && at_position()) {
            // GROUP BY 1, ORDER BY 2 DESC: a position, which names a column.
            const item_end end = item_ends(text_, j, lex_);
            if (end == item_end::unknown) return read::unsure;  // GROUP BY 1 FOR UPDATE, OPTION (...)
            if (end == item_end::ends) {
                emit(digits);
            } else {
                masked_number(digits);
            }
        } else {
            masked_number(digits);
        }
        i_ = j;
        last_word_ = {};
        return read::token;
    }

    void masked_number(std::string_view digits) {
        mask("?n", digits);
        values_.push_back(digits);
    }

    // Whether an integer here may be an item of a GROUP BY / ORDER BY list.
    bool at_position() const {
        return !positions_at_.empty() && positions_at_.back() == depth_ &&
               (word_is(last_word_, "by") || last_punct_ == ',');
    }

    // Names and keywords: kept; they open and close GROUP BY / ORDER BY lists.
    void word() {
        std::size_t j = i_;
        while (j < n_ && ident_char(byte_at(j))) ++j;
        const std::string_view word = text_.substr(i_, j - i_);
        if (ends_positions(word)) {
            while (!positions_at_.empty() && positions_at_.back() == depth_) positions_at_.pop_back();
        }
        if (word_is(word, "by") && (word_is(last_word_, "group") || word_is(last_word_, "order")) &&
            (positions_at_.empty() || positions_at_.back() != depth_)) {
            positions_at_.push_back(depth_);
        }
        emit(word);
        last_word_ = word;
        i_ = j;
    }

    void punctuation(unsigned char c) {
        if (c == '(') ++depth_;
        if (c == ')') {
            while (!positions_at_.empty() && positions_at_.back() >= depth_) positions_at_.pop_back();
            --depth_;
        }
        if (c == ';') positions_at_.clear();
        emit(text_.substr(i_, 1));
        last_punct_ = static_cast<char>(c);
        last_word_ = {};
        ++i_;
    }

    // A masked value that is also a quoted name of the text (select 1 read
    // back as "1"): other values would be other names.
    bool value_is_a_name() {
        if (names_.hashes.empty()) return false;
        for (std::string_view value : values_) {
            if (names_.has(value)) return true;
        }
        return false;
    }

    const std::string_view text_;
    const std::size_t n_;
    const lexicon& lex_;
    hasher& h_;
    std::vector<std::string_view>* masked_;
    std::size_t i_ = 0;
    std::vector<int> positions_at_;        // paren depths where a GROUP/ORDER BY list is open
    name_set names_;                       // every quoted name of the text
    std::vector<std::string_view> values_;  // every masked literal's value
    int depth_ = 0;
    std::string_view last_word_;
    char last_punct_ = 0;       // the last piece when it was a single character
    bool last_quoted_ = false;  // the last piece was a quoted name
    bool pending_space_ = false;
};

// The masked token stream of `text` into `h`; false when the text holds
// something the scanner cannot read with certainty.
bool scan(std::string_view text, const lexicon& lex, hasher& h,
          std::vector<std::string_view>* masked = nullptr) {
    return scanner(text, lex, h, masked).run();
}

}  // namespace

namespace {

// The UTF-8 of a str (TypeError for anything else); false for a text with
// lone surrogates, which has none.
bool utf8_view(handle text, const char* function, std::string_view& view) {
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s() needs a str", function);
        py::throw_error();
    }
    if (utf8_view_of(text, view)) return true;
    PyErr_Clear();
    return false;
}

}  // namespace

py::object fingerprint(handle text, handle spec) {
    const lexicon& lex = cached_lexicon(spec);
    std::string_view view;
    if (!utf8_view(text, "fingerprint", view)) {
        // Lone surrogates: no UTF-8 form, so no template either.
        return py::make_tuple(Py_False, text);
    }
    hasher h;
    const bool masked = scan(view, lex, h);
    if (!masked) {
        h = hasher{};
        h.byte(0);
        h.bytes(view);
    }
    // 128 bits as one Python int.
    py::object high = py::checked(PyLong_FromUnsignedLongLong(h.high()));
    py::object low = py::checked(PyLong_FromUnsignedLongLong(h.low()));
    py::object shift = py::checked(PyLong_FromLong(64));
    py::object shifted = py::checked(PyNumber_Lshift(high.ptr(), shift.ptr()));
    py::object value = py::checked(PyNumber_Or(shifted.ptr(), low.ptr()));
    return py::make_tuple(masked ? Py_True : Py_False, value);
}

py::object masked_literals(handle text, handle spec) {
    const lexicon& lex = cached_lexicon(spec);
    std::string_view view;
    if (!utf8_view(text, "literals", view)) return py::object::borrow(Py_None);
    hasher h;
    std::vector<std::string_view> found;
    if (!scan(view, lex, h, &found)) {
        return py::object::borrow(Py_None);
    }
    std::vector<py::object> items;
    items.reserve(found.size());
    for (std::string_view piece : found) {
        items.push_back(py::checked(
            PyUnicode_DecodeUTF8(piece.data(), static_cast<Py_ssize_t>(piece.size()), "strict")));
    }
    return py::tuple_from(items.data(), static_cast<Py_ssize_t>(items.size()));
}

}  // namespace qarvel::lineage
