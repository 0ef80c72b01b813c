// What the Python methods of the 2x2's exact answers share: the distance
// table made ready before a call takes its hold.
#pragma once

#include "python/python.hpp"

#include "solvers/distance_table_2x2.hpp"
#include "python/attachment.hpp"
#include "python/errors.hpp"

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

}  // namespace turnsmith::py
