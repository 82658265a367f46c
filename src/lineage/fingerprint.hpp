// The template fingerprint of a statement (fingerprint.cpp).
#pragma once

#include "interop/object.hpp"

namespace qarvel::lineage {

// (masked, fingerprint): a 128-bit int of `text` with its literals masked, or
// (False, the hash of the exact text) when the text holds something the
// scanner cannot read with certainty.  `lexicon` is (comment markers, string
// quotes, identifier quotes, string escapes) as sqlglot's tokenizer lists
// them.
py::object fingerprint(py::handle text, py::handle lexicon);

// The literals `fingerprint` masks, in order, as written (quotes included),
// or None when it masks none because the text is not read with certainty.
py::object masked_literals(py::handle text, py::handle lexicon);

}  // namespace qarvel::lineage
