#pragma once
// How a batch of solutions is handed out: one row a cube, as wide as the
// longest solution asked for, holding the cube's moves and then -1; beside
// it the solution's length, or -1 for a cube that has none within the bound.

#include <algorithm>
#include <cstdint>
#include <span>

namespace turnsmith {

// Row `row`, `width` wide, after its first `length` moves becomes -1.
inline void pad_solution_row(std::int8_t* row, std::size_t width, std::size_t length) noexcept {
    std::fill(row + length, row + width, std::int8_t{-1});
}

// Writes row `i` of `rows` (each `width` wide) and its length: the first
// `length` moves already in the row are kept, the rest of it becomes -1.
// Without a solution the whole row is -1 and so is its length.
inline void finish_solution_row(std::int8_t* rows, std::size_t width, std::int16_t* lengths, std::size_t i,
                                bool found, std::size_t length) noexcept {
    if (!found) length = 0;
    pad_solution_row(rows + i * width, width, length);
    lengths[i] = found ? static_cast<std::int16_t>(length) : std::int16_t{-1};
}

// The same for a solution found elsewhere: its moves are copied in when they fit
// within `max_length`, otherwise the cube counts as having none.
inline void write_solution_row(std::int8_t* rows, std::size_t width, std::int16_t* lengths, std::size_t i,
                               std::span<const std::int8_t> moves, std::size_t max_length) noexcept {
    const bool fits = moves.size() <= max_length && moves.size() <= width;
    if (fits) std::copy(moves.begin(), moves.end(), rows + i * width);
    finish_solution_row(rows, width, lengths, i, fits, moves.size());
}

}  // namespace turnsmith
