// The batch loops of the group operations: inverses and compositions of
// whole batches, piece arrays out and back in, and one-hot rows. Each item
// writes only its own cube or its own output rows.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "cube/group.hpp"
#include "cube/one_hot.hpp"
#include "cube/state_check.hpp"
#include "engine/loops.hpp"
#include "engine/row_buffer.hpp"

namespace turnsmith {

// Cube i of `out` is the inverse of cube i.
template <Cube C, class Runner = AtOnce>
void inverse_internal(std::span<const C> cubes, std::span<C> out, Runner&& run = {}) {
    run(cubes.size(), FixedCost<4>{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = inverse_of(cubes[i]);
    });
}

// Cube i of `out` is cube i of `first` followed by cube i of `then` (both as
// long as `out`).
template <Cube C, class Runner = AtOnce>
void compose_internal(std::span<const C> first, std::span<const C> then, std::span<C> out,
                      Runner&& run = {}) {
    run(out.size(), FixedCost<4>{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = compose(first[i], then[i]);
    });
}

// ---- piece arrays ------------------------------------------------------------

// A batch's pieces as rows of bytes: corner pieces and twists (8 a row) and,
// for the 3x3, edge pieces and flips (12 a row), slot order as the words.
struct PieceRows {
    Rows<std::int8_t> corners;
    Rows<std::int8_t> twists;
    Rows<std::int8_t> edges;  // no rows for the 2x2
    Rows<std::int8_t> flips;
};

template <Cube C, class Runner = AtOnce>
PieceRows pieces_internal(std::span<const C> cubes, Runner&& run = {}) {
    constexpr bool has_edges = C::has_edges;
    const std::size_t edge_rows = has_edges ? cubes.size() : 0;
    PieceRows rows{Rows<std::int8_t>::zeroed(cubes.size(), corner_slots),
                   Rows<std::int8_t>::zeroed(cubes.size(), corner_slots),
                   Rows<std::int8_t>::zeroed(edge_rows, edge_slots),
                   Rows<std::int8_t>::zeroed(edge_rows, edge_slots)};
    run(cubes.size(), FixedCost<2>{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const auto words = cubes[i].words();
            for (unsigned slot = 0; slot < corner_slots; ++slot) {
                const Word field = slot_field(words[0], slot);
                rows.corners.row(i)[slot] = static_cast<std::int8_t>(corner_piece(field));
                rows.twists.row(i)[slot] = static_cast<std::int8_t>(corner_twist(field));
            }
            if constexpr (has_edges) {
                for (unsigned slot = 0; slot < edge_slots; ++slot) {
                    const Word field = slot_field(words[1], slot);
                    rows.edges.row(i)[slot] = static_cast<std::int8_t>(edge_piece(field));
                    rows.flips.row(i)[slot] = static_cast<std::int8_t>(edge_flip(field));
                }
            }
        }
    });
    return rows;
}

// The rows of a batch's pieces, read in place from the caller's arrays.
struct PieceInput {
    const std::int8_t* corners;  // 8 a row
    const std::int8_t* twists;
    const std::int8_t* edges;  // 12 a row; null for the 2x2
    const std::int8_t* flips;
};

// What one field of a word holds: the values a state may have there, and
// how they read in a message ("corner slot 3 holds piece 9, but corner
// pieces are 0..7", the wording of the state check).
struct FieldRange {
    const char* kind;    // "corner", "edge"
    const char* verb;    // "holds", "has"
    const char* name;    // "piece", "twist", "flip"
    const char* plural;  // "corner pieces", "twists", "flips"
    int largest;
};

inline constexpr FieldRange corner_pieces{"corner", "holds", "piece", "corner pieces", 7};
inline constexpr FieldRange corner_twists{"corner", "has", "twist", "twists", 2};
inline constexpr FieldRange edge_pieces{"edge", "holds", "piece", "edge pieces", 11};
inline constexpr FieldRange edge_flips{"edge", "has", "flip", "flips", 1};

inline std::string out_of_range(const FieldRange& range, unsigned slot, int value) {
    return std::string(range.kind) + " slot " + std::to_string(slot) + " " + range.verb + " " + range.name +
           " " + std::to_string(value) + ", but " + range.plural + " are 0.." + std::to_string(range.largest);
}

// Packs `Slots` pieces and orientations into `word`, or returns the text of
// the first value outside its field's range. Values in range are packed
// whatever they say; the state check reads the word after.
template <unsigned Slots>
std::optional<std::string> pack_word(const std::int8_t* pieces, const std::int8_t* orientations,
                                     const FieldRange& piece_range, const FieldRange& orientation_range,
                                     unsigned orientation_shift, Word& word) {
    word = 0;
    for (unsigned slot = 0; slot < Slots; ++slot) {
        const int piece = pieces[slot];  // read once: the caller's array
        const int orientation = orientations[slot];
        if (piece < 0 || piece > piece_range.largest) return out_of_range(piece_range, slot, piece);
        if (orientation < 0 || orientation > orientation_range.largest) {
            return out_of_range(orientation_range, slot, orientation);
        }
        word |= (Word(piece) | (Word(orientation) << orientation_shift)) << slot_shift(slot);
    }
    return std::nullopt;
}

// The cube of row i of `input`, or the text of what is wrong with it: first
// a value out of its range, then the rules that the state check names.
template <Cube C>
std::optional<std::string> cube_from_pieces(const PieceInput& input, std::size_t i, C& cube) {
    std::array<Word, C::word_count> words{};
    if (auto fault =
            pack_word<corner_slots>(input.corners + i * corner_slots, input.twists + i * corner_slots,
                                    corner_pieces, corner_twists, twist_shift, words[0])) {
        return fault;
    }
    if constexpr (C::has_edges) {
        if (auto fault = pack_word<edge_slots>(input.edges + i * edge_slots, input.flips + i * edge_slots,
                                               edge_pieces, edge_flips, flip_shift, words[1])) {
            return fault;
        }
    }
    if (const auto fault = check_state(words)) return describe(*fault);
    cube = C::from_words(words);
    return std::nullopt;
}

// ---- one-hot rows ---------------------------------------------------------------

// Row r of `out` (C::sticker_dim * 6 values of T a row) receives the one-hot
// colours of cube r; `one` is the bit pattern of 1 in T. Rows not known to
// be zero are cleared first.
template <Cube C, class T, class Runner = AtOnce>
void one_hot_into_internal(std::span<const C> cubes, T* out, T one, bool zeroed, Runner&& run = {}) {
    constexpr std::size_t width = C::sticker_dim * one_hot_width;
    run(cubes.size(), RowCost{}, [&](std::size_t begin, std::size_t end) {
        if (!zeroed) std::fill(out + begin * width, out + end * width, T{});
        for (std::size_t r = begin; r < end; ++r) one_hot_row(cubes[r], out + r * width, one);
    });
}

// The same rows in a new zero-filled buffer.
template <Cube C, class T, class Runner = AtOnce>
Rows<T> one_hot_internal(std::span<const C> cubes, T one, Runner&& run = {}) {
    auto rows = Rows<T>::zeroed(cubes.size(), C::sticker_dim * one_hot_width);
    one_hot_into_internal(cubes, rows.row(0), one, true, run);
    return rows;
}

}  // namespace turnsmith
