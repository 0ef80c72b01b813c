#pragma once
// The twelve quarter turns, listed once. Every other list of them is made from
// this table or checked against it: the cube types' turn members, the index
// dispatch, the notation's face letters and the Python method rows.

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
    const char* doc;     // its docstring, text signature first
};

inline constexpr std::array<Move, move_count> moves = {{
    {0, 'U', false, "do_u_move", "do_u_move($self)\n--\n\nApply the U move (clockwise top face turn)."},
    {1, 'U', true, "do_u_prime_move",
     "do_u_prime_move($self)\n--\n\nApply the U' move (counterclockwise top face turn)."},
    {2, 'D', false, "do_d_move", "do_d_move($self)\n--\n\nApply the D move (clockwise bottom face turn)."},
    {3, 'D', true, "do_d_prime_move",
     "do_d_prime_move($self)\n--\n\nApply the D' move (counterclockwise bottom face turn)."},
    {4, 'R', false, "do_r_move", "do_r_move($self)\n--\n\nApply the R move (clockwise right face turn)."},
    {5, 'R', true, "do_r_prime_move",
     "do_r_prime_move($self)\n--\n\nApply the R' move (counterclockwise right face turn)."},
    {6, 'L', false, "do_l_move", "do_l_move($self)\n--\n\nApply the L move (clockwise left face turn)."},
    {7, 'L', true, "do_l_prime_move",
     "do_l_prime_move($self)\n--\n\nApply the L' move (counterclockwise left face turn)."},
    {8, 'F', false, "do_f_move", "do_f_move($self)\n--\n\nApply the F move (clockwise front face turn)."},
    {9, 'F', true, "do_f_prime_move",
     "do_f_prime_move($self)\n--\n\nApply the F' move (counterclockwise front face turn)."},
    {10, 'B', false, "do_b_move", "do_b_move($self)\n--\n\nApply the B move (clockwise back face turn)."},
    {11, 'B', true, "do_b_prime_move",
     "do_b_prime_move($self)\n--\n\nApply the B' move (counterclockwise back face turn)."},
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

// The in-place turn member of cube type C for each move, in index order: the
// one place that ties a member's name to a move index. A cube type without
// one of them, or with one that may throw, fails to compile here.
template <class C>
using TurnMember = void (C::*)() noexcept;

template <class C>
inline constexpr std::array<TurnMember<C>, move_count> turn_members = {
    &C::do_u_move_internal, &C::do_u_prime_move_internal, &C::do_d_move_internal, &C::do_d_prime_move_internal,
    &C::do_r_move_internal, &C::do_r_prime_move_internal, &C::do_l_move_internal, &C::do_l_prime_move_internal,
    &C::do_f_move_internal, &C::do_f_prime_move_internal, &C::do_b_move_internal, &C::do_b_prime_move_internal,
};

// Turns `cube` by move M; the member is known at compile time, so the call
// inlines like a direct one.
template <MoveIndex M, class C>
constexpr void turn(C& cube) noexcept {
    static_assert(M < move_count);
    (cube.*turn_members<C>[M])();
}

}  // namespace turnsmith
