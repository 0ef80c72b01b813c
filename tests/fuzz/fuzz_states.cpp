// Fuzzes the two ways a state comes in: words and sticker arrays, both made
// from the input bytes. The state check must accept exactly the words that a
// plain reading of the rules (written here, slot by slot) accepts and, for
// the others, name the first rule they break with its slot and value; words
// it accepts must come back from their sticker array and stay states under
// every turn. A sticker array of any values must be read without a crash:
// a fault must be what the stickers really show, and what is read must
// project back to the very same stickers.
//
// Input: byte 0 picks the cube (bit 0: 2x2) and the source (bits 1..2):
// 0 raw little-endian words, 1 words built from a shuffle of the pieces and
// orientations with a few bits flipped after, 2 raw stickers one byte each,
// 3 the stickers of a built state with a few of them changed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "cube/state_check.hpp"
#include "cube/sticker_import.hpp"
#include "fuzz_support.hpp"

namespace turnsmith::fuzz {
namespace {

// The input's bytes in order, then zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}
    std::uint8_t next() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
    Word next_word() {
        Word word = 0;
        for (unsigned b = 0; b < 8; ++b) word |= Word{next()} << (8 * b);
        return word;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// ---- the rules, read plainly ----

// A word as the slots' pieces and orientations, and whether it has bits set
// above its last slot. `piece_bits` is 3 for corners, 4 for edges.
struct Slots {
    std::vector<unsigned> pieces;
    std::vector<unsigned> orientations;
    bool bits_above = false;
};

Slots slots_of(Word word, unsigned slots, unsigned piece_bits) {
    Slots read;
    for (unsigned slot = 0; slot < slots; ++slot) {
        const auto field = static_cast<unsigned>((word >> (5 * slot)) & 31);
        read.pieces.push_back(field % (1u << piece_bits));
        read.orientations.push_back(field >> piece_bits);
    }
    read.bits_above = (word >> (5 * slots)) != 0;
    return read;
}

unsigned sum(const std::vector<unsigned>& values) {
    unsigned total = 0;
    for (const unsigned value : values) total += value;
    return total;
}

// The first slot that holds a piece some earlier slot holds, with that slot.
std::optional<std::pair<unsigned, unsigned>> repeated_piece(const std::vector<unsigned>& pieces) {
    for (unsigned slot = 0; slot < pieces.size(); ++slot) {
        for (unsigned earlier = 0; earlier < slot; ++earlier) {
            if (pieces[earlier] == pieces[slot]) return std::pair{slot, earlier};
        }
    }
    return std::nullopt;
}

// Odd when an odd number of pairs of slots hold their pieces out of order.
bool odd_order(const std::vector<unsigned>& pieces) {
    unsigned inversions = 0;
    for (std::size_t a = 0; a < pieces.size(); ++a) {
        for (std::size_t b = a + 1; b < pieces.size(); ++b) inversions += pieces[a] > pieces[b];
    }
    return inversions % 2 == 1;
}

StateFault fault_at(StateRule rule, unsigned slot = 0, unsigned other = 0, unsigned value = 0) {
    return {rule, static_cast<std::uint8_t>(slot), static_cast<std::uint8_t>(other),
            static_cast<std::uint8_t>(value)};
}

// The rules in the order they are judged; the first one broken is named.
std::optional<StateFault> corner_rules(const Slots& c) {
    if (c.bits_above) return fault_at(StateRule::corner_bits_above);
    for (unsigned slot = 0; slot < 8; ++slot) {
        if (c.orientations[slot] > 2)
            return fault_at(StateRule::corner_twist_range, slot, 0, c.orientations[slot]);
    }
    if (const auto twice = repeated_piece(c.pieces)) {
        return fault_at(StateRule::corner_piece_twice, twice->first, twice->second, c.pieces[twice->first]);
    }
    if (sum(c.orientations) % 3 != 0)
        return fault_at(StateRule::corner_twist_sum, 0, 0, sum(c.orientations) % 3);
    return std::nullopt;
}

std::optional<StateFault> edge_rules(const Slots& e) {
    if (e.bits_above) return fault_at(StateRule::edge_bits_above);
    for (unsigned slot = 0; slot < 12; ++slot) {
        if (e.pieces[slot] > 11) return fault_at(StateRule::edge_piece_range, slot, 0, e.pieces[slot]);
    }
    if (const auto twice = repeated_piece(e.pieces)) {
        return fault_at(StateRule::edge_piece_twice, twice->first, twice->second, e.pieces[twice->first]);
    }
    if (sum(e.orientations) % 2 != 0) return fault_at(StateRule::edge_flip_sum, 0, 0, 1);
    return std::nullopt;
}

std::optional<StateFault> model_check(Word corners) { return corner_rules(slots_of(corners, 8, 3)); }

std::optional<StateFault> model_check(Word corners, Word edges) {
    const Slots c = slots_of(corners, 8, 3);
    const Slots e = slots_of(edges, 12, 4);
    if (auto fault = corner_rules(c)) return fault;
    if (auto fault = edge_rules(e)) return fault;
    if (odd_order(c.pieces) != odd_order(e.pieces)) return fault_at(StateRule::permutation_parity);
    return std::nullopt;
}

bool same_verdict(const std::optional<StateFault>& a, const std::optional<StateFault>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->rule == b->rule && a->slot == b->slot && a->other == b->other && a->value == b->value);
}

// ---- words ----

template <class C>
std::optional<StateFault> model_check_cube(const C& cube) {
    if constexpr (std::is_same_v<C, Cube3x3>) {
        return model_check(cube.corners, cube.edges);
    } else {
        return model_check(cube.corners);
    }
}

template <class C>
std::vector<std::int64_t> stickers_of(const C& cube) {
    const auto stickers = cube.to_sticker_array_internal();
    return {stickers.begin(), stickers.end()};
}

template <class C>
void check_words(const C& cube) {
    const std::optional<StateFault> fault = check_state(cube.words());
    check(same_verdict(fault, model_check_cube(cube)), "the check names the fault the rules name, or none");
    if (fault) {
        check(!describe(*fault).empty(), "a fault has a text");
        return;
    }
    C read{};
    check(!read_sticker_array_internal(stickers_of(cube), read), "a state's sticker array reads");
    check(read == cube, "a state comes back from its sticker array");
    for (MoveIndex move = 0; move < move_count; ++move) {
        C turned = cube;
        apply_move_index_internal(turned, move);
        check(!check_state(turned.words()), "a turned state is a state");
    }
}

// The pieces shuffled by the input's bytes, each with an orientation taken
// from the bytes (corner twists 0..3, so the out-of-range twist occurs too).
Word built_word(Input& in, unsigned slots, unsigned piece_bits, unsigned orientation_mask) {
    std::array<unsigned, 12> pieces{};
    for (unsigned i = 0; i < slots; ++i) pieces[i] = i;
    for (unsigned i = slots - 1; i > 0; --i) std::swap(pieces[i], pieces[in.next() % (i + 1)]);
    Word word = 0;
    for (unsigned slot = 0; slot < slots; ++slot) {
        const Word orientation = in.next() & orientation_mask;
        word |= (pieces[slot] | (orientation << piece_bits)) << (5 * slot);
    }
    return word;
}

template <class C>
C built_cube(Input& in) {
    C cube;
    cube.corners = built_word(in, 8, 3, 3);
    if constexpr (std::is_same_v<C, Cube3x3>) cube.edges = built_word(in, 12, 4, 1);
    return cube;
}

template <class C>
C cube_from_words(Input& in, bool built) {
    if (!built) {
        C cube;
        cube.corners = in.next_word();
        if constexpr (std::is_same_v<C, Cube3x3>) cube.edges = in.next_word();
        return cube;
    }
    C cube = built_cube<C>(in);
    // A few bits flipped anywhere: pieces twice, out of range, bits above.
    for (unsigned flips = in.next() % 4; flips > 0; --flips) {
        const std::uint8_t at = in.next();
        Word& word = [&]() -> Word& {
            if constexpr (std::is_same_v<C, Cube3x3>) {
                if (at & 64) return cube.edges;
            }
            return cube.corners;
        }();
        word ^= Word{1} << (at % 64);
    }
    return cube;
}

// ---- sticker arrays ----

// A sticker value: mostly a colour code, sometimes a value that is none.
std::int64_t sticker_value(std::uint8_t byte) {
    constexpr std::array<std::int64_t, 16> odd_values = {-1,
                                                         6,
                                                         7,
                                                         -2,
                                                         -6,
                                                         12,
                                                         255,
                                                         256,
                                                         std::int64_t{1} << 32,
                                                         -(std::int64_t{1} << 32),
                                                         std::numeric_limits<std::int64_t>::max(),
                                                         std::numeric_limits<std::int64_t>::min(),
                                                         5,
                                                         0,
                                                         100,
                                                         -100};
    return byte < 0xF0 ? byte % 6 : odd_values[byte - 0xF0];
}

template <class C>
std::vector<std::int64_t> stickers_from_input(Input& in, bool built) {
    std::vector<std::int64_t> stickers(C::sticker_dim);
    if (!built) {
        for (auto& sticker : stickers) sticker = sticker_value(in.next());
        return stickers;
    }
    stickers = stickers_of(built_cube<C>(in));
    for (unsigned edits = in.next() % 8; edits > 0; --edits) {
        const std::size_t at = in.next() % C::sticker_dim;
        stickers[at] = sticker_value(in.next());
    }
    return stickers;
}

bool is_colour(std::int64_t value) { return value >= 0 && value < 6; }

// Whether some corner piece, twisted some way, shows `colours` on the facets
// of a slot (facet f shows the piece's colour twist + f mod 3).
bool some_corner_shows(const std::array<Colour, 3>& colours) {
    for (const auto& piece : corner_colours) {
        for (unsigned twist = 0; twist < 3; ++twist) {
            bool all = true;
            for (unsigned facet = 0; facet < 3; ++facet)
                all = all && piece[(twist + facet) % 3] == colours[facet];
            if (all) return true;
        }
    }
    return false;
}

// Likewise for an edge piece, flipped or not.
bool some_edge_shows(Colour first, Colour second) {
    for (const auto& piece : edge_colours) {
        if ((piece[0] == first && piece[1] == second) || (piece[1] == first && piece[0] == second))
            return true;
    }
    return false;
}

template <std::size_t Facets, std::size_t Slots>
bool slot_shows(const std::vector<std::int64_t>& stickers,
                const std::array<std::array<std::uint8_t, Facets>, Slots>& indexes, unsigned slot,
                const std::array<Colour, 3>& colours) {
    for (std::size_t facet = 0; facet < Facets; ++facet) {
        if (stickers[indexes[slot][facet]] != colours[facet]) return false;
    }
    return true;
}

template <class C>
void check_sticker_fault(const std::vector<std::int64_t>& stickers, const StickerFault& fault) {
    check(!describe(fault).empty(), "a sticker fault has a text");
    std::size_t in_range = 0;
    while (in_range < stickers.size() && is_colour(stickers[in_range])) ++in_range;
    if (fault.rule == StickerRule::colour_range) {
        check(fault.at == in_range && fault.at < stickers.size(), "the first sticker out of range is named");
        check(fault.value == stickers[fault.at], "with its value");
        return;
    }
    check(in_range == stickers.size(), "other faults only once every sticker is a colour");
    constexpr bool big = std::is_same_v<C, Cube3x3>;
    unsigned first_wrong_centre = 54;
    if constexpr (big) {
        for (unsigned face = 6; face-- > 0;) {
            if (stickers[9 * face + 4] != face) first_wrong_centre = 9 * face + 4;
        }
    }
    if (fault.rule == StickerRule::centre) {
        check(big && fault.at == first_wrong_centre, "the first wrong centre is named");
        check(fault.value == stickers[fault.at], "with the colour it shows");
        return;
    }
    check(first_wrong_centre == 54, "pieces are read only once the centres are right");
    const auto& corner_indexes = [] {
        if constexpr (big)
            return corner_sticker_indexes_3x3;
        else
            return corner_sticker_indexes_2x2;
    }();
    unsigned corner_ok = 0;
    while (corner_ok < 8) {
        std::array<Colour, 3> colours{};
        for (unsigned facet = 0; facet < 3; ++facet) {
            colours[facet] = static_cast<Colour>(stickers[corner_indexes[corner_ok][facet]]);
        }
        if (!some_corner_shows(colours)) break;
        ++corner_ok;
    }
    if (fault.rule == StickerRule::corner) {
        check(fault.at == corner_ok && corner_ok < 8, "the first corner that no piece shows is named");
        check(slot_shows(stickers, corner_indexes, fault.at, fault.colours), "with the colours it shows");
        return;
    }
    check(big && fault.rule == StickerRule::edge && corner_ok == 8, "edges are read once the corners are");
    if constexpr (big) {
        unsigned edge_ok = 0;
        while (edge_ok < 12 &&
               some_edge_shows(static_cast<Colour>(stickers[edge_sticker_indexes[edge_ok][0]]),
                               static_cast<Colour>(stickers[edge_sticker_indexes[edge_ok][1]]))) {
            ++edge_ok;
        }
        check(fault.at == edge_ok && edge_ok < 12, "the first edge that no piece shows is named");
        check(slot_shows(stickers, edge_sticker_indexes, fault.at, fault.colours),
              "with the colours it shows");
    }
}

template <class C>
void check_stickers(const std::vector<std::int64_t>& stickers) {
    C cube{};
    if (const auto fault = read_sticker_array_internal(stickers, cube)) {
        check_sticker_fault<C>(stickers, *fault);
        return;
    }
    check(stickers_of(cube) == stickers, "what is read projects back to the same stickers");
    check_words(cube);
}

template <class C>
void run(Input& in, unsigned source) {
    switch (source) {
        case 0:
        case 1: return check_words(cube_from_words<C>(in, source == 1));
        default: return check_stickers<C>(stickers_from_input<C>(in, source == 3));
    }
}

}  // namespace
}  // namespace turnsmith::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace turnsmith;
    using namespace turnsmith::fuzz;
    Input in(data, size);
    const std::uint8_t mode = in.next();
    const unsigned source = (mode >> 1) & 3;
    if (mode & 1) {
        run<Cube2x2>(in, source);
    } else {
        run<Cube3x3>(in, source);
    }
    return 0;
}
