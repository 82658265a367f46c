// A script's statements (split.cpp).
#pragma once

#include "interop/object.hpp"

namespace qarvel::lineage {

// (certain, spans): the (start, end) code point offsets of each piece of
// `text` between the ';' that separate statements, read with the dialect's
// lexicon (as `fingerprint` takes it).  `certain` is False when the text
// holds something the lexicon does not settle; the spans are then the best
// reading.
py::object split(py::handle text, py::handle lexicon);

}  // namespace qarvel::lineage
