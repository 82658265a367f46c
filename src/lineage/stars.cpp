// Stars: SELECT * and t.*, with their modifiers (EXCEPT / EXCLUDE, ILIKE /
// LIKE / SIMILAR TO, REPLACE, RENAME), and DuckDB's COLUMNS(...), alone or
// inside an expression; expanded into the columns of the sources where they
// are known.  Over columns that are not known a star leaves a placeholder
// that keeps its modifiers (stars.hpp), and a name read through it later is
// put through them (through_rules).
#include "lineage/analysis.hpp"

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/state.hpp"
#include "lineage/tree.hpp"

#include <algorithm>
#include <iterator>

namespace qarvel::lineage {

using py::handle;
using py::object;

namespace {

bool is_pattern(kind k) noexcept { return k == kind::Like || k == kind::ILike || k == kind::SimilarTo; }

// Whether two selections are the same columns (by name, in order).
bool same_columns(const std::vector<output>& a, const std::vector<output>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].placeholder() != b[i].placeholder() || !same_name(a[i].name, b[i].name)) return false;
    }
    return true;
}

}  // namespace

// One star expanded into `outs`: the columns of every source it names, less
// those its modifiers drop, with their new values and names; a USING column
// appears once.
struct star_expansion {
    analysis& an;
    scope& sc;
    const star_spec& spec;
    std::vector<output>& outs;
    std::vector<std::pair<handle, std::size_t>> using_outputs;
    // A selector that could not say whether it keeps a column, and why.
    bool undecided = false;
    cause undecided_why;

    bool excluded(handle name) const {
        for (handle e : spec.rules->excluded) {
            if (same_name(e, name)) return true;
        }
        return false;
    }

    // A column known by name: kept or not, with its new value and name.
    void column(handle name, const lineage& lin, const field_list* fields, bool literal_name, handle shown = {}) {
        const star_rules* r = spec.rules;
        if (r != nullptr) {
            if (excluded(name)) return;
            const verdict v = an.selects(r->keep, name);
            if (v == verdict::no) return;
            if (v == verdict::unknown) {
                undecided = true;
                undecided_why = r->keep.kind == name_selector::type::broken ? r->keep.why
                                                                            : cause{reason::selector_not_decided};
                return;
            }
        }
        if (coalesced(name, lin)) return;
        output o;
        o.name = name;
        o.lin = lin;
        o.fields = fields;
        o.literal_name = literal_name;
        o.shown = shown;
        if (r != nullptr) {
            for (const output& rep : r->replaced) {
                if (!same_name(rep.name, name)) continue;
                o.lin = rep.lin;
                o.fields = rep.fields;
                break;
            }
            for (const auto& [from, to] : r->renamed) {
                if (!same_name(from, name)) continue;
                o.name = to;
                o.shown = {};
                o.literal_name = false;
                break;
            }
        }
        outs.push_back(std::move(o));
    }

    // Columns that are not known: the placeholder, with this star's
    // modifiers over those of the star it came through.
    void placeholder(output o) {
        if (spec.rules != nullptr) {
            star_rules& r = an.star_rules_.emplace_back(*spec.rules);
            r.inner = o.rules;
            o.rules = &r;
        }
        outs.push_back(std::move(o));
    }

    // SELECT * over JOIN ... USING (c): c appears once, from every side.
    bool coalesced(handle name, const lineage& lin) {
        if (spec.qualifier || !sc.is_using_column(name)) return false;
        for (auto& [seen, index] : using_outputs) {
            if (same_name(seen, name)) {
                outs[index].lin.absorb(lin, mode{});
                return true;
            }
        }
        using_outputs.emplace_back(name, outs.size());
        return false;
    }

    void physical(const source& src) {
        if (!src.known) {
            output o;
            o.name = lk.star;
            o.star_table = src.table;
            o.lin.add_unresolved(an.note(spec.text, an.table_label(src.table), {reason::needs_schema}), mode{});
            placeholder(std::move(o));
            return;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(src.known.ptr()); ++i) {
            // A selector may run Python code (re): the name is held meanwhile.
            const object name = object::borrow(PyTuple_GET_ITEM(src.known.ptr(), i));
            lineage l;
            l.add(an.column_of(src.table, name), mode{});
            column(name, l, nullptr, false);
        }
    }

    void derived(const source& src) {
        for (const output& o : src.q->outputs) {
            if (o.placeholder()) {
                placeholder(o);
            } else {
                column(o.name, o.lin, o.fields, o.literal_name, o.shown);
            }
        }
    }

    void opaque(const source& src) {
        output o;
        o.name = lk.star;
        const auto entry = an.note(spec.text, src.label, src.opaque_cause);
        o.lin.add_unresolved(entry, mode{});
        o.opaque_note = static_cast<int>(entry);
        placeholder(std::move(o));
    }

    // A selector that could not decide leaves one placeholder that says
    // why; modifiers that leave nothing of what came after `mark`, one
    // column that says so.
    void finish(std::size_t mark) {
        if (!undecided && (spec.rules == nullptr || outs.size() != mark)) return;
        outs.erase(outs.begin() + static_cast<std::ptrdiff_t>(mark), outs.end());
        output o;
        o.name = lk.star;
        const auto entry = an.note(spec.text, {}, undecided ? undecided_why : cause{reason::nothing_selected});
        o.lin.add_unresolved(entry, mode{});
        if (undecided) o.opaque_note = static_cast<int>(entry);
        outs.push_back(std::move(o));
    }

    // A star no source answers.
    void unmatched() {
        output o;
        o.name = lk.star;
        if (spec.qualifier) {
            o.lin.add_unresolved(an.note(spec.text, spec.qualifier, {reason::no_such_source, utf8(spec.qualifier)}),
                                 mode{});
        } else {
            o.lin.add_unresolved(an.note(spec.text, {}, {reason::no_source}), mode{});
        }
        outs.push_back(std::move(o));
    }
};

// --- reading stars -----------------------------------------------------------------

// A select item that is a star: *, t.*, a struct's s.* (structs.cpp, its
// fields put through the star's modifiers), and DuckDB's * LIKE / * SIMILAR
// TO.  False for any other item.
bool analysis::star_item(handle item, kind k, scope& sc, query_info& q) {
    star_spec spec;
    if (!read_star(item, spec, sc)) return false;
    const std::size_t mark = q.outputs.size();
    if (k != kind::Column || !struct_star(args_of(item), sc, q)) {
        star_columns(spec, sc, q.outputs);
    } else if (spec.rules != nullptr) {
        std::vector<output> fields(std::make_move_iterator(q.outputs.begin() + static_cast<std::ptrdiff_t>(mark)),
                                   std::make_move_iterator(q.outputs.end()));
        q.outputs.erase(q.outputs.begin() + static_cast<std::ptrdiff_t>(mark), q.outputs.end());
        star_expansion x{*this, sc, spec, q.outputs, {}, false, {}};
        for (output& f : fields) {
            if (f.placeholder()) {
                x.placeholder(std::move(f));
            } else {
                x.column(f.name, f.lin, f.fields, f.literal_name);
            }
        }
        x.finish(mark);
    }
    return true;
}

// * and t.*, with their modifiers, alone or under [NOT] LIKE / ILIKE /
// SIMILAR TO [ESCAPE ...] (DuckDB; sqlglot 27 keeps Snowflake's ILIKE so too).
bool analysis::read_star(handle node, star_spec& spec, scope& sc) {
    bool negate = false;
    object escape, pattern;
    object at = object::borrow(node);
    for (int step = 0; step < 2; ++step) {
        const kind k = kind_of(at);
        if (k == kind::Not) {
            negate = !negate;
        } else if (k == kind::Escape) {
            escape = arg_of(at, lk.expression);
        } else {
            break;
        }
        at = arg_of(at, lk.this_);
    }
    kind filter = kind_of(at);
    if (is_pattern(filter)) {
        object fa = args_of(at);
        pattern = arg(fa, lk.expression);
        negate = negate != truthy(arg(fa, lk.negate));
        at = arg(fa, lk.this_);
    } else if (negate || escape) {
        return false;
    }
    object star_node;
    const kind k = kind_of(at);
    if (k == kind::Star) {
        star_node = at;
    } else if (k == kind::Column && kind_of(arg_of(at, lk.this_)) == kind::Star) {
        object ca = args_of(at);
        star_node = arg(ca, lk.this_);
        spec.qualifier = name_of(arg(ca, lk.table));
    } else {
        return false;
    }
    spec.text = spec.qualifier ? intern_text(py::checked(PyUnicode_FromFormat("%U.*", spec.qualifier.ptr())))
                               : handle(lk.star);
    spec.rules = modifiers_of(star_node, sc);
    if (pattern) {
        if (spec.rules == nullptr) spec.rules = &star_rules_.emplace_back();
        if (spec.rules->keep.kind == name_selector::type::every) {
            spec.rules->keep = pattern_selector(pattern, escape, filter, negate);
        }
    }
    return true;
}

// The modifiers a Star node carries, or null for none.  REPLACE's values
// are read here, in the star's scope.
star_rules* analysis::modifiers_of(handle star_node, scope& sc) {
    object sa = star_node ? args_of(star_node) : object{};
    if (!sa) return nullptr;
    star_rules r;
    each(arg(sa, engine.key_except), [&](handle c) {
        if (handle n = column_name(c)) r.excluded.push_back(n);
    });
    each(arg(sa, lk.replace), [&](handle item) {
        output o;
        o.name = output_name(item, kind_of(item));
        if (!o.name) return;
        walk(item, sc, mode{}, o.lin, clause::select_list, 0);
        o.fields = shape_;
        r.replaced.push_back(std::move(o));
    });
    each(arg(sa, lk.rename), [&](handle item) {
        object ia = args_of(item);
        handle from = column_name(arg(ia, lk.this_));
        handle to = name_of(arg(ia, lk.alias));
        if (from && to) r.renamed.emplace_back(from, to);
    });
    if (object pattern = arg(sa, lk.ilike)) r.keep = pattern_selector(pattern, {}, kind::ILike, false);
    if (!r.modifies()) return nullptr;
    return &star_rules_.emplace_back(std::move(r));
}

void analysis::star(handle star_node, handle qualifier, scope& sc, query_info& q) {
    star_spec spec;
    spec.qualifier = qualifier;
    spec.text = qualifier ? intern_text(py::checked(PyUnicode_FromFormat("%U.*", qualifier.ptr()))) : handle(lk.star);
    spec.rules = modifiers_of(star_node, sc);
    star_columns(spec, sc, q.outputs);
}

// The columns a star gives, into `outs`.
void analysis::star_columns(const star_spec& spec, scope& sc, std::vector<output>& outs) {
    const std::size_t mark = outs.size();
    star_expansion x{*this, sc, spec, outs, {}, false, {}};
    if (spec.rules != nullptr && spec.rules->keep.kind == name_selector::type::broken) {
        x.undecided = true;
        x.undecided_why = spec.rules->keep.why;
    }
    bool matched = false;
    bool hidden = false;
    for (const source& src : sc.sources) {
        // An ARRAY JOIN's elements are no columns of their own in a star:
        // they stand in for the arrays they unfold (below).
        if (src.hides) {
            hidden = true;
            continue;
        }
        if (spec.qualifier && !same_name(src.alias, spec.qualifier)) continue;
        matched = true;
        switch (src.kind) {
            case source::physical: x.physical(src); break;
            case source::derived: x.derived(src); break;
            case source::opaque: x.opaque(src); break;
        }
    }
    if (!matched) {
        x.unmatched();
        return;
    }
    x.finish(mark);
    if (!hidden || spec.qualifier) return;
    for (std::size_t i = mark; i < outs.size(); ++i) {
        output& o = outs[i];
        if (o.placeholder()) continue;
        for (auto it = sc.sources.rbegin(); it != sc.sources.rend(); ++it) {
            if (!it->hides) continue;
            const auto element = std::find_if(it->q->outputs.begin(), it->q->outputs.end(),
                                              [&](const output& e) { return same_name(e.name, o.name); });
            if (element == it->q->outputs.end()) continue;
            o.lin = element->lin;
            o.fields = element->fields;
            break;
        }
    }
}

// A name read through a placeholder: what each star it came through did to
// it, outermost first.  `name` becomes the name the columns behind have;
// `replaced` is set where a REPLACE gave it its value.
verdict analysis::through_rules(const star_rules* rules, handle& name, const output*& replaced) {
    for (const star_rules* r = rules; r != nullptr; r = r->inner) {
        handle input = name;
        bool renamed_here = false;
        for (const auto& [from, to] : r->renamed) {
            if (same_name(to, name)) {
                input = from;
                renamed_here = true;
                break;
            }
        }
        for (const auto& [from, to] : r->renamed) {
            if (!renamed_here && same_name(from, name)) return verdict::no;
        }
        for (handle e : r->excluded) {
            if (same_name(e, input)) return verdict::no;
        }
        const verdict v = selects(r->keep, input);
        if (v != verdict::yes) return v;
        name = input;
        for (const output& rep : r->replaced) {
            if (same_name(rep.name, input)) {
                replaced = &rep;
                return verdict::yes;
            }
        }
    }
    return verdict::yes;
}

// --- COLUMNS(...) ------------------------------------------------------------------

// The columns COLUMNS(...) selects: COLUMNS(*) and COLUMNS(t.* ...) as the
// star, COLUMNS('re') those whose name the expression matches a part of,
// COLUMNS(['a', 'b']) those named, COLUMNS(c -> ...) those the lambda keeps.
void analysis::columns_selection(handle node, scope& sc, std::vector<output>& chosen) {
    object inner = arg_of(node, lk.this_);
    star_spec spec;
    if (inner && read_star(inner, spec, sc)) {
        star_columns(spec, sc, chosen);
        return;
    }
    star_rules& r = star_rules_.emplace_back();
    const kind k = kind_of(inner);
    object text = k == kind::Literal ? literal_text(inner) : object{};
    spec.text = text ? intern_text(py::checked(PyUnicode_FromFormat("COLUMNS('%U')", text.ptr())))
                     : handle(lk.columns_call);
    if (text) {
        r.keep = regex_selector(inner);
    } else if (k == kind::Lambda) {
        r.keep.kind = name_selector::type::lambda;
        r.keep.lambda = inner;
    } else if (k == kind::Array) {
        r.keep.kind = name_selector::type::names;
        each(arg_of(inner, lk.expressions), [&](handle e) {
            handle name = literal_text(e) ? name_of(e) : handle{};
            if (name) {
                r.keep.names.push_back(name);
            } else {
                r.keep.kind = name_selector::type::broken;
                r.keep.why = {reason::selector_not_decided};
            }
        });
    } else {
        r.keep.kind = name_selector::type::broken;
        r.keep.why = {reason::selector_not_decided};
    }
    spec.rules = &r;
    star_columns(spec, sc, chosen);
}

// COLUMNS(...) met by the walk.  In the select item being expanded, the
// column it stands for now; in the item's first walk it is noted (the
// select list expands the item then); elsewhere (WHERE COLUMNS(...) > 0),
// and unpacked, every column it selects.
void analysis::walk_columns(handle node, scope& sc, mode m, lineage& out) {
    // *COLUMNS(...) passes every column it selects to the function around it.
    const bool unpacked = truthy(arg_of(node, lk.unpack));
    if (&sc == columns_scope_ && columns_binding_ != nullptr && !unpacked) {
        out.absorb(columns_binding_->lin, m);
        shape_ = columns_binding_->fields;
        return;
    }
    if (&sc == columns_scope_ && columns_met_ != nullptr && !unpacked) columns_met_->push_back(object::borrow(node));
    std::vector<output> chosen;
    columns_selection(node, sc, chosen);
    for (const output& c : chosen) out.absorb(c.lin, m);
    shape_ = nullptr;
}

// A select item walked into `o` (its lineage, whether it aggregates, its
// fields), with COLUMNS(...) standing for `binding` where given, and the
// COLUMNS(...) it holds noted in `met` where given.
void analysis::walk_item(handle item, scope& sc, output& o, const output* binding, std::vector<object>* met) {
    struct restore {
        analysis& an;
        const output* binding;
        scope* sc;
        std::vector<object>* met;
        ~restore() {
            an.columns_binding_ = binding;
            an.columns_scope_ = sc;
            an.columns_met_ = met;
        }
    } guard{*this, columns_binding_, columns_scope_, columns_met_};
    columns_binding_ = binding;
    columns_scope_ = &sc;
    columns_met_ = met;
    const std::uint32_t aggregates = aggregates_;
    unnested_struct_ = nullptr;
    walk(item, sc, mode{}, o.lin, clause::select_list, 0);
    o.aggregate = aggregates_ != aggregates;
    o.fields = shape_;
}

// A select item that holds COLUMNS(...): a column per column selected, each
// named by it (or all by the item's alias).  Over columns that are not
// known, an expression of them is one placeholder whose columns are not
// known either.
void analysis::columns_item(handle item, kind k, const std::vector<object>& met, scope& sc, query_info& q,
                            std::size_t index) {
    handle alias = k == kind::Alias ? name_of(arg_of(item, lk.alias)) : handle{};
    std::vector<output> chosen;
    columns_selection(met.front(), sc, chosen);
    for (std::size_t i = 1; i < met.size(); ++i) {
        std::vector<output> other;
        columns_selection(met[i], sc, other);
        if (same_columns(chosen, other)) continue;
        output o;
        o.name = alias ? alias : generated_name(index);
        o.lin.add_unresolved(note(lk.columns_call, {}, {reason::columns_differ}), mode{});
        q.outputs.push_back(std::move(o));
        return;
    }
    if (k == kind::Columns) {
        for (output& c : chosen) q.outputs.push_back(std::move(c));
        return;
    }
    for (const output& c : chosen) {
        output o;
        walk_item(item, sc, o, &c, nullptr);
        if (c.placeholder()) {
            o.name = lk.star;
            o.opaque_note = c.opaque_note >= 0
                                ? c.opaque_note
                                : static_cast<int>(note(lk.star, table_label(c.star_table), {reason::needs_schema}));
        } else {
            o.name = alias ? alias : c.name;
            o.literal_name = !alias && c.literal_name;
        }
        q.outputs.push_back(std::move(o));
    }
}

}  // namespace qarvel::lineage
