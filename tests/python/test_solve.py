"""Solving: the 3x3's two-phase search and the 2x2's optimal solutions, for
single cubes and batches; bounds, determinism, interrupts and progress."""

import ctypes
import json
import subprocess
import sys
import textwrap

import pytest

from cubehelpers import run_script, word_corner_parity
from turnsmith import Cube2x2, Cube3x3, CubeBatch

np = pytest.importorskip("numpy")

DIAMETER = {2: 14, 3: 26}


def replayed(batch, rows):
    """A copy of the batch with each row of moves applied."""
    words = batch.to_words()
    copy = CubeBatch.from_words(words, 3 if words.ndim == 2 and words.shape[1] == 2 else 2)
    copy.apply_move_sequences(rows)
    return copy


@pytest.fixture(scope="module")
def random_3x3():
    batch = CubeBatch(150, 3)
    batch.randomize(seed=2024)
    return batch


@pytest.fixture(scope="module")
def levels_3x3():
    """The 3x3's states by distance 0..5, from a breadth-first search."""
    frontier, levels, seen = CubeBatch(1, 3), [], set()
    for _ in range(6):
        words = frontier.to_words()
        new = [w for w in map(tuple, words.tolist()) if w not in seen]
        seen.update(new)
        levels.append(np.array(sorted(set(new)), dtype=np.uint64).reshape(-1, 2))
        frontier = frontier.get_next_batch()
    return levels


def test_breadth_first_counts_are_the_published_ones(levels_3x3):
    assert [len(level) for level in levels_3x3] == [1, 12, 114, 1068, 10011, 93840]


# ---- the 3x3 -------------------------------------------------------------------

def test_random_solutions_replay_within_the_bound(random_3x3):
    before = random_3x3.to_words()
    rows, lengths = random_3x3.solutions(return_lengths=True)
    assert rows.shape == (len(random_3x3), 26) and rows.dtype == np.int8 and lengths.dtype == np.int16
    assert np.array_equal(random_3x3.to_words(), before)
    assert replayed(random_3x3, rows).is_solved().all()
    assert ((lengths >= 0) & (lengths <= 26)).all()
    assert ((rows >= 0).sum(axis=1) == lengths).all()
    assert (rows[np.arange(26) >= lengths[:, None]] == -1).all()
    # A quarter turn flips the corners' parity: a length has the parity of the state's.
    assert [word_corner_parity(w) for w in before[:, 0]] == (lengths % 2).tolist()


def test_solve_agrees_with_solutions_and_leaves_the_cube(random_3x3):
    some = random_3x3.take(range(0, len(random_3x3), 13))
    rows = some.solutions(max_length=25)
    for i in range(len(some)):
        cube = some[i]
        words = cube.to_words()
        text = cube.solve(max_length=25)
        assert cube.to_words() == words
        assert text.split() == [("U", "U'", "D", "D'", "R", "R'", "L", "L'", "F", "F'", "B", "B'")[m]
                                for m in rows[i] if m >= 0]
        cube.do_moves(text)
        assert cube.is_solved()


@pytest.mark.parametrize("distance", [1, 2, 3, 4, 5])
def test_tight_bounds_give_the_distance(levels_3x3, distance):
    """With the bound at the distance found by the search above, the solver
    finds a solution of exactly that length, and none one shorter."""
    words = levels_3x3[distance]
    words = words[np.random.default_rng(distance).choice(len(words), min(len(words), 150), replace=False)]
    batch = CubeBatch.from_words(words, 3)
    rows, lengths = batch.solutions(max_length=distance, return_lengths=True)
    assert (lengths == distance).all()
    assert replayed(batch, rows).is_solved().all()
    rows, lengths = batch.solutions(max_length=distance - 1, return_lengths=True)
    assert (lengths == -1).all() and (rows == -1).all()


def test_a_bound_below_the_distance(levels_3x3):
    cube = Cube3x3.from_words(*map(int, levels_3x3[4][7]))
    with pytest.raises(ValueError, match="no solution of at most 3 quarter turns exists"):
        cube.solve(max_length=3)
    batch = CubeBatch.from_words(np.stack([levels_3x3[4][7], levels_3x3[2][0], levels_3x3[0][0]]), 3)
    rows, lengths = batch.solutions(max_length=3, return_lengths=True)
    assert lengths.tolist() == [-1, 2, 0]
    assert (rows[0] == -1).all() and replayed(batch.take([1, 2]), rows[1:]).is_solved().all()
    assert Cube3x3().solve() == "" and Cube3x3().solve(max_length=0) == ""


def test_half_turns_are_two_quarter_turns():
    cube = Cube3x3()
    cube.do_moves("R R U")
    assert cube.solve(max_length=3) in ("U' R R", "U' R' R'")


# ---- the 2x2 -------------------------------------------------------------------

def test_2x2_keeps_its_optimal_solutions():
    batch = CubeBatch(2000, 2)
    batch.randomize(seed=3)
    distances = batch.distances()
    rows, lengths = batch.solutions(return_lengths=True)
    assert rows.shape == (2000, 14) and (lengths == distances).all()
    assert replayed(batch, rows).is_solved().all()
    wide = batch.solutions(max_length=20)
    assert wide.shape == (2000, 20) and np.array_equal(wide[:, :14], rows) and (wide[:, 14:] == -1).all()
    cut, cut_lengths = batch.solutions(max_length=9, return_lengths=True)
    far = distances > 9
    assert (cut_lengths[far] == -1).all() and (cut[far] == -1).all()
    assert np.array_equal(cut[~far], rows[~far, :9])
    cube = batch[int(np.argmax(distances))]
    assert len(cube.solve().split()) == distances.max()
    with pytest.raises(ValueError, match="no solution of at most 9 quarter turns exists"):
        cube.solve(max_length=9)


# ---- arguments ------------------------------------------------------------------

@pytest.mark.parametrize("cube_type", [2, 3])
@pytest.mark.parametrize("bound, error", [(-1, ValueError), (256, ValueError), (2**70, ValueError),
                                          ("20", TypeError), (20.0, TypeError)])
def test_bounds_out_of_range_are_refused(cube_type, bound, error):
    batch = CubeBatch(2, cube_type)
    with pytest.raises(error, match="max_length"):
        batch.solutions(max_length=bound)
    with pytest.raises(error, match="max_length"):
        batch[0].solve(max_length=bound)


@pytest.mark.parametrize("cube_type", [2, 3])
def test_empty_batches_and_zero_bounds(cube_type):
    assert CubeBatch(0, cube_type).solutions().shape == (0, DIAMETER[cube_type])
    rows, lengths = CubeBatch(3, cube_type).solutions(max_length=0, return_lengths=True)
    assert rows.shape == (3, 0) and lengths.tolist() == [0, 0, 0]


# ---- determinism ------------------------------------------------------------------

DIGEST = """
    import hashlib, turnsmith
    batch = turnsmith.CubeBatch(40, 3)
    batch.randomize(seed=77)
    order = list(range(20, 40)) + list(range(20))
    rows = batch.solutions()
    shuffled = batch.take(order).solutions()
    assert (shuffled == rows[order]).all()
    print(hashlib.sha256(rows.tobytes()).hexdigest())
"""


def test_the_same_moves_whatever_the_workers():
    digests = {run_script(DIGEST, RAYON_NUM_THREADS=str(n)) for n in (1, 2, 5)}
    assert len(digests) == 1


# ---- stopping and progress ----------------------------------------------------------

# (how the call is stopped, the call), on uniform random states: proving that
# none has a solution of 18 moves, or finding any one's distance, takes far
# longer than a test.
STOPS = [
    *[("interrupt", call) for call in ("batch.solutions(max_length=18)", "batch.solutions(optimal=True)",
                                       "batch.distances()", "batch[0].distance()")],
    *[("progress", call) for call in ("batch.solutions(max_length=18, progress=progress)",
                                      "batch.solutions(optimal=True, progress=progress)",
                                      "batch.distances(progress=progress)")],
]
# Seconds from the stop request to the call's return. The work lets go within
# a second; the rest is for a loaded machine, where its threads and the
# waiting one may each wait for a core.
STOP_LIMIT = 10.0
# A call still running this long after it began never saw its stop. It is
# run with a watch that then ends the process, so that it fails its test
# instead of hanging the run; a watch kept off the interpreter for good is
# left to the process's timeout.
DEADLINE = 60.0
PROCESS_TIMEOUT = 600
# All in one process of their own, each call's result printed as it returns.
STOPPING = """
    import _thread, json, os, signal, threading, time
    import turnsmith
    # A run started in the background inherits SIGINT ignored, and then
    # interrupt_main does nothing: Ctrl-C's handler is put back.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    turnsmith.prepare_tables(3, optimal=True)
    batch = turnsmith.CubeBatch(64, 3)
    batch.randomize(seed=5)
    before = batch.to_words()

    class Enough(Exception):
        pass

    def watch(how, call, returned):
        if not returned.wait(DEADLINE):
            print(json.dumps({"hung": [how, call]}), flush=True)
            os._exit(1)

    def stopped(how, call):
        seen, asked = [], []

        def progress(done, total):
            seen.append((done, total))
            if len(seen) == 3:
                asked.append(time.monotonic())
                raise Enough

        def interrupt():
            asked.append(time.monotonic())
            _thread.interrupt_main()

        returned = threading.Event()
        threading.Thread(target=watch, args=(how, call, returned), daemon=True).start()
        if how == "interrupt":
            threading.Timer(0.3, interrupt).start()
        raised = None
        try:
            eval(call)
        except (KeyboardInterrupt, Enough) as stop:
            raised = type(stop).__name__
        returned.set()
        seconds = time.monotonic() - asked[0] if asked else None
        return {"raised": raised, "seconds": seconds, "seen": seen,
                "unchanged": bool((batch.to_words() == before).all())}

    for how, call in STOPS:
        print(json.dumps([how, call, stopped(how, call)]), flush=True)
"""


@pytest.fixture(scope="module")
def stopped_calls():
    """Each call's result, or for a call without one, why it has none."""
    script = f"STOPS = {STOPS!r}\nDEADLINE = {DEADLINE!r}\n{textwrap.dedent(STOPPING)}"
    try:
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=PROCESS_TIMEOUT)
        out, err = done.stdout, done.stderr
    except subprocess.TimeoutExpired as timeout:
        out, err = (text.decode() if isinstance(text, bytes) else text or ""
                    for text in (timeout.stdout, timeout.stderr))
        err += f"\n(killed after {PROCESS_TIMEOUT} s)"
    results, hung = {}, None
    for line in out.splitlines():
        entry = json.loads(line)
        if isinstance(entry, dict):
            hung = tuple(entry["hung"])
        else:
            results[tuple(entry[:2])] = entry[2]
    for stop in STOPS:
        if stop == hung:
            results[stop] = f"still running {DEADLINE} s after it began: the stop was not seen"
        elif stop not in results:
            results[stop] = f"not reached: {hung[1]} hung before it" if hung else f"no result:\n{err[-3000:]}"
    return results


@pytest.mark.parametrize("how, call", STOPS, ids=[f"{how}-{call}" for how, call in STOPS])
def test_a_long_call_stops_quickly_and_changes_nothing(stopped_calls, how, call):
    result = stopped_calls[(how, call)]
    if isinstance(result, str):
        pytest.fail(result, pytrace=False)
    assert result["unchanged"]
    if how == "interrupt":
        assert result["raised"] == "KeyboardInterrupt"
    else:
        # No report after the one that raised; each told the whole batch.
        seen = result["seen"]
        assert result["raised"] == "Enough" and len(seen) == 3 and all(total == 64 for _, total in seen)
    assert result["seconds"] < STOP_LIMIT


PROGRESSING = {
    "two-phase": lambda batch, progress: batch.solutions(progress=progress),
    "optimal": lambda batch, progress: batch.solutions(optimal=True, progress=progress),
    "distances": lambda batch, progress: batch.distances(progress=progress),
}


@pytest.mark.parametrize("search", PROGRESSING)
def test_progress_counts_up_to_the_total(search):
    call = PROGRESSING[search]
    batch = CubeBatch(40, 3)
    batch.scramble_with_moves(np.full(40, 15), seed=3, avoid_inverse=True)
    with pytest.raises(TypeError, match="progress"):
        call(batch, 5)
    seen = []
    call(batch, lambda done, total: seen.append((done, total)))
    assert seen[-1] == (40, 40) and len(seen) > 1
    assert all(total == 40 for _, total in seen)
    assert [done for done, _ in seen] == sorted(done for done, _ in seen)



class RecordedTruth:
    """A flag whose `__bool__` notes that it ran."""

    def __init__(self):
        self.asked = False

    def __bool__(self):
        self.asked = True
        return False


def without_descriptor_check(cls, name):
    """The C function behind a method, called with keyword arguments and any
    receiver: Python's own descriptor refuses a wrong receiver before the
    function runs, so this is the only way to reach the function's check."""
    pointer = ctypes.sizeof(ctypes.c_void_p)
    descriptor = id(cls.__dict__[name])
    # A method descriptor: the object header, its type, name and qualified
    # name, then its PyMethodDef, whose second field is the function.
    method_def = ctypes.c_void_p.from_address(descriptor + object.__basicsize__ + 3 * pointer).value
    function = ctypes.c_void_p.from_address(method_def + pointer).value
    vectorcall = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                                   ctypes.c_ssize_t, ctypes.py_object)(function)

    def call(receiver, **keywords):
        values = (ctypes.py_object * len(keywords))(*keywords.values())
        return vectorcall(receiver, values, 0, tuple(keywords))

    return call


REFUSED_SOLVER_CALLS = {
    "solutions": lambda flag: without_descriptor_check(CubeBatch, "solutions")(Cube3x3(), optimal=flag),
    "distances": lambda flag: without_descriptor_check(CubeBatch, "distances")(Cube3x3(), modulo_rotation=flag),
    "solve_3x3": lambda flag: without_descriptor_check(Cube3x3, "solve")(Cube2x2(), optimal=flag),
    "solve_2x2": lambda flag: without_descriptor_check(Cube2x2, "solve")(CubeBatch(1, 2), optimal=flag),
    "distance_2x2": lambda flag: without_descriptor_check(Cube2x2, "distance")(Cube3x3(), modulo_rotation=flag),
    "distance_3x3": lambda flag: without_descriptor_check(Cube3x3, "distance")(Cube2x2(), modulo_rotation=flag),
    "unknown_keyword": lambda flag: CubeBatch(1, 3).solutions(optimal=flag, bound=3),
}


@pytest.mark.parametrize("call", REFUSED_SOLVER_CALLS.values(), ids=REFUSED_SOLVER_CALLS.keys())
def test_a_refused_solver_call_runs_none_of_the_callers_code(call):
    flag = RecordedTruth()
    with pytest.raises(TypeError):
        call(flag)
    assert not flag.asked
