// The batch operations against the single-cube operations they are made of.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "cube/next_states.hpp"
#include "cubeBatch/operations.hpp"
#include "cube2x2/utils.hpp"
#include "cube3x3/utils.hpp"

namespace turnsmith {
namespace {

template <class C>
class BatchOperations : public testing::Test {};
using CubeTypes = testing::Types<Cube2x2, Cube3x3>;
TYPED_TEST_SUITE(BatchOperations, CubeTypes);

template <class C>
std::vector<C> scrambled(std::size_t count, std::mt19937_64& rng) {
    std::vector<C> cubes(count);
    for (C& cube : cubes) {
        for (int turn = 0; turn < 30; ++turn) apply_move_index_internal(cube, rng() % move_count);
    }
    return cubes;
}

// Grouping by move must not change which cube gets which turn: checked across
// block edges, with ignored indexes mixed in and an index array longer or
// shorter than the batch.
TYPED_TEST(BatchOperations, ApplyMoveIndexesTurnsEachCubeByItsOwnIndex) {
    std::mt19937_64 rng(7);
    for (const std::size_t cubes_count : {0u, 1u, 255u, 256u, 257u, 5000u}) {
        for (const std::size_t index_count : {cubes_count, cubes_count / 2, cubes_count + 3}) {
            std::vector<TypeParam> cubes = scrambled<TypeParam>(cubes_count, rng);
            std::vector<std::uint64_t> indexes(index_count);
            for (std::uint64_t& index : indexes) {
                const std::uint64_t draw = rng() % 16;
                index = draw < 13 ? draw : std::numeric_limits<std::uint64_t>::max() - draw;
            }
            std::vector<TypeParam> expected = cubes;
            for (std::size_t i = 0; i < std::min(cubes_count, index_count); ++i) {
                apply_move_index_internal(expected[i], indexes[i]);
            }
            apply_move_indexes_internal(std::span(cubes), std::span<const std::uint64_t>(indexes));
            for (std::size_t i = 0; i < cubes_count; ++i) EXPECT_TRUE(cubes[i] == expected[i]) << i;
        }
    }
}

// Rows of the projections equal the single-cube sticker arrays, in row order.
TYPED_TEST(BatchOperations, ProjectionsMatchSingleCubes) {
    std::mt19937_64 rng(11);
    const std::vector<TypeParam> cubes = scrambled<TypeParam>(300, rng);
    RowBuffer stickers = sticker_arrays_internal(std::span<const TypeParam>(cubes));
    RowBuffer successors = next_states_internal(std::span<const TypeParam>(cubes));
    ASSERT_EQ(successors.rows(), cubes.size() * move_count);
    for (std::size_t i = 0; i < cubes.size(); ++i) {
        const auto own = cubes[i].to_sticker_array_internal();
        EXPECT_TRUE(std::equal(own.begin(), own.end(), stickers.row(i))) << i;
        for (MoveIndex m = 0; m < move_count; ++m) {
            TypeParam turned = cubes[i];
            apply_move_index_internal(turned, m);
            const auto expected = turned.to_sticker_array_internal();
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), successors.row(i * move_count + m)))
                << i << " " << m;
        }
    }
}

}  // namespace
}  // namespace turnsmith
