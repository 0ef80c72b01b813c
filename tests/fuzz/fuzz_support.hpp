#pragma once
// Shared by the fuzz harnesses: a model of the move notation written apart
// from the scanner (a strict UTF-8 reading, the whitespace list, the token
// table, the textual inverse) and the way a broken property is reported.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cube/notation.hpp"
#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"

namespace turnsmith::fuzz {

// libFuzzer treats the abort as a crash and saves the input that caused it.
[[noreturn]] inline void fail(const char* property) {
    std::fprintf(stderr, "property failed: %s\n", property);
    std::abort();
}

inline void check(bool holds, const char* property) {
    if (!holds) fail(property);
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// ---- strict UTF-8 ----

// One step of a strict reading: a well-formed character, or one byte that
// does not begin a well-formed character (it can never be whitespace).
struct Unit {
    char32_t code_point;
    std::size_t length;
    bool well_formed;
};

constexpr std::size_t sequence_length(unsigned char lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

struct ByteRange {
    unsigned char low;
    unsigned char high;
};

// The second byte's narrower ranges after these leads are what exclude
// overlong forms, surrogates and code points past U+10FFFF.
constexpr ByteRange second_byte_range(unsigned char lead) noexcept {
    switch (lead) {
        case 0xE0: return {0xA0, 0xBF};
        case 0xED: return {0x80, 0x9F};
        case 0xF0: return {0x90, 0xBF};
        case 0xF4: return {0x80, 0x8F};
        default: return {0x80, 0xBF};
    }
}

constexpr Unit read_unit(std::string_view text, std::size_t at) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    constexpr Unit stray{0, 1, false};
    const std::size_t length = sequence_length(byte(0));
    if (length == 0 || length > text.size() - at) return stray;
    if (length == 1) return {byte(0), 1, true};
    const ByteRange second = second_byte_range(byte(0));
    if (byte(1) < second.low || byte(1) > second.high) return stray;
    char32_t code_point = byte(0) & (0xFFu >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return stray;
        code_point = (code_point << 6) | (byte(i) & 0x3Fu);
    }
    return {code_point, length, true};
}

inline bool is_valid_utf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const Unit unit = read_unit(text, at);
        if (!unit.well_formed) return false;
        at += unit.length;
    }
    return true;
}

// ---- tokens ----

// The characters with the Unicode White_Space property (PropList.txt).
inline constexpr std::array<char32_t, 25> white_space = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680, 0x2000, 0x2001, 0x2002, 0x2003,
    0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

constexpr bool is_white_space(char32_t c) noexcept {
    return std::find(white_space.begin(), white_space.end(), c) != white_space.end();
}

constexpr bool separates(const Unit& unit) noexcept {
    return unit.well_formed && is_white_space(unit.code_point);
}

// Tokens are views into `text`, so their positions can be compared too.
using Tokens = std::vector<std::string_view>;

inline Tokens model_tokens(std::string_view text) {
    constexpr std::size_t none = std::string_view::npos;
    Tokens tokens;
    std::size_t start = none;
    for (std::size_t at = 0; at < text.size();) {
        const Unit unit = read_unit(text, at);
        if (separates(unit)) {
            if (start != none) tokens.push_back(text.substr(start, at - start));
            start = none;
        } else if (start == none) {
            start = at;
        }
        at += unit.length;
    }
    if (start != none) tokens.push_back(text.substr(start));
    return tokens;
}

inline Tokens scanner_tokens(std::string_view text) {
    Tokens tokens;
    for_each_token(text, [&](std::string_view token) { tokens.push_back(token); });
    return tokens;
}

inline Tokens scanner_tokens_backward(std::string_view text) {
    Tokens tokens;
    for_each_token_reverse(text, [&](std::string_view token) { tokens.push_back(token); });
    std::reverse(tokens.begin(), tokens.end());
    return tokens;
}

// Same bytes at the same place in the same text.
inline bool same_places(const Tokens& a, const Tokens& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](std::string_view x, std::string_view y) {
        return x.data() == y.data() && x.size() == y.size();
    });
}

inline std::string joined(const std::vector<std::string>& tokens) {
    std::string text;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (i > 0) text += ' ';
        text += tokens[i];
    }
    return text;
}

// ---- turns ----

inline constexpr std::string_view face_letters = "UDRLFB";

constexpr bool is_face_letter(char c) noexcept { return face_letters.find(c) != std::string_view::npos; }

constexpr bool is_bare_face(std::string_view token) noexcept {
    return token.size() == 1 && is_face_letter(token[0]);
}

// What a recognised token does: `times` quarter turns of `face`.
struct FaceTurns {
    std::size_t face;  // index into face_letters
    bool counterclockwise;
    unsigned times;    // 0 for a token that is skipped
};

constexpr FaceTurns turns_of(std::string_view token) noexcept {
    constexpr FaceTurns skipped{0, false, 0};
    if (token.empty() || token.size() > 2 || !is_face_letter(token[0])) return skipped;
    const std::size_t face = face_letters.find(token[0]);
    if (token.size() == 1) return {face, false, 1};
    switch (token[1]) {
        case '\'':
        case '!': return {face, true, 1};
        case '2': return {face, false, 2};
        default: return skipped;
    }
}

constexpr bool is_recognised(std::string_view token) noexcept { return turns_of(token).times > 0; }

template <class C>
using QuarterTurn = void (C::*)() noexcept;

// Per face, in face_letters order: clockwise, counterclockwise.
template <class C>
inline constexpr std::array<std::array<QuarterTurn<C>, 2>, 6> quarter_turns = {{
    {&C::do_u_move_internal, &C::do_u_prime_move_internal},
    {&C::do_d_move_internal, &C::do_d_prime_move_internal},
    {&C::do_r_move_internal, &C::do_r_prime_move_internal},
    {&C::do_l_move_internal, &C::do_l_prime_move_internal},
    {&C::do_f_move_internal, &C::do_f_prime_move_internal},
    {&C::do_b_move_internal, &C::do_b_prime_move_internal},
}};

template <class C>
void turn_by_model(C& cube, std::string_view token) {
    const FaceTurns turns = turns_of(token);
    const QuarterTurn<C> quarter = quarter_turns<C>[turns.face][turns.counterclockwise ? 1 : 0];
    for (unsigned i = 0; i < turns.times; ++i) (cube.*quarter)();
}

template <class C>
C moved_by_model(C cube, const Tokens& tokens) {
    for (const std::string_view token : tokens) turn_by_model(cube, token);
    return cube;
}

template <class C>
C moved_by_scanner(C cube, std::string_view text) {
    apply_moves_internal(cube, text);
    return cube;
}

// ---- inverse ----

// A trailing ' or 2 stays where it is; before it, a face letter gains a prime
// and a face letter with a prime loses it. Anything else is carried over.
inline std::string inverted_by_model(std::string_view token) {
    std::string_view mark;
    if (token.ends_with('\'') || token.ends_with('2')) {
        mark = token.substr(token.size() - 1);
        token.remove_suffix(1);
    }
    std::string base(token);
    if (is_bare_face(base)) base += '\'';
    else if (base.size() == 2 && is_face_letter(base[0]) && base[1] == '\'') base.pop_back();
    return base + std::string(mark);
}

inline std::string inverse_by_model(const Tokens& tokens) {
    std::vector<std::string> inverted;
    for (auto token = tokens.rbegin(); token != tokens.rend(); ++token)
        inverted.push_back(inverted_by_model(*token));
    return joined(inverted);
}

}  // namespace turnsmith::fuzz
