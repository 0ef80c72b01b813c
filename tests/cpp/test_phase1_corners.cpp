// The large table's residues against plain distances: a reduced instance
// (every twist read as 0) built by the table's own build, against a plain
// breadth-first search of the same puzzle written here, one byte a place and
// no symmetries.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "model_test_support.hpp"
#include "solvers/phase1_corners_3x3.hpp"
#include "solvers/two_phase_solver.hpp"

namespace turnsmith {
namespace {

using phase1_corners::CornerDetail;
using phase1_corners::Moves;
using phase1_corners::Place;

const two_phase::Phase1View& phase1() {
    static const two_phase::Phase1View view = [] {
        std::vector<std::string> warnings;
        return two_phase_solver(warnings, unwatched_work()).phase1_view();
    }();
    return view;
}

struct Reduced {
    explicit Reduced(CornerDetail detail)
        : moves(detail, phase1(), Moves::Twists::ignored), words(moves.byte_count() / 8) {
        phase1_corners::fill_table(std::as_writable_bytes(std::span(words)), moves, unwatched_work());
    }
    const std::uint8_t* table() const { return reinterpret_cast<const std::uint8_t*>(words.data()); }

    Moves moves;
    std::vector<std::uint64_t> words;
};

constexpr std::uint32_t flip_slices = two_phase::flip_slices;

// Every place's distance, one byte each, by place number (flip, slice, coset).
std::vector<std::uint8_t> plain_distances(const Moves& moves) {
    const unsigned cosets = moves.cosets();
    const auto number = [&](Place p) { return (std::size_t{p.flip} * 495 + p.slice) * cosets + p.corners; };
    std::vector<std::uint8_t> distance(std::size_t{flip_slices} * cosets, 0xff);
    const Place solved = moves.place_of(Cube3x3{});
    std::deque<Place> queue = {solved};
    distance[number(solved)] = 0;
    while (!queue.empty()) {
        const Place place = queue.front();
        queue.pop_front();
        for (unsigned m = 0; m < move_count; ++m) {
            const Place next = moves.next(place, m);
            if (distance[number(next)] != 0xff) continue;
            distance[number(next)] = static_cast<std::uint8_t>(distance[number(place)] + 1);
            queue.push_back(next);
        }
    }
    return distance;
}

TEST(Phase1Corners, ResiduesAndWalksMatchAPlainSearch) {
    if (std::getenv("TURNSMITH_SKIP_FULL_TABLES") != nullptr) GTEST_SKIP() << "a 70-million-place search";
    const Reduced reduced(CornerDetail::tetrads);
    const std::vector<std::uint8_t> distance = plain_distances(reduced.moves);
    std::size_t checked = 0;
    for (std::uint32_t fs = 0; fs < flip_slices; ++fs) {
        for (unsigned k = 0; k < reduced.moves.cosets(); ++k) {
            const Place place{0, static_cast<std::uint16_t>(fs / 495), static_cast<std::uint16_t>(fs % 495),
                              static_cast<std::uint16_t>(k)};
            const std::uint8_t expected = distance[std::size_t{fs} * reduced.moves.cosets() + k];
            ASSERT_NE(expected, 0xff);
            ASSERT_EQ(phase1_corners::residue_at(reduced.table(), reduced.moves.index(place)), expected % 3);
            if (fs % 997 == 0) {
                ASSERT_EQ(reduced.moves.distance(reduced.table(), place), expected);
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 50'000u);
}

// Along a random walk, the distance each step decodes from its residue and
// the one before is the distance the walk down to solved finds.
class DecodedDistances : public ::testing::TestWithParam<CornerDetail> {};

TEST_P(DecodedDistances, MatchWalksDown) {
    const Reduced reduced(GetParam());
    std::mt19937 rng(7);
    Place place = reduced.moves.place_of(Cube3x3{});
    unsigned distance = 0;
    unsigned farthest = 0;
    for (int step = 0; step < 3000; ++step) {
        place = reduced.moves.next(place, rng() % move_count);
        distance = phase1_corners::neighbour_distance(
            distance, phase1_corners::residue_at(reduced.table(), reduced.moves.index(place)));
        ASSERT_EQ(distance, reduced.moves.distance(reduced.table(), place)) << "step " << step;
        farthest = std::max(farthest, distance);
    }
    EXPECT_GE(farthest, 6u);
}

INSTANTIATE_TEST_SUITE_P(Phase1Corners, DecodedDistances,
                         ::testing::Values(CornerDetail::tetrads, CornerDetail::layers));


}  // namespace
}  // namespace turnsmith
