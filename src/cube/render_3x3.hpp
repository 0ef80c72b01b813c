#pragma once
// Terminal rendering of the 3x3: an unfolded net of ANSI-coloured letters.
// The net itself is Cube3x3::render_ansi_internal.

#include <string>

namespace turnsmith {

// The coloured sticker for a colour letter (W, R, G, Y, O, B); any other
// character comes back as itself, uncoloured.
std::string ansi_color(char letter);

}  // namespace turnsmith
