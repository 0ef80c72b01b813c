// The batch operations against the single-cube operations they are made of.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "cube/next_states.hpp"
#include "engine/operations.hpp"
#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"

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
    RowBuffer successors = next_states_internal<RowBuffer>(std::span<const TypeParam>(cubes), AtOnce{});
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

// Cut into chunks of a few cubes, the loops give what they give in one go.
TYPED_TEST(BatchOperations, ChunkedLoopsMatchWholeLoops) {
    std::mt19937_64 rng(5);
    const std::vector<TypeParam> start = scrambled<TypeParam>(1000, rng);
    std::vector<std::uint64_t> indexes(start.size());
    for (auto& index : indexes) index = rng() % 14;  // 12 and 13 turn nothing
    std::size_t chunks = 0;
    const auto counted = [&](auto&& run_chunk) {
        ++chunks;
        run_chunk();
    };
    InChunks<decltype(counted)> in_chunks{64, counted};

    std::vector<TypeParam> whole = start, chunked = start;
    apply_move_indexes_internal(std::span<TypeParam>(whole), std::span<const std::uint64_t>(indexes));
    apply_move_indexes_internal(std::span<TypeParam>(chunked), std::span<const std::uint64_t>(indexes), in_chunks);
    EXPECT_EQ(chunks, 1000u / 64 + 1);
    for (std::size_t i = 0; i < whole.size(); ++i) EXPECT_EQ(whole[i], chunked[i]) << i;

    RowBuffer rows = next_states_internal<RowBuffer>(std::span<const TypeParam>(start), AtOnce{});
    RowBuffer chunked_rows = next_states_internal<RowBuffer>(std::span<const TypeParam>(start), in_chunks);
    EXPECT_TRUE(std::equal(rows.row(0), rows.row(0) + rows.size(), chunked_rows.row(0)));

    // Every cube of a chunked scramble gets its own length: none, none, one turn.
    std::vector<std::int64_t> lengths(start.size());
    for (std::size_t i = 0; i < lengths.size(); ++i) lengths[i] = std::int64_t(i % 3) - 1;
    std::vector<TypeParam> scrambled_cubes(start.size());
    scramble_batch_internal(std::span<TypeParam>(scrambled_cubes), std::span<const std::int64_t>(lengths),
                            in_chunks);
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        EXPECT_EQ(scrambled_cubes[i].is_solved(), lengths[i] <= 0) << i;
    }
}

TEST(RowBuffer, OutOfMemorySaysWhatWasAskedFor) {
    try {
        (void)RowBuffer::zeroed(std::size_t{1} << 44, 54);
        FAIL() << "7.6 PB were allocated";
    } catch (const OutOfMemory& error) {
        EXPECT_STREQ(error.what(), "cannot allocate a result of 17592186044416 rows of 54 values "
                                   "(7599824371187712 bytes)");
    }
}

}  // namespace
}  // namespace turnsmith
