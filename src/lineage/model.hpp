// The engine's model of lineage: physical columns by id, and for every value
// the set of columns that flow into it (direct), that decide which rows or
// values appear (indirect) and the references it could not trace
// (unresolved), each with OpenLineage's subtype.
#pragma once

#include "interop/object.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace qarvel::lineage {

// OpenLineage's transformation subtypes: the first three are direct.
enum subtype : std::uint8_t {
    IDENTITY,
    TRANSFORMATION,
    AGGREGATION,
    JOIN,
    FILTER,
    GROUP_BY,
    SORT,
    WINDOW,
    CONDITIONAL,
};

constexpr bool is_direct(subtype s) noexcept { return s <= AGGREGATION; }

using col_id = std::uint32_t;

struct direct_ref {
    col_id col;
    subtype sub;
    bool masking;
};

struct indirect_ref {
    col_id col;
    subtype sub;
};

struct unresolved_ref {
    std::uint32_t entry;
    subtype role;
};

// How a value is used where a reference appears: as a value (a direct
// subtype, raised on the way up from IDENTITY) or as an influence (an
// indirect subtype).
struct mode {
    subtype sub = IDENTITY;
    bool masking = false;

    bool direct() const noexcept { return is_direct(sub); }
    // Computed from the value: direct IDENTITY becomes TRANSFORMATION.
    mode transformed() const noexcept {
        return direct() ? mode{std::max(sub, TRANSFORMATION), masking} : *this;
    }
    mode aggregated() const noexcept { return direct() ? mode{AGGREGATION, masking} : *this; }
    mode masked() const noexcept {
        return direct() ? mode{std::max(sub, TRANSFORMATION), true} : *this;
    }
    // Used as an influence of kind `s`; inside an influence, influence stays.
    mode influence(subtype s) const noexcept { return direct() ? mode{s, false} : *this; }
};

// The sets of a value's lineage, in the order their members were found.
// Small sets are searched (most have a few members); from kIndexed members
// on, a hash of the members keeps adding constant-time, so that a query of n
// outputs under n shared influences costs n^2, not n^3.  The hashes are
// rebuilt whenever a vector was changed other than through add_*.
struct lineage {
    std::vector<direct_ref> direct;
    std::vector<indirect_ref> indirect;
    std::vector<unresolved_ref> unresolved;

    static constexpr std::size_t kIndexed = 32;

    bool empty() const noexcept { return direct.empty() && indirect.empty() && unresolved.empty(); }

    void add_direct(col_id col, subtype sub, bool masking) {
        direct_ref* found = nullptr;
        if (direct.size() < kIndexed) {
            for (direct_ref& d : direct) {
                if (d.col == col) found = &d;
            }
        } else {
            sync(direct_at_, direct, [](const direct_ref& d) { return std::uint64_t{d.col}; });
            if (auto at = direct_at_.find(col); at != direct_at_.end()) found = &direct[at->second];
        }
        if (found != nullptr) {
            found->sub = std::max(found->sub, sub);
            found->masking = found->masking || masking;
            return;
        }
        direct.push_back({col, sub, masking});
        if (!direct_at_.empty()) direct_at_.emplace(col, direct.size() - 1);
    }
    void add_indirect(col_id col, subtype sub) {
        const std::uint64_t key = (std::uint64_t{col} << 8) | sub;
        if (!fresh(indirect_at_, indirect, key,
                   [](const indirect_ref& i) { return (std::uint64_t{i.col} << 8) | i.sub; })) {
            return;
        }
        indirect.push_back({col, sub});
    }
    void add_unresolved(std::uint32_t entry, subtype role) {
        const std::uint64_t key = (std::uint64_t{entry} << 8) | role;
        if (!fresh(unresolved_at_, unresolved, key,
                   [](const unresolved_ref& u) { return (std::uint64_t{u.entry} << 8) | u.role; })) {
            return;
        }
        unresolved.push_back({entry, role});
    }
    // A physical column used under `m`.
    void add(col_id col, mode m) {
        if (m.direct()) {
            add_direct(col, m.sub, m.masking);
        } else {
            add_indirect(col, m.sub);
        }
    }
    void add_unresolved(std::uint32_t entry, mode m) { add_unresolved(entry, m.sub); }

    // Everything a value's lineage `from` holds, used under `m`.  As a
    // value, its direct sources take the stronger subtype and its own
    // influences (CASE conditions, window keys) stay what they are; as an
    // influence of kind S (the value in a WHERE, GROUP BY, ORDER BY), every
    // source of it, conditions included, decides the rows: all become S.
    void absorb(const lineage& from, mode m) {
        if (&from == this) return;
        for (const direct_ref& d : from.direct) {
            if (m.direct()) {
                add_direct(d.col, std::max(m.sub, d.sub), m.masking || d.masking);
            } else {
                add_indirect(d.col, m.sub);
            }
        }
        for (const indirect_ref& i : from.indirect) add_indirect(i.col, m.direct() ? i.sub : m.sub);
        for (const unresolved_ref& u : from.unresolved) {
            subtype role = u.role;
            if (!m.direct()) {
                role = m.sub;
            } else if (is_direct(role)) {
                role = std::max(m.sub, role);
            }
            add_unresolved(u.entry, role);
        }
    }
    // Only the influences and unresolved entries of `from` (for the rows a
    // source lets through).
    void absorb_influences(const lineage& from) {
        for (const indirect_ref& i : from.indirect) add_indirect(i.col, i.sub);
        for (const unresolved_ref& u : from.unresolved) add_unresolved(u.entry, u.role);
    }

    // Only the influences of `from` and its unresolved influences (what
    // decides the rows of a value used as a source of rows: UNNEST).
    void absorb_indirect(const lineage& from) {
        for (const indirect_ref& i : from.indirect) add_indirect(i.col, i.sub);
        for (const unresolved_ref& u : from.unresolved) {
            if (!is_direct(u.role)) add_unresolved(u.entry, u.role);
        }
    }

    // What decides the rows a row generator makes of a value (explode(v),
    // UNNEST(v)): each direct source of the value, as FILTER (how many
    // elements v has decides how many rows there are, none for an empty or
    // null v), and the value's own influences as they are.
    // An aggregated value (ARRAY_AGG(x)) has an element per row aggregated,
    // whatever x is: its sources decide nothing more.
    void absorb_generated(const lineage& from) {
        for (const direct_ref& d : from.direct) {
            if (d.sub != AGGREGATION) add_indirect(d.col, FILTER);
        }
        for (const indirect_ref& i : from.indirect) add_indirect(i.col, i.sub);
        for (const unresolved_ref& u : from.unresolved) add_unresolved(u.entry, is_direct(u.role) ? FILTER : u.role);
    }

private:
    using index = std::unordered_map<std::uint64_t, std::size_t>;

    // The hash of a large set, made or remade when it does not match the vector.
    template <typename T, typename Key>
    static void sync(index& at, const std::vector<T>& items, Key key_of) {
        if (at.size() == items.size()) return;
        at.clear();
        at.reserve(items.size() * 2);
        for (std::size_t i = 0; i < items.size(); ++i) at.emplace(key_of(items[i]), i);
    }
    // Whether `key` is not in the set yet (and, for a large set, now noted).
    template <typename T, typename Key>
    static bool fresh(index& at, const std::vector<T>& items, std::uint64_t key, Key key_of) {
        if (items.size() < kIndexed) {
            for (const T& item : items) {
                if (key_of(item) == key) return false;
            }
            return true;
        }
        sync(at, items, key_of);
        return at.emplace(key, items.size()).second;
    }

    index direct_at_, indirect_at_, unresolved_at_;
};

struct field_list;
struct star_rules;

// One output column of a query.  A placeholder stands for all the columns of
// a source whose columns are not known (a star over it): a physical table
// without a schema, or a source whose columns are not traced (PIVOT); a star
// with modifiers (EXCLUDE, ILIKE, REPLACE, RENAME, COLUMNS(...)) over it says
// what it did to them in `rules`.
struct output {
    py::handle name;  // normalised, borrowed from the analysis that made it; "*" for a placeholder
    // The name as the select list writes it, where the dialect shows that
    // rather than `name` (MySQL compares column names ignoring case and
    // shows them as written); empty otherwise.
    py::handle shown;
    lineage lin;
    int star_table = -1;      // placeholder over a physical table: its index
    int opaque_note = -1;     // placeholder over an untraced source: why (a note)
    bool literal_name = false;  // named by a literal's value (select 1)
    bool aggregate = false;     // its select item aggregates (GROUP BY ALL does not group by it)
    // A struct value: its fields, where the text tells them (owned by the
    // analysis that made them, which outlives every output).
    const field_list* fields = nullptr;
    // A placeholder: the modifiers of the stars that passed it on, outermost
    // first (owned by the analysis), or null.
    const star_rules* rules = nullptr;
    // A placeholder of a UNION: the placeholders of the other branches at
    // its position (outputs of finished queries, owned by the analysis), so
    // a name read through it is each branch's column.
    std::vector<const output*> also;

    bool placeholder() const noexcept { return star_table >= 0 || opaque_note >= 0; }
};

// The fields of a struct value, or of every element of an array of
// structs, in their order: each with its name (empty for a field the text
// does not name) and the lineage of what was put into it.
struct field_list {
    std::vector<output> fields;
    bool array = false;
    // An array whose number of elements the text fixes ([a, b]) or the rows
    // it was made of do (ARRAY(SELECT ...), ARRAY_AGG), not its values.
    bool counted = false;

    // The field named `name` of a struct (not of an array's elements), or null.
    const output* field(py::handle name) const;
    // Whether a star can expand it: a struct whose fields all have names of
    // their own.
    bool expandable() const;
};

struct query_info {
    std::vector<output> outputs;
    // Influences and unresolved entries that apply to every row.
    lineage all;
    // A recursive CTE while its first round is analysed.
    bool in_progress = false;

    bool has_placeholder() const noexcept {
        for (const output& o : outputs) {
            if (o.placeholder()) return true;
        }
        return false;
    }
};

}  // namespace qarvel::lineage
