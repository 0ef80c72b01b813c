#pragma once
// Move notation: tokens separated by Unicode whitespace, applied to a cube or
// rewritten into the inverse sequence. Text arrives as UTF-8 bytes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "cube/cube.hpp"

namespace turnsmith {

// Exactly the characters with the Unicode White_Space property. U+001C..U+001F
// and U+200B are deliberately absent: they belong to the token they stand in.
constexpr bool is_unicode_whitespace(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

struct DecodedChar {
    char32_t code_point;
    std::size_t length;  // bytes, 1..4
};

inline constexpr char32_t replacement_character = 0xFFFD;

// Decodes the character starting at byte `at` (< text.size()). Malformed or
// truncated sequences decode as one non-whitespace byte, so scanning always
// advances and never reads past the text.
// Overlong forms count as malformed: a space spelt C0 A0 must not separate
// tokens, since strict readers (Python among them) see no space there.
constexpr DecodedChar decode_utf8_at(std::string_view text, std::size_t at) noexcept {
    constexpr char32_t shortest_from[5] = {0, 0, 0x80, 0x800, 0x10000};  // by length
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) return {lead, 1};
    const std::size_t length = lead >= 0xF8 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (length == 1 || length > text.size() - at) return {replacement_character, 1};
    char32_t code_point = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if ((byte & 0xC0) != 0x80) return {replacement_character, 1};
        code_point = (code_point << 6) | (byte & 0x3F);
    }
    if (code_point < shortest_from[length]) return {replacement_character, 1};
    return {code_point, length};
}

// The character that ends just before byte `end` (> 0), found by stepping back
// over continuation bytes; a byte that does not end a whole sequence stands alone.
constexpr DecodedChar decode_utf8_before(std::string_view text, std::size_t end) noexcept {
    std::size_t start = end - 1;
    while (start > 0 && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    const DecodedChar decoded = decode_utf8_at(text, start);
    if (start + decoded.length == end) return decoded;
    // Only a non-ASCII byte can end up here, and alone it is never whitespace.
    return {replacement_character, 1};
}

// Calls `visit(token)` for every maximal run of non-whitespace characters,
// first to last. Tokens are views into `text`; nothing is allocated.
template <class Visit>
constexpr void for_each_token(std::string_view text, Visit&& visit) {
    std::size_t at = 0;
    while (true) {
        while (at < text.size()) {
            const DecodedChar c = decode_utf8_at(text, at);
            if (!is_unicode_whitespace(c.code_point)) break;
            at += c.length;
        }
        if (at == text.size()) return;
        const std::size_t start = at;
        while (at < text.size()) {
            const DecodedChar c = decode_utf8_at(text, at);
            if (is_unicode_whitespace(c.code_point)) break;
            at += c.length;
        }
        visit(text.substr(start, at - start));
    }
}

// The same tokens, visited last to first in one backward pass.
template <class Visit>
constexpr void for_each_token_reverse(std::string_view text, Visit&& visit) {
    std::size_t at = text.size();
    while (true) {
        while (at > 0) {
            const DecodedChar c = decode_utf8_before(text, at);
            if (!is_unicode_whitespace(c.code_point)) break;
            at -= c.length;
        }
        if (at == 0) return;
        const std::size_t end = at;
        while (at > 0) {
            const DecodedChar c = decode_utf8_before(text, at);
            if (is_unicode_whitespace(c.code_point)) break;
            at -= c.length;
        }
        visit(text.substr(at, end - at));
    }
}

// What a token does: `turns` times the move `index`; 0 turns for a token that
// is not in the table.
struct TokenMoves {
    MoveIndex index;
    unsigned turns;
};

// Recognised by length and bytes alone: a face letter (clockwise), or a face
// letter followed by ' or ! (counterclockwise) or 2 (clockwise twice).
constexpr TokenMoves token_moves(std::string_view token) noexcept {
    constexpr TokenMoves skip{0, 0};
    if (token.empty() || token.size() > 2 || !is_face_letter(token[0])) return skip;
    const MoveIndex clockwise = clockwise_move_of[static_cast<unsigned char>(token[0])];
    if (token.size() == 1) return {clockwise, 1};
    switch (token[1]) {
        case '\'':
        case '!': return {clockwise + 1, 1};  // the prime follows its face's clockwise move
        case '2': return {clockwise, 2};
        default: return skip;
    }
}

// Applies the tokens of `utf8` left to right, each at once; unknown tokens are
// skipped without a trace.
template <Cube C>
constexpr void apply_moves_internal(C& cube, std::string_view utf8) noexcept {
    for_each_token(utf8, [&cube](std::string_view token) {
        const TokenMoves moves = token_moves(token);
        for (unsigned turn = 0; turn < moves.turns; ++turn) apply_move_index_internal(cube, moves.index);
    });
}

// The tokens in reverse order, each with its face inverted and a trailing ' or
// 2 kept ("U'" becomes "U''"), joined by single spaces.
std::string inverse_scramble_internal(std::string_view utf8);

// The moves that undo the tokens of `utf8`: the tokens that
// apply_moves_internal reads, last to first, each inverted, joined by single
// spaces; the tokens it skips are skipped here too. A half turn stays one
// ("X2") with `half_turns`, else becomes two quarter turns ("X X").
std::string invert_moves_internal(std::string_view utf8, bool half_turns);

// Move indexes (each in the table) written as tokens that apply_moves_internal
// reads back, one quarter turn each, joined by single spaces: "R U' F".
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

}  // namespace turnsmith
