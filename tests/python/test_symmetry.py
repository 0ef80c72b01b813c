"""The 48 symmetries on batches: symmetric(), SYMMETRY_MOVES, canonical(), and
scrambles drawn canonically. References are replays of recorded moves, the
2x2's distance table, and minimums taken in NumPy."""

import numpy as np
import pytest

from turnsmith import CubeBatch

# The 2x2's 88,179,840 states fall into this many classes under the 48
# symmetries, as Burnside's lemma counts them (tests/cpp/test_symmetries.cpp).
CLASSES_2X2 = 1_841_970
STATES_2X2 = 88_179_840


def words_2d(batch):
    words = batch.to_words()
    return words.reshape(len(batch), -1)


def scrambled(cube_type, count, length, seed):
    batch = CubeBatch(count, cube_type)
    moves = batch.scramble_with_moves(np.full(count, length), seed=seed)
    return batch, moves


def replayed(cube_type, moves):
    batch = CubeBatch(len(moves), cube_type)
    batch.apply_move_sequences(moves)
    return batch


def mapped(moves, k):
    """Move rows through SYMMETRY_MOVES[k] (k one int or one per row)."""
    table = CubeBatch.SYMMETRY_MOVES
    rows = table[np.broadcast_to(np.asarray(k), (len(moves),))]
    out = np.take_along_axis(rows, np.maximum(moves, 0).astype(np.int64), axis=1)
    return np.where(moves < 0, -1, out).astype(np.int8)


def inverted(moves):
    """Each row's moves undone: reversed, each move by its inverse (2k <-> 2k+1)."""
    out = np.full_like(moves, -1)
    for i, row in enumerate(moves):
        row = row[row >= 0][::-1]
        out[i, : len(row)] = row ^ 1
    return out


@pytest.fixture(params=[2, 3], ids=["2x2", "3x3"])
def cube_type(request):
    return request.param


def test_symmetry_moves_is_a_read_only_table_of_permutations():
    table = CubeBatch.SYMMETRY_MOVES
    assert table.dtype == np.int8 and table.shape == (48, 12)
    assert not table.flags.writeable
    with pytest.raises(ValueError):
        table[0, 0] = 1
    assert (table[0] == np.arange(12)).all()
    assert (np.sort(table, axis=1) == np.arange(12)).all()
    # Turns keep their direction under the 24 whole-cube turns, mirrors reverse it.
    same_direction = (table % 2) == (np.arange(12) % 2)
    assert same_direction[:24].all() and not same_direction[24:].any()
    assert CubeBatch(1, 2).SYMMETRY_MOVES is not None


def test_images_replay_the_mapped_moves(cube_type):
    batch, moves = scrambled(cube_type, 96, 25, seed=1)
    ks = np.arange(96) % 48
    expected = words_2d(replayed(cube_type, mapped(moves, ks)))
    assert (words_2d(batch.symmetric(ks)) == expected).all()
    for k in (0, 5, 24, 47):
        assert (words_2d(batch.symmetric(k)) == words_2d(replayed(cube_type, mapped(moves, k)))).all()
    assert (words_2d(batch.symmetric(np.int64(0))) == words_2d(batch)).all()


def test_the_48_form_a_group_on_states(cube_type):
    batch, _ = scrambled(cube_type, 3, 30, seed=2)
    images = [words_2d(batch.symmetric(k)) for k in range(48)]
    number = {images[k].tobytes(): k for k in range(48)}
    # All different on states with no symmetry of their own; 0 is the identity.
    assert len(number) == 48
    assert number[words_2d(batch).tobytes()] == 0
    for a in range(48):
        image = CubeBatch.from_words(images[a], cube_type)
        composites = [number.get(words_2d(image.symmetric(b)).tobytes()) for b in range(48)]
        # Closure: each composite is one of the 48, each once; one of them is the identity.
        assert sorted(composites) == list(range(48)), a


@pytest.fixture(scope="module")
def table_2x2():
    """A 2x2 batch whose distance table is built (once per process)."""
    batch = CubeBatch(1, 2)
    batch.distances()
    return batch


@pytest.mark.parametrize("modulo_rotation", [False, True])
def test_2x2_distances_are_the_same_for_every_image(table_2x2, modulo_rotation):
    batch = CubeBatch(500, 2)
    batch.randomize(seed=3)
    before = batch.distances(modulo_rotation=modulo_rotation)
    for k in range(48):
        assert (batch.symmetric(k).distances(modulo_rotation=modulo_rotation) == before).all(), k


def test_3x3_solutions_map_to_solutions_of_the_images():
    batch, _ = scrambled(3, 48, 12, seed=4)
    solutions = batch.solutions()
    ks = np.arange(48)
    images = batch.symmetric(ks)
    images.apply_move_sequences(mapped(solutions, ks))
    assert images.is_solved().all()
    # A mirror's turns kept in their own direction would not solve.
    wrong = batch.symmetric(np.full(48, 24))
    table = CubeBatch.SYMMETRY_MOVES
    turned = np.where(solutions < 0, -1, table[24][np.maximum(solutions, 0)] ^ 1).astype(np.int8)
    wrong.apply_move_sequences(turned)
    assert not wrong.is_solved().any()


def plain_least(words_by_image):
    """The least row of each cube's images (list of (N, W) arrays), corner word first."""
    stacked = np.stack(words_by_image, axis=1)  # (N, images, W)
    out = []
    for rows in stacked:
        out.append(min(tuple(int(x) for x in row) for row in rows))
    return np.array(out, dtype=np.uint64)


@pytest.mark.parametrize("inverse", [False, True])
def test_canonical_is_the_least_image(cube_type, inverse):
    batch, moves = scrambled(cube_type, 200, 30, seed=5)
    # A few states with symmetries of their own: half turns only.
    halves, _ = scrambled(cube_type, 50, 0, seed=0)
    half_moves = np.repeat(np.random.default_rng(6).integers(0, 6, (50, 4)) * 2, 2, axis=1).astype(np.int8)
    halves.apply_move_sequences(half_moves)
    batch = CubeBatch.concatenate([batch, halves, CubeBatch(1, cube_type)])
    all_moves = np.full((len(batch), 30), -1, dtype=np.int8)
    all_moves[:200] = moves
    all_moves[200:250, :8] = half_moves
    images = [words_2d(batch.symmetric(k)) for k in range(48)]
    if inverse:
        undone = replayed(cube_type, inverted(all_moves))
        assert undone.take(np.arange(200)).is_solved().sum() == 0
        images += [words_2d(undone.symmetric(k)) for k in range(48)]
    expected = plain_least(images).reshape(len(batch), -1)
    got = words_2d(batch.canonical(inverse=inverse))
    assert (got == expected).all()
    # Every member of a class has the same representative.
    assert (words_2d(batch.symmetric(np.arange(len(batch)) % 48).canonical(inverse=inverse)) == got).all()


def test_empty_and_single_batches(cube_type):
    empty = CubeBatch(0, cube_type)
    assert len(empty.canonical()) == 0 and len(empty.symmetric(3)) == 0
    assert len(empty.symmetric(np.zeros(0, dtype=np.int64))) == 0
    one = CubeBatch(1, cube_type)
    assert one.canonical(inverse=True).is_solved().all()
    assert one.symmetric([47]).is_solved().all()


@pytest.mark.parametrize(
    "call, error, pattern",
    [
        (lambda b: b.symmetric(48), ValueError, r"^argument 'k': 48 is not a symmetry: symmetries are 0\.\.47$"),
        (lambda b: b.symmetric(-1), ValueError, r"-1 is not a symmetry"),
        (lambda b: b.symmetric(np.array([0, 1, 2, 3, 48])), ValueError,
         r"^argument 'k': position 4 holds 48, but symmetries are 0\.\.47$"),
        (lambda b: b.symmetric(np.zeros(4, dtype=np.int64)), ValueError,
         r"^argument 'k': expected an int or shape \(5,\), got \(4,\)$"),
        (lambda b: b.symmetric(np.zeros((5, 1), dtype=np.int64)), ValueError, r"expected an int or shape"),
        (lambda b: b.symmetric(1.0), TypeError, r"^argument 'k': "),
        (lambda b: b.symmetric(), TypeError, r"missing 1 required positional argument: 'k'"),
        (lambda b: b.canonical(1, 2), TypeError, r"takes from 0 to 1 positional arguments but 2 were given"),
        (lambda b: b.scramble_with_moves(np.ones(5, dtype=np.int64), None, False, False, None, 1), TypeError,
         r"takes from 1 to 5 positional arguments but 6"),
    ],
)
def test_refusals_change_nothing(cube_type, call, error, pattern):
    batch, _ = scrambled(cube_type, 5, 10, seed=7)
    before = words_2d(batch).copy()
    with pytest.raises(error, match=pattern):
        call(batch)
    assert (words_2d(batch) == before).all()


def test_symmetric_and_canonical_refuse_other_receivers():
    with pytest.raises(TypeError):
        CubeBatch.canonical(object())
    with pytest.raises(TypeError):
        CubeBatch.symmetric(object(), 1)


# ---- canonical scrambles --------------------------------------------------------------

def check_canonical_rows(moves, lengths):
    for row, length in zip(moves.tolist(), lengths):
        row = row[:length]
        assert -1 not in row and len(row) == length
        for i in range(1, len(row)):
            a, b = row[i - 1], row[i]
            assert a ^ 1 != b, row
            if a // 2 == b // 2:  # one face twice: X X only, never three times
                assert a % 2 == 0 and (i < 2 or row[i - 2] != a), row
            elif a // 4 == b // 4:  # the two faces of one axis: U before D
                assert a < b, row
            if i >= 2 and row[i - 2] // 4 == a // 4 == b // 4:
                assert row[i - 2] // 2 == a // 2 or a // 2 == b // 2, row


def test_canonical_scrambles_keep_the_rule_and_replay(cube_type):
    lengths = np.arange(300) % 40
    batch = CubeBatch(300, cube_type)
    moves = batch.scramble_with_moves(lengths, seed=8, canonical=True)
    check_canonical_rows(moves, lengths)
    assert (words_2d(replayed(cube_type, moves)) == words_2d(batch)).all()
    again = CubeBatch(300, cube_type).scramble_with_moves(lengths, seed=8, avoid_inverse=True, canonical=True)
    assert (again == moves).all()
    # All twelve moves start scrambles, and X X does come up.
    assert set(moves[:, 0].tolist()) - {-1} == set(range(12))
    assert ((moves[:, 1:] == moves[:, :-1]) & (moves[:, 1:] >= 0)).any()


@pytest.mark.parametrize("length, exact", [(3, 1.0), (4, 0.96)])
def test_canonical_scrambles_come_closer_to_the_2x2_distances(table_2x2, length, exact):
    # Every canonical 2x2 scramble of three moves is three moves from solved,
    # and of four nearly every one; with avoid_inverse alone clearly fewer.
    def share_exact(**rule):
        batch = CubeBatch(5000, 2)
        batch.scramble_with_moves(np.full(5000, length), seed=9, **rule)
        return (batch.distances() == length).mean()

    assert share_exact(canonical=True) >= exact > share_exact(avoid_inverse=True) + 0.02


def test_the_2x2_has_the_counted_number_of_classes():
    representatives = 0
    chunk = 1 << 23
    for start in range(0, STATES_2X2, chunk):
        ranks = np.arange(start, min(start + chunk, STATES_2X2), dtype=np.int64)
        batch = CubeBatch.from_ranks(ranks, 2)
        representatives += int((batch.canonical().to_words() == batch.to_words()).sum())
    assert representatives == CLASSES_2X2
