#include "cube/render_2x2.hpp"

#include <array>
#include <string_view>

#include "base/fault.hpp"
#include "cube/net_text.hpp"
#include "cube/cube_2x2.hpp"

namespace turnsmith {
namespace {

// U above F, then L F R B side by side, then D below F. The 6-blank indent is
// an L block (3 columns) plus the 3-blank gap between faces.
constexpr TextTemplate<Cube2x2::sticker_dim> net_template{
    "      {} {}\n"
    "      {} {}\n"
    "{} {}   {} {}   {} {}   {} {}\n"
    "{} {}   {} {}   {} {}   {} {}\n"
    "      {} {}\n"
    "      {} {}\n"};

constexpr auto net_order = net_reading_order<2>();

}  // namespace

std::string get_sticker(Word corners, unsigned slot, unsigned facet) {
    if (slot >= 8 || facet >= 3) [[unlikely]] {
        internal_fault("corner slot " + std::to_string(slot) + " facet " + std::to_string(facet) +
                       " does not exist (slots 0..7, facets 0..2)");
    }
    return std::string(coloured_stickers[corner_sticker_colour(corners, slot, facet)]);
}

std::string Cube2x2::render_ansi_internal() const {
    return render_net(to_sticker_array_internal(), net_template, net_order);
}

}  // namespace turnsmith
