"""Batches edited in place, rows chosen as NumPy chooses them, and single cubes
turned and encoded by move index."""

import pytest

from cubehelpers import BATCH_TYPE, MOVE_METHODS
from turnsmith import Cube2x2, Cube3x3, CubeBatch

np = pytest.importorskip("numpy")

INDEX_DTYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64]


def random_batch(cube_type, count, seed):
    batch = CubeBatch(count, cube_type)
    batch.randomize(seed=seed)
    return batch


def keys(count):
    """(key as take and put read it, the same key for NumPy's indexing)"""
    rng = np.random.default_rng(7)
    mask = rng.random(count) < 0.5
    signed = rng.integers(-count, count, size=2 * count)
    chosen = [(signed.astype(dtype), signed) for dtype in INDEX_DTYPES if np.dtype(dtype).kind == "i"]
    chosen += [(np.arange(count)[::-1].astype(dtype), np.arange(count)[::-1]) for dtype in INDEX_DTYPES]
    chosen += [(mask, mask), (list(mask), mask), (np.zeros(count, bool), np.zeros(count, bool))]
    chosen += [(key, key) for key in (slice(None), slice(1, -2, 3), slice(None, None, -2), slice(5, 2))]
    chosen += [([-1, 0, 0, 3], [-1, 0, 0, 3]), ([], np.array([], np.int64))]
    return chosen


@pytest.mark.parametrize("cube_type", [2, 3])
def test_take_and_put_select_as_numpy_indexes_the_words(cube_type):
    count = 12
    source = random_batch(cube_type, count, seed=1)
    original = source.to_words()
    for key, numpy_key in keys(count):
        assert np.array_equal(source.take(key).to_words(), original[numpy_key]), key
        target = random_batch(cube_type, count, seed=2)
        expected = target.to_words()
        selected = len(original[numpy_key])
        values = random_batch(cube_type, selected, seed=3)
        expected[numpy_key] = values.to_words()
        target.put(key, values)
        assert np.array_equal(target.to_words(), expected), key
        target.put(key, original[numpy_key])  # words
        expected[numpy_key] = original[numpy_key]
        assert np.array_equal(target.to_words(), expected), key


def test_put_of_a_batch_into_itself_reads_it_as_it_was():
    batch = random_batch(3, 6, seed=4)
    words = batch.to_words()
    order = np.array([5, 4, 3, 2, 1, 0])
    batch.put(order, batch)
    assert np.array_equal(batch.to_words()[order], words)


def bad_put(cube_type):
    """(call on a batch of 4 cubes of the type, exception, message pattern)"""
    other = 5 - cube_type
    words = random_batch(cube_type, 2, seed=5).to_words()
    broken = words.copy()
    broken.flat[0] = 0
    return [
        (lambda b: b.put([0, 4], CubeBatch(2, cube_type)), IndexError, "index 4 is out of range for a batch of 4"),
        (lambda b: b.put([-5], CubeBatch(1, cube_type)), IndexError, "index -5 is out of range"),
        (lambda b: b.put([True, False], CubeBatch(1, cube_type)), IndexError, "a mask of 2 values"),
        (lambda b: b.put(np.ones((4, 1), bool), CubeBatch(4, cube_type)), IndexError, "in 2 dimensions"),
        (lambda b: b.put([[0, 1]], CubeBatch(2, cube_type)), ValueError, r"expected shape \(N,\)"),
        (lambda b: b.put([0.5], CubeBatch(1, cube_type)), TypeError, "expected integers"),
        (lambda b: b.put("0", CubeBatch(1, cube_type)), TypeError, "expected integers"),
        (lambda b: b.put([0, 1], CubeBatch(2, other)), ValueError, f"expected cubes of type {cube_type}"),
        (lambda b: b.put([0, 1], CubeBatch(3, cube_type)), ValueError, "expected 2 cubes, one per selected row, got 3"),
        (lambda b: b.put(slice(0, 3), words), ValueError, "expected 3 cubes"),
        (lambda b: b.put([0, 1], broken), ValueError, "argument 'words': row 0: "),
        (lambda b: b.put([0, 1], "words"), TypeError, "argument 'words'"),
        (lambda b: b.put([0, 1], Cube3x3()), TypeError, "argument 'words'"),
    ]


@pytest.mark.parametrize("cube_type", [2, 3])
def test_refused_puts_change_nothing(cube_type):
    for call, error, pattern in bad_put(cube_type):
        batch = random_batch(cube_type, 4, seed=6)
        before = batch.to_words()
        with pytest.raises(error, match=pattern):
            call(batch)
        assert np.array_equal(batch.to_words(), before)


def test_invalid_words_are_refused_as_from_words_refuses_them():
    words = random_batch(3, 3, seed=8).to_words()
    words[1, 1] ^= 1 << 4  # one edge flipped
    with pytest.raises(ValueError) as made:
        CubeBatch.from_words(words, 3)
    with pytest.raises(ValueError) as put:
        CubeBatch(3, 3).put([0, 1, 2], words)
    assert str(put.value) == str(made.value)


def test_subscripts_keep_their_errors():
    batch = CubeBatch(3, 3)
    with pytest.raises(TypeError, match="'slice' object cannot be interpreted as an integer"):
        batch[0:2]
    with pytest.raises(TypeError, match="does not support item assignment"):
        batch[0] = Cube3x3()


# --- one move per cube ---------------------------------------------------------


@pytest.mark.parametrize("cls", [Cube3x3, Cube2x2])
@pytest.mark.parametrize("dtype", INDEX_DTYPES)
def test_apply_moves_matches_single_cubes(cls, dtype):
    rng = np.random.default_rng(9)
    count = 40
    batch = random_batch(BATCH_TYPE[cls], count, seed=10)
    cubes = list(batch)
    low = -1 if np.dtype(dtype).kind == "i" else 0
    moves = rng.integers(low, 12, size=count)
    batch.apply_moves(moves.astype(dtype))
    for cube, move in zip(cubes, moves):
        if move >= 0:
            getattr(cube, MOVE_METHODS[move])()
    assert np.array_equal(batch.to_words(), CubeBatch.from_cubes(cubes).to_words())


@pytest.mark.parametrize("moves, error, pattern", [
    (np.array([0, 12, 0]), ValueError, "row 1 holds 12, but move indexes are 0..11"),
    (np.array([0, 0, -2], np.int8), ValueError, "row 2 holds -2"),
    (np.array([0, 255, 0], np.uint8), ValueError, "row 1 holds 255"),
    (np.array([0, 2**64 - 1, 0], np.uint64), ValueError, "row 1 holds 18446744073709551615"),
    (np.array([0, 1]), ValueError, r"expected shape \(3,\), got \(2,\)"),
    (np.zeros((3, 1), np.int64), ValueError, r"expected shape \(3,\), got \(3, 1\)"),
    (np.zeros(3), TypeError, "expected integers"),
    (np.zeros(3, bool), TypeError, "got a bool array"),
    (None, TypeError, "expected integers"),
])
def test_apply_moves_refuses(moves, error, pattern):
    batch = random_batch(3, 3, seed=11)
    before = batch.to_words()
    with pytest.raises(error, match=pattern):
        batch.apply_moves(moves)
    assert np.array_equal(batch.to_words(), before)


# --- single cubes by move index, one-hot rows -------------------------------------


@pytest.mark.parametrize("index", range(12))
def test_apply_move_index_turns_as_the_named_move(cube_cls, index):
    by_index, by_name = cube_cls(), cube_cls()
    by_index.do_moves("R U F' L2")
    by_name.do_moves("R U F' L2")
    by_index.apply_move_index(index)
    getattr(by_name, MOVE_METHODS[index])()
    assert by_index.to_words() == by_name.to_words()


@pytest.mark.parametrize("index, error", [(12, ValueError), (-1, ValueError), (2**70, ValueError),
                                          (1.0, TypeError), ("1", TypeError)])
def test_apply_move_index_refuses(cube_cls, index, error):
    cube = cube_cls()
    with pytest.raises(error, match="argument 'index'"):
        cube.apply_move_index(index)
    assert cube.is_solved()


@pytest.mark.parametrize("dtype", [None, "float32", "float16", "uint8", np.float16, np.dtype("uint8")])
def test_a_cube_s_one_hot_row_is_its_batch_row(cube_cls, dtype):
    batch = random_batch(BATCH_TYPE[cube_cls], 5, seed=12)
    batch_rows = batch.to_one_hot() if dtype is None else batch.to_one_hot(dtype)
    for cube, expected in zip(batch, batch_rows):
        row = cube.to_one_hot() if dtype is None else cube.to_one_hot(dtype)
        assert row.dtype == expected.dtype and row.shape == expected.shape
        assert np.array_equal(row, expected)
    with pytest.raises(ValueError, match="expected float32, float16 or uint8"):
        cube_cls().to_one_hot("int64")


def one_hot_out(np_dtype, shape=(4, 324), order="C"):
    return np.full(shape, 7, dtype=np_dtype, order=order)


def read_only(array):
    array.flags.writeable = False
    return array


# (out for a batch of four 3x3 cubes asked for float32, exception, message pattern)
REFUSED_OUTS = [
    ([[0.0] * 324] * 4, TypeError, "expected a numpy.ndarray, got 'list'"),
    (one_hot_out(np.float64), TypeError, "expected dtype float32, got float64"),
    (one_hot_out(np.uint8), TypeError, "expected dtype float32, got uint8"),
    (one_hot_out(">f4"), TypeError, "expected dtype float32, got >f4"),
    (one_hot_out(np.float32, (4, 323)), ValueError, r"expected shape \(4, 324\), got \(4, 323\)"),
    (one_hot_out(np.float32, (5, 324)), ValueError, r"expected shape \(4, 324\), got \(5, 324\)"),
    (one_hot_out(np.float32, (4 * 324,)), ValueError, r"expected shape \(4, 324\), got \(1296,\)"),
    (one_hot_out(np.float32, (8, 324))[::2], ValueError, "expected a C-contiguous array"),
    (one_hot_out(np.float32, order="F"), ValueError, "expected a C-contiguous array"),
    (read_only(one_hot_out(np.float32)), ValueError, "expected a writeable array, got a read-only one"),
]


@pytest.mark.parametrize("out, error, pattern", REFUSED_OUTS, ids=range(len(REFUSED_OUTS)))
def test_one_hot_out_refuses(out, error, pattern):
    with pytest.raises(error, match=f"argument 'out': {pattern}"):
        CubeBatch(4, 3).to_one_hot(out=out)


@pytest.mark.parametrize("dtype", ["float32", "float16", "uint8"])
def test_one_hot_out_is_filled_and_returned(cube_cls, dtype):
    batch = random_batch(BATCH_TYPE[cube_cls], 6, seed=13)
    expected = batch.to_one_hot(dtype)
    out = np.full(expected.shape, 9, dtype=dtype)  # every value overwritten
    assert batch.to_one_hot(dtype, out=out) is out
    assert np.array_equal(out, expected)


# --- redrawing chosen rows -----------------------------------------------------------


def redraw(method, batch, count, rows, seed):
    """Calls `method` on `batch` (for `count` selected rows, or all when rows
    is None); returns the moves it recorded, or None."""
    if method == "randomize":
        batch.randomize(seed=seed, rows=rows)
        return None
    lengths = np.arange(count, dtype=np.int64) % 7 + 3
    canonical = method == "canonical"
    return batch.scramble_with_moves(lengths, seed=seed, avoid_inverse=method == "avoid_inverse",
                                     canonical=canonical, rows=rows)


@pytest.mark.parametrize("method", ["randomize", "any", "avoid_inverse", "canonical"])
@pytest.mark.parametrize("cube_type", [2, 3])
def test_redrawn_rows_are_a_fresh_batch_s_draw(method, cube_type):
    count = 10
    mask = np.zeros(count, bool)
    mask[[1, 4, 5, 9]] = True
    for rows in (np.array([7, -1, 2, 0], np.int16), mask, slice(1, None, 3)):
        selected = np.arange(count)[rows]
        fresh = CubeBatch(len(selected), cube_type)
        fresh_moves = redraw(method, fresh, len(selected), None, seed=21)
        batch = random_batch(cube_type, count, seed=22)
        expected = batch.to_words()
        expected[selected] = fresh.to_words()
        moves = redraw(method, batch, len(selected), rows, seed=21)
        assert np.array_equal(batch.to_words(), expected), rows
        if moves is not None:
            assert np.array_equal(moves, fresh_moves)
            replayed = CubeBatch(len(selected), cube_type)
            replayed.apply_move_sequences(moves)
            assert np.array_equal(replayed.to_words(), fresh.to_words())


def test_redrawing_rows_without_a_seed_changes_only_them():
    batch = CubeBatch(200, 3)
    batch.randomize(rows=np.arange(0, 200, 2))
    solved = batch.is_solved()
    assert solved[1::2].all() and not solved[::2].any()
    with pytest.raises(IndexError):
        batch.randomize(seed=1, rows=[200])
    with pytest.raises(IndexError, match="a mask of 3 values"):
        batch.scramble_with_moves(np.ones(3, np.int64), rows=[True] * 3)


# --- inverse move strings ----------------------------------------------------------

TOKENS = ["U", "D", "R", "L", "F", "B"]
FORMS = ["", "'", "!", "2"]
# do_moves skips these; so does the inverse
SKIPPED = ["X", "u", "R3", "R''", "2", "'", "RR", "R2'"]
SPACES = [" ", "  ", "\t", "\n", "\u00a0", "\u3000"]


def random_moves(rng, length):
    tokens = []
    for _ in range(length):
        if rng.random() < 0.1:
            tokens.append(str(rng.choice(SKIPPED)))
        else:
            tokens.append(str(rng.choice(TOKENS)) + str(rng.choice(FORMS)))
    separators = [str(rng.choice(SPACES)) for _ in tokens]
    return str(rng.choice(SPACES)) + "".join(t + s for t, s in zip(tokens, separators))


@pytest.mark.parametrize("half_turns", [True, False])
def test_invert_moves_undoes_every_token_form(cube_cls, half_turns):
    from turnsmith import invert_moves

    rng = np.random.default_rng(31)
    for length in [0, 1, 2, 5, 30]:
        for _ in range(20):
            moves = random_moves(rng, length)
            start = cube_cls()
            start.scramble(25)
            cube = cube_cls.from_words(*start.to_words())
            inverse = invert_moves(moves, half_turns=half_turns)
            cube.do_moves(moves)
            cube.do_moves(inverse)
            assert cube.to_words() == start.to_words(), (moves, inverse)
            if not half_turns:
                assert "2" not in inverse


def test_invert_moves_writes_half_turns_as_asked():
    from turnsmith import invert_moves

    assert invert_moves("R U R' U2") == "U2 R U' R'"
    assert invert_moves("R U R' U2", half_turns=False) == "U U R U' R'"
    assert invert_moves("  F!\tX B2 ") == "B2 F"
    assert invert_moves("") == ""
    with pytest.raises(TypeError) as inverse:
        invert_moves(b"R")
    with pytest.raises(TypeError) as applied:
        Cube3x3().do_moves(b"R")
    assert str(inverse.value) == str(applied.value)


# --- pickled sets -----------------------------------------------------------------


@pytest.mark.parametrize("cube_type", [2, 3])
def test_a_state_set_pickled_to_another_process_is_equal(cube_type, tmp_path):
    import pickle
    import subprocess
    import sys

    from turnsmith import StateSet

    states = StateSet(cube_type)
    batch = random_batch(cube_type, 500, seed=41)
    states.add(batch.take(np.arange(0, 500, 2)))
    states.add(CubeBatch(1, cube_type))
    (tmp_path / "set.pickle").write_bytes(pickle.dumps(states))
    batch.to_words().dump(tmp_path / "words.npy")
    script = f"""
import pickle, numpy as np, turnsmith
states = pickle.loads(open({str(tmp_path / 'set.pickle')!r}, 'rb').read())
batch = turnsmith.CubeBatch.from_words(np.load({str(tmp_path / 'words.npy')!r}, allow_pickle=True), {cube_type})
found = states.contains(batch)
print(type(states).__name__, states.cube_type, len(states), found.sum(), found[::2].all(), found[1::2].any(),
      states.contains(turnsmith.CubeBatch(1, {cube_type}))[0])
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["StateSet", str(cube_type), "251", "250", "True", "False", "True"]
    assert len(pickle.loads(pickle.dumps(StateSet(cube_type)))) == 0
