"""How the module lives with the interpreter around it: other threads, the
collector and fork go on while a call runs; access is taken before any
argument runs Python code; memory and type references are given back."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from cubehelpers import FREE_THREADED, run_script
from turnsmith import Cube2x2, Cube3x3, CubeBatch, get_next_states

np = pytest.importorskip("numpy")

LONG_CALL = 0.4     # seconds a probed call should last, at least


class Collector(threading.Thread):
    """Runs gc.collect() over and over and notes when each one ended.

    A collection needs the GIL, or on the free-threaded build a pause of
    every attached thread, so it can only end during a call that let the
    interpreter go."""

    def __init__(self):
        super().__init__(daemon=True)
        self.ends = []
        self.stop = threading.Event()
        self.started = threading.Event()

    def run(self):
        while not self.stop.is_set():
            gc.collect()
            self.ends.append(time.perf_counter())
            self.started.set()

    def __enter__(self):
        # Objects already there are left out of the collections, which then
        # take well under a millisecond however large the test run's heap is.
        gc.collect()
        gc.freeze()
        self.start()
        assert self.started.wait(30)
        return self

    def __exit__(self, *exc_info):
        self.stop.set()
        self.join(30)
        gc.unfreeze()
        assert not self.is_alive()


def collection_time():
    start = time.perf_counter()
    for _ in range(3):
        gc.collect()
    return (time.perf_counter() - start) / 3


def collection_margin():
    """How long after a call's start a collection begun before it may end."""
    gc.collect()
    gc.freeze()
    try:
        return 0.02 + 3 * collection_time()
    finally:
        gc.unfreeze()


def assert_collected_during(make_call, attempts=3):
    """Runs a call from make_call(scale), long enough to tell, while another
    thread collects, and fails unless a collection ended well inside it.

    A collection already under way when the call begins, or the switch to
    the calling thread, may end a little after the call's start: only the
    ends beyond the margin count. The machine's speed is unknown, so the
    scale doubles until a call lasts several margins; on a busy machine the
    collector may not get a core in time, hence a few attempts. A call that
    keeps the collector out fails them all."""
    margin = collection_margin()
    shortest = max(LONG_CALL, 8 * margin)
    scale = 1
    durations = []
    while len(durations) < attempts:
        call = make_call(scale)
        with Collector() as collector:
            start = time.perf_counter()
            call()
            end = time.perf_counter()
        if end - start < shortest and scale < 256:
            scale *= 2
            continue
        durations.append(round(end - start, 2))
        if any(start + margin < t < end - margin for t in collector.ends):
            return
    pytest.fail(f"no collection ended during calls of {durations} s (margin {margin:.3f} s)")


DETACHED_CALLS = {
    "to_sticker_array": lambda scale: CubeBatch(250_000 * scale, 3).to_sticker_array,
    "get_next_states": lambda scale: CubeBatch(20_000 * scale, 3).get_next_states,
}


@pytest.mark.parametrize("name", DETACHED_CALLS)
def test_other_threads_collect_while_a_detached_call_runs(name):
    assert_collected_during(DETACHED_CALLS[name])


def _scrambled_batch(scale):
    b = CubeBatch(2_000 * scale, 2)
    lengths = np.full(len(b), 1_000, dtype=np.int64)
    return lambda: b.scramble(lengths)


def _turned_batch(scale):
    b = CubeBatch(1_000_000 * scale, 2)
    moves = np.arange(len(b), dtype=np.uint64) % np.uint64(12)
    return lambda: b.apply_move_indexes(moves)


def _module_successors(scale):
    cubes = [Cube3x3() for _ in range(10_000 * scale)]
    return lambda: get_next_states(cubes)


ATTACHED_CALLS = {
    "Cube3x3.scramble": lambda scale: lambda: Cube3x3().scramble(1_000_000 * scale),
    "CubeBatch.scramble": _scrambled_batch,
    "CubeBatch.apply_move_indexes": _turned_batch,
    "get_next_states": _module_successors,
}


@pytest.mark.skipif(not FREE_THREADED, reason="with the GIL these calls hold it throughout")
@pytest.mark.parametrize("name", ATTACHED_CALLS)
def test_long_attached_calls_let_the_collector_through(name):
    assert_collected_during(ATTACHED_CALLS[name])


# --- fork ---------------------------------------------------------------------

FORK_WHILE_BUSY = """
import os, sys, threading, warnings
import numpy as np
import turnsmith as t
warnings.simplefilter("ignore", DeprecationWarning)   # fork with threads running

reader_batch = t.CubeBatch(300_000, 3)
writer_batch = t.CubeBatch(20_000, 3)
stop = threading.Event()

def read():
    while not stop.is_set():
        reader_batch.to_sticker_array()

def write():
    lengths = np.full(len(writer_batch), 200)
    while not stop.is_set():
        writer_batch.scramble(lengths)

threads = [threading.Thread(target=read), threading.Thread(target=write)]
for thread in threads:
    thread.start()
failures = 0
for _ in range(FORKS):
    pid = os.fork()
    if pid == 0:
        problems = []
        for batch in (reader_batch, writer_batch):
            try:
                batch.apply_move_indexes(np.array([12], dtype=np.uint64))   # needs it free
            except RuntimeError as e:
                problems.append(str(e))
        # A 3x3 whose corner word turned and edge word did not breaks this parity rule.
        rows = writer_batch.to_sticker_array()
        for i in range(0, len(writer_batch), 97):
            cube = writer_batch[i]
            corners = [p for p, _ in cube.get_corners()]
            edges = [p for p, _ in cube.get_edges()]
            if parity(corners) != parity(edges) or rows[i].tolist() != cube.to_sticker_array():
                problems.append(f"cube {i} is half turned")
        os.write(2, "".join(p + "\\n" for p in problems).encode())
        os._exit(1 if problems else 0)
    _, status = os.waitpid(pid, 0)
    failures += status != 0
stop.set()
for thread in threads:
    thread.join()
print(failures)
"""

PARITY = """
def parity(pieces):
    seen, odd = set(), 0
    for start in range(len(pieces)):
        length, slot = 0, start
        while slot not in seen:
            seen.add(slot); slot = pieces[slot]; length += 1
        odd ^= (length - 1) % 2 if length else 0
    return odd
"""


@pytest.mark.skipif(sys.platform != "linux", reason="fork")
def test_fork_during_batch_calls_gives_the_child_free_whole_batches():
    script = PARITY + FORK_WHILE_BUSY.replace("FORKS", "30")
    process = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             timeout=120)
    assert process.returncode == 0, process.stderr
    assert process.stdout.strip() == "0", process.stderr


FORK_INSIDE_A_CALL = """
import os, warnings
import turnsmith as t
warnings.simplefilter("ignore", DeprecationWarning)

batch = t.CubeBatch(3, 2)

class ForksWhenConverted:
    def __index__(self):
        self.pid = os.fork()
        return 1

index = ForksWhenConverted()
batch[index]            # the fork happens while this call holds the batch
if index.pid == 0:
    # The child's copy of the call gave its own hold back, once: the batch
    # is free for readers and writers alike.
    try:
        len(batch)
        batch.scramble(__import__("numpy").array([1]))
    except RuntimeError as e:
        os._exit(1)
    os._exit(0)
_, status = os.waitpid(index.pid, 0)
print(os.waitstatus_to_exitcode(status), len(batch))
"""


@pytest.mark.skipif(sys.platform != "linux", reason="fork")
def test_a_fork_inside_a_call_leaves_that_call_its_hold():
    process = subprocess.run([sys.executable, "-c", FORK_INSIDE_A_CALL], capture_output=True,
                             text=True, timeout=60)
    assert process.returncode == 0, process.stderr
    assert process.stdout.split() == ["0", "3"], process.stderr


CHILD_HOLDS = """
import os, threading, warnings
import turnsmith as t
warnings.simplefilter("ignore", DeprecationWarning)

def probe(call):
    try:
        call()
        return "free"
    except RuntimeError as e:
        return str(e)

# Another thread sits inside a call that holds `theirs`, in Python code.
theirs, release, inside = t.Cube3x3(), threading.Event(), threading.Event()
class Waits:
    def __index__(self):
        inside.set(); release.wait(); return 1
thread = threading.Thread(target=theirs.scramble, args=(Waits(),))
thread.start(); inside.wait()

# This thread forks inside a call that holds `mine`.
mine = t.Cube3x3()
seen = []
class Forks:
    def __index__(self):
        self.pid = os.fork()
        seen.append(probe(mine.is_solved))
        return 1
forks = Forks()
mine.scramble(forks)
if forks.pid == 0:
    os.write(1, ";".join([*seen, probe(mine.do_u_move), probe(theirs.do_u_move)]).encode())
    os._exit(0)
os.waitpid(forks.pid, 0)
release.set(); thread.join()
"""


@pytest.mark.skipif(sys.platform != "linux", reason="fork")
def test_a_child_keeps_the_forking_calls_hold_and_frees_the_other_threads():
    # In the child, the call that forked still holds its cube until it ends;
    # the cube held by a thread that did not follow is free at once.
    assert run_script(CHILD_HOLDS).split(";") == ["Already mutably borrowed", "free", "free"]


# --- the order of a call's steps ---------------------------------------------------


class CallsBack:
    """An integer whose conversion calls `probe` first and notes what it raised."""

    def __init__(self, value, probe):
        self.value, self.probe, self.seen = value, probe, []

    def __index__(self):
        try:
            self.probe()
            self.seen.append("free")
        except RuntimeError as e:
            self.seen.append(str(e))
        return self.value


@pytest.mark.parametrize("cls", [Cube3x3, Cube2x2])
@pytest.mark.parametrize("probe", ["is_solved", "do_u_move"])
def test_a_cube_is_held_before_its_scramble_length_is_converted(cls, probe):
    cube = cls()
    length = CallsBack(3, getattr(cube, probe))
    cube.scramble(length)
    expected = "Already mutably borrowed" if probe == "is_solved" else "Already borrowed"
    assert length.seen == [expected]
    cube.do_u_move()   # free again afterwards


@pytest.mark.parametrize("cls", [Cube3x3, Cube2x2])
def test_a_refused_call_converts_none_of_its_arguments(cls):
    cube = cls()
    inner = CallsBack(2, lambda: None)   # notes "free" if it is ever converted
    outer = CallsBack(1, lambda: cube.scramble(inner))
    cube.scramble(outer)
    assert outer.seen == ["Already borrowed"]
    assert inner.seen == []


def test_a_batch_is_held_before_its_index_is_converted():
    batch = CubeBatch(3, 2)
    index = CallsBack(1, lambda: batch.apply_move_indexes(np.array([0], dtype=np.uint64)))
    assert batch[index].is_solved()
    assert index.seen == ["Already borrowed"]
    assert batch[0].is_solved()


# --- what a call gives back ---------------------------------------------------------


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("cubes", [4_000, 40_000], ids=["heap", "mapped"])
def test_dropped_results_give_their_memory_back(cubes):
    batch = CubeBatch(cubes, 3)
    size = batch.get_next_states().nbytes          # 20 MB and 200 MB
    before = resident_bytes()
    for _ in range(30):
        assert batch.get_next_states().nbytes == size
    assert resident_bytes() - before < 3 * size


TYPE_REFERENCES = """
import sys, threading
import turnsmith as t

makers = {
    "Cube3x3": t.Cube3x3,
    "Cube2x2": t.Cube2x2,
    "CubeBatch": lambda: t.CubeBatch(2, 3),
    "keeper": lambda: t.CubeBatch(2, 2).to_sticker_array().base,
}

def churn(make):
    for _ in range(1000):
        make()

for name, make in makers.items():
    cls = type(make())
    before = sys.getrefcount(cls)
    # In a thread of its own: the free-threaded build settles a thread's
    # references to a type when the thread ends.
    worker = threading.Thread(target=churn, args=(make,))
    worker.start()
    worker.join()
    print(name, sys.getrefcount(cls) - before)
"""


def test_objects_give_back_their_type_reference():
    result = subprocess.run([sys.executable, "-c", TYPE_REFERENCES], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["Cube3x3", "0", "Cube2x2", "0", "CubeBatch", "0",
                                     "keeper", "0"]


def test_memory_errors_say_what_could_not_be_allocated():
    with pytest.raises(MemoryError, match=r"^cannot allocate a batch of 1125899906842624 cubes "
                                          r"\(9007199254740992 bytes\)$"):
        CubeBatch(2**50, 2)


def test_a_pool_too_large_names_its_variable():
    script = textwrap.dedent("""
        import numpy as np, turnsmith
        try:
            turnsmith.CubeBatch(4, 2).to_sticker_array()
        except MemoryError as e:
            print(e)
    """)
    env = dict(os.environ, RAYON_NUM_THREADS=str(10**15))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env=env, timeout=60)
    assert result.stdout.strip() == (f"cannot allocate a pool of {10**15} workers "
                                     f"(RAYON_NUM_THREADS={10**15})"), result.stderr


def test_holds_nested_deeply_through_conversions_all_end():
    # Each index converts by reading the next batch, so ten reads are held at
    # once on one thread; afterwards every batch takes a writer again.
    batches = [CubeBatch(2, 2) for _ in range(10)]

    class ReadsTheNext:
        def __init__(self, k):
            self.k = k

        def __index__(self):
            if self.k + 1 < len(batches):
                assert batches[self.k + 1][ReadsTheNext(self.k + 1)].is_solved()
            return 0

    batches[0][ReadsTheNext(0)]
    for batch in batches:
        batch.apply_move_indexes(np.array([4], dtype=np.uint64))
        assert not batch[0].is_solved()
