#pragma once
// Pieces shared by the terminal renderings: the coloured sticker texts, the
// order in which a net visits the stickers, and a fixed text template filled
// in one step.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "cube/colours.hpp"

namespace turnsmith {

// A sticker is its colour's opening SGR sequence, its letter and a reset.
// Orange uses colour 208 of the 256-colour palette, the others bold basics.
inline constexpr std::array<std::string_view, face_count> coloured_stickers = {
    "\x1b[37;1mW\x1b[0m", "\x1b[31;1mR\x1b[0m",     "\x1b[32;1mG\x1b[0m",
    "\x1b[33;1mY\x1b[0m", "\x1b[38;5;208mO\x1b[0m", "\x1b[34;1mB\x1b[0m",
};

// Sticker-array indexes in the order a net is written: the U rows, then row by
// row the L, F, R and B faces side by side, then the D rows.
template <std::size_t Dim>
constexpr std::array<std::size_t, face_count * Dim * Dim> net_reading_order() noexcept {
    enum : std::size_t { U, R, F, D, L, B };
    constexpr std::size_t per_face = Dim * Dim;
    std::array<std::size_t, face_count * per_face> order{};
    std::size_t next = 0;
    const auto face_row = [&](std::size_t face, std::size_t row) {
        for (std::size_t column = 0; column < Dim; ++column)
            order[next++] = face * per_face + row * Dim + column;
    };
    for (std::size_t row = 0; row < Dim; ++row) face_row(U, row);
    for (std::size_t row = 0; row < Dim; ++row) {
        for (const std::size_t face : {L, F, R, B}) face_row(face, row);
    }
    for (std::size_t row = 0; row < Dim; ++row) face_row(D, row);
    return order;
}

inline constexpr std::string_view template_placeholder = "{}";

constexpr std::size_t count_placeholders(std::string_view text) noexcept {
    std::size_t count = 0;
    for (auto at = text.find(template_placeholder); at != std::string_view::npos;
         at = text.find(template_placeholder, at + template_placeholder.size())) {
        ++count;
    }
    return count;
}

// A constant text with exactly `Slots` "{}" placeholders; a mismatch is a
// compile error, so filling can never run out of values or placeholders.
template <std::size_t Slots>
class TextTemplate {
public:
    consteval TextTemplate(std::string_view text) : text_(text) {
        if (count_placeholders(text) != Slots)
            throw "placeholder count differs from the template's slot count";
    }

    // The result is sized once from the template and the values, then written
    // front to back.
    std::string fill(const std::array<std::string_view, Slots>& values) const {
        std::size_t size = text_.size() - Slots * template_placeholder.size();
        for (const std::string_view value : values) size += value.size();
        std::string text;
        text.reserve(size);
        std::size_t from = 0;
        for (const std::string_view value : values) {
            const std::size_t at = text_.find(template_placeholder, from);
            text.append(text_.substr(from, at - from));
            text.append(value);
            from = at + template_placeholder.size();
        }
        text.append(text_.substr(from));
        return text;
    }

private:
    std::string_view text_;
};

// The coloured net of a sticker array: the stickers in `order` fill `net`.
template <std::size_t Slots>
std::string render_net(const StickerArray<Slots>& colours, const TextTemplate<Slots>& net,
                       const std::array<std::size_t, Slots>& order) {
    std::array<std::string_view, Slots> stickers;
    for (std::size_t i = 0; i < Slots; ++i) stickers[i] = coloured_stickers[colours[order[i]]];
    return net.fill(stickers);
}

}  // namespace turnsmith
