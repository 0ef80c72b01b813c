"""Several Python threads on the same or on different objects.

Overlap between threads cannot be forced, so every test repeats the holding
call in one thread and probes from another until the refusal is seen (or a
generous deadline passes), and asserts only what must hold whatever the
interleaving was.
"""

import threading
import time

import pytest

from cubehelpers import FREE_THREADED, corner_parity, fresh, words
from turnsmith import Cube3x3, CubeBatch, get_next_states

np = pytest.importorskip("numpy")

DEADLINE = 60.0
free_threaded_only = pytest.mark.skipif(
    not FREE_THREADED, reason="with the GIL the holding call keeps every other thread waiting")


class Repeater(threading.Thread):
    """Calls `action` over and over until the with-block ends."""

    def __init__(self, action):
        super().__init__(daemon=True)
        self.action = action
        self.stop = threading.Event()
        self.running = threading.Event()
        self.successes = 0
        self.refusals = []
        self.last = None
        self.error = None

    def run(self):
        try:
            while not self.stop.is_set():
                self.running.set()
                try:
                    self.last = self.action()
                except RuntimeError as e:
                    self.refusals.append(str(e))
                    continue
                self.successes += 1
        except BaseException as e:  # reported by __exit__
            self.error = e
        finally:
            self.running.set()

    def __enter__(self):
        self.start()
        self.running.wait()
        return self

    def __exit__(self, *exc_info):
        self.stop.set()
        self.join(DEADLINE)
        assert not self.is_alive(), "holding thread did not finish"
        assert self.error is None, repr(self.error)


def probe_until_refused(call, refusal=RuntimeError):
    """Returns (successful calls, message of the first refusal or None)."""
    successes = 0
    end = time.monotonic() + DEADLINE
    while time.monotonic() < end:
        try:
            call()
        except refusal as e:
            return successes, str(e)
        successes += 1
    return successes, None


# --- detached batch reads ------------------------------------------------------


@pytest.mark.parametrize("operation, count", [("to_sticker_array", 200_000),
                                              ("get_next_states", 8_000)])
def test_detached_read_refuses_a_scramble_of_the_same_batch(operation, count):
    b = CubeBatch(count, 3)
    solved = Cube3x3().to_sticker_array()
    with Repeater(getattr(b, operation)) as reader:
        successes, message = probe_until_refused(lambda: b.scramble(np.array([1])))
    assert message == "Already borrowed"
    # The reader only ever meets a refusal while a probe held the batch.
    assert set(reader.refusals) <= {"Already mutably borrowed"}
    assert reader.successes > 0 and reader.last.shape[0] in (count, 12 * count)
    # Only cube 0 can have been scrambled, and only by a scramble that got through.
    assert b[0].is_solved() or successes > 0
    assert corner_parity(b[0]) == successes % 2
    assert all(b[i].is_solved() for i in (1, count // 2, count - 1))
    rows = b.to_sticker_array()
    assert (rows[1:] == solved).all()


def test_threads_on_different_batches_get_their_own_results():
    def work(seed):
        rng = np.random.default_rng(seed)
        cube_type = 2 + seed % 2
        b = CubeBatch(20_000, cube_type)
        for _ in range(15):
            b.apply_move_indexes(rng.integers(0, 12, size=20_000, dtype=np.uint64))
        cubes = [b[i] for i in range(0, 20_000, 997)]
        return (b.to_sticker_array(), b.get_next_states()[:600], get_next_states(cubes),
                [words(c) for c in cubes])

    seeds = range(4)
    expected = [work(seed) for seed in seeds]     # one at a time first
    results = [None] * len(seeds)
    barrier = threading.Barrier(len(seeds))

    def run(k):
        barrier.wait()
        results[k] = work(seeds[k])

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(seeds))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(DEADLINE)
    for got, want in zip(results, expected):
        assert got is not None
        for got_array, want_array in zip(got[:3], want[:3]):
            assert np.array_equal(got_array, want_array)
        assert got[3] == want[3]
    # The results of different seeds really differ, so the comparison means something.
    assert not np.array_equal(expected[0][0], expected[2][0])


# --- a thread holding a single cube ------------------------------------------

HOLD_LENGTH = 300_001   # odd, so a refused scramble that still turned would show


def _read_word(cube):
    return cube.corners if isinstance(cube, Cube3x3) else cube.state


CUBE_PROBES = [
    # (name, call, refusal message, quarter turns applied when the call succeeds)
    ("is_solved", lambda c: c.is_solved(), "Already mutably borrowed", 0),
    ("to_sticker_array", lambda c: c.to_sticker_array(), "Already mutably borrowed", 0),
    ("get_corners", lambda c: c.get_corners(), "Already mutably borrowed", 0),
    ("to_binary", lambda c: c.to_binary(), "Already mutably borrowed", 0),
    ("str", str, "Already mutably borrowed", 0),
    ("word attribute", _read_word, "Already mutably borrowed", 0),
    ("do_u_move", lambda c: c.do_u_move(), "Already borrowed", 1),
    ("do_b_prime_move", lambda c: c.do_b_prime_move(), "Already borrowed", 1),
    ("do_moves", lambda c: c.do_moves("R' F R"), "Already borrowed", 3),
    ("scramble", lambda c: c.scramble(1), "Already borrowed", 1),
    # Access is taken before the argument is converted, so a held cube
    # reports the conflict, not the bad argument.
    ("scramble(None)", lambda c: _unless_type_error(c.scramble, None), "Already borrowed", 0),
    ("do_moves(5)", lambda c: _unless_type_error(c.do_moves, 5), "Already borrowed", 0),
    ("inverse", lambda c: c.inverse(), "Already mutably borrowed", 0),
    ("compose", lambda c: c.compose(type(c)()), "Already mutably borrowed", 0),
    ("compose(held)", lambda c: type(c)().compose(c), "Already mutably borrowed", 0),
]


def _unless_type_error(method, argument):
    with pytest.raises(TypeError):
        method(argument)


@free_threaded_only
@pytest.mark.parametrize("name, call, message, turns", CUBE_PROBES, ids=[p[0] for p in CUBE_PROBES])
def test_cube_held_by_a_scramble_refuses_other_calls(cube_cls, name, call, message, turns):
    cube = cube_cls()
    with Repeater(lambda: cube.scramble(HOLD_LENGTH)) as holder:
        successes, refusal = probe_until_refused(lambda: call(cube))
    assert refusal == message
    assert set(holder.refusals) <= {"Already borrowed"}
    # Every quarter turn flips the corner parity: the refused call (and any
    # refused scramble of the holder) must have turned nothing.
    total = holder.successes * HOLD_LENGTH + successes * turns
    assert corner_parity(cube) == total % 2


@free_threaded_only
def test_module_successors_with_a_held_cube():
    held = Cube3x3()
    with Repeater(lambda: held.scramble(HOLD_LENGTH)):
        _, first = probe_until_refused(lambda: get_next_states([held]), TypeError)
        _, later = probe_until_refused(lambda: get_next_states([Cube3x3(), held]))
    assert first == ("get_next_states() expects a list of turnsmith.Cube2x2 or "
                     "turnsmith.Cube3x3 instances")
    assert later == "Already mutably borrowed"


# --- a thread holding a batch ---------------------------------------------------

BATCH_SIZE = 64
BATCH_HOLD = 50_001     # odd, see HOLD_LENGTH

BATCH_PROBES = [
    ("len()", len, "Already mutably borrowed", 0),
    ("len method", lambda b: b.len(), "Already mutably borrowed", 0),
    ("subscript", lambda b: b[0], "Already mutably borrowed", 0),
    ("iteration", list, "Already mutably borrowed", 0),
    ("str", str, "Already mutably borrowed", 0),
    ("to_sticker_array", lambda b: b.to_sticker_array(), "Already mutably borrowed", 0),
    ("get_next_states", lambda b: b.get_next_states(), "Already mutably borrowed", 0),
    ("scramble", lambda b: b.scramble(np.array([1])), "Already borrowed", 1),
    ("apply_move_indexes", lambda b: b.apply_move_indexes(np.array([4], dtype=np.uint64)),
     "Already borrowed", 1),
    ("scramble(list)", lambda b: _unless_type_error(b.scramble, [1]), "Already borrowed", 0),
    ("apply_move_indexes(int64)",
     lambda b: _unless_type_error(b.apply_move_indexes, np.array([4])), "Already borrowed", 0),
    ("inverse", lambda b: b.inverse(), "Already mutably borrowed", 0),
    ("compose", lambda b: b.compose(b), "Already mutably borrowed", 0),
    ("compose(held)", lambda b: CubeBatch(BATCH_SIZE, 2).compose(b), "Already mutably borrowed", 0),
    ("to_pieces", lambda b: b.to_pieces(), "Already mutably borrowed", 0),
    ("to_one_hot", lambda b: b.to_one_hot(), "Already mutably borrowed", 0),
]


@free_threaded_only
@pytest.mark.parametrize("name, call, message, turns", BATCH_PROBES, ids=[p[0] for p in BATCH_PROBES])
def test_batch_held_by_a_scramble_refuses_other_calls(name, call, message, turns):
    b = CubeBatch(BATCH_SIZE, 2)
    lengths = np.full(BATCH_SIZE, BATCH_HOLD, dtype=np.int64)
    with Repeater(lambda: b.scramble(lengths)) as holder:
        successes, refusal = probe_until_refused(lambda: call(b))
    assert refusal == message
    assert set(holder.refusals) <= {"Already borrowed"}
    held_turns = holder.successes * BATCH_HOLD
    cubes = list(b)
    assert corner_parity(cubes[0]) == (held_turns + successes * turns) % 2
    assert all(corner_parity(c) == held_turns % 2 for c in cubes[1:])


@free_threaded_only
def test_readers_share_a_cube():
    cube = fresh(Cube3x3, [4, 8])
    expected = cube.to_sticker_array()
    with Repeater(cube.to_sticker_array) as reader:
        end = time.monotonic() + 0.5
        while time.monotonic() < end:
            assert cube.to_sticker_array() == expected
            assert cube.is_solved() is False
    assert reader.refusals == [] and reader.last == expected


@free_threaded_only
def test_binding_errors_come_before_access(cube_cls):
    cube = cube_cls()
    with Repeater(lambda: cube.scramble(HOLD_LENGTH)):
        _, refusal = probe_until_refused(cube.do_u_move)
        assert refusal == "Already borrowed"
        # The cube is held nearly all the time now, yet binding fails first.
        for _ in range(200):
            with pytest.raises(TypeError, match="missing 1 required positional argument"):
                cube.do_moves()
            with pytest.raises(TypeError, match="takes from 0 to 1 positional arguments"):
                cube.scramble(1, 2)
