#include "lineage/names.hpp"

namespace qarvel::lineage {

name_table lk{};

bool create_names() {
#define QARVEL_LINEAGE_MAKE(field, text) \
    if (lk.field == nullptr && (lk.field = PyUnicode_InternFromString(text)) == nullptr) return false;
    QARVEL_LINEAGE_NAMES(QARVEL_LINEAGE_MAKE)
#undef QARVEL_LINEAGE_MAKE
    return true;
}

}  // namespace qarvel::lineage
