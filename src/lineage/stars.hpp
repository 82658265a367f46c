// What a star's modifiers do to the columns it stands for: EXCLUDE / EXCEPT
// drop names, ILIKE / LIKE / SIMILAR TO and DuckDB's COLUMNS(...) keep the
// names a selector picks, REPLACE gives columns other values and RENAME
// other names.  Where the columns are known the star applies them at once
// (stars.cpp); over columns that are not known its placeholder keeps them,
// and a name read through the placeholder later is put through them
// (resolution.cpp: resolve_past_stars).
#pragma once

#include "interop/object.hpp"
#include "lineage/model.hpp"
#include "lineage/scope.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace qarvel::lineage {

// Whether a selector keeps a name: yes, no, or not decided (an expression
// the engine does not evaluate).
enum class verdict : std::uint8_t { no, yes, unknown };

// How a star or COLUMNS(...) picks columns by their names.
struct name_selector {
    enum class type : std::uint8_t {
        every,    // no selector: every column
        pattern,  // a regular expression: LIKE / ILIKE / SIMILAR TO (the whole name), COLUMNS('re') (a part)
        names,    // COLUMNS(['a', 'b'])
        lambda,   // COLUMNS(c -> ...): a condition on the name
        broken,   // one that cannot be read (`why` says so)
    };
    type kind = type::every;
    bool negate = false;  // NOT LIKE, NOT SIMILAR TO
    bool whole = false;   // pattern: the whole name must match
    py::object regex;     // pattern: the compiled expression (Python's re)
    std::vector<py::handle> names;
    py::object lambda;    // lambda: the Lambda node
    cause why;            // broken
};

// The modifiers of one star.  `inner` is the rules of the placeholder the
// star read (a star over a CTE whose own star had modifiers).
struct star_rules {
    std::vector<py::handle> excluded;
    name_selector keep;
    std::vector<output> replaced;                            // the new values, each named by its column
    std::vector<std::pair<py::handle, py::handle>> renamed;  // (column, new name)
    const star_rules* inner = nullptr;

    bool modifies() const noexcept {
        return !excluded.empty() || keep.kind != name_selector::type::every || !replaced.empty() ||
               !renamed.empty();
    }
};

// A star as written: what it qualifies (t.*), its text in messages and its
// modifiers (null for none).
struct star_spec {
    py::handle qualifier;
    py::handle text;
    star_rules* rules = nullptr;
};

}  // namespace qarvel::lineage
