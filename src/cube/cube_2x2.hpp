#pragma once
// The 2x2x2 cube: one corner word with the 3x3's layout, turned by the very
// same corner arithmetic, and its 24-sticker projection.

#include <array>
#include <cstdint>
#include <string>
#include <type_traits>

#include "cube/colours.hpp"
#include "cube/corner_word.hpp"
#include "cube/cube.hpp"
#include "cube/layer_turns.hpp"
#include "cube/sticker_import.hpp"

namespace turnsmith {

// Sticker index (4 * face + 2 * row + column) of each facet of each slot:
// the corner stickers of the 3x3 faces, in the same reading order.
inline constexpr std::array<std::array<std::uint8_t, 3>, 8> corner_sticker_indexes_2x2 = {{
    {0, 21, 16},   // ULB
    {1, 5, 20},    // UBR
    {3, 9, 4},     // URF
    {2, 17, 8},    // UFL
    {14, 18, 23},  // DLB
    {15, 22, 7},   // DBR
    {13, 6, 11},   // DRF
    {12, 10, 19},  // DFL
}};

struct Cube2x2 : QuarterTurns<Cube2x2> {
    Word corners = solved_corners;

    static constexpr std::size_t sticker_dim = 24;
    // The words that hold the state, as they are exchanged: the corner word.
    static constexpr std::size_t word_count = 1;
    // The number Python names this type by, and whether it has edge pieces.
    static constexpr unsigned cube_type = 2;
    static constexpr bool has_edges = false;

    constexpr Cube2x2() noexcept = default;
    constexpr explicit Cube2x2(Word corner_word) noexcept : corners(corner_word) {}

    template <MoveIndex M>
    constexpr void turn_by() noexcept {
        corners = corner_word::turn<M>(corners);
    }

    constexpr std::array<Word, word_count> words() const noexcept { return {corners}; }
    static constexpr Cube2x2 from_words(const std::array<Word, word_count>& words) noexcept {
        return Cube2x2(words[0]);
    }

    // Writes the 24 sticker colours into `out` (indexable by 0..23), directly
    // into a batch's output row or into a fresh array below.
    template <class Out>
    constexpr void to_sticker_array_internal(Out&& out) const noexcept {
        const Word corner_word = corners;  // a byte output may alias the cube
        for (unsigned slot = 0; slot < corner_sticker_indexes_2x2.size(); ++slot) {
            const auto& colours = corner_facet_colours[slot_field(corner_word, slot)];
            for (unsigned facet = 0; facet < 3; ++facet)
                out[corner_sticker_indexes_2x2[slot][facet]] = colours[facet];
        }
    }

    constexpr StickerArray<sticker_dim> to_sticker_array_internal() const noexcept {
        StickerArray<sticker_dim> stickers{};
        to_sticker_array_internal(stickers);
        return stickers;
    }

    std::string render_ansi_internal() const;

    constexpr bool is_solved() const noexcept { return corners == solved_corners; }

    friend constexpr bool operator==(const Cube2x2&, const Cube2x2&) = default;
};

// Batches store states back to back and copy them by value.
static_assert(sizeof(Cube2x2) == 8);
static_assert(std::is_trivially_copyable_v<Cube2x2>);
static_assert(Cube<Cube2x2>);

// The cube whose sticker array is `stickers` (24 values, indexable), or the
// first fault of the array; the state it names is checked apart.
template <class Stickers>
constexpr std::optional<StickerFault> read_sticker_array_internal(const Stickers& stickers, Cube2x2& cube) noexcept {
    if (auto fault = check_colour_range(stickers, Cube2x2::sticker_dim)) return fault;
    return read_word(stickers, corner_sticker_indexes_2x2, corner_field_by_colours, StickerRule::corner, cube.corners);
}

}  // namespace turnsmith
