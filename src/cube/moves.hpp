#pragma once
// The twelve quarter turns, listed once: each one move, of cost one in the
// quarter-turn metric (move_rules.hpp). Every other list of them is made from
// this table or follows its index order: the named turn members, the index
// dispatch, the word turns, the notation's face letters and the Python method
// rows.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace turnsmith {

// Indexes come from this table; 12 and above name no turn.
using MoveIndex = std::uint64_t;

inline constexpr std::size_t move_count = 12;

struct Move {
    MoveIndex index;
    char face;   // the notation's letter
    bool prime;  // counterclockwise, seen from outside the face
    const char* method;  // the single-turn method of the Python classes
    const char* doc;     // its docstring
};

inline constexpr std::array<Move, move_count> moves = {{
    {0, 'U', false, "do_u_move", "Apply the U move (clockwise top face turn)."},
    {1, 'U', true, "do_u_prime_move",
     "Apply the U' move (counterclockwise top face turn)."},
    {2, 'D', false, "do_d_move", "Apply the D move (clockwise bottom face turn)."},
    {3, 'D', true, "do_d_prime_move",
     "Apply the D' move (counterclockwise bottom face turn)."},
    {4, 'R', false, "do_r_move", "Apply the R move (clockwise right face turn)."},
    {5, 'R', true, "do_r_prime_move",
     "Apply the R' move (counterclockwise right face turn)."},
    {6, 'L', false, "do_l_move", "Apply the L move (clockwise left face turn)."},
    {7, 'L', true, "do_l_prime_move",
     "Apply the L' move (counterclockwise left face turn)."},
    {8, 'F', false, "do_f_move", "Apply the F move (clockwise front face turn)."},
    {9, 'F', true, "do_f_prime_move",
     "Apply the F' move (counterclockwise front face turn)."},
    {10, 'B', false, "do_b_move", "Apply the B move (clockwise back face turn)."},
    {11, 'B', true, "do_b_prime_move",
     "Apply the B' move (counterclockwise back face turn)."},
}};

// The shape that the notation and the inverse rely on: rows in index order,
// and index 2k+1 is the prime of index 2k, so each undoes the other.
constexpr bool moves_pair_up() noexcept {
    for (std::size_t i = 0; i < moves.size(); ++i) {
        const Move& clockwise = moves[i & ~std::size_t{1}];
        if (moves[i].index != i || moves[i].face != clockwise.face || moves[i].prime != (i % 2 == 1)) return false;
    }
    return true;
}
static_assert(moves_pair_up());

// The clockwise move of a face letter, or move_count for any other byte.
inline constexpr auto clockwise_move_of = [] {
    std::array<MoveIndex, 256> table{};
    table.fill(move_count);
    for (const Move& move : moves) {
        if (!move.prime) table[static_cast<unsigned char>(move.face)] = move.index;
    }
    return table;
}();

constexpr bool is_face_letter(char c) noexcept {
    return clockwise_move_of[static_cast<unsigned char>(c)] != move_count;
}

// Turns `cube` in place by move M: every turn of every cube type goes through
// its one member template `turn_by<M>()`.
template <MoveIndex M, class C>
constexpr void turn(C& cube) noexcept {
    static_assert(M < move_count);
    cube.template turn_by<M>();
}

// The twelve named in-place turns of a cube type, in move-index order: the one
// place that ties a member's name to a move index. A cube type inherits them
// and defines `template <MoveIndex M> void turn_by() noexcept`.
template <class C>
struct QuarterTurns {
    constexpr void do_u_move_internal() noexcept { turn<0>(self()); }
    constexpr void do_u_prime_move_internal() noexcept { turn<1>(self()); }
    constexpr void do_d_move_internal() noexcept { turn<2>(self()); }
    constexpr void do_d_prime_move_internal() noexcept { turn<3>(self()); }
    constexpr void do_r_move_internal() noexcept { turn<4>(self()); }
    constexpr void do_r_prime_move_internal() noexcept { turn<5>(self()); }
    constexpr void do_l_move_internal() noexcept { turn<6>(self()); }
    constexpr void do_l_prime_move_internal() noexcept { turn<7>(self()); }
    constexpr void do_f_move_internal() noexcept { turn<8>(self()); }
    constexpr void do_f_prime_move_internal() noexcept { turn<9>(self()); }
    constexpr void do_b_move_internal() noexcept { turn<10>(self()); }
    constexpr void do_b_prime_move_internal() noexcept { turn<11>(self()); }

    // No state here: lets the cube types default their comparison.
    friend constexpr bool operator==(const QuarterTurns&, const QuarterTurns&) noexcept = default;

private:
    constexpr C& self() noexcept { return static_cast<C&>(*this); }
};

}  // namespace turnsmith
