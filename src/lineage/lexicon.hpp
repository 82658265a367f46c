// A dialect's lexical rules as the fingerprint scanner reads them: comment
// markers, string and identifier delimiters, escapes.
#pragma once

#include "interop/object.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace qarvel::lineage {

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
    // The characters that can open a comment, a quoted text or dollar
    // quoting: every other character is a name, a number or punctuation.
    bool opens[256] = {};

    void index_openings() {
        for (const std::string& m : line_comments) opens[static_cast<unsigned char>(m[0])] = true;
        for (const delimiter& d : block_comments) opens[static_cast<unsigned char>(d.open[0])] = true;
        for (const delimiter& d : strings) opens[static_cast<unsigned char>(d.open[0])] = true;
        for (const delimiter& d : identifiers) opens[static_cast<unsigned char>(d.open[0])] = true;
        opens[static_cast<unsigned char>('$')] = true;
    }
};

// Whether `what` (not empty) is written at `at` of `text`.
inline bool starts(std::string_view text, std::size_t at, const std::string& what) {
    return !what.empty() && text.substr(at, what.size()) == what;
}

// The lexicon of a spec tuple, (comments, quotes, identifiers, escapes) as
// sqlglot's tokenizer class lists them.  Callers pass the same tuple for
// every statement of a dialect: the last one's lexicon is kept in the
// engine's state, and the reference is valid until another tuple is given.
const lexicon& cached_lexicon(py::handle spec);

}  // namespace qarvel::lineage
