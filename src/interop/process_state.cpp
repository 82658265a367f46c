#include "interop/process_state.hpp"

namespace qarvel {

core_table core{};
constant_table k{};
process_state process{};

}  // namespace qarvel
