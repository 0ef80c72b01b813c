#include "cube/notation.hpp"

namespace turnsmith {
namespace {

// An output token is `kept`, then a prime when `add_prime`, then `modifier`.
struct InvertedToken {
    std::string_view kept;
    bool add_prime;
    std::string_view modifier;

    constexpr std::size_t size() const noexcept {
        return kept.size() + (add_prime ? 1 : 0) + modifier.size();
    }
};

// A trailing ' or 2 is the modifier and stays; the base before it is
// inverted: "X" gains a prime, "X'" loses it, anything else is kept as is.
// ("!" is no modifier here, so "U!" comes out unchanged.)
constexpr InvertedToken invert_token(std::string_view token) noexcept {
    std::string_view base = token;
    std::string_view modifier;
    if (const char last = token.back(); last == '\'' || last == '2') {
        base = token.substr(0, token.size() - 1);
        modifier = token.substr(token.size() - 1);
    }
    if (base.size() == 1 && is_face_letter(base[0])) return {base, true, modifier};
    if (base.size() == 2 && is_face_letter(base[0]) && base[1] == '\'')
        return {base.substr(0, 1), false, modifier};
    return {base, false, modifier};
}

// Appends a move's token, after a space unless it is the first.
void append_token(std::string& text, const Move& move, bool half_turn) {
    if (!text.empty()) text += ' ';
    text += move.face;
    if (half_turn) {
        text += '2';
    } else if (move.prime) {
        text += '\'';
    }
}

}  // namespace

std::string invert_moves_internal(std::string_view utf8, bool half_turns) {
    std::string inverse;
    for_each_token_reverse(utf8, [&](std::string_view token) {
        const TokenMoves moves_of = token_moves(token);
        if (moves_of.turns == 2) {
            // A half turn undoes itself: token_moves gives its clockwise move.
            const Move& clockwise = moves[moves_of.index];
            if (half_turns) {
                append_token(inverse, clockwise, true);
            } else {
                append_token(inverse, clockwise, false);
                append_token(inverse, clockwise, false);
            }
        } else if (moves_of.turns == 1) {
            // Index 2k+1 is the prime of 2k: the last bit picks the other.
            append_token(inverse, moves[moves_of.index ^ 1u], false);
        }
    });
    return inverse;
}

std::string inverse_scramble_internal(std::string_view utf8) {
    // Every output token is at least one byte long, so a non-empty result
    // means a token has been written and the next one needs a separator.
    std::size_t size = 0;
    for_each_token_reverse(
        utf8, [&size](std::string_view token) { size += (size == 0 ? 0 : 1) + invert_token(token).size(); });
    std::string inverse;
    inverse.reserve(size);
    for_each_token_reverse(utf8, [&inverse](std::string_view token) {
        if (!inverse.empty()) inverse += ' ';
        const InvertedToken inverted = invert_token(token);
        inverse += inverted.kept;
        if (inverted.add_prime) inverse += '\'';
        inverse += inverted.modifier;
    });
    return inverse;
}

}  // namespace turnsmith
