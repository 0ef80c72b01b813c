# Typed use of turnsmith: checked with mypy --strict against the installed
# stubs, and run, so every call here is one the module really accepts.
from typing import TYPE_CHECKING, Literal, assert_type

import numpy as np
from numpy.typing import NDArray

import turnsmith
from turnsmith import Cube2x2, Cube3x3, CubeBatch, get_next_states, inverse_scramble

cube = Cube3x3()
cube.do_moves("R U R' U'")
assert_type(cube.do_u_move(), None)
assert_type(cube.corners, int)
assert_type(cube.is_solved(), bool)
assert_type(cube.to_sticker_array(), list[int])
assert_type(cube.get_edges(), list[tuple[int, int]])
assert_type(cube.to_binary(), tuple[str, str])
assert_type(cube.to_words(), tuple[int, int])
assert_type(Cube3x3.from_words(*cube.to_words()), Cube3x3)
assert_type(Cube3x3.from_sticker_array(cube.to_sticker_array()), Cube3x3)

small = Cube2x2()
small.scramble(scramble_length=5)
assert_type(small.state, int)
assert_type(small.to_binary(), str)
assert_type(small.to_words(), tuple[int])
assert_type(Cube2x2.from_sticker_array(np.array(small.to_sticker_array())), Cube2x2)

assert_type(inverse_scramble("R U"), str)
assert_type(turnsmith.__version__, str)
assert_type(get_next_states([cube]), NDArray[np.int64])

batch = CubeBatch(4, 3)
batch.scramble(np.array([1, 2, 3, 4], dtype=np.int64))
batch.apply_move_indexes(np.zeros(4, dtype=np.uint64))
assert_type(batch[0], Cube2x2 | Cube3x3)
assert_type(len(batch), int)
for item in batch:
    assert_type(item, Cube2x2 | Cube3x3)
assert_type(batch.to_sticker_array(), NDArray[np.int64])
assert_type(batch.get_next_states(), NDArray[np.int64])
assert_type(batch.to_words(), NDArray[np.uint64])
assert_type(batch.is_solved(), NDArray[np.bool_])
assert_type(batch.to_sticker_bytes(), NDArray[np.uint8])
moves = batch.scramble_with_moves(np.array([3, 3, 3, 3]), seed=1, avoid_inverse=True)
assert_type(moves, NDArray[np.int8])
batch.apply_move_sequences(moves)
batch.randomize(seed=2)
assert_type(batch.take([0, 2]), CubeBatch)
assert_type(batch.get_next_batch([4]), CubeBatch)
assert_type(CubeBatch.from_words(batch.to_words(), 3), CubeBatch)
assert_type(CubeBatch.from_sticker_array(batch.to_sticker_bytes(), 3), CubeBatch)
assert_type(CubeBatch.from_cubes([batch[0]]), CubeBatch)
assert_type(CubeBatch.concatenate([batch, batch]), CubeBatch)
canonical_moves = batch.scramble_with_moves(np.array([3, 3, 3, 3]), seed=1, canonical=True)
assert_type(canonical_moves, NDArray[np.int8])
assert_type(CubeBatch.SYMMETRY_MOVES, NDArray[np.int8])
assert_type(batch.SYMMETRY_MOVES, NDArray[np.int8])
assert_type(batch.symmetric(5), CubeBatch)
assert_type(batch.symmetric(np.arange(4) % 48), CubeBatch)
assert_type(batch.canonical(), CubeBatch)
assert_type(batch.canonical(inverse=True), CubeBatch)

assert_type(batch.keys(), NDArray[np.uint64])
assert_type(batch.unique(), CubeBatch)
assert_type(batch.unique(order="first"), CubeBatch)
distinct, inverse = batch.unique(return_inverse=True)
assert_type(distinct, CubeBatch)
assert_type(inverse, NDArray[np.int64])
assert_type(batch.unique("first", return_index=True, return_inverse=True, return_counts=True)[3], NDArray[np.int64])
assert_type(batch.isin(batch), NDArray[np.bool_])
seen = turnsmith.StateSet(3)
assert_type(seen.add(batch), NDArray[np.bool_])
assert_type(seen.contains(batch), NDArray[np.bool_])
assert_type(seen.len(), int)
assert_type(len(seen), int)
assert_type(seen.cube_type, Literal[2, 3])

assert_type(small.rank(), int)
pairs = CubeBatch(3, 2)
assert_type(pairs.ranks(), NDArray[np.uint64])
assert_type(CubeBatch.from_ranks(pairs.ranks(), 2), CubeBatch)
if TYPE_CHECKING:  # these build the distance table: checked here, not run
    assert_type(small.distance(modulo_rotation=True), int)
    assert_type(small.solve(), str)
    assert_type(pairs.distances(), NDArray[np.uint8])
    assert_type(pairs.solutions(), NDArray[np.int8])
    assert_type(cube.solve(max_length=24), str)
    assert_type(batch.solutions(25, progress=True), NDArray[np.int8])
    assert_type(batch.solutions(return_lengths=True), tuple[NDArray[np.int8], NDArray[np.int16]])
    assert_type(batch.solutions(None, False, lambda done, total: None, True)[1], NDArray[np.int16])
    assert_type(turnsmith.prepare_tables(3, progress=True)[0]["path"], str | None)
    assert_type(turnsmith.prepare_tables(3, optimal=True, large=True)[0]["bytes"], int)
    assert_type(turnsmith.table_cache_dir(), str | None)
    assert_type(cube.distance(), int)
    assert_type(cube.solve(optimal=True), str)
    assert_type(batch.lower_bounds(), NDArray[np.uint8])
    assert_type(batch.distances(progress=True), NDArray[np.uint8])
    assert_type(batch.distances(upper_bounds=batch.solutions(return_lengths=True)[1]), NDArray[np.uint8])
    assert_type(pairs.distances(True, None, [14, -1, 3]), NDArray[np.uint8])
    assert_type(batch.solutions(optimal=True, return_lengths=True)[1], NDArray[np.int16])

assert_type(cube.inverse(), Cube3x3)
assert_type(cube.compose(cube.inverse()), Cube3x3)
assert_type(small.compose(small), Cube2x2)
assert_type(batch.inverse().compose(batch), CubeBatch)
pieces = batch.to_pieces()
assert_type(pieces["corners"], NDArray[np.int8])
assert_type(CubeBatch.from_pieces(pieces, 3), CubeBatch)
assert_type(batch.to_one_hot(), NDArray[np.float32])
assert_type(batch.to_one_hot("float16"), NDArray[np.float16])
assert_type(batch.to_one_hot(np.float16), NDArray[np.float32 | np.float16 | np.uint8])
assert_type(batch.to_one_hot("uint8"), NDArray[np.uint8])

if TYPE_CHECKING:
    # Each call is refused. Under --strict an ignore that silences nothing is
    # itself an error, so stubs that let one through fail the check.
    CubeBatch(4, 4)  # type: ignore[arg-type]
    cube.do_moves(5)  # type: ignore[arg-type]
    batch.scramble([1, 2])  # type: ignore[arg-type]
    small.get_edges()  # type: ignore[attr-defined]
    cube.corners = 0  # type: ignore[misc]
    Cube3x3.from_words(1)  # type: ignore[call-arg]
    CubeBatch.from_ranks([0], 3)  # type: ignore[arg-type]
    batch.solutions(progress=5)  # type: ignore[call-overload]
    batch.unique(order="last")  # type: ignore[call-overload]
    turnsmith.StateSet(4)  # type: ignore[arg-type]
    cube.compose(small)  # type: ignore[arg-type]
