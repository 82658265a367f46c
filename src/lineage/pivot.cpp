// PIVOT / UNPIVOT applied to a source.  Which output column comes from which
// input is not traced yet: the source becomes one whose columns are not
// known, and the pivot's alias (if any) names it.  Tracing them belongs
// here: the pivot's aggregations, its FOR column and IN values are all on
// the Pivot node.
#include "lineage/analysis.hpp"

#include "lineage/names.hpp"
#include "lineage/tree.hpp"

namespace qarvel::lineage {

using py::handle;
using py::object;

void analysis::pivoted(handle pivots, source& src) {
    if (!PyList_Check(pivots.ptr()) || PyList_GET_SIZE(pivots.ptr()) == 0) return;
    object pivot = object::borrow(PyList_GET_ITEM(pivots.ptr(), 0));
    object pa = args_of(pivot);
    const bool unpivot = truthy(arg(pa, lk.unpivot));
    if (handle name = alias_name(arg(pa, lk.alias))) src.alias = name;
    src.kind = source::opaque;
    src.opaque_cause = {unpivot ? reason::unpivot_not_traced : reason::pivot_not_traced};
    if (src.alias) src.label = src.alias;
}

}  // namespace qarvel::lineage
