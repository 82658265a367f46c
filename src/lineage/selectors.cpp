// Selectors: how a star's ILIKE / LIKE / SIMILAR TO and DuckDB's COLUMNS(...)
// pick columns by their names.  Patterns become regular expressions of
// Python's `re` (LIKE's % and _ translated, with ESCAPE where given); a
// COLUMNS lambda is evaluated on each name where it is made of what can be
// evaluated on a text (comparisons, LIKE and its kin, regular expressions,
// prefixes and suffixes, IN lists, lower/upper, NOT / AND / OR), and is
// undecided otherwise.  Names are compared as the engine reports them
// (normalised for the dialect); patterns and literals as written.
#include "lineage/analysis.hpp"

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/tree.hpp"

#include <algorithm>
#include <string>
#include <string_view>

namespace qarvel::lineage {

using py::handle;
using py::object;

namespace {

// The deepest condition of a COLUMNS lambda that is evaluated.
constexpr int kMaxLambdaDepth = 64;

// The length of the UTF-8 sequence a byte starts.
std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

// One character of a pattern, matched as itself.
void append_literal(std::string& regex, std::string_view character) {
    const unsigned char c = static_cast<unsigned char>(character.front());
    const bool plain = c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!plain) regex += '\\';
    regex.append(character);
}

// LIKE's pattern as a regular expression of the whole name: % any text, _
// any one character, the escape character before one of them (or itself)
// that character.
std::string like_regex(std::string_view pattern, std::string_view escape, bool insensitive) {
    std::string regex = insensitive ? "(?si)" : "(?s)";
    std::size_t i = 0;
    while (i < pattern.size()) {
        if (!escape.empty() && pattern.substr(i, escape.size()) == escape && i + escape.size() < pattern.size()) {
            i += escape.size();
            const std::size_t n = std::min(sequence_length(static_cast<unsigned char>(pattern[i])), pattern.size() - i);
            append_literal(regex, pattern.substr(i, n));
            i += n;
            continue;
        }
        const char c = pattern[i];
        if (c == '%') {
            regex += ".*";
            ++i;
        } else if (c == '_') {
            regex += '.';
            ++i;
        } else {
            const std::size_t n = std::min(sequence_length(static_cast<unsigned char>(c)), pattern.size() - i);
            append_literal(regex, pattern.substr(i, n));
            i += n;
        }
    }
    return regex;
}

verdict of(bool value) { return value ? verdict::yes : verdict::no; }

verdict inverted(verdict v) {
    if (v == verdict::unknown) return v;
    return v == verdict::yes ? verdict::no : verdict::yes;
}

object str_of(const std::string& text) {
    return py::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace

// A string literal's text as written, or empty.
object analysis::literal_text(handle node) {
    if (kind_of(node) != kind::Literal || !truthy(arg_of(node, lk.is_string))) return {};
    object text = arg_of(node, lk.this_);
    if (!text || !PyUnicode_Check(text.ptr())) return {};
    // The fingerprint masks strings: what the statement selects depends on this one.
    read_literal_name();
    return text;
}

// The compiled regular expression, or empty with `why` said when it is not
// one.  Only the error of a bad expression is taken here; any other
// (KeyboardInterrupt, MemoryError) goes on.
object analysis::compile_pattern(handle regex, cause& why) {
    object re = py::checked(PyImport_ImportModule("re"));
    object error = py::getattr(re, lk.error);
    try {
        return py::call_method(re, lk.compile, regex);
    } catch (const py::pending_error&) {
        if (!PyErr_ExceptionMatches(error.ptr())) throw;
        PyErr_Clear();
    }
    why = {reason::bad_pattern, "'" + utf8(regex) + "'"};
    return {};
}

bool analysis::pattern_matches(handle regex, handle name, bool whole) {
    object found = py::call_method(regex, whole ? lk.fullmatch : lk.search, name);
    return !found.is(Py_None);
}

// ILIKE / LIKE / SIMILAR TO 'pattern' [ESCAPE 'e'] after a star: the names
// the whole pattern matches (or, negated, does not).
name_selector analysis::pattern_selector(handle pattern, handle escape, kind k, bool negate) {
    name_selector s;
    s.negate = negate;
    s.whole = true;
    object text = literal_text(pattern);
    object escape_text = escape ? literal_text(escape) : object{};
    if (!text || (escape && !escape_text)) {
        s.kind = name_selector::type::broken;
        s.why = {reason::selector_not_decided};
        return s;
    }
    object regex = k == kind::SimilarTo ? text
                                        : str_of(like_regex(utf8(text), escape_text ? utf8(escape_text) : std::string{},
                                                            k == kind::ILike));
    s.regex = compile_pattern(regex, s.why);
    s.kind = s.regex ? name_selector::type::pattern : name_selector::type::broken;
    return s;
}

// COLUMNS('re'): the names the expression matches a part of.
name_selector analysis::regex_selector(handle pattern) {
    name_selector s;
    object text = literal_text(pattern);
    if (text) s.regex = compile_pattern(text, s.why);
    s.kind = s.regex ? name_selector::type::pattern : name_selector::type::broken;
    if (!text) s.why = {reason::selector_not_decided};
    return s;
}

verdict analysis::selects(const name_selector& s, handle name) {
    switch (s.kind) {
        case name_selector::type::every: return verdict::yes;
        case name_selector::type::pattern: return of(pattern_matches(s.regex, name, s.whole) != s.negate);
        case name_selector::type::names:
            for (handle n : s.names) {
                if (same_name(n, name)) return verdict::yes;
            }
            return verdict::no;
        case name_selector::type::lambda: {
            object a = args_of(s.lambda);
            object params = arg(a, lk.expressions);
            object body = arg(a, lk.this_);
            if (!body || !params || !PyList_Check(params.ptr()) || PyList_GET_SIZE(params.ptr()) != 1) {
                return verdict::unknown;
            }
            object first = object::borrow(PyList_GET_ITEM(params.ptr(), 0));
            handle param = column_name(first);
            return param ? lambda_verdict(body, param, name, 0) : verdict::unknown;
        }
        case name_selector::type::broken: return verdict::unknown;
    }
    return verdict::unknown;
}

// --- COLUMNS lambdas ---------------------------------------------------------------

// The text a part of a lambda gives for the column `name`: the parameter,
// a string, lower() / upper() of one; empty where it is anything else.
object analysis::lambda_text(handle node, handle param, handle name, int depth) {
    if (depth > kMaxLambdaDepth) return {};
    switch (kind_of(node)) {
        case kind::Identifier:
        case kind::Column: {
            if (kind_of(node) == kind::Column && arg_of(node, lk.table)) return {};
            handle n = column_name(node);
            return n && same_name(n, param) ? object::borrow(name) : object{};
        }
        case kind::Literal: return literal_text(node);
        case kind::Paren: {
            object inner = arg_of(node, lk.this_);
            return inner ? lambda_text(inner, param, name, depth + 1) : object{};
        }
        case kind::Lower:
        case kind::Upper: {
            object inner = arg_of(node, lk.this_);
            object text = inner ? lambda_text(inner, param, name, depth + 1) : object{};
            if (!text) return {};
            return py::call_method(text, kind_of(node) == kind::Lower ? lk.lower : lk.upper);
        }
        default: return {};
    }
}

// Whether a lambda's condition holds for the column `name`.
verdict analysis::lambda_verdict(handle node, handle param, handle name, int depth) {
    if (depth > kMaxLambdaDepth) return verdict::unknown;
    object a = args_of(node);
    object left = arg(a, lk.this_);
    object right = arg(a, lk.expression);
    const kind k = kind_of(node);
    switch (k) {
        case kind::Paren: return left ? lambda_verdict(left, param, name, depth + 1) : verdict::unknown;
        case kind::Not: return left ? inverted(lambda_verdict(left, param, name, depth + 1)) : verdict::unknown;
        case kind::And:
        case kind::Or: {
            if (!left || !right) return verdict::unknown;
            const verdict l = lambda_verdict(left, param, name, depth + 1);
            const verdict r = lambda_verdict(right, param, name, depth + 1);
            const verdict decisive = k == kind::And ? verdict::no : verdict::yes;
            if (l == decisive || r == decisive) return decisive;
            return l == verdict::unknown || r == verdict::unknown ? verdict::unknown : inverted(decisive);
        }
        case kind::Boolean: return of(truthy(left));
        case kind::In: return lambda_in(a, param, name, depth);
        default: return lambda_match(node, k, param, name, depth);
    }
}

// x IN ('a', 'b'): the texts of a list of literals.
verdict analysis::lambda_in(handle args, handle param, handle name, int depth) {
    object value_node = arg(args, lk.this_);
    if (!value_node || arg(args, lk.query) || arg(args, lk.field)) return verdict::unknown;
    object value = lambda_text(value_node, param, name, depth + 1);
    if (!value) return verdict::unknown;
    verdict found = verdict::no;
    each(arg(args, lk.expressions), [&](handle e) {
        object text = lambda_text(e, param, name, depth + 1);
        if (!text) {
            if (found == verdict::no) found = verdict::unknown;
        } else if (same_name(text, value)) {
            found = verdict::yes;
        }
    });
    return found;
}

// The comparisons of two texts: =, <>, LIKE / ILIKE [ESCAPE], SIMILAR TO,
// regexp_matches / regexp_full_match, starts_with, ends_with, contains.
verdict analysis::lambda_match(handle node, kind k, handle param, handle name, int depth) {
    object a = args_of(node);
    object escape;
    if (k == kind::Escape) {
        escape = arg(a, lk.expression);
        node = arg(a, lk.this_);
        if (!node) return verdict::unknown;
        k = kind_of(node);
        if (k != kind::Like && k != kind::ILike) return verdict::unknown;
        a = args_of(node);
    }
    object left = arg(a, lk.this_);
    object right = arg(a, lk.expression);
    object value = left ? lambda_text(left, param, name, depth + 1) : object{};
    object other = right ? lambda_text(right, param, name, depth + 1) : object{};
    if (!value || !other) return verdict::unknown;
    const bool negate = truthy(arg(a, lk.negate));
    switch (k) {
        case kind::EQ: return of(same_name(value, other));
        case kind::NEQ: return of(!same_name(value, other));
        case kind::StartsWith:
        case kind::EndsWith: {
            const int direction = k == kind::StartsWith ? -1 : 1;
            const Py_ssize_t found = PyUnicode_Tailmatch(value.ptr(), other.ptr(), 0, PY_SSIZE_T_MAX, direction);
            if (found < 0) py::throw_error();
            return of(found != 0);
        }
        case kind::Contains: return of(py::checked(PyUnicode_Contains(value.ptr(), other.ptr())) != 0);
        case kind::Like:
        case kind::ILike:
        case kind::SimilarTo:
        case kind::RegexpLike:
        case kind::RegexpILike:
        case kind::RegexpFullMatch: break;
        default: return verdict::unknown;
    }
    name_selector s;
    if (k == kind::Like || k == kind::ILike || k == kind::SimilarTo) {
        s = pattern_selector(right, escape, k, negate);
    } else {
        object regex = k == kind::RegexpILike ? py::checked(PyUnicode_FromFormat("(?i)%U", other.ptr())) : other;
        s.regex = compile_pattern(regex, s.why);
        s.kind = s.regex ? name_selector::type::pattern : name_selector::type::broken;
        s.whole = k == kind::RegexpFullMatch;
    }
    return s.kind == name_selector::type::pattern ? of(pattern_matches(s.regex, value, s.whole) != s.negate)
                                                  : verdict::unknown;
}

}  // namespace qarvel::lineage
