#pragma once
// Sticker arrays back to words: every corner (and edge) position is read from
// its stickers and named by the one piece and orientation that shows those
// colours there. What no piece shows, a colour out of range, or a wrong
// centre is a fault naming the position; the words that result are checked
// as states apart (each piece once, twist and flip sums, parity).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "cube/colours.hpp"
#include "cube/cube.hpp"

namespace turnsmith {

enum class StickerRule : std::uint8_t {
    colour_range,  // sticker `at` holds `value`, not a colour code
    centre,        // sticker `at`, a centre, shows `value` instead of its face
    corner,        // corner slot `at` shows `colours`, which no corner piece shows
    edge,          // edge slot `at` shows `colours[0..1]`, which no edge piece shows
};

struct StickerFault {
    StickerRule rule;
    unsigned at = 0;
    std::int64_t value = 0;
    std::array<Colour, 3> colours{};
};

// The text for a fault, such as "sticker 7 has colour 9, but colours are 0..5".
std::string describe(const StickerFault& fault);

namespace sticker_import_detail {

constexpr std::size_t key_of(std::span<const Colour> colours) noexcept {
    std::size_t key = 0;
    for (const Colour colour : colours) key = key * face_count + colour;
    return key;
}

// For every way `Facets` colours can read, the slot field (piece and
// orientation) that shows them, plus one; 0 where none does.
template <std::size_t Facets, std::size_t Fields, class FieldColours>
constexpr auto field_by_colours(const FieldColours& field_colours, bool (*is_field)(Word)) {
    constexpr std::size_t keys = Facets == 3 ? face_count * face_count * face_count : face_count * face_count;
    std::array<std::uint8_t, keys> table{};
    for (Word field = 0; field < Fields; ++field) {
        if (!is_field(field)) continue;
        std::array<Colour, Facets> colours{};
        for (std::size_t facet = 0; facet < Facets; ++facet) colours[facet] = field_colours[field][facet];
        table[key_of(colours)] = static_cast<std::uint8_t>(field + 1);
    }
    return table;
}

}  // namespace sticker_import_detail

// The field of every corner reading, twists 0..2 only.
inline constexpr auto corner_field_by_colours = sticker_import_detail::field_by_colours<3, 32>(
    corner_facet_colours, [](Word field) { return corner_twist(field) <= 2; });

// Checks that every sticker is a colour code; returns the first that is not.
template <class Stickers>
constexpr std::optional<StickerFault> check_colour_range(const Stickers& stickers, std::size_t count) noexcept {
    for (std::size_t at = 0; at < count; ++at) {
        const auto value = static_cast<std::int64_t>(stickers[at]);
        if (value < 0 || value >= static_cast<std::int64_t>(face_count)) {
            return StickerFault{StickerRule::colour_range, static_cast<unsigned>(at), value};
        }
    }
    return std::nullopt;
}

// Reads the word of `Slots` positions whose facets lie at `indexes`; the
// stickers are known to be colour codes.
template <std::size_t Facets, std::size_t Slots, class Stickers, class Table>
constexpr std::optional<StickerFault> read_word(const Stickers& stickers,
                                                const std::array<std::array<std::uint8_t, Facets>, Slots>& indexes,
                                                const Table& field_by_colours, StickerRule rule, Word& word) noexcept {
    word = 0;
    for (unsigned slot = 0; slot < Slots; ++slot) {
        std::array<Colour, Facets> colours{};
        for (std::size_t facet = 0; facet < Facets; ++facet) {
            colours[facet] = static_cast<Colour>(stickers[indexes[slot][facet]]);
        }
        const std::uint8_t field = field_by_colours[sticker_import_detail::key_of(colours)];
        if (field == 0) {
            StickerFault fault{rule, slot};
            for (std::size_t facet = 0; facet < Facets; ++facet) fault.colours[facet] = colours[facet];
            return fault;
        }
        word |= Word{field - 1u} << slot_shift(slot);
    }
    return std::nullopt;
}

}  // namespace turnsmith
