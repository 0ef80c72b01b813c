#include "cube/render_3x3.hpp"

#include <array>
#include <string_view>

#include "cube/net_text.hpp"
#include "cube/cube_3x3.hpp"

namespace turnsmith {
namespace {

// U above F, then L F R B side by side, then D below F. The 7-blank indent is
// an L block (5 columns) plus the 2-blank gap between faces.
constexpr TextTemplate<Cube3x3::sticker_dim> net_template{
    "       {} {} {}\n"
    "       {} {} {}\n"
    "       {} {} {}\n"
    "{} {} {}  {} {} {}  {} {} {}  {} {} {}\n"
    "{} {} {}  {} {} {}  {} {} {}  {} {} {}\n"
    "{} {} {}  {} {} {}  {} {} {}  {} {} {}\n"
    "       {} {} {}\n"
    "       {} {} {}\n"
    "       {} {} {}\n"};

constexpr auto net_order = net_reading_order<3>();

}  // namespace

std::string ansi_color(char letter) {
    for (std::size_t code = 0; code < colour_letters.size(); ++code) {
        if (colour_letters[code] == letter) return std::string(coloured_stickers[code]);
    }
    return std::string(1, letter);
}

std::string Cube3x3::render_ansi_internal() const {
    // The projection refuses edge pieces >= 12 before anything is drawn.
    return render_net(to_sticker_array_internal(), net_template, net_order);
}

}  // namespace turnsmith
