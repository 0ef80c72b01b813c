#pragma once
// What the model's operations cost, in quarter turns: the unit in which the
// batch loops weigh their items when they cut long work into chunks.

#include <cstddef>
#include <cstdint>

namespace turnsmith {

// Items that all cost the same.
template <std::uint64_t Turns>
struct FixedCost {
    static constexpr std::uint64_t turns = Turns;
    constexpr std::uint64_t operator()(std::size_t) const noexcept { return Turns; }
};
using UnitCost = FixedCost<1>;  // one turn per cube
using RowCost = FixedCost<8>;   // a sticker row: its stores cost about eight turns

}  // namespace turnsmith
