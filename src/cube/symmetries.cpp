#include "cube/symmetries.hpp"

#include <stdexcept>

namespace turnsmith::symmetries {
namespace {

constexpr Vector times(const Matrix& m, const Vector& v) noexcept {
    Vector out{};
    for (unsigned row = 0; row < 3; ++row) out[row] = m[row][0] * v[0] + m[row][1] * v[1] + m[row][2] * v[2];
    return out;
}
constexpr Matrix times(const Matrix& a, const Matrix& b) noexcept {
    Matrix out{};
    for (unsigned row = 0; row < 3; ++row) {
        for (unsigned col = 0; col < 3; ++col) {
            for (unsigned k = 0; k < 3; ++k) out[row][col] += a[row][k] * b[k][col];
        }
    }
    return out;
}

constexpr Matrix identity = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
constexpr Matrix quarter_about_ud = {{{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}}};  // x <- z, z <- -x
constexpr Matrix half_about_fb = {{{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}};    // U and D swap, R and L swap
constexpr Matrix mirror_lr = {{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
constexpr Matrix quarter_about_fb = {{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}};  // the U-D axis onto R-L
constexpr Matrix quarter_about_rl = {{{1, 0, 0}, {0, 0, -1}, {0, 1, 0}}};  // the U-D axis onto F-B
constexpr std::array<Matrix, 3> axis_turns = {identity, quarter_about_fb, quarter_about_rl};

// The faces in sticker order (U, R, F, D, L, B) by their outward directions.
constexpr std::array<Vector, face_count> face_normals = {
    {{0, 1, 0}, {1, 0, 0}, {0, 0, 1}, {0, -1, 0}, {-1, 0, 0}, {0, 0, -1}}};

// A sticker as the centre of its cubie and the direction it faces. Each face
// is seen from outside with rows from the top: U with B above, D with F
// above, the side faces with U above.
struct Facet {
    Vector at;
    Vector facing;
    friend constexpr bool operator==(const Facet&, const Facet&) = default;
};

constexpr Facet facet_of(unsigned sticker) noexcept {
    const unsigned face = sticker / 9;
    const int row = static_cast<int>(sticker % 9 / 3);
    const int col = static_cast<int>(sticker % 3);
    switch (face) {
        case 0: return {{col - 1, 1, row - 1}, face_normals[0]};
        case 1: return {{1, 1 - row, 1 - col}, face_normals[1]};
        case 2: return {{col - 1, 1 - row, 1}, face_normals[2]};
        case 3: return {{col - 1, -1, 1 - row}, face_normals[3]};
        case 4: return {{-1, 1 - row, col - 1}, face_normals[4]};
        default: return {{1 - col, 1 - row, -1}, face_normals[5]};
    }
}

unsigned sticker_of(const Facet& facet) {
    for (unsigned sticker = 0; sticker < Cube3x3::sticker_dim; ++sticker) {
        if (facet_of(sticker) == facet) return sticker;
    }
    throw std::logic_error("a symmetry moved a sticker off the cube");
}

unsigned face_of(const Vector& normal) {
    for (unsigned face = 0; face < face_count; ++face) {
        if (face_normals[face] == normal) return face;
    }
    throw std::logic_error("a symmetry moved a face off the cube");
}

// The image of `cube` in the cube moved by `m`, recoloured: the sticker that
// moves to q shows at q the colour of the face its old colour's face moves to.
Cube3x3 image(const Cube3x3& cube, const Matrix& m) {
    const auto stickers = cube.to_sticker_array_internal();
    StickerArray<Cube3x3::sticker_dim> moved{};
    for (unsigned sticker = 0; sticker < Cube3x3::sticker_dim; ++sticker) {
        const Facet facet = facet_of(sticker);
        const unsigned to = sticker_of({times(m, facet.at), times(m, facet.facing)});
        moved[to] = face_of(times(m, face_normals[stickers[sticker]]));
    }
    Cube3x3 out;
    if (read_sticker_array_internal(moved, out))
        throw std::logic_error("a symmetry made stickers no cube shows");
    return out;
}

// Where slot `slot`'s pieces come from under `m`: the slot that holds the
// sticker moved onto its first sticker.
template <std::size_t Slots, std::size_t Facets>
std::array<std::uint8_t, Slots> sources(const std::array<std::array<std::uint8_t, Facets>, Slots>& indexes,
                                        const Matrix& m) {
    std::array<std::uint8_t, Slots> out{};
    for (unsigned slot = 0; slot < Slots; ++slot) {
        for (unsigned from = 0; from < Slots; ++from) {
            for (const std::uint8_t sticker : indexes[from]) {
                const Facet facet = facet_of(sticker);
                if (sticker_of({times(m, facet.at), times(m, facet.facing)}) == indexes[slot][0])
                    out[slot] = static_cast<std::uint8_t>(from);
            }
        }
    }
    return out;
}

// A word with `field` in each of its `slots` slots.
constexpr Word in_every_slot(Word field, unsigned slots) noexcept {
    Word word = 0;
    for (unsigned slot = 0; slot < slots; ++slot) word |= field << slot_shift(slot);
    return word;
}

Cube3x3 turned(Cube3x3 cube, MoveIndex move) noexcept {
    apply_move_index_internal(cube, move);
    return cube;
}

std::array<Symmetry, symmetry_count> make_all() {
    std::array<Symmetry, symmetry_count> all{};
    for (unsigned axis = 0; axis < axis_turns.size(); ++axis) {
        Matrix quarters = axis_turns[axis];
        for (unsigned quarter = 0; quarter < 4; ++quarter) {
            for (unsigned half = 0; half < 2; ++half) {
                for (unsigned mirror = 0; mirror < 2; ++mirror) {
                    Matrix m = quarters;
                    if (half) m = times(m, half_about_fb);
                    if (mirror) m = times(m, mirror_lr);
                    all[symmetry_number({quarter, half, axis, mirror})] = make(m);
                }
            }
            quarters = times(quarters, quarter_about_ud);
        }
    }
    return all;
}

// A state that only the identity fixes: two symmetries are the same when
// they agree on it.
Cube3x3 probe() noexcept {
    Cube3x3 probe;
    for (const MoveIndex move : {4, 8, 0, 5, 10, 2, 6, 9, 4, 0, 11}) probe = turned(probe, move);
    return probe;
}

unsigned number_of(const Cube3x3& image_of_probe) {
    const auto& symmetries = all();
    const Cube3x3 start = probe();
    for (unsigned k = 0; k < symmetry_count; ++k) {
        if (conjugate(start, symmetries[k]) == image_of_probe) return k;
    }
    throw std::logic_error("two symmetries made one that is none of the 48");
}

}  // namespace

Symmetry make(const Matrix& m) {
    Symmetry s{};
    s.corner_source = sources(corner_sticker_indexes_3x3, m);
    s.edge_source = sources(edge_sticker_indexes, m);
    // With one field in every slot, each slot of the image shows its own
    // slot's image of that field.
    for (Word piece = 0; piece < corner_slots; ++piece) {
        for (Word twist = 0; twist < 3; ++twist) {
            const Word field = piece | (twist << twist_shift);
            const Cube3x3 moved = image(Cube3x3(in_every_slot(field, corner_slots), solved_edges), m);
            for (unsigned slot = 0; slot < corner_slots; ++slot)
                s.corner_field[slot][field] = static_cast<std::uint8_t>(slot_field(moved.corners, slot));
        }
    }
    for (Word piece = 0; piece < edge_slots; ++piece) {
        for (Word flip = 0; flip < 2; ++flip) {
            const Word field = piece | (flip << flip_shift);
            const Cube3x3 moved = image(Cube3x3(solved_corners, in_every_slot(field, edge_slots)), m);
            for (unsigned slot = 0; slot < edge_slots; ++slot)
                s.edge_field[slot][field] = static_cast<std::uint8_t>(slot_field(moved.edges, slot));
        }
    }
    for (MoveIndex move = 0; move < move_count; ++move) {
        const Cube3x3 target = conjugate(turned(Cube3x3{}, move), s);
        MoveIndex found = move_count;
        for (MoveIndex other = 0; other < move_count; ++other) {
            if (turned(Cube3x3{}, other) == target) found = other;
        }
        if (found == move_count) throw std::logic_error("a symmetry made a turn of no face");
        s.moved[move] = static_cast<std::uint8_t>(found);
    }
    return s;
}

const std::array<Symmetry, symmetry_count>& all() {
    static const std::array<Symmetry, symmetry_count> symmetries = make_all();
    return symmetries;
}

const CornerTables& corner_tables() {
    static const CornerTables tables = [] {
        CornerTables out{};
        const auto& symmetries = all();
        for (unsigned slot = 0; slot < corner_slots; ++slot) {
            for (unsigned k = 0; k < symmetry_count; ++k) {
                out.source[slot][k] = symmetries[k].corner_source[slot];
                out.field[slot][k] = symmetries[k].corner_field[slot];
            }
        }
        return out;
    }();
    return tables;
}

const std::array<std::array<std::uint8_t, symmetry_count>, symmetry_count>& products() {
    static const auto table = [] {
        std::array<std::array<std::uint8_t, symmetry_count>, symmetry_count> out{};
        const auto& symmetries = all();
        for (unsigned a = 0; a < symmetry_count; ++a) {
            for (unsigned b = 0; b < symmetry_count; ++b) {
                out[a][b] = static_cast<std::uint8_t>(
                    number_of(conjugate(conjugate(probe(), symmetries[b]), symmetries[a])));
            }
        }
        return out;
    }();
    return table;
}

const std::array<std::uint8_t, symmetry_count>& inverses() {
    static const auto table = [] {
        std::array<std::uint8_t, symmetry_count> out{};
        const auto& product = products();
        for (unsigned a = 0; a < symmetry_count; ++a) {
            for (unsigned b = 0; b < symmetry_count; ++b) {
                if (product[a][b] == 0) out[a] = static_cast<std::uint8_t>(b);
            }
        }
        return out;
    }();
    return table;
}

}  // namespace turnsmith::symmetries
