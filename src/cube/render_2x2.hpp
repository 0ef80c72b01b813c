#pragma once
// Terminal rendering of the 2x2: an unfolded net of ANSI-coloured letters.
// The net itself is Cube2x2::render_ansi_internal.

#include <string>

#include "cube/cube.hpp"

namespace turnsmith {

// The coloured sticker at facet `facet` (0..2) of corner slot `slot` (0..7).
// Out-of-range slot or facet numbers are an internal fault.
std::string get_sticker(Word corners, unsigned slot, unsigned facet);

}  // namespace turnsmith
