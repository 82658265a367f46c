// Turning an analysis into Python values: named tuples of the result types
// registered by the package (Table, Source, Unresolved, OutputColumn).
#pragma once

#include "interop/object.hpp"
#include "lineage/analysis.hpp"

#include <unordered_map>
#include <vector>

namespace qarvel::lineage {

class result_builder {
  public:
    explicit result_builder(analysis& an) : an_(an) {}

    // One output column at a 1-based position; `all` applies to every row.
    py::object column(std::size_t position, py::handle name, const lineage& own, const lineage& all);
    // The influences of every row (OpenLineage's dataset-level lineage).
    py::object influences(const lineage& all);
    py::object tables();
    py::object table(const table_ref& t);

    py::object source(col_id col, subtype sub, bool masking);
    py::object unresolved(const unresolved_ref& ref);

  private:
    // The indirect sources and the unresolved entries of `lin`, as tuples.
    py::object sources_tuple(const lineage& lin);
    py::object unresolved_tuple(const lineage& lin);

    analysis& an_;
    // The row-wide tuples of `shared_for_`, shared by columns without influences of their own.
    const lineage* shared_for_ = nullptr;
    py::object shared_indirect_, shared_unresolved_;
    std::unordered_map<std::uint64_t, py::object> sources_;
    std::unordered_map<std::uint64_t, py::object> unresolved_;
};

// The words of an unresolved entry's reason; `text` is the reference.
std::string reason_text(const cause& c, py::handle text);

// The text label of a subtype ("IDENTITY", ...), borrowed.
py::handle subtype_label(subtype s);

}  // namespace qarvel::lineage
