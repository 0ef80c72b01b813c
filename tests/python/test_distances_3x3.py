"""Exact distances of the 3x3 in quarter turns: distances(), distance(),
lower_bounds() and optimal solutions, against searches written here."""

import itertools

import pytest

from cubehelpers import run_script, word_corner_parity
from turnsmith import Cube2x2, Cube3x3, CubeBatch

np = pytest.importorskip("numpy")

PUBLISHED_COUNTS = [1, 12, 114, 1068, 10011, 93840, 878880]
NAMES = ("U", "U'", "D", "D'", "R", "R'", "L", "L'", "F", "F'", "B", "B'")


def keys(words):
    """Rows of words as hashable, sortable 16-byte values."""
    return np.ascontiguousarray(words).view(np.dtype((np.void, 16))).ravel()


@pytest.fixture(scope="module")
def levels():
    """The 3x3's states by distance 0..6 from a breadth-first search. A quarter
    turn flips the corners' parity, so no turn stays within a level: level d+1
    is what level d reaches, less level d-1."""
    found = [CubeBatch(1, 3).to_words()]
    previous = keys(found[0][:0])
    while len(found) < len(PUBLISHED_COUNTS):
        reached = CubeBatch.from_words(found[-1], 3).get_next_batch().to_words()
        reached_keys, first = np.unique(keys(reached), return_index=True)
        fresh = ~np.isin(reached_keys, previous)
        previous = keys(found[-1])
        found.append(reached[first[fresh]])
    return found


def replayed(words, rows):
    batch = CubeBatch.from_words(words, 3)
    batch.apply_move_sequences(rows)
    return batch


@pytest.fixture(scope="module")
def scrambled():
    """Cubes 8 to 12 quarter turns from solved, their distances known."""
    batch = CubeBatch(150, 3)
    batch.scramble_with_moves(np.repeat(np.arange(8, 13), 30), seed=18, avoid_inverse=True)
    return batch, batch.distances()


def test_breadth_first_counts_are_the_published_ones(levels):
    assert [len(level) for level in levels] == PUBLISHED_COUNTS


def test_distances_agree_with_every_state_to_depth_six(levels):
    for depth, words in enumerate(levels):
        distances = CubeBatch.from_words(words, 3).distances()
        assert distances.dtype == np.uint8 and distances.shape == (len(words),)
        assert (distances == depth).all(), depth


def test_single_cubes_agree(levels):
    for depth, words in enumerate(levels):
        for row in words[:: max(1, len(words) // 5)]:
            cube = Cube3x3.from_words(*map(int, row))
            assert cube.distance() == depth == cube.distance(modulo_rotation=True)


def test_bounds_lie_around_the_distance(scrambled):
    batch, distances = scrambled
    lower = batch.lower_bounds()
    _, two_phase = batch.solutions(return_lengths=True)
    assert lower.dtype == np.uint8 and lower.shape == (len(batch),)
    assert (lower <= distances).all() and (distances <= two_phase).all()
    assert (distances <= 12).all() and (lower >= 6).mean() > 0.5


def test_lower_bounds_of_random_states_stay_below_two_phase_lengths():
    batch = CubeBatch(20000, 3)
    batch.randomize(seed=99)
    lower = batch.lower_bounds()
    assert 10 <= lower.mean() <= 12  # a strong bound, not a trivial one
    assert (lower <= 20).all()  # random states lie 14 to 23 turns away
    parities = np.array([word_corner_parity(w) for w in batch.to_words()[:, 0]])
    assert (lower % 2 == parities).all()  # the parity of the state
    some = batch.take(range(8))
    _, lengths = some.solutions(return_lengths=True)
    assert (lower[:8] <= lengths).all()


def test_distances_have_the_corners_parity(scrambled):
    batch, distances = scrambled
    assert [word_corner_parity(w) for w in batch.to_words()[:, 0]] == (distances % 2).tolist()


def test_optimal_solutions_replay_in_exactly_the_distance(scrambled):
    batch, distances = scrambled
    before = batch.to_words()
    rows, lengths = batch.solutions(optimal=True, return_lengths=True)
    assert rows.shape == (len(batch), 26) and np.array_equal(lengths, distances)
    assert np.array_equal(batch.to_words(), before)
    assert replayed(before, rows).is_solved().all()
    assert ((rows >= 0).sum(axis=1) == lengths).all()
    for i in range(0, len(batch), 29):
        text = batch[i].solve(optimal=True)
        assert text.split() == [NAMES[m] for m in rows[i] if m >= 0]


def test_no_shorter_solution_meets_the_breadth_first_levels(levels, scrambled):
    """Meet in the middle: a cube at distance d has no solution of d - 2 turns
    (d - 1 has the wrong parity) when nothing d - 8 turns from it lies within
    six turns of solved."""
    batch, distances = scrambled
    near = np.sort(np.concatenate([keys(level) for level in levels]))
    for d in (10, 12):
        for i in np.flatnonzero(distances == d)[:8]:
            reached = batch.take([i])
            for _ in range(d - 2 - (len(levels) - 1)):
                reached = reached.get_next_batch()
            assert not np.isin(keys(reached.to_words()), near).any()


def test_the_positional_order_puts_optimal_second(scrambled):
    batch, distances = scrambled
    some = batch.take(range(10))
    rows, lengths = some.solutions(None, True, None, True)
    assert np.array_equal(lengths, distances[:10])
    assert np.array_equal(rows, some.solutions(optimal=True))


def lexicographically_first(words, depth):
    """The first sequence of `depth` move indexes, in lexicographic order, that
    solves the state: every sequence tried at once."""
    sequences = np.array(list(itertools.product(range(12), repeat=depth)), dtype=np.int8)
    batch = CubeBatch.from_words(np.repeat(words[None, :], len(sequences), axis=0), 3)
    batch.apply_move_sequences(sequences)
    return sequences[np.argmax(batch.is_solved())].tolist()


@pytest.mark.parametrize("depth", [2, 3, 4])
def test_optimal_solutions_are_the_lexicographically_least(levels, depth):
    words = levels[depth][np.random.default_rng(depth).choice(len(levels[depth]), 12, replace=False)]
    rows = CubeBatch.from_words(words, 3).solutions(max_length=depth, optimal=True)
    for row, state in zip(rows, words):
        assert row.tolist() == lexicographically_first(state, depth)


def test_bounds_below_the_distance(levels):
    words = np.stack([levels[5][3], levels[2][0], levels[0][0]])
    rows, lengths = CubeBatch.from_words(words, 3).solutions(max_length=4, optimal=True, return_lengths=True)
    assert lengths.tolist() == [-1, 2, 0] and (rows[0] == -1).all()
    with pytest.raises(ValueError, match="no solution of at most 4 quarter turns exists"):
        Cube3x3.from_words(*map(int, levels[5][3])).solve(max_length=4, optimal=True)


# ---- known answers as upper bounds ------------------------------------------------------


def as_given(bounds, dtype):
    return bounds.tolist() if dtype is list else bounds.astype(dtype)


@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.int64, list])
@pytest.mark.parametrize("extra", [0, 1, 2, None])
def test_upper_bounds_leave_the_distances_as_they_are(scrambled, extra, dtype):
    """A bound of the distance, or one or two more, with every third row (or
    every row, for None) unknown. A bound of the other parity is one above the
    largest the distance can be."""
    batch, distances = scrambled
    bounds = np.full(len(batch), -1) if extra is None else distances.astype(np.int64) + extra
    bounds[::3] = -1
    assert np.array_equal(batch.distances(upper_bounds=as_given(bounds, dtype)), distances)


def test_upper_bounds_of_a_2x2_are_checked_against_its_distances():
    batch = CubeBatch(3000, 2)
    batch.randomize(seed=12)
    for modulo_rotation in (False, True):
        exact = batch.distances(modulo_rotation=modulo_rotation).astype(np.int64)
        assert np.array_equal(batch.distances(modulo_rotation, upper_bounds=exact), exact)
        row = int(np.flatnonzero(exact > 0)[-1])
        exact[row] -= 1
        with pytest.raises(ValueError, match=rf"^upper_bounds\[{row}\] is {exact[row]}, below the distance of "
                                             rf"cube {row} \(at least {exact[row] + 1} quarter turns\)$"):
            batch.distances(modulo_rotation, upper_bounds=exact)


def test_an_upper_bound_below_the_lower_bound_is_refused(scrambled):
    batch, distances = scrambled
    lower = batch.lower_bounds()
    row = int(np.flatnonzero(lower >= 8)[1])
    bounds = distances.astype(np.int64)
    bounds[row] = lower[row] - 2
    message = (rf"^upper_bounds\[{row}\] is {lower[row] - 2}, below the distance of cube {row} "
               rf"\(at least {lower[row]} quarter turns\)$")
    with pytest.raises(ValueError, match=message):
        batch.distances(upper_bounds=bounds)


def test_upper_bounds_are_checked_before_any_search():
    """Cube 0, uniformly random, would take minutes to hours to search."""
    script = """
        import turnsmith
        batch = turnsmith.CubeBatch(2, 3)
        batch.randomize(seed=3)
        lower = batch.lower_bounds()
        try:
            batch.distances(upper_bounds=[-1, int(lower[1]) - 1])
        except ValueError as error:
            print(error)
    """
    assert run_script(script).startswith("upper_bounds[1] is ")


@pytest.mark.parametrize("bounds, error, message", [
    (np.zeros(149, np.int64), ValueError, r"^argument 'upper_bounds': expected shape \(150,\), got \(149,\)$"),
    (np.zeros((150, 1), np.int64), ValueError,
     r"^argument 'upper_bounds': expected shape \(150,\), got \(150, 1\)$"),
    (np.zeros(150), TypeError, r"^argument 'upper_bounds': expected integers"),
    (np.zeros(150, bool), TypeError, r"^argument 'upper_bounds': expected integers"),
    ("twelve", TypeError, r"^argument 'upper_bounds': expected integers"),
])
def test_upper_bounds_of_another_shape_or_type_are_refused(scrambled, bounds, error, message):
    batch, _ = scrambled
    with pytest.raises(error, match=message):
        batch.distances(upper_bounds=bounds)


def test_corners_of_a_2x2_are_no_closer_than_the_2x2():
    small = CubeBatch(5000, 2)
    small.randomize(seed=4)
    exact = small.distances()
    assert np.array_equal(small.lower_bounds(), exact)
    # With the edges solved, only corners of an even permutation (an even
    # distance) make a state.
    even = exact % 2 == 0
    corners, exact = small.to_words().reshape(-1)[even], exact[even]
    words = np.stack([corners, np.full_like(corners, 0x5a928398a418820)], axis=1)
    big = CubeBatch.from_words(words, 3)
    assert (big.lower_bounds() >= exact).all()
    _, lengths = big.take(range(16)).solutions(return_lengths=True)
    assert (lengths >= exact[:16]).all()


def test_turns_of_opposite_layers():
    cube = Cube3x3()
    cube.do_moves("U D'")
    assert cube.distance() == 2 and cube.solve(optimal=True) == "U' D"


# ---- determinism -----------------------------------------------------------------------

DIGEST = """
    import hashlib, numpy, turnsmith
    batch = turnsmith.CubeBatch(40, 3)
    batch.scramble_with_moves(numpy.full(40, 13), seed=7, avoid_inverse=True)
    rows = batch.solutions(optimal=True)
    order = list(range(20, 40)) + list(range(20))
    assert (batch.take(order).solutions(optimal=True) == rows[order]).all()
    # A few cubes: each searched by every worker, subtree by subtree.
    assert (batch.take(range(4)).solutions(optimal=True) == rows[:4]).all()
    print(hashlib.sha256(rows.tobytes() + batch.distances().tobytes()).hexdigest())
"""


def test_the_same_answers_whatever_the_workers():
    digests = {run_script(DIGEST, RAYON_NUM_THREADS=str(n)) for n in (1, 2, 5)}
    assert len(digests) == 1


@pytest.mark.parametrize("count, turns, seed", [(300, 10, 11), (16, 16, 5)])
def test_one_cube_on_every_worker_keeps_the_least_solution(count, turns, seed):
    """A single cube's deepenings are shared out by subtrees: a later subtree
    that finds a solution first must yield to an earlier one's. States of ten
    turns often have several optimal solutions in different subtrees; those
    of sixteen are cut three and four turns deep, thousands of subtrees. A
    batch of many cubes searches each cube alone, in order."""
    batch = CubeBatch(count, 3)
    batch.scramble_with_moves(np.full(count, turns), seed=seed, avoid_inverse=True)
    rows, lengths = batch.solutions(optimal=True, return_lengths=True)
    assert lengths.max() >= turns
    alone = [" ".join(NAMES[m] for m in row if m >= 0) for row in rows]
    assert [batch[i].solve(optimal=True) for i in range(len(batch))] == alone
