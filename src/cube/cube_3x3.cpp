#include "cube/cube_3x3.hpp"

#include "base/fault.hpp"

namespace turnsmith {

void edge_piece_out_of_range(unsigned slot, Word piece, std::source_location where) {
    internal_fault("edge slot " + std::to_string(slot) + " holds piece " + std::to_string(piece) +
                       ", but edge pieces are numbered 0..11",
                   where);
}

}  // namespace turnsmith
