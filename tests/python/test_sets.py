"""Batches as sets of states: keys against a reference hash written here,
unique, isin and StateSet against plain Python sets and dicts of word tuples,
on small batches and on batches large enough to take the parallel paths."""

import threading

import pytest

import turnsmith
from turnsmith import CubeBatch, StateSet

np = pytest.importorskip("numpy")

MASK = (1 << 64) - 1
# Above the size below which a batch is sorted or hashed on the calling thread.
LARGE = 70_000


def mix64(x):
    """MurmurHash3's 64-bit finaliser, as the published key uses it."""
    x ^= x >> 33
    x = (x * 0xFF51AFD7ED558CCD) & MASK
    x ^= x >> 33
    x = (x * 0xC4CEB9FE1A85EC53) & MASK
    x ^= x >> 33
    return x


def reference_key(row):
    return int(row[0]) if len(row) == 1 else mix64(mix64(int(row[0])) ^ int(row[1]))


def rows_of(batch):
    """The words of every cube as tuples of Python ints."""
    words = batch.to_words()
    return [tuple(int(w) for w in np.atleast_1d(row)) for row in words]


def batch_with_repeats(cube_type, count, seed, longest=4):
    """Cubes scrambled by at most `longest` moves: few states, many repeats."""
    batch = CubeBatch(count, cube_type)
    batch.scramble(np.random.default_rng(seed).integers(0, longest + 1, count))
    return batch


def random_batch(cube_type, count, seed):
    batch = CubeBatch(count, cube_type)
    batch.randomize(seed=seed)
    return batch


def all_equal(cube_type, count):
    batch = CubeBatch(count, cube_type)
    batch.apply_move_indexes(np.full(count, 4, dtype=np.uint64))
    return batch


# Each case: a name and a maker of the batch, for both cube types.
CASES = {
    "empty": lambda t: CubeBatch(0, t),
    "one": lambda t: random_batch(t, 1, 5),
    "all equal": lambda t: all_equal(t, 9),
    "repeats": lambda t: batch_with_repeats(t, 300, 1),
    "random": lambda t: random_batch(t, 200, 2),
    "large repeats": lambda t: batch_with_repeats(t, LARGE, 3, longest=5),
    "large all equal": lambda t: all_equal(t, LARGE),
    "large mixed": lambda t: CubeBatch.concatenate([random_batch(t, LARGE // 2, 4), batch_with_repeats(t, LARGE, 6)]),
}
CASE_IDS = list(CASES)


@pytest.fixture(params=[3, 2], ids=["3x3", "2x2"])
def cube_type(request):
    return request.param


@pytest.fixture(params=CASE_IDS)
def batch(request, cube_type):
    return CASES[request.param](cube_type)


# --- keys -------------------------------------------------------------------------


def test_keys_are_the_published_hash(batch):
    keys = batch.keys()
    assert keys.dtype == np.uint64 and keys.shape == (len(batch),)
    assert [int(k) for k in keys] == [reference_key(row) for row in rows_of(batch)]


def test_the_keys_of_the_solved_states_stay_what_they_are():
    assert int(CubeBatch(1, 3).keys()[0]) == 0xAB87E6041EED8AD6
    assert int(CubeBatch(1, 2).keys()[0]) == 0x398A418820


# --- unique -----------------------------------------------------------------------


def reference_unique(rows, order):
    """Distinct rows, first places, every row's position, counts: by a dict in batch order."""
    first = {}
    counts = {}
    for i, row in enumerate(rows):
        first.setdefault(row, i)
        counts[row] = counts.get(row, 0) + 1
    distinct = sorted(first) if order == "sorted" else list(first)
    position = {row: p for p, row in enumerate(distinct)}
    return (distinct, [first[r] for r in distinct], [position[r] for r in rows], [counts[r] for r in distinct])


@pytest.mark.parametrize("order", ["sorted", "first"])
def test_unique_gives_what_a_dict_of_the_words_gives(batch, order):
    rows = rows_of(batch)
    distinct, index, inverse, counts = reference_unique(rows, order)
    result, got_index, got_inverse, got_counts = batch.unique(
        order=order, return_index=True, return_inverse=True, return_counts=True)
    assert isinstance(result, CubeBatch)
    assert rows_of(result) == distinct
    for array, expected in ((got_index, index), (got_inverse, inverse), (got_counts, counts)):
        assert array.dtype == np.int64 and array.ndim == 1
        assert array.tolist() == expected
    # Without the flags: the same states.
    assert rows_of(batch.unique(order=order)) == distinct


@pytest.mark.parametrize("flags", [(i, v, c) for i in (False, True) for v in (False, True) for c in (False, True)])
def test_unique_returns_what_numpy_unique_returns_for_each_set_of_flags(flags):
    batch = batch_with_repeats(3, 500, 7)
    structured = np.ascontiguousarray(batch.to_words()).view([("c", "<u8"), ("e", "<u8")]).ravel()
    names = ("return_index", "return_inverse", "return_counts")
    kwargs = dict(zip(names, flags))
    ours = batch.unique(**kwargs)
    theirs = np.unique(structured, **kwargs)
    if not any(flags):
        ours, theirs = (ours,), (theirs,)
    assert isinstance(ours, tuple) and len(ours) == len(theirs)
    assert np.array_equal(np.ascontiguousarray(ours[0].to_words()).view(structured.dtype).ravel(), theirs[0])
    for mine, numpys in zip(ours[1:], theirs[1:]):
        assert np.array_equal(mine, numpys.ravel())


def test_unique_rebuilds_the_batch_through_its_inverse(cube_type):
    batch = CASES["large mixed"](cube_type)
    for order in ("sorted", "first"):
        result, inverse = batch.unique(order=order, return_inverse=True)
        assert np.array_equal(result.to_words()[inverse], batch.to_words())


# --- isin -------------------------------------------------------------------------


@pytest.mark.parametrize("other_case", ["empty", "one", "repeats", "large repeats"])
def test_isin_tells_which_states_are_in_the_other_batch(batch, cube_type, other_case):
    other = CASES[other_case](cube_type)
    known = set(rows_of(other))
    found = batch.isin(other)
    assert found.dtype == np.bool_ and found.shape == (len(batch),)
    assert found.tolist() == [row in known for row in rows_of(batch)]


def test_a_batch_is_in_itself(batch):
    assert batch.isin(batch).all()


def edge_word(pieces, flips=()):
    return sum((piece + 16 * (slot in flips)) << (5 * slot) for slot, piece in enumerate(pieces))


def same_corners_batch():
    """Solved corners, and edges solved, cycled or flipped: states told apart by their edges alone."""
    solved = list(range(12))
    edges = [edge_word(solved), edge_word([1, 2, 0, *solved[3:]]), edge_word(solved, (4, 7)),
             edge_word([2, 0, 1, *solved[3:]], (0, 11))]
    return CubeBatch.from_words(np.array([[0x398A418820, e] for e in edges], dtype=np.uint64), 3)


def test_states_that_share_their_corners_are_told_apart():
    batch = same_corners_batch()
    solved = CubeBatch(1, 3)
    assert batch.isin(solved).tolist() == [True, False, False, False]
    assert len(batch.unique()) == 4 and len(batch.unique(order="first")) == 4
    states = StateSet(3)
    assert states.add(solved).tolist() == [True]
    assert states.contains(batch).tolist() == [True, False, False, False]
    assert states.add(batch).tolist() == [False, True, True, True]


# --- StateSet ---------------------------------------------------------------------


def test_a_state_set_grows_as_a_python_set_does(cube_type):
    states = StateSet(cube_type)
    assert states.cube_type == cube_type and len(states) == 0 and states.len() == 0
    known = set()
    for case in ("repeats", "one", "large repeats", "empty", "large mixed", "repeats"):
        batch = CASES[case](cube_type)
        rows = rows_of(batch)
        before = set(known)
        expected_contains = [row in before for row in rows]
        assert states.contains(batch).tolist() == expected_contains
        expected_new = []
        for row in rows:
            expected_new.append(row not in known)
            known.add(row)
        fresh = states.add(batch)
        assert fresh.dtype == np.bool_ and fresh.shape == (len(batch),)
        assert fresh.tolist() == expected_new
        assert len(states) == states.len() == len(known)
        assert states.contains(batch).all()


def test_many_threads_share_one_state_set():
    batch = CubeBatch.concatenate([random_batch(3, 2 * LARGE, 11), batch_with_repeats(3, 2 * LARGE, 11)])
    distinct = len(set(rows_of(batch)))
    parts = [batch.take(np.arange(k, len(batch), 8)) for k in range(8)]
    # Each thread adds the next thread's part in small slices (added on the
    # calling thread), then its own whole (on the pool), so that every state
    # is added by two threads and calls overlap on the pool and off it.
    slices = [[part.take(np.arange(at, min(at + 2000, len(part)))) for at in range(0, len(part), 2000)]
              for part in parts]
    # A few rounds: the threads overlap differently each time.
    for _ in range(10):
        states = StateSet(3)
        new_counts = [0] * len(parts)
        failures = []
        start = threading.Barrier(len(parts))

        def work(k):
            try:
                start.wait()
                for piece in slices[(k + 1) % len(parts)]:
                    new_counts[k] += int(states.add(piece).sum())
                    assert states.contains(piece).all()
                new_counts[k] += int(states.add(parts[k]).sum())
                assert states.contains(parts[k]).all()
                assert len(states) <= distinct
            except BaseException as error:  # reported below
                failures.append(error)

        threads = [threading.Thread(target=work, args=(k,)) for k in range(len(parts))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert failures == []
        # Each distinct state was new to exactly one call.
        assert sum(new_counts) == distinct == len(states)
        assert states.contains(batch).all()


# --- refusals ---------------------------------------------------------------------

BAD_CALLS = [
    (lambda b, s: b.isin([b]), TypeError, r"^argument 'other': 'list' object is not an instance of 'CubeBatch'"),
    (lambda b, s: b.isin(CubeBatch(1, 2)), TypeError, r"^CubeBatch\.isin\(\) expects a batch of 3x3 cubes"),
    (lambda b, s: b.isin(), TypeError, r"missing"),
    (lambda b, s: b.unique(order="last"), ValueError, r"^argument 'order': expected 'sorted' or 'first', got 'last'"),
    (lambda b, s: b.unique(order=1), TypeError, r"^argument 'order': "),
    (lambda b, s: b.unique("sorted", True, True, True, True), TypeError, r"from 0 to 4 positional arguments but 5"),
    (lambda b, s: b.keys(1), TypeError, r"takes no arguments"),
    (lambda b, s: s.add(CubeBatch(1, 2)), TypeError, r"^StateSet\.add\(\) expects a batch of 3x3 cubes"),
    (lambda b, s: s.add(turnsmith.Cube3x3()), TypeError, r"^argument 'batch': 'Cube3x3' object is not"),
    (lambda b, s: s.contains(CubeBatch(1, 2)), TypeError, r"^StateSet\.contains\(\) expects a batch of 3x3"),
    (lambda b, s: s.contains(b.to_words()), TypeError, r"^argument 'batch': "),
    (lambda b, s: StateSet(4), TypeError, r"unknown cube type"),
    (lambda b, s: StateSet(), TypeError, r"missing"),
    (lambda b, s: StateSet.add(b, b), TypeError, r"StateSet"),
]


@pytest.mark.parametrize("call, error, pattern", BAD_CALLS, ids=range(len(BAD_CALLS)))
def test_a_refused_call_changes_nothing(call, error, pattern):
    batch = batch_with_repeats(3, 50, 9)
    states = StateSet(3)
    states.add(batch.take(np.arange(10)))
    before = rows_of(batch), states.contains(batch).tolist(), len(states)
    with pytest.raises(error, match=pattern):
        call(batch, states)
    assert (rows_of(batch), states.contains(batch).tolist(), len(states)) == before


def test_state_set_stays_out_of_all():
    assert "StateSet" not in turnsmith.__all__
    assert turnsmith.StateSet is StateSet
