"""CubeBatch: the container, the parallel operations, successors and arrays."""

import gc
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import turnsmith
from cubehelpers import (
    BATCH_TYPE, MOVE_METHODS, SOLVED_CORNERS, STICKER_DIM, corner_parity, fresh, run_script, words,
)
from turnsmith import Cube2x2, Cube3x3, CubeBatch, get_next_states

np = pytest.importorskip("numpy")

U, UP, D, DP, R, RP, L, LP, F, FP, B, BP = range(12)


def u64(values):
    return np.array(values, dtype=np.uint64)


def i64(values):
    return np.array(values, dtype=np.int64)


def batch(cls, count):
    return CubeBatch(count, BATCH_TYPE[cls])


def turned_batch(cls, rows):
    """A batch whose cube i received the indexes rows[k][i] for each k."""
    result = batch(cls, len(rows[0]) if rows else 0)
    for row in rows:
        result.apply_move_indexes(u64(row))
    return result


def solved_row(cls):
    return cls().to_sticker_array()


# --- container -------------------------------------------------------------


def test_empty_batch():
    empty = CubeBatch(0, 3)
    assert len(empty) == 0 == empty.len()
    assert str(empty) == ""
    assert list(empty) == []
    for index in (0, -1):
        with pytest.raises(IndexError) as info:
            empty[index]
        assert str(info.value) == "cubeBatch index out of range"


def test_items_are_solved_cubes_of_the_batch_class():
    assert CubeBatch(3, 2)[1].state == SOLVED_CORNERS
    item = CubeBatch(3, 3)[1]
    assert type(item) is Cube3x3 and item.corners == SOLVED_CORNERS and item.is_solved()
    assert type(CubeBatch(3, 2)[0]) is Cube2x2


def test_negative_and_out_of_range_indexes(cube_cls):
    b = turned_batch(cube_cls, [[U, R, F]])
    assert words(b[-1]) == words(fresh(cube_cls, [F]))
    assert words(b[-2]) == words(fresh(cube_cls, [R]))
    assert words(b[-3]) == words(fresh(cube_cls, [U]))
    for index in (3, -4, 2**63 - 1, -2**63, 100):
        with pytest.raises(IndexError, match="^cubeBatch index out of range$"):
            b[index]


def test_items_are_independent_copies(cube_cls):
    b = batch(cube_cls, 2)
    item = b[0]
    item.do_u_move()
    assert b[0].is_solved()
    assert b[0] is not b[0]
    assert b[0] not in b
    b.apply_move_indexes(u64([R]))
    assert words(item) == words(fresh(cube_cls, [U]))


def test_iteration_yields_copies_in_order(cube_cls):
    b = turned_batch(cube_cls, [[U, D, R, L], [F, F, B, 12]])
    expected = [[U, F], [D, F], [R, B], [L]]
    assert [words(c) for c in b] == [words(fresh(cube_cls, e)) for e in expected]
    assert all(type(c) is cube_cls for c in b)


def test_list_of_a_fresh_batch():
    cubes = list(CubeBatch(4, 3))
    assert len(cubes) == 4 and all(type(c) is Cube3x3 and c.is_solved() for c in cubes)


@pytest.mark.parametrize("count", [1, 2, 5])
def test_text_joins_the_cube_texts(cube_cls, count):
    assert str(batch(cube_cls, count)) == "\n\n".join([str(cube_cls())] * count)
    b = turned_batch(cube_cls, [[R, U, F, B, L][:count]])
    assert str(b) == "\n\n".join(str(c) for c in b)


def test_len_matches_method(cube_cls):
    for count in (0, 1, 7, 1000):
        b = batch(cube_cls, count)
        assert len(b) == b.len() == count


@pytest.mark.parametrize("cube_type", [0, 1, 4])
def test_unknown_cube_type(cube_type):
    with pytest.raises(TypeError, match="^unknown cube type: expected 2 or 3$"):
        CubeBatch(2, cube_type)


# --- parallel operations ---------------------------------------------------


def test_operations_on_an_empty_batch(cube_cls):
    b = batch(cube_cls, 0)
    assert b.scramble(i64([])) is None
    assert b.scramble(i64([5, 5])) is None
    assert b.apply_move_indexes(u64([])) is None
    assert b.apply_move_indexes(u64([1, 2])) is None
    for result in (b.to_sticker_array(), b.get_next_states()):
        assert result.shape == (0, STICKER_DIM[cube_cls])
        assert result.dtype == np.int64
        assert result.strides == (0, 0)


def test_scramble_lengths_pair_with_cubes():
    b = CubeBatch(5, 3)
    assert b.scramble(i64([0, -5, 3])) is None
    cubes = list(b)
    assert [c.is_solved() for c in cubes] == [True, True, False, True, True]
    assert corner_parity(cubes[2]) == 1


def test_longer_length_array_scrambles_every_cube(cube_cls):
    b = batch(cube_cls, 50)
    b.scramble(np.ones(53, dtype=np.int64))
    assert all(not c.is_solved() and corner_parity(c) == 1 for c in b)


def test_scramble_lengths_set_each_cube_parity(cube_cls):
    lengths = i64([1, 2, 3, 4, 5, 20, 21, 0, -1, 7])
    b = batch(cube_cls, len(lengths))
    b.scramble(lengths)
    assert [corner_parity(c) for c in b] == [max(n, 0) % 2 for n in lengths]


@pytest.mark.parametrize("cls, count, length", [(Cube3x3, 200, 25), (Cube2x2, 20, 60)],
                         ids=["Cube3x3", "Cube2x2"])
def test_cubes_of_one_scramble_differ(cls, count, length):
    # Few, long scrambles for the 2x2, whose states are few enough for a
    # coincidence between short random walks to be merely unlikely.
    b = batch(cls, count)
    b.scramble(np.full(count, length, dtype=np.int64))
    assert len({words(c) for c in b}) == count


@pytest.mark.parametrize("index", range(12), ids=lambda i: MOVE_METHODS[i])
def test_one_move_changes_only_cube_zero(cube_cls, index):
    b = batch(cube_cls, 3)
    b.apply_move_indexes(u64([index]))
    rows = b.to_sticker_array()
    assert rows[0].tolist() == fresh(cube_cls, [index]).to_sticker_array()
    assert rows[1].tolist() == rows[2].tolist() == solved_row(cube_cls)
    assert words(b[0]) == words(fresh(cube_cls, [index]))


def test_large_indexes_change_nothing(cube_cls):
    b = batch(cube_cls, 3)
    b.apply_move_indexes(u64([12, 2**64 - 1, 1000]))
    assert all(c.is_solved() for c in b)


def test_shorter_and_longer_index_arrays():
    b = CubeBatch(4, 3)
    b.apply_move_indexes(u64([R, F]))
    assert [c.is_solved() for c in b] == [False, False, True, True]
    b.apply_move_indexes(u64([RP, FP, U, D, L, L, L]))
    assert [words(c) for c in b] == [words(fresh(Cube3x3, m)) for m in ([], [], [U], [D])]


def test_index_sequences_match_single_cubes(cube_cls):
    rng = np.random.default_rng(7)
    moves = rng.integers(0, 14, size=(25, 64), dtype=np.uint64)   # 12 and 13 are no-ops
    b = batch(cube_cls, 64)
    for row in moves:
        b.apply_move_indexes(row)
    rows = b.to_sticker_array()
    for i in range(64):
        expected = fresh(cube_cls, [int(m) for m in moves[:, i] if m < 12])
        assert words(b[i]) == words(expected)
        assert rows[i].tolist() == expected.to_sticker_array()


def test_fresh_batch_rows_are_solved(cube_cls):
    rows = batch(cube_cls, 3).to_sticker_array()
    assert rows.dtype == np.int64
    assert rows.shape == (3, STICKER_DIM[cube_cls])
    assert all(row.tolist() == solved_row(cube_cls) for row in rows)


# --- successors --------------------------------------------------------------


def test_successor_shapes():
    assert CubeBatch(0, 3).get_next_states().shape == (0, 54)
    assert CubeBatch(1, 2).get_next_states().shape == (12, 24)
    assert CubeBatch(3, 3).get_next_states().shape == (36, 54)


def test_successors_of_one_solved_cube(cube_cls):
    rows = batch(cube_cls, 1).get_next_states()
    for m in range(12):
        assert rows[m].tolist() == fresh(cube_cls, [m]).to_sticker_array()
    assert all(row.tolist() != solved_row(cube_cls) for row in rows)
    assert len({tuple(row) for row in rows.tolist()}) == 12


def test_successor_rows_are_ordered_by_cube_then_move(cube_cls):
    starts = [[], [R], [F, U], [B, L, D]]
    b = batch(cube_cls, len(starts))
    for k in range(3):
        b.apply_move_indexes(u64([s[k] if k < len(s) else 12 for s in starts]))
    rows = b.get_next_states()
    assert rows.shape == (12 * len(starts), STICKER_DIM[cube_cls])
    for i, start in enumerate(starts):
        for m in range(12):
            assert rows[12 * i + m].tolist() == fresh(cube_cls, start + [m]).to_sticker_array()
        assert np.array_equal(rows[12 * i:12 * i + 12], get_next_states([b[i]]))
    assert all(c.is_solved() == (not s) for c, s in zip(b, starts))


def test_module_function_stacks_per_cube_results(cube_cls):
    c1, c2 = fresh(cube_cls, [R, U]), fresh(cube_cls, [F])
    together = get_next_states([c1, c2])
    assert np.array_equal(together, np.vstack([get_next_states([c1]), get_next_states([c2])]))
    assert words(c1) == words(fresh(cube_cls, [R, U])) and words(c2) == words(fresh(cube_cls, [F]))


def test_module_function_accepts_the_same_cube_twice_and_list_subclasses(cube_cls):
    class Cubes(list):
        pass

    cube = fresh(cube_cls, [D])
    rows = get_next_states(Cubes([cube, cube]))
    assert np.array_equal(rows[:12], rows[12:])
    assert rows.shape == (24, STICKER_DIM[cube_cls])
    assert rows[:12].tolist() == [fresh(cube_cls, [D, m]).to_sticker_array() for m in range(12)]


@pytest.mark.parametrize("cubes, message", [
    ([], "get_next_states() requires at least one cube to infer the cube type"),
    ([1, 2], "get_next_states() expects a list of turnsmith.Cube2x2 or turnsmith.Cube3x3 instances"),
    ([CubeBatch(1, 3)], "get_next_states() expects a list of turnsmith.Cube2x2 or turnsmith.Cube3x3 instances"),
    ([None], "get_next_states() expects a list of turnsmith.Cube2x2 or turnsmith.Cube3x3 instances"),
    ([Cube2x2(), Cube3x3()], "'Cube3x3' object is not an instance of 'Cube2x2'"),
    ([Cube3x3(), Cube2x2()], "'Cube2x2' object is not an instance of 'Cube3x3'"),
    ([Cube3x3(), None], "'None' is not an instance of 'Cube3x3'"),
    ([Cube3x3(), Cube3x3(), 1], "'int' object is not an instance of 'Cube3x3'"),
], ids=range(8))
def test_module_function_errors(cubes, message):
    with pytest.raises(TypeError) as info:
        get_next_states(cubes)
    assert str(info.value) == message


def test_writing_into_successors_changes_no_cube(cube_cls):
    cube = fresh(cube_cls, [L])
    b = turned_batch(cube_cls, [[L]])
    for rows in (get_next_states([cube]), b.get_next_states()):
        assert type(rows.base).__name__ == "PySliceContainer"
        rows[:] = 9
    assert words(cube) == words(b[0]) == words(fresh(cube_cls, [L]))
    assert b.get_next_states().max() <= 5


# --- result arrays -----------------------------------------------------------


@pytest.mark.parametrize("make", [lambda b: b.to_sticker_array(), lambda b: b.get_next_states(),
                                  lambda b: get_next_states(list(b))],
                         ids=["to_sticker_array", "get_next_states", "module get_next_states"])
def test_result_array_properties(cube_cls, make):
    result = make(batch(cube_cls, 2))
    dim = STICKER_DIM[cube_cls]
    assert type(result) is np.ndarray
    assert result.dtype == np.dtype(np.int64) and result.dtype.isnative
    assert result.ndim == 2 and result.shape[1] == dim
    assert result.strides == (dim * 8, 8)
    assert type(result.base).__name__ == "PySliceContainer"
    assert not result.flags.owndata
    assert result.flags.writeable and result.flags.c_contiguous and result.flags.aligned


def test_keeper_type_is_not_exported():
    keeper = type(CubeBatch(1, 3).to_sticker_array().base)
    assert not hasattr(turnsmith, keeper.__name__)


def test_exact_strides():
    assert CubeBatch(2, 3).to_sticker_array().strides == (432, 8)
    assert CubeBatch(2, 2).to_sticker_array().strides == (192, 8)


def test_writing_into_a_result_changes_nothing_else(cube_cls):
    b = batch(cube_cls, 3)
    first = b.to_sticker_array()
    first[:] = -1
    assert all(c.is_solved() for c in b)
    assert all(row.tolist() == solved_row(cube_cls) for row in b.to_sticker_array())


def test_view_outlives_its_array(cube_cls):
    b = turned_batch(cube_cls, [[R, F, 12]])
    array = b.to_sticker_array()
    view = array[1:]
    del array
    gc.collect()
    # New arrays of the same size reuse freed memory if the view's buffer was freed.
    junk = [batch(cube_cls, 3).get_next_states() for _ in range(5)]
    junk[0][:] = 7
    assert view.tolist() == [fresh(cube_cls, [F]).to_sticker_array(), solved_row(cube_cls)]
    owner = view.base
    while isinstance(owner, np.ndarray):
        owner = owner.base
    assert type(owner).__name__ == "PySliceContainer"


# --- argument arrays ---------------------------------------------------------


class Sub(np.ndarray):
    pass


ACCEPTED_LENGTHS = [
    ("default int array", lambda: np.array([1, 2])),
    ("read-only", lambda: _read_only(i64([1, 2]))),
    ("subclass", lambda: i64([1, 2]).view(Sub)),
    ("one-element view", lambda: np.arange(10)[3:4]),
    ("empty strided view", lambda: np.arange(10)[::2][:0]),
    ("empty reversed", lambda: np.arange(5)[::-1][5:]),
    ("contiguous copy of strided", lambda: np.arange(10)[::2].copy()),
    ("fortran 1-D", lambda: np.asfortranarray(i64([1, 2]))),
]


def _read_only(array):
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("name, make", ACCEPTED_LENGTHS, ids=[n for n, _ in ACCEPTED_LENGTHS])
def test_accepted_length_arrays(name, make):
    array = make()
    b = CubeBatch(2, 3)
    assert b.scramble(array) is None
    lengths = [int(v) for v in array[:2]] + [0] * (2 - min(2, len(array)))
    # parity, unlike the solved test, cannot be fooled by a turn undoing another
    assert [corner_parity(c) for c in b] == [max(n, 0) % 2 for n in lengths]
    assert all(c.is_solved() for c, n in zip(b, lengths) if n <= 0)


ACCEPTED_INDEXES = [
    ("uint64", lambda: u64([R, F])),
    ("read-only", lambda: _read_only(u64([R, F]))),
    ("subclass", lambda: u64([R, F]).view(Sub)),
    ("one-element view", lambda: u64([U, R, F])[1:2]),
]


@pytest.mark.parametrize("name, make", ACCEPTED_INDEXES, ids=[n for n, _ in ACCEPTED_INDEXES])
def test_accepted_index_arrays(name, make):
    array = make()
    b = CubeBatch(2, 2)
    assert b.apply_move_indexes(array) is None
    assert [words(c) for c in b][:len(array)] == [words(fresh(Cube2x2, [int(m)])) for m in array]
    # nothing is read past the array's end, even where its memory goes on
    assert all(c.is_solved() for c in list(b)[len(array):])


def _swapped(values, dtype):
    return np.array(values, dtype=np.dtype(dtype).newbyteorder())


REFUSED = [
    ("scramble_lengths", [1, 2], "'list' object is not an instance of 'ndarray'"),
    ("scramble_lengths", None, "'None' is not an instance of 'ndarray'"),
    ("scramble_lengths", (1, 2), "'tuple' object is not an instance of 'ndarray'"),
    ("scramble_lengths", np.array([[1, 2]]), "'ndarray' object is not an instance of 'ndarray'"),
    ("scramble_lengths", np.array(3), "'ndarray' object is not an instance of 'ndarray'"),
    ("scramble_lengths", np.array([1.0, 2.0]), "'ndarray' object is not an instance of 'ndarray'"),
    ("scramble_lengths", np.array([1, 2], dtype=np.int32), "'ndarray' object is not an instance of 'ndarray'"),
    ("scramble_lengths", u64([1, 2]), "'ndarray' object is not an instance of 'ndarray'"),
    ("scramble_lengths", _swapped([1, 2], np.int64), "'ndarray' object is not an instance of 'ndarray'"),
    ("scramble_lengths", np.int64(3), "'int64' object is not an instance of 'ndarray'"),
    ("move_indexes", [1, 2], "'list' object is not an instance of 'ndarray'"),
    ("move_indexes", None, "'None' is not an instance of 'ndarray'"),
    ("move_indexes", np.array([1, 2]), "'ndarray' object is not an instance of 'ndarray'"),
    ("move_indexes", u64([[1, 2]]), "'ndarray' object is not an instance of 'ndarray'"),
    ("move_indexes", np.array(3, dtype=np.uint64), "'ndarray' object is not an instance of 'ndarray'"),
    ("move_indexes", np.array([1, 2], dtype=np.uint32), "'ndarray' object is not an instance of 'ndarray'"),
    ("move_indexes", _swapped([1, 2], np.uint64), "'ndarray' object is not an instance of 'ndarray'"),
]


@pytest.mark.parametrize("parameter, value, text", REFUSED, ids=range(len(REFUSED)))
def test_refused_argument_arrays(parameter, value, text):
    b = CubeBatch(2, 3)
    method = b.scramble if parameter == "scramble_lengths" else b.apply_move_indexes
    with pytest.raises(TypeError) as info:
        method(value)
    assert str(info.value) == f"argument '{parameter}': {text}"
    assert all(c.is_solved() for c in b)


@pytest.mark.parametrize("parameter, make", [
    ("scramble_lengths", lambda: np.arange(10)[::2]),
    ("scramble_lengths", lambda: np.arange(10)[::-1]),
    ("move_indexes", lambda: np.arange(10, dtype=np.uint64)[::3]),
    ("move_indexes", lambda: np.arange(4, dtype=np.uint64)[::-1]),
    ("scramble_lengths", lambda: np.frombuffer(b"\0" + bytes(16), dtype=np.int64, offset=1)),
], ids=["stepped", "reversed", "stepped-uint64", "reversed-uint64", "unaligned"])
def test_non_contiguous_arrays_panic_before_any_change(parameter, make):
    b = CubeBatch(6, 3)
    method = b.scramble if parameter == "scramble_lengths" else b.apply_move_indexes
    with pytest.raises(BaseException) as info:
        method(make())
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value).endswith("AsSliceError")
    assert all(c.is_solved() for c in b)
    assert len(b) == 6   # the batch is free again


# --- worker pool ----------------------------------------------------------

POOL_SCRIPT = """
    import hashlib, numpy as np, turnsmith
    rng = np.random.default_rng(11)
    digest = hashlib.sha256()
    for cube_type in (2, 3):
        b = turnsmith.CubeBatch(3001, cube_type)
        for _ in range(30):
            b.apply_move_indexes(rng.integers(0, 13, size=3001, dtype=np.uint64))
        digest.update(b.to_sticker_array().tobytes())
        digest.update(b.get_next_states().tobytes())
        digest.update(turnsmith.get_next_states(list(b)[:50]).tobytes())
    print(digest.hexdigest())
"""


def run_pool_script(**env_changes):
    return run_script(POOL_SCRIPT, **env_changes)


def test_worker_count_does_not_change_results():
    default = run_pool_script()
    assert run_pool_script(RAYON_NUM_THREADS="1") == default
    assert run_pool_script(RAYON_NUM_THREADS="3") == default
    assert run_pool_script(RAYON_NUM_THREADS="0", RAYON_RS_NUM_CPUS="2") == default
    assert run_pool_script(RAYON_NUM_THREADS="bogus", RAYON_RS_NUM_CPUS="1") == default


FORK_SCRIPT = """
    import os, sys, warnings
    warnings.simplefilter("ignore")
    import numpy as np, turnsmith
    turnsmith.CubeBatch(10000, 3).to_sticker_array()   # the pool is running now
    pid = os.fork()
    if pid == 0:
        b = turnsmith.CubeBatch(500, 3)
        b.apply_move_indexes(np.full(500, 4, dtype=np.uint64))
        rows = b.get_next_states()
        ok = rows.shape == (6000, 54) and not b[499].is_solved()
        ok = ok and b.to_sticker_array().shape == (500, 54)
        os._exit(0 if ok else 3)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status))
"""


def test_forked_child_runs_batch_operations():
    process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(FORK_SCRIPT)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        out, err = process.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        pytest.fail("a batch operation in a forked child hung")
    assert process.returncode == 0, err
    assert out.strip() == "0", err
