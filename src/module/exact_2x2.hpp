// What the Python methods of the 2x2's exact answers share: the distance
// table made ready before a call takes its hold, the flag argument, and the
// solutions' notation.
#pragma once

#include "module/python.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "cube/moves.hpp"
#include "cubeBatch/distance_table.hpp"
#include "module/attachment.hpp"
#include "module/errors.hpp"

namespace turnsmith::py {

// Runs `precheck()`, which raises what would refuse the call (its arguments,
// its receiver), and then makes the distance table ready, before the call
// takes its hold: the first build takes a second or more, with the thread
// detached, and a hold kept that long would refuse every other call on the
// object meanwhile. A refused call builds nothing. False, with the Python
// error set, when either fails.
template <class Precheck>
bool distance_table_ready(Precheck&& precheck) noexcept {
    return guarded([&] {
               precheck();
               if (distance_table_2x2_if_built() == nullptr) {
                   const Detached detached;
                   (void)distance_table_2x2();
               }
               return 0;
           }) == 0;
}

// The table, once distance_table_ready has returned true in this process.
inline const DistanceTable2x2& built_distance_table() noexcept { return *distance_table_2x2_if_built(); }

// A flag argument, false when left out; any object's truth, like `if`.
inline bool to_flag(PyObject* value) { return value != nullptr && check(PyObject_IsTrue(value)) == 1; }

// Move indexes in the notation that do_moves reads: "R U' F".
inline std::string move_text(std::span<const std::int8_t> indexes) {
    std::string text;
    for (const std::int8_t index : indexes) {
        if (!text.empty()) text += ' ';
        const Move& move = moves[static_cast<std::size_t>(index)];
        text += move.face;
        if (move.prime) text += '\'';
    }
    return text;
}

}  // namespace turnsmith::py
