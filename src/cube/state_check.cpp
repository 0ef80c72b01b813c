#include "cube/state_check.hpp"

#include "cube/sticker_import.hpp"

namespace turnsmith {
namespace {

// " piece P is in slots A and B"
std::string twice(const StateFault& fault) {
    return " piece " + std::to_string(fault.value) + " is in slots " + std::to_string(fault.other) + " and " +
           std::to_string(fault.slot);
}

}  // namespace

std::string describe(const StateFault& fault) {
    const auto number = [](unsigned value) { return std::to_string(value); };
    switch (fault.rule) {
        case StateRule::corner_bits_above:
            return "the corner word has bits set above its " + number(corner_slots) + " slots";
        case StateRule::corner_twist_range:
            return "corner slot " + number(fault.slot) + " has twist " + number(fault.value) +
                   ", but twists are 0..2";
        case StateRule::corner_piece_twice:
            return "corner" + twice(fault);
        case StateRule::corner_twist_sum:
            return "corner twists sum to " + number(fault.value) + " mod 3";
        case StateRule::edge_bits_above:
            return "the edge word has bits set above its " + number(edge_slots) + " slots";
        case StateRule::edge_piece_range:
            return "edge slot " + number(fault.slot) + " holds piece " + number(fault.value) +
                   ", but edge pieces are 0..11";
        case StateRule::edge_piece_twice:
            return "edge" + twice(fault);
        case StateRule::edge_flip_sum:
            return "edge flips sum to 1 mod 2";
        case StateRule::permutation_parity:
            return "corner and edge permutations differ in parity";
    }
    return "unknown fault";
}

// Faces in sticker order.
constexpr std::string_view face_letters = "URFDLB";

std::string describe(const StickerFault& fault) {
    const auto colours = [&](std::size_t count) {
        std::string text;
        for (std::size_t facet = 0; facet < count; ++facet) {
            if (facet > 0) text += ", ";
            text += std::to_string(fault.colours[facet]);
        }
        return text;
    };
    const std::string at = std::to_string(fault.at);
    switch (fault.rule) {
        case StickerRule::colour_range:
            return "sticker " + at + " has colour " + std::to_string(fault.value) + ", but colours are 0..5";
        case StickerRule::centre:
            return "sticker " + at + ", the centre of face " + face_letters[fault.at / 9] + ", shows colour " +
                   std::to_string(fault.value) + " where it must show " + std::to_string(fault.at / 9);
        case StickerRule::corner:
            return "corner slot " + at + " shows colours " + colours(3) + ", which no corner piece has";
        case StickerRule::edge:
            return "edge slot " + at + " shows colours " + colours(2) + ", which no edge piece has";
    }
    return "unknown fault";
}

}  // namespace turnsmith
