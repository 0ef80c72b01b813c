#include "solvers/symmetry_3x3.hpp"

namespace turnsmith::symmetry_3x3 {
namespace {

// The number among the 48 of symmetry `k` of the sixteen.
constexpr unsigned among_all(unsigned k) noexcept {
    return symmetries::symmetry_number({k % 4, k / 4 % 2, 0, k / 8});
}
// The number among the sixteen of a symmetry of the 48 that keeps the U-D axis.
constexpr unsigned among_sixteen(unsigned k) noexcept {
    return k % symmetries::axis_keeping_count + 8 * (k / symmetries::rotation_count);
}
static_assert(among_sixteen(among_all(13)) == 13);

std::array<Symmetry, symmetry_count> make_all() {
    std::array<Symmetry, symmetry_count> sixteen{};
    for (unsigned k = 0; k < symmetry_count; ++k) {
        const unsigned number = among_all(k);
        sixteen[k] = {symmetries::all()[number],
                      static_cast<std::uint8_t>(among_sixteen(symmetries::inverses()[number]))};
    }
    return sixteen;
}

}  // namespace

const std::array<Symmetry, symmetry_count>& symmetries() {
    static const std::array<Symmetry, symmetry_count> all = make_all();
    return all;
}

const std::array<Symmetry, axis_count>& axis_turns() {
    static const std::array<Symmetry, axis_count> turns = [] {
        std::array<Symmetry, axis_count> out{};
        for (unsigned axis = 0; axis < axis_count; ++axis)
            out[axis] = {symmetries::all()[symmetries::symmetry_number({0, 0, axis, 0})], 0};
        return out;
    }();
    return turns;
}

}  // namespace turnsmith::symmetry_3x3
