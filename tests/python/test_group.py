"""Group operations (inverse, compose), piece arrays and one-hot inputs, each
checked against a replay of recorded moves, the single-cube views or a plain
NumPy encoding written here."""

import pytest

import turnsmith
from cubehelpers import BATCH_TYPE, MOVE_METHODS, STICKER_DIM, words
from turnsmith import Cube2x2, Cube3x3, CubeBatch

np = pytest.importorskip("numpy")

SIZES = [0, 1, 7, 300]


def random_batch(cls, count, seed):
    batch = CubeBatch(count, BATCH_TYPE[cls])
    batch.randomize(seed=seed)
    return batch


def scrambled_with_moves(cls, count, seed, longest=25):
    """A batch scrambled from solved, and the moves of each cube (rows padded with -1)."""
    batch = CubeBatch(count, BATCH_TYPE[cls])
    lengths = np.random.default_rng(seed).integers(0, longest + 1, size=count)
    moves = batch.scramble_with_moves(lengths, seed=seed)
    return batch, moves


def replayed(cls, *move_rows):
    """A single cube given each row's moves in turn, by the single-turn methods."""
    cube = cls()
    for row in move_rows:
        for move in row:
            if move < 0:
                break
            getattr(cube, MOVE_METHODS[move])()
    return cube


def undoing(row):
    """The moves that undo a row: reversed, each turned the other way."""
    return [move ^ 1 for move in reversed([m for m in row if m >= 0])]


def all_solved(batch):
    return bool(batch.is_solved().all())


# ---- inverse and compose ---------------------------------------------------------


@pytest.mark.parametrize("count", SIZES)
def test_a_state_and_its_inverse_compose_to_solved_both_ways(cube_cls, count):
    batch = random_batch(cube_cls, count, seed=count)
    inverse = batch.inverse()
    assert len(inverse) == count
    assert all_solved(batch.compose(inverse))
    assert all_solved(inverse.compose(batch))
    assert np.array_equal(inverse.inverse().to_words(), batch.to_words())


def test_inverse_is_the_replay_of_the_undoing_moves(cube_cls):
    batch, moves = scrambled_with_moves(cube_cls, 60, seed=5)
    inverse = batch.inverse()
    for i, row in enumerate(moves):
        assert words(inverse[i]) == words(replayed(cube_cls, undoing(row)))
        assert words(batch[i].inverse()) == words(inverse[i])


def test_inverse_undoes_what_inverse_scramble_undoes(cube_cls):
    cube = cube_cls()
    # Plain letters: inverse_scramble writes them back as primes that do_moves reads.
    cube.do_moves("R U F L D B R U U")
    undone = cube_cls()
    undone.do_moves(turnsmith.inverse_scramble("R U F L D B R U U"))
    assert words(cube.inverse()) == words(undone)


def test_compose_is_the_replay_of_the_joined_moves(cube_cls):
    first, first_moves = scrambled_with_moves(cube_cls, 80, seed=11)
    then, then_moves = scrambled_with_moves(cube_cls, 80, seed=12)
    composed = first.compose(then)
    for i in range(80):
        expected = words(replayed(cube_cls, first_moves[i], then_moves[i]))
        assert words(composed[i]) == expected
        assert words(first[i].compose(then[i])) == expected
    # Applying the second batch's moves to the first is the same composition.
    applied = first.take(np.arange(80))
    applied.apply_move_sequences(then_moves)
    assert np.array_equal(applied.to_words(), composed.to_words())


def test_compose_is_associative(cube_cls):
    a, b, c = (random_batch(cube_cls, 500, seed=s) for s in (1, 2, 3))
    assert np.array_equal(a.compose(b).compose(c).to_words(), a.compose(b.compose(c)).to_words())
    # (ab)^-1 = b^-1 a^-1
    assert np.array_equal(a.compose(b).inverse().to_words(), b.inverse().compose(a.inverse()).to_words())


def test_solved_is_the_identity(cube_cls):
    a = random_batch(cube_cls, 40, seed=8)
    solved = CubeBatch(40, BATCH_TYPE[cube_cls])
    assert np.array_equal(a.compose(solved).to_words(), a.to_words())
    assert np.array_equal(solved.compose(a).to_words(), a.to_words())
    assert all_solved(solved.inverse())


def test_a_batch_composes_with_itself(cube_cls):
    a = random_batch(cube_cls, 30, seed=9)
    twice = a.compose(a)
    for i in range(30):
        assert words(twice[i]) == words(a[i].compose(a[i]))


def test_single_cube_forms_return_new_cubes_and_change_nothing(cube_cls):
    cube = cube_cls()
    cube.do_moves("R U F'")
    before = words(cube)
    inverse = cube.inverse()
    composed = cube.compose(cube)
    assert type(inverse) is cube_cls and type(composed) is cube_cls
    assert inverse is not cube and composed is not cube
    assert words(cube) == before
    assert cube.compose(inverse).is_solved() and inverse.compose(cube).is_solved()


def test_compose_refusals_change_nothing(cube_cls):
    other_cls = Cube2x2 if cube_cls is Cube3x3 else Cube3x3
    batch = random_batch(cube_cls, 5, seed=4)
    before = batch.to_words().copy()
    with pytest.raises(TypeError, match="argument 'other': 'int' object is not an instance of 'CubeBatch'"):
        batch.compose(5)
    with pytest.raises(TypeError, match="same cube type"):
        batch.compose(CubeBatch(5, BATCH_TYPE[other_cls]))
    with pytest.raises(ValueError, match="argument 'other': expected 5 cubes, got 4"):
        batch.compose(CubeBatch(4, BATCH_TYPE[cube_cls]))
    with pytest.raises(TypeError):
        batch.compose()
    assert np.array_equal(batch.to_words(), before)
    cube = batch[0]
    with pytest.raises(TypeError, match=f"argument 'other': '{other_cls.__name__}' object is not an instance"):
        cube.compose(other_cls())
    with pytest.raises(TypeError):
        cube.compose(batch)
    assert words(cube) == words(batch[0])


# ---- piece arrays ------------------------------------------------------------


@pytest.mark.parametrize("count", SIZES)
def test_pieces_are_the_single_cube_views(cube_cls, count):
    batch = random_batch(cube_cls, count, seed=20 + count)
    pieces = batch.to_pieces()
    names = ["corners", "twists", "edges", "flips"] if cube_cls is Cube3x3 else ["corners", "twists"]
    assert list(pieces) == names
    for name in names:
        width = 8 if name in ("corners", "twists") else 12
        assert pieces[name].dtype == np.int8 and pieces[name].shape == (count, width)
    for i, cube in enumerate(batch):
        assert [tuple(p) for p in zip(pieces["corners"][i], pieces["twists"][i])] == cube.get_corners()
        if cube_cls is Cube3x3:
            assert [tuple(p) for p in zip(pieces["edges"][i], pieces["flips"][i])] == cube.get_edges()


@pytest.mark.parametrize("count", SIZES)
def test_pieces_round_trip(cube_cls, count):
    batch = random_batch(cube_cls, count, seed=30 + count)
    back = CubeBatch.from_pieces(batch.to_pieces(), BATCH_TYPE[cube_cls])
    assert len(back) == count
    assert np.array_equal(back.to_words(), batch.to_words())


def test_from_pieces_takes_other_integer_arrays_and_any_mapping():
    batch = random_batch(Cube3x3, 10, seed=3)
    pieces = {name: array.astype(np.int64) for name, array in batch.to_pieces().items()}

    class Pieces:  # a mapping by its keys and items, not a dict
        def keys(self):
            return pieces.keys()

        def __getitem__(self, key):
            return pieces[key]

    assert np.array_equal(CubeBatch.from_pieces(Pieces(), 3).to_words(), batch.to_words())
    as_lists = {name: array.tolist() for name, array in pieces.items()}
    assert np.array_equal(CubeBatch.from_pieces(as_lists, 3).to_words(), batch.to_words())


def impossible_pieces():
    """(name, change) pairs: each change makes the solved pieces of one row impossible."""
    def set_at(name, slot, value):
        def change(p):
            p[name][1, slot] = value
        return name, change

    def swap(name, a, b):
        def change(p):
            p[name][1, [a, b]] = p[name][1, [b, a]]
        return name, change

    return [
        set_at("twists", 2, 1),        # twist sum 1 mod 3
        set_at("twists", 2, 3),        # twist out of range
        set_at("corners", 0, 1),       # a piece twice
        set_at("flips", 3, 1),         # flip sum odd
        set_at("edges", 0, 13),        # edge piece beyond 11
        swap("edges", 0, 1),           # parities differ
    ]


@pytest.mark.parametrize("name, change", impossible_pieces(), ids=lambda v: v if isinstance(v, str) else "")
def test_from_pieces_refuses_what_from_words_refuses(name, change):
    solved = CubeBatch(3, 3)
    pieces = solved.to_pieces()
    change(pieces)
    with pytest.raises(ValueError) as from_pieces:
        CubeBatch.from_pieces(pieces, 3)
    # The same state as words: packed here, field by field.
    corner = pieces["corners"].astype(np.uint64) | (pieces["twists"].astype(np.uint64) << np.uint64(3))
    edge = pieces["edges"].astype(np.uint64) | (pieces["flips"].astype(np.uint64) << np.uint64(4))
    shifts = np.arange(12, dtype=np.uint64) * np.uint64(5)
    words_ = np.stack([(corner << shifts[:8]).sum(axis=1, dtype=np.uint64),
                       (edge << shifts).sum(axis=1, dtype=np.uint64)], axis=1)
    with pytest.raises(ValueError) as from_words:
        CubeBatch.from_words(words_, 3)
    assert str(from_pieces.value).startswith("argument 'pieces': row 1: ")
    assert str(from_pieces.value).split(": ", 2)[2] == str(from_words.value).split(": ", 2)[2]


@pytest.mark.parametrize("name, value, text", [
    ("corners", 8, "corner slot 4 holds piece 8, but corner pieces are 0..7"),
    ("corners", -1, "corner slot 4 holds piece -1, but corner pieces are 0..7"),
    ("edges", 16, "edge slot 4 holds piece 16, but edge pieces are 0..11"),
    ("flips", 2, "edge slot 4 has flip 2, but flips are 0..1"),
    ("twists", -3, "corner slot 4 has twist -3, but twists are 0..2"),
])
def test_from_pieces_names_values_out_of_range(name, value, text):
    pieces = CubeBatch(2, 3).to_pieces()
    pieces[name][0, 4] = value
    with pytest.raises(ValueError, match=f"^argument 'pieces': row 0: {text}$"):
        CubeBatch.from_pieces(pieces, 3)


def test_from_pieces_refuses_bad_arguments():
    pieces = CubeBatch(4, 3).to_pieces()
    with pytest.raises(TypeError, match="argument 'pieces': 'list' object is not an instance of 'dict'"):
        CubeBatch.from_pieces([], 3)
    with pytest.raises(TypeError, match="argument 'pieces': no 'flips', which cube type 3 needs"):
        CubeBatch.from_pieces({k: v for k, v in pieces.items() if k != "flips"}, 3)
    with pytest.raises(TypeError, match="'edges' given, but cube type 2 has no edges"):
        CubeBatch.from_pieces(pieces, 2)
    with pytest.raises(TypeError, match="unknown cube type"):
        CubeBatch.from_pieces(pieces, 4)
    short = dict(pieces, twists=pieces["twists"][:3])
    with pytest.raises(ValueError, match=r"argument 'pieces\['twists'\]': expected shape \(4, 8\), got \(3, 8\)"):
        CubeBatch.from_pieces(short, 3)
    narrow = dict(pieces, edges=pieces["edges"][:, :11])
    with pytest.raises(ValueError, match=r"expected shape \(4, 12\), got \(4, 11\)"):
        CubeBatch.from_pieces(narrow, 3)
    with pytest.raises(ValueError, match="row 0"):
        CubeBatch.from_pieces(dict(pieces, corners=pieces["corners"].astype(np.int64) + 300), 3)


# ---- one-hot inputs -----------------------------------------------------------------


def numpy_one_hot(batch, dtype):
    stickers = batch.to_sticker_array()
    return np.eye(6, dtype=dtype)[stickers].reshape(len(batch), stickers.shape[1] * 6)


@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.uint8], ids=lambda d: d.__name__)
@pytest.mark.parametrize("count", SIZES)
def test_one_hot_is_numpys_encoding_of_the_stickers(cube_cls, dtype, count):
    batch = random_batch(cube_cls, count, seed=40 + count)
    out = batch.to_one_hot(dtype)
    assert out.dtype == dtype and out.shape == (count, STICKER_DIM[cube_cls] * 6)
    assert out.flags.c_contiguous and out.flags.writeable
    assert np.array_equal(out, numpy_one_hot(batch, dtype))


def test_one_hot_defaults_to_float32_and_float16_ones_are_their_bits():
    batch = random_batch(Cube3x3, 3, seed=2)
    assert batch.to_one_hot().dtype == np.float32
    assert batch.to_one_hot(dtype="float32").dtype == np.float32
    bits = batch.to_one_hot(np.float16).view(np.uint16)
    assert set(np.unique(bits)) == {0, 0x3C00}
    assert (bits != 0).sum(axis=1).tolist() == [54, 54, 54]


@pytest.mark.parametrize("dtype", [np.float64, np.int64, np.int8, np.bool_, ">f4", None])
def test_one_hot_refuses_other_dtypes(dtype):
    with pytest.raises(ValueError, match="argument 'dtype': expected float32, float16 or uint8"):
        CubeBatch(2, 3).to_one_hot(dtype)


def test_one_hot_passes_on_what_numpy_cannot_read():
    with pytest.raises(TypeError, match="^argument 'dtype': "):
        CubeBatch(2, 2).to_one_hot("not a dtype")
