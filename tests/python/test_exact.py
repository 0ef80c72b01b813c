"""Exact answers for the 2x2: state numbers, distances and optimal solutions."""

import os

import pytest

from cubehelpers import run_script
from turnsmith import Cube2x2, CubeBatch

np = pytest.importorskip("numpy")

STATES = 88_179_840
COUNTS = [1, 12, 114, 924, 6539, 39528, 199926, 806136, 2761740, 8656152, 22334112,
          32420448, 18780864, 2166720, 6624]
CLASS_COUNTS = [1, 6, 27, 120, 534, 2256, 8969, 33058, 114149, 360508, 930588, 1350852,
                782536, 90280, 276]
FACTORIALS = [5040, 720, 120, 24, 6, 2, 1, 1]


def rank_by_definition(word):
    pieces = [(word >> 5 * s) & 7 for s in range(8)]
    twists = [(word >> 5 * s + 3) & 3 for s in range(8)]
    permutation = sum(sum(p < pieces[s] for p in pieces[s + 1:]) * FACTORIALS[s] for s in range(8))
    return permutation * 2187 + sum(t * 3 ** (6 - s) for s, t in enumerate(twists[:7]))


@pytest.fixture(scope="module")
def random_2x2():
    batch = CubeBatch(20_000, 2)
    batch.randomize(seed=11)
    return batch


# ---- ranks -------------------------------------------------------------------

def test_ranks_follow_their_definition_and_come_back(random_2x2):
    ranks = random_2x2.ranks()
    words = random_2x2.to_words()
    assert ranks.dtype == np.uint64
    assert [rank_by_definition(int(w)) for w in words[:300]] == ranks[:300].tolist()
    assert [Cube2x2.from_words(int(w)).rank() for w in words[:50]] == ranks[:50].tolist()
    assert np.array_equal(CubeBatch.from_ranks(ranks, 2).to_words(), words)
    edges = CubeBatch.from_ranks(np.array([0, STATES - 1]), 2)
    assert edges[0].is_solved() and edges.ranks().tolist() == [0, STATES - 1]


def test_from_ranks_gives_distinct_valid_states():
    ranks = np.random.default_rng(5).choice(STATES, size=400_000, replace=False)
    words = CubeBatch.from_ranks(ranks, 2).to_words()
    assert len(np.unique(words)) == len(ranks)
    CubeBatch.from_words(words, 2)  # raises on any word that is not a reachable state


@pytest.mark.parametrize("ranks, position", [([0, STATES], 1), ([5, 7, -1], 2), ([2**63 + 3], 0)])
def test_from_ranks_names_the_first_bad_position(ranks, position):
    with pytest.raises(ValueError, match=rf"argument 'ranks': (position|row) {position} "):
        CubeBatch.from_ranks(ranks, 2)


@pytest.mark.parametrize("call", [
    lambda: CubeBatch(3, 3).ranks(),
    lambda: CubeBatch.from_ranks([0], 3),
], ids=["ranks", "from_ranks"])
def test_3x3_batches_have_no_exact_answers(call):
    with pytest.raises(TypeError, match="for the 2x2 only"):
        call()


# ---- distances -----------------------------------------------------------------

def test_every_state_by_distance():
    """The whole table walked through from_ranks, with and without turns of the whole cube."""
    counts, classes = np.zeros(16, np.int64), np.zeros(16, np.int64)
    for start in range(0, STATES, 1 << 23):
        batch = CubeBatch.from_ranks(np.arange(start, min(start + (1 << 23), STATES)), 2)
        counts += np.bincount(batch.distances(), minlength=16)
        classes += np.bincount(batch.distances(modulo_rotation=True), minlength=16)
    assert counts.tolist() == COUNTS + [0]
    assert classes.tolist() == [24 * c for c in CLASS_COUNTS] + [0]


@pytest.mark.parametrize("modulo_rotation", [False, True])
def test_a_turn_changes_the_distance_by_one_and_some_turn_comes_closer(random_2x2, modulo_rotation):
    sample = random_2x2.take(np.arange(2000))
    here = sample.distances(modulo_rotation).astype(int)
    around = sample.get_next_batch().distances(modulo_rotation).astype(int).reshape(-1, 12)
    assert (np.abs(around - here[:, None]) <= 1).all()
    assert ((around == here[:, None] - 1).any(axis=1) | (here == 0)).all()
    if not modulo_rotation:  # every quarter turn changes the corners' parity
        assert (around != here[:, None]).all()


def test_distances_agree_with_a_breadth_first_search():
    frontier, seen = CubeBatch(1, 2), set()
    for depth in range(6):
        words = frontier.to_words()
        fresh = np.array(sorted(set(words.tolist()) - seen), dtype=np.uint64)
        seen.update(fresh.tolist())
        level = CubeBatch.from_words(fresh, 2)
        assert len(level) == COUNTS[depth]
        assert (level.distances() == depth).all()
        cube = level[len(level) // 2]
        assert cube.distance() == depth
        frontier = level.get_next_batch()
    solved_looking = CubeBatch.from_cubes([Cube2x2()]).get_next_batch([0]).get_next_batch([3])
    assert solved_looking[0].distance() == 2 and solved_looking[0].distance(modulo_rotation=True) == 0


# ---- solutions -------------------------------------------------------------------

def test_solutions_solve_in_exactly_the_distance(random_2x2):
    moves = random_2x2.solutions()
    assert moves.dtype == np.int8 and moves.shape == (len(random_2x2), 14)
    lengths = (moves >= 0).sum(axis=1)
    assert np.array_equal(lengths, random_2x2.distances())
    assert ((moves[:, :-1] >= 0) | (moves[:, 1:] < 0)).all()  # padding only at the end
    replay = CubeBatch.from_words(random_2x2.to_words(), 2)
    replay.apply_move_sequences(moves)
    assert replay.is_solved().all()


def test_optimal_changes_nothing_and_the_bounds_are_the_distances(random_2x2):
    some = random_2x2.take(range(500))
    assert np.array_equal(some.solutions(optimal=True), some.solutions())
    assert all(some[i].solve(optimal=True) == some[i].solve() for i in range(0, 500, 50))
    assert np.array_equal(random_2x2.lower_bounds(), random_2x2.distances())


def test_solve_takes_the_lowest_move_that_comes_closer(random_2x2):
    for i in range(0, 300, 7):
        cube = random_2x2[i]
        before = cube.to_words()
        tokens = cube.solve().split()
        assert cube.to_words() == before  # solving does not turn the cube
        assert len(tokens) == cube.distance()
        for token in tokens:
            around = CubeBatch.from_cubes([cube]).get_next_batch().distances()
            lowest = int(np.argmax(around < cube.distance()))
            assert token == "UUDDRRLLFFBB"[lowest] + "'" * (lowest % 2)
            cube.do_moves(token)
        assert cube.is_solved()
    assert Cube2x2().solve() == ""


# ---- the table's build ----------------------------------------------------------

def test_concurrent_first_callers_share_one_build():
    out = run_script("""
        import threading, numpy as np, turnsmith as t
        batch = t.CubeBatch(50_000, 2)
        batch.randomize(seed=2)
        barrier, answers = threading.Barrier(6), []
        def ask(i):
            barrier.wait()
            answers.append(batch.distances(i % 2 == 1) if i < 4 else batch.solutions())
        threads = [threading.Thread(target=ask, args=(i,)) for i in range(6)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
        assert len(answers) == 6
        print(t._distance_table_info()["builds_started"], t._distance_table_info()["built"])
        print(np.array_equal(batch.distances(), t.CubeBatch.from_words(batch.to_words(), 2).distances()))
    """)
    assert out.split() == ["1", "True", "True"]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_a_child_forked_during_the_build_builds_again(tmp_path):
    # An empty cache, so that the table is built rather than read.
    out = run_script("""
        import os, threading, time, warnings, turnsmith as t
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        cube = t.Cube2x2()
        cube.do_moves("R U F' L")
        thread = threading.Thread(target=cube.distance)
        thread.start()
        while t._distance_table_info()["builds_started"] == 0:
            time.sleep(0.001)
        pid = os.fork()
        if pid == 0:
            info = t._distance_table_info()
            ok = cube.distance() == 4 and t._distance_table_info()["builds_started"] == info["builds_started"] + 1
            os._exit(0 if ok and not info["built"] else 1)
        _, status = os.waitpid(pid, 0)
        thread.join()
        print(os.waitstatus_to_exitcode(status), t._distance_table_info()["builds_started"])
    """, TURNSMITH_CACHE_DIR=str(tmp_path))
    assert out.split() == ["0", "1"]
