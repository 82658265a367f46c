#include "lineage/scope.hpp"

#include "lineage/tree.hpp"

#include <algorithm>

namespace qarvel::lineage {

using py::handle;

bool source::columns_known() const {
    switch (kind) {
        case physical: return static_cast<bool>(known);
        case derived: return !q->in_progress && !q->has_placeholder();
        case opaque: return false;
    }
    return false;
}

bool source::has_column(handle name) const {
    if (!columns_known()) return false;
    if (kind == physical) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(known.ptr()); ++i) {
            if (same_name(PyTuple_GET_ITEM(known.ptr(), i), name)) return true;
        }
        return false;
    }
    for (const output& o : q->outputs) {
        if (same_name(o.name, name)) return true;
    }
    return false;
}

const source* scope::find(handle qualifier, handle db) const {
    const source* by_alias = nullptr;
    const source* by_table = nullptr;
    int table_matches = 0;
    for (const source& src : sources) {
        const bool db_ok = !db || (src.kind == source::physical && same_name(src.table_db, db));
        if (same_name(src.alias, qualifier) && db_ok && by_alias == nullptr) by_alias = &src;
        if (src.kind == source::physical && same_name(src.table_name, qualifier) && db_ok) {
            by_table = &src;
            ++table_matches;
        }
    }
    if (by_alias == nullptr && table_matches == 1) by_alias = by_table;
    return by_alias;
}

const source* scope::named(handle name) const {
    for (const source& src : sources) {
        if (same_name(src.alias, name)) return &src;
    }
    return nullptr;
}

candidates scope::candidates_for(handle name) const {
    candidates found;
    // The last source that hides `name` and those after it.
    std::size_t first = sources.size();
    while (first > 0 && !(sources[first - 1].hides && sources[first - 1].has_column(name))) --first;
    if (first > 0) --first;
    for (std::size_t i = first; i < sources.size(); ++i) {
        const source& src = sources[i];
        if (src.qualified_only) continue;
        if (!src.columns_known()) {
            found.unknown.push_back(&src);
        } else if (src.has_column(name)) {
            found.definite.push_back(&src);
        }
    }
    return found;
}

bool scope::is_using_column(handle name) const {
    return std::any_of(using_names.begin(), using_names.end(), [&](handle u) { return same_name(u, name); });
}

bool scope::is_lambda_param(handle name) const {
    return std::any_of(lambda_params.begin(), lambda_params.end(), [&](handle p) { return same_name(p, name); });
}

}  // namespace qarvel::lineage
