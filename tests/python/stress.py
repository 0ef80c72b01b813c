"""Many threads calling every public operation on a few shared objects.

    python tests/python/stress.py --seconds 20 --threads 8

Each thread picks calls at random (seeded per thread) on shared cubes,
batches and Python lists of cubes that other threads append to, pop from
and clear. A call may fail only by a refused access: RuntimeError with the
message of the access it takes ("Already borrowed" for a writer, "Already
mutably borrowed" for a reader), and for get_next_states and
CubeBatch.from_cubes on a changing list also their TypeErrors of an empty
list and of a first item held by a writer. Anything else is collected with
its traceback.

Returned values are checked as they come (shapes, dtypes, colour counts; a
sample down to the piece level). Afterwards every object is checked in
quiet: its state invariants, its views against each other and the parity of
the quarter turns it received from the calls that got through, which a
refused call that still turned something, or a lost turn, would break. Only
one batch of each type takes randomize, after which its parity is unknown.

run_stress() is the entry point for other callers; it keeps the objects
small so that it also fits an interpreter built with a thread sanitizer.
"""

import argparse
import collections
import dataclasses
import itertools
import pickle
import random
import sys
import sysconfig
import threading
import time
import traceback

import numpy as np

import turnsmith
from cubehelpers import (
    BATCH_TYPE, CUBE_CLASSES, MOVE_METHODS, SOLVED_CORNERS, SOLVED_EDGES, STICKER_DIM,
    corner_parity, edge_word, pack_corners, pack_edges, pieces_from_stickers, piece_problems,
    reference_render, reference_stickers, reference_turn, strip_ansi, unpack_corners,
    unpack_edges, word_problems, word_rows, words,
)
from turnsmith import Cube2x2, Cube3x3, CubeBatch

BORROWED = "Already borrowed"
MUTABLY_BORROWED = "Already mutably borrowed"
EMPTY_LIST = "{}() requires at least one cube to infer the cube type"
FIRST_ITEM_HELD = "{}() expects a list of turnsmith.Cube2x2 or turnsmith.Cube3x3 instances"
LIST_CALLERS = {"list": "get_next_states", "cube list": "CubeBatch.from_cubes"}
# What each kind of access may be refused with; a list of cubes, by the
# messages of the call that reads it.
REFUSALS = {
    "exclusive": {(RuntimeError, BORROWED)},
    "shared": {(RuntimeError, MUTABLY_BORROWED)},
    **{access: {(RuntimeError, MUTABLY_BORROWED), (TypeError, EMPTY_LIST.format(caller)),
                (TypeError, FIRST_ITEM_HELD.format(caller))} for access, caller in LIST_CALLERS.items()},
    None: set(),
}

CUBES_PER_CLASS = 3
BATCH_SIZES = {Cube3x3: (1, 24, 160), Cube2x2: (0, 7, 96, 256)}
# One more batch of each type also takes randomize, which leaves the parity of
# its cubes unknown: the ledger forgets it, and the other batches keep theirs.
RANDOMIZED_SIZES = {Cube3x3: 40, Cube2x2: 64}
LIST_CAP = 12           # appends turn into pops beyond this
DEEP_SAMPLE = 0.125     # share of results checked down to the pieces
KEPT_TRACEBACKS = 25

# (token, quarter turns it applies)
TOKENS = [(face + mark, 2 if mark == "2" else 1)
          for face in "UDRLFB" for mark in ("", "'", "!", "2")]
JUNK = ["x", "Uw", "u", "M", "U''", "U'2", "R2'"]
SEPARATORS = [" ", "  ", "\t", "\n", "\u3000"]


class StopSearch(Exception):
    """Raised by a progress callable to end a long search."""


class Violation(Exception):
    """A call that got through but returned something impossible."""


RANKS_2X2 = 88_179_840
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
SOLUTION_TOKENS = {face + turn for face in "UDRLFB" for turn in ("", "'")}


def expect(condition, message):
    if not condition:
        raise Violation(message)


# --- the shared objects ------------------------------------------------------


class World:
    def __init__(self):
        self.cubes = {cls: [cls() for _ in range(CUBES_PER_CLASS)] for cls in CUBE_CLASSES}
        self.batches = {cls: [CubeBatch(n, BATCH_TYPE[cls])
                              for n in (*BATCH_SIZES[cls], RANDOMIZED_SIZES[cls])]
                        for cls in CUBE_CLASSES}
        self.randomized = {cls: batches[-1] for cls, batches in self.batches.items()}
        self.state_sets = {cls: turnsmith.StateSet(BATCH_TYPE[cls]) for cls in CUBE_CLASSES}
        self.lists = {cls: list(cubes) for cls, cubes in self.cubes.items()}
        every_cube = [c for cubes in self.cubes.values() for c in cubes]
        every_batch = [b for batches in self.batches.values() for b in batches]
        self.cube_keys = {id(c): k for k, c in enumerate(every_cube)}
        self.batch_keys = {id(b): k for k, b in enumerate(every_batch)}
        # Taken now: len() of a shared batch can be refused during the run.
        self.batch_sizes = [len(b) for b in every_batch]

    def size(self, batch):
        return self.batch_sizes[self.batch_keys[id(batch)]]


class Ledger:
    """Quarter turns given to each object by the calls that got through, and
    the batches whose parity a call made unknown."""

    def __init__(self, world):
        self.world = world
        self.cubes = collections.Counter()
        self.batches = [np.zeros(n, dtype=np.int64) for n in world.batch_sizes]
        self.unknown = set()

    def cube(self, cube, turns):
        self.cubes[self.world.cube_keys[id(cube)]] += turns

    def batch(self, batch, per_cube):
        target = self.batches[self.world.batch_keys[id(batch)]]
        k = min(len(target), len(per_cube))
        target[:k] += per_cube[:k]

    def forget(self, batch):
        self.unknown.add(self.world.batch_keys[id(batch)])

    def known(self, batch):
        return self.world.batch_keys[id(batch)] not in self.unknown

    def merge(self, other):
        self.cubes.update(other.cubes)
        self.unknown |= other.unknown
        for mine, theirs in zip(self.batches, other.batches):
            mine += theirs


# --- checks on returned values -----------------------------------------------


def sticker_list_problems(stickers, dim):
    if len(stickers) != dim:
        return [f"{len(stickers)} stickers, expected {dim}"]
    counts = [stickers.count(colour) for colour in range(6)]
    if counts != [dim // 6] * 6:
        return [f"colour counts {counts}"]
    return []


def check_stickers(stickers, dim, deep):
    expect(type(stickers) is list and all(type(s) is int for s in stickers), "not a list of int")
    problems = sticker_list_problems(stickers, dim)
    if deep and not problems:
        problems = decoded_problems(stickers)
    expect(not problems, f"sticker array {stickers}: {problems}")


def decoded_problems(stickers):
    try:
        return piece_problems(*pieces_from_stickers(stickers))
    except ValueError as e:
        return [str(e)]


def check_rows(rows, count, dim, dtype=np.int64):
    expect(type(rows) is np.ndarray and rows.dtype == dtype, f"result {type(rows)} {rows.dtype}")
    expect(rows.shape == (count, dim), f"shape {rows.shape}, expected {(count, dim)}")
    counts = np.stack([(rows == colour).sum(axis=1) for colour in range(6)], axis=1)
    bad = np.flatnonzero((counts != dim // 6).any(axis=1))
    expect(bad.size == 0, f"rows {bad[:5].tolist()} have colour counts {counts[bad[:5]].tolist()}")


def successor_origin(rows, moves=range(12)):
    """The one state whose successors by `moves` these rows are, or a Violation."""
    origins = set()
    for move, row in zip(moves, rows):
        try:
            corners, edges = pieces_from_stickers(row.tolist())
        except ValueError as e:
            raise Violation(f"successor row {move}: {e}") from None
        if edges is None:
            origins.add(reference_turn(pack_corners(corners), SOLVED_EDGES, move ^ 1)[:1])
        else:
            origins.add(reference_turn(pack_corners(corners), pack_edges(edges), move ^ 1))
    expect(len(origins) == 1, f"the {len(rows)} successor rows come from {len(origins)} different states")
    (origin,) = origins
    problems = piece_problems(unpack_corners(origin[0]),
                              unpack_edges(origin[1]) if len(origin) == 2 else None)
    expect(not problems, f"successors of an impossible state: {problems}")
    return origin


def check_successors(rows, count, dim, rng):
    check_rows(rows, 12 * count, dim)
    if count and rng.random() < DEEP_SAMPLE:
        i = rng.randrange(count)
        successor_origin(rows[12 * i:12 * i + 12])


def check_words(out, count, cls, rng):
    """A to_words() array: its type and shape, and a sampled row one state."""
    shape = (count, 2) if cls is Cube3x3 else (count,)
    expect(type(out) is np.ndarray and out.dtype == np.uint64 and out.shape == shape,
           f"words {type(out).__name__} {getattr(out, 'dtype', '')} {getattr(out, 'shape', '')}")
    if count and rng.random() < DEEP_SAMPLE:
        state = word_rows(out)[rng.randrange(count)]
        problems = word_problems(state)
        expect(not problems, f"words {state}: {problems}")


def check_pairs(pairs, count):
    expect(type(pairs) is list and len(pairs) == count
           and all(type(p) is tuple and len(p) == 2 for p in pairs), f"piece list {pairs!r}")


def word_from_binary(text):
    expect(type(text) is str and len(text) == 64 and set(text) <= {"0", "1"}, f"binary {text!r}")
    return int(text, 2)


def check_text(text, dim, cubes):
    expect(type(text) is str, f"text {type(text)}")
    letters = collections.Counter(ch for ch in strip_ansi(text) if ch.isalpha())
    wanted = {ch: cubes * dim // 6 for ch in "WRGYOB"} if cubes else {}
    expect(letters == collections.Counter(wanted),
           f"letters {dict(letters)} for {cubes} cubes")


def check_copy(cube, cls, rng):
    """A cube handed out by a batch: private, so every view must agree."""
    expect(type(cube) is cls, f"{type(cube).__name__} from a batch of {cls.__name__}")
    if rng.random() < DEEP_SAMPLE:
        problems = cube_problems(cube)
    else:
        problems = piece_problems(cube.get_corners())
    expect(not problems, f"copied cube: {problems}")


def check_new_batch(batch, count, cls, rng):
    """A batch that a call made: the caller's alone, so nothing may be refused."""
    expect(type(batch) is CubeBatch and len(batch) == count,
           f"a new {type(batch).__name__} of {len(batch)}, expected {count}")
    if count:
        check_copy(batch[rng.randrange(count)], cls, rng)


# --- the calls ---------------------------------------------------------------


@dataclasses.dataclass
class Op:
    kind: str
    access: object      # key of REFUSALS
    weight: float
    run: object         # run(worker)


def random_moves(rng, plain=False):
    """A move string and the number of quarter turns it applies."""
    pieces, turns = [], 0
    for _ in range(rng.randrange(8)):
        if plain:
            token, n = rng.choice("UDRLFB"), 1
        elif rng.random() < 0.2:
            token, n = rng.choice(JUNK), 0
        else:
            token, n = rng.choice(TOKENS)
        pieces.append(token)
        turns += n
    separators = [" "] if plain else SEPARATORS
    return "".join(rng.choice(separators) + token for token in pieces) + rng.choice(separators), turns


def cube_ops(cls):
    name, dim = cls.__name__, STICKER_DIM[cls]
    ops = []

    def add(kind, access, weight=1.0):
        def register(body):
            def run(w):
                cube = w.rng.choice(w.world.cubes[cls])
                body(w, cube)
            ops.append(Op(f"{name}.{kind}", access, weight, run))
            return body
        return register

    for move in MOVE_METHODS:
        @add(move, "exclusive", 0.5)
        def _(w, cube, move=move):
            result = getattr(cube, move)()
            w.ledger.cube(cube, 1)
            expect(result is None, f"{move} returned {result!r}")

    @add("apply_move_index", "exclusive", 0.5)
    def _(w, cube):
        result = cube.apply_move_index(w.rng.randrange(12))
        w.ledger.cube(cube, 1)
        expect(result is None, f"apply_move_index returned {result!r}")

    @add("to_one_hot", "shared", 0.5)
    def _(w, cube):
        row = cube.to_one_hot(w.rng.choice(["float32", "float16", "uint8"]))
        expect(row.shape == (dim * 6,) and ((row == 0) | (row == 1)).all() and row.sum() == dim,
               f"one-hot row {row!r}")

    @add("do_moves", "exclusive")
    def _(w, cube):
        text, turns = random_moves(w.rng)
        result = cube.do_moves(text)
        w.ledger.cube(cube, turns)
        expect(result is None, f"do_moves returned {result!r}")

    @add("scramble", "exclusive")
    def _(w, cube):
        length = w.rng.randrange(-2, 6)
        if w.rng.random() < 0.1:
            result, length = cube.scramble(), 20
        else:
            result = cube.scramble(length)
        w.ledger.cube(cube, max(length, 0))
        expect(result is None, f"scramble returned {result!r}")

    @add("is_solved", "shared")
    def _(w, cube):
        expect(type(cube.is_solved()) is bool, "is_solved is not a bool")

    @add("to_sticker_array", "shared")
    def _(w, cube):
        check_stickers(cube.to_sticker_array(), dim, w.deep())

    @add("get_corners", "shared")
    def _(w, cube):
        corners = cube.get_corners()
        check_pairs(corners, 8)
        problems = piece_problems(corners)
        expect(not problems, f"get_corners {corners}: {problems}")

    @add("str", "shared")
    def _(w, cube):
        check_text(str(cube), dim, 1)

    @add("to_words", "shared")
    def _(w, cube):
        state = cube.to_words()
        expect(type(state) is tuple and len(state) == (2 if cls is Cube3x3 else 1)
               and all(type(word) is int for word in state), f"to_words {state!r}")
        problems = word_problems(state)
        expect(not problems, f"to_words {state}: {problems}")

    # The class methods read a shared cube's words or stickers and build a new one.
    @add("from_words", "shared")
    def _(w, cube):
        state = cube.to_words()
        again = cls.from_words(*state)
        expect(type(again) is cls and again.to_words() == state, f"from_words{state}")

    @add("from_sticker_array", "shared")
    def _(w, cube):
        stickers = cube.to_sticker_array()
        again = cls.from_sticker_array(stickers)
        expect(type(again) is cls and again.to_sticker_array() == stickers,
               f"from_sticker_array({stickers})")

    @add("pickle", "shared", 0.5)
    def _(w, cube):
        again = pickle.loads(pickle.dumps(cube, protocol=w.rng.choice([2, 5])))
        expect(again is not cube, "pickle gave the same object")
        check_copy(again, cls, w.rng)

    # New cubes from shared ones: the inverse undoes its own inverse, and a
    # composition with another shared cube (maybe this one) is a state.
    @add("inverse", "shared")
    def _(w, cube):
        inverse = cube.inverse()
        check_copy(inverse, cls, w.rng)
        expect(inverse.compose(inverse.inverse()).is_solved(), "an inverse that does not undo")

    @add("compose", "shared")
    def _(w, cube):
        check_copy(cube.compose(w.rng.choice(w.world.cubes[cls])), cls, w.rng)

    if cls is Cube3x3:
        @add("get_edges", "shared")
        def _(w, cube):
            edges = cube.get_edges()
            check_pairs(edges, 12)
            problems = piece_problems(None, edges)
            expect(not problems, f"get_edges {edges}: {problems}")

        @add("to_binary", "shared")
        def _(w, cube):
            both = cube.to_binary()
            expect(type(both) is tuple and len(both) == 2, f"to_binary {both!r}")
            corners, edges = map(word_from_binary, both)
            # One call, one state: the two words must fit together.
            problems = piece_problems(unpack_corners(corners), unpack_edges(edges))
            expect(corners >> 40 == 0 and edges >> 60 == 0 and not problems,
                   f"to_binary {corners:#x} {edges:#x}: {problems}")

        @add("to_binary_corners", "shared")
        def _(w, cube):
            word = word_from_binary(cube.to_binary_corners())
            expect(word >> 40 == 0 and not piece_problems(unpack_corners(word)), f"corners {word:#x}")

        @add("to_binary_edges", "shared")
        def _(w, cube):
            word = word_from_binary(cube.to_binary_edges())
            expect(word >> 60 == 0 and not piece_problems(None, unpack_edges(word)), f"edges {word:#x}")

        @add("corners", "shared")
        def _(w, cube):
            word = cube.corners
            expect(type(word) is int and 0 <= word < 1 << 40
                   and not piece_problems(unpack_corners(word)), f"corners {word!r}")

        # The 3x3's search at tiny bounds: quick answers or quick refusals,
        # through the same waiting and tables as the long calls.
        @add("solve", "shared")
        def _(w, cube):
            bound = w.rng.choice([0, 1, 2])
            try:
                text = cube.solve(max_length=bound, optimal=w.rng.random() < 0.5)
            except ValueError:
                return
            tokens = text.split()
            expect(len(tokens) <= bound and all(token in SOLUTION_TOKENS for token in tokens),
                   f"solve {text!r} within {bound}")

        # A random state's exact distance takes hours: a shallow cube of the
        # thread's own, through the same tables as the other threads.
        @add("distance", "shared")
        def _(w, cube):
            near = Cube3x3()
            near.do_moves(" ".join(w.rng.choice(sorted(SOLUTION_TOKENS)) for _ in range(5)))
            distance = near.distance(modulo_rotation=w.rng.random() < 0.5)
            expect(type(distance) is int and distance <= 5 and distance % 2 == 1, f"distance {distance!r}")
    else:
        @add("to_binary", "shared")
        def _(w, cube):
            word = word_from_binary(cube.to_binary())
            expect(word >> 40 == 0 and not piece_problems(unpack_corners(word)), f"state {word:#x}")

        @add("state", "shared")
        def _(w, cube):
            word = cube.state
            expect(type(word) is int and 0 <= word < 1 << 40
                   and not piece_problems(unpack_corners(word)), f"state {word!r}")

        # The exact answers: the first call of a run builds the distance table
        # while other threads go on.
        @add("rank", "shared")
        def _(w, cube):
            rank = cube.rank()
            expect(type(rank) is int and 0 <= rank < RANKS_2X2, f"rank {rank!r}")

        @add("distance", "shared")
        def _(w, cube):
            distance = cube.distance(modulo_rotation=w.rng.random() < 0.5)
            expect(type(distance) is int and 0 <= distance <= 14, f"distance {distance!r}")

        @add("solve", "shared")
        def _(w, cube):
            text = cube.solve()
            tokens = text.split()
            expect(type(text) is str and len(tokens) <= 14
                   and all(token in SOLUTION_TOKENS for token in tokens), f"solve {text!r}")
    return ops


def batch_ops(cls):
    name, dim, cube_type = f"CubeBatch[{cls.__name__[4:]}]", STICKER_DIM[cls], BATCH_TYPE[cls]
    ops = []

    def add(kind, access, weight=1.0, nonempty=False, randomized=False):
        def register(body):
            def run(w):
                batches = w.world.batches[cls]
                if nonempty:
                    batches = [b for b in batches if w.world.size(b)]
                if randomized:
                    batches = [w.world.randomized[cls]]
                batch = w.rng.choice(batches)
                body(w, batch, w.world.size(batch))
            ops.append(Op(f"{name}.{kind}", access, weight, run))
            return body
        return register

    @add("scramble", "exclusive")
    def _(w, batch, n):
        lengths = w.np.integers(-2, 5, size=w.rng.randrange(n + 4), dtype=np.int64)
        result = batch.scramble(lengths)
        w.ledger.batch(batch, np.maximum(lengths, 0))
        expect(result is None, f"scramble returned {result!r}")

    @add("apply_move_indexes", "exclusive")
    def _(w, batch, n):
        indexes = w.np.integers(0, 14, size=w.rng.randrange(n + 4), dtype=np.uint64)
        if indexes.size and w.rng.random() < 0.2:
            indexes[w.rng.randrange(indexes.size)] = np.iinfo(np.uint64).max
        result = batch.apply_move_indexes(indexes)
        w.ledger.batch(batch, (indexes < 12).astype(np.int64))
        expect(result is None, f"apply_move_indexes returned {result!r}")

    @add("randomize", "exclusive", 0.5, randomized=True)
    def _(w, batch, n):
        rows = w.rng.choice([None, w.np.random(n) < 0.5])
        result = batch.randomize(w.rng.choice([None, w.rng.randrange(1 << 64)]), rows=rows)
        w.ledger.forget(batch)
        expect(result is None, f"randomize returned {result!r}")

    @add("scramble_with_moves", "exclusive")
    def _(w, batch, n):
        lengths = w.np.integers(-2, 5, size=w.rng.randrange(n + 4), dtype=np.int64)
        avoid = w.rng.random() < 0.5
        canonical = w.rng.random() < 0.3
        moves = batch.scramble_with_moves(lengths, w.rng.choice([None, w.rng.randrange(1 << 64)]),
                                          avoid_inverse=avoid, canonical=canonical)
        applied = np.zeros(n, dtype=np.int64)
        applied[:min(n, lengths.size)] = np.maximum(lengths[:n], 0)
        w.ledger.batch(batch, applied)
        expect(type(moves) is np.ndarray and moves.dtype == np.int8
               and moves.shape == (n, applied.max(initial=0)), f"moves {moves!r} for {lengths}")
        # Row i: its length of moves 0..11, then -1.
        recorded = np.arange(moves.shape[1]) < applied[:, None]
        expect(((moves >= 0) == recorded).all() and (moves[~recorded] == -1).all()
               and (moves < 12).all(), f"moves {moves.tolist()} for lengths {lengths.tolist()}")
        if avoid or canonical:
            expect(not (moves[:, 1:] == moves[:, :-1] ^ 1).any(), f"a move undone: {moves.tolist()}")
        if canonical:
            triple = (moves[:, 2:] == moves[:, 1:-1]) & (moves[:, 1:-1] == moves[:, :-2]) & (moves[:, 2:] >= 0)
            expect(not triple.any(), f"X X X in a canonical scramble: {moves.tolist()}")

    @add("apply_moves", "exclusive")
    def _(w, batch, n):
        moves = w.np.integers(-1, 12, size=n).astype(w.rng.choice([np.int8, np.int16, np.int64]))
        result = batch.apply_moves(moves)
        w.ledger.batch(batch, (moves >= 0).astype(np.int64))
        expect(result is None, f"apply_moves returned {result!r}")

    # Its own cubes written back, in place: no state changes.
    @add("put", "exclusive", 0.5)
    def _(w, batch, n):
        result = batch.put(w.rng.choice([np.arange(n), np.ones(n, dtype=bool), slice(None)]), batch)
        expect(result is None, f"put returned {result!r}")

    @add("apply_move_sequences", "exclusive")
    def _(w, batch, n):
        moves = w.np.integers(-1, 12, size=(w.rng.randrange(n + 3), w.rng.randrange(6)), dtype=np.int8)
        result = batch.apply_move_sequences(moves)
        w.ledger.batch(batch, np.cumprod(moves >= 0, axis=1).sum(axis=1))    # up to the first -1
        expect(result is None, f"apply_move_sequences returned {result!r}")

    def check_sticker_rows(w, rows, n, dtype):
        check_rows(rows, n, dim, dtype)
        if n and w.deep():
            row = rows[w.rng.randrange(n)].tolist()
            problems = decoded_problems(row)
            expect(not problems, f"row {row}: {problems}")

    @add("to_sticker_array", "shared")
    def _(w, batch, n):
        check_sticker_rows(w, batch.to_sticker_array(), n, np.int64)

    @add("to_sticker_bytes", "shared")
    def _(w, batch, n):
        check_sticker_rows(w, batch.to_sticker_bytes(), n, np.uint8)

    @add("to_words", "shared")
    def _(w, batch, n):
        check_words(batch.to_words(), n, cls, w.rng)

    @add("is_solved", "shared")
    def _(w, batch, n):
        flags = batch.is_solved()
        expect(type(flags) is np.ndarray and flags.dtype == np.bool_ and flags.shape == (n,),
               f"is_solved gave {flags!r}")

    @add("take", "shared")
    def _(w, batch, n):
        indexes = [w.rng.randrange(-n, n) for _ in range(w.rng.randrange(6))] if n else []
        check_new_batch(batch.take(indexes), len(indexes), cls, w.rng)

    # Images under the 48 symmetries: a state's class has one representative,
    # the least image, which its images share.
    @add("symmetric", "shared")
    def _(w, batch, n):
        k = w.rng.randrange(48) if w.rng.random() < 0.5 else w.np.integers(0, 48, size=n)
        check_new_batch(batch.symmetric(k), n, cls, w.rng)

    @add("canonical", "shared")
    def _(w, batch, n):
        inverse = w.rng.random() < 0.5
        least = batch.canonical(inverse=inverse)
        check_new_batch(least, n, cls, w.rng)
        if n and w.deep():
            i = w.rng.randrange(n)
            one = least.take([i])
            again = one.symmetric(w.rng.randrange(48)).canonical(inverse=inverse)
            expect((again.to_words() == one.to_words()).all(), f"canonical of an image differs at {i}")

    @add("SYMMETRY_MOVES", "shared")
    def _(w, batch, n):
        table = batch.SYMMETRY_MOVES if w.rng.random() < 0.5 else CubeBatch.SYMMETRY_MOVES
        expect(type(table) is np.ndarray and table.dtype == np.int8 and table.shape == (48, 12)
               and not table.flags.writeable and (np.sort(table, axis=1) == np.arange(12)).all(),
               f"SYMMETRY_MOVES {table!r}")

    @add("get_next_batch", "shared")
    def _(w, batch, n):
        if w.rng.random() < 0.3:
            moves, successors = range(12), batch.get_next_batch()
        else:
            moves = [w.rng.randrange(12) for _ in range(w.rng.randrange(5))]
            successors = batch.get_next_batch(moves)
        k = len(moves)
        check_new_batch(successors, k * n, cls, w.rng)
        if n and k and w.deep():
            i = w.rng.randrange(n)
            successor_origin(successors.to_sticker_array()[k * i:k * i + k], moves)

    # The class methods build a new batch from what a shared one gives out.
    @add("from_words", "shared")
    def _(w, batch, n):
        state = batch.to_words()
        again = CubeBatch.from_words(state, cube_type)
        expect(len(again) == n and np.array_equal(again.to_words(), state), "from_words changed words")

    @add("from_sticker_array", "shared")
    def _(w, batch, n):
        rows = batch.to_sticker_bytes() if w.rng.random() < 0.5 else batch.to_sticker_array()
        again = CubeBatch.from_sticker_array(rows, cube_type)
        expect(len(again) == n and np.array_equal(again.to_sticker_array(), rows),
               "from_sticker_array changed stickers")

    @add("concatenate", "shared")
    def _(w, batch, n):
        parts = [batch] + [w.rng.choice(w.world.batches[cls]) for _ in range(w.rng.randrange(3))]
        joined = CubeBatch.concatenate(parts)
        check_new_batch(joined, sum(map(w.world.size, parts)), cls, w.rng)

    @add("pickle", "shared", 0.5)
    def _(w, batch, n):
        check_new_batch(pickle.loads(pickle.dumps(batch, protocol=w.rng.choice([2, 5]))), n, cls, w.rng)

    @add("get_next_states", "shared")
    def _(w, batch, n):
        check_successors(batch.get_next_states(), n, dim, w.rng)

    # The group operations make new batches from shared ones.
    @add("inverse", "shared")
    def _(w, batch, n):
        inverse = batch.inverse()
        check_new_batch(inverse, n, cls, w.rng)
        expect(inverse.compose(inverse.inverse()).is_solved().all(), "an inverse that does not undo")

    @add("compose", "shared")
    def _(w, batch, n):
        other = w.rng.choice([b for b in w.world.batches[cls] if w.world.size(b) == n])
        check_new_batch(batch.compose(other), n, cls, w.rng)

    @add("to_pieces", "shared")
    def _(w, batch, n):
        pieces = batch.to_pieces()
        widths = {"corners": 8, "twists": 8, **({"edges": 12, "flips": 12} if cube_type == 3 else {})}
        expect(type(pieces) is dict and {k: (v.dtype, v.shape) for k, v in pieces.items()}
               == {k: (np.dtype(np.int8), (n, width)) for k, width in widths.items()}, f"pieces {pieces!r}")
        if n and w.deep():
            i = w.rng.randrange(n)
            problems = piece_problems(
                list(zip(pieces["corners"][i].tolist(), pieces["twists"][i].tolist())),
                list(zip(pieces["edges"][i].tolist(), pieces["flips"][i].tolist())) if cube_type == 3 else None)
            expect(not problems, f"pieces of cube {i}: {problems}")

    @add("from_pieces", "shared")
    def _(w, batch, n):
        pieces = batch.to_pieces()
        again = CubeBatch.from_pieces(pieces, cube_type)
        expect(len(again) == n and all(np.array_equal(again.to_pieces()[k], v) for k, v in pieces.items()),
               "from_pieces changed pieces")

    @add("to_one_hot", "shared")
    def _(w, batch, n):
        dtype = w.rng.choice([np.float32, np.float16, np.uint8])
        out = batch.to_one_hot(dtype)
        expect(type(out) is np.ndarray and out.dtype == dtype and out.shape == (n, dim * 6),
               f"one-hot {out.dtype} {out.shape}")
        hot = out.reshape(n, dim, 6) == 1
        expect((hot.sum(axis=2) == 1).all() and ((out == 0) | (out == 1)).all(), "not one-hot")
        check_rows(hot.argmax(axis=2), n, dim)

    # The 2x2's exact answers; a 3x3 batch refuses them.
    def exact(call, dtype, shape):
        if cube_type == 3:
            try:
                call()
            except TypeError:
                return None
            raise Violation("a 3x3 batch gave an exact answer")
        out = call()
        expect(type(out) is np.ndarray and out.dtype == dtype and out.shape == shape,
               f"{out.dtype} {out.shape}, expected {np.dtype(dtype)} {shape}")
        return out

    @add("ranks", "shared")
    def _(w, batch, n):
        ranks = exact(batch.ranks, np.uint64, (n,))
        expect(ranks is None or (ranks < RANKS_2X2).all(), "ranks out of range")

    @add("from_ranks", "shared")
    def _(w, batch, n):
        if cube_type == 2:
            state = batch.to_words()
            again = CubeBatch.from_ranks(batch.ranks(), 2)
            expect(len(again) == n and np.array_equal(again.to_words(), state), "from_ranks changed words")

    @add("distances", "shared")
    def _(w, batch, n):
        if cube_type == 2:
            distances = exact(lambda: batch.distances(w.rng.random() < 0.5), np.uint8, (n,))
            expect(distances is None or (distances <= 14).all(), "distances beyond 14")
            return
        if not FREE_THREADED:
            # With the GIL, a call that waits for the pool attached (from_cubes,
            # a batch turn) would keep the GIL from the progress callable that
            # stops a long search: shallow cubes of the thread's own.
            near = CubeBatch(3, 3)
            near.scramble_with_moves(np.full(3, 5), seed=w.rng.randrange(1 << 30), avoid_inverse=True)
            distances = near.distances()
            expect((distances <= 5).all() and (distances % 2 == 1).all(), f"distances {distances!r}")
            return

        # The 3x3's exact search on random states takes hours: it is stopped
        # by its progress callable at the first report.
        def stop(done, total):
            raise StopSearch

        try:
            distances = batch.distances(progress=stop)
        except StopSearch:
            return
        expect(distances.dtype == np.uint8 and distances.shape == (n,) and (distances <= 26).all(),
               f"distances {distances!r}")

    @add("lower_bounds", "shared")
    def _(w, batch, n):
        bounds = batch.lower_bounds()
        expect(type(bounds) is np.ndarray and bounds.dtype == np.uint8 and bounds.shape == (n,)
               and (bounds <= (26 if cube_type == 3 else 14)).all(), f"lower_bounds {bounds!r}")

    @add("solutions", "shared")
    def _(w, batch, n):
        # Tiny bounds on the 3x3, whose search at its default bound takes
        # tens of milliseconds a cube; the 2x2 reads its table either way.
        bound = w.rng.choice([0, 1, 2]) if cube_type == 3 else w.rng.choice([None, 9])
        moves, lengths = batch.solutions(max_length=bound, optimal=w.rng.random() < 0.5, return_lengths=True)
        width = 14 if bound is None else bound
        expect(moves.dtype == np.int8 and moves.shape == (n, width) and lengths.shape == (n,),
               f"solutions {moves.dtype} {moves.shape}, lengths {lengths.shape}")
        expect(((moves >= -1) & (moves < 12)).all() and ((lengths >= -1) & (lengths <= width)).all()
               and ((moves >= 0).sum(axis=1) == np.maximum(lengths, 0)).all(), "solutions out of range")

    @add("len()", "shared")
    def _(w, batch, n):
        expect(len(batch) == n, f"len {len(batch)} != {n}")

    @add("len", "shared")
    def _(w, batch, n):
        got = batch.len()
        expect(type(got) is int and got == n, f"len() {got!r} != {n}")

    @add("[i]", "shared", nonempty=True)
    def _(w, batch, n):
        check_copy(batch[w.rng.randrange(-n, n)], cls, w.rng)

    @add("[out of range]", "shared", 0.5)
    def _(w, batch, n):
        index = w.rng.choice([n, n + w.rng.randrange(1, 5), -n - w.rng.randrange(1, 5)])
        try:
            cube = batch[index]
        except IndexError as e:
            expect(str(e) == "cubeBatch index out of range", f"IndexError {e}")
        else:
            raise Violation(f"index {index} of {n} gave {cube!r}")

    @add("iter", "shared")
    def _(w, batch, n):
        seen = 0
        for cube in batch:
            expect(type(cube) is cls and not piece_problems(cube.get_corners()), f"item {seen}")
            seen += 1
        expect(seen == n, f"iteration gave {seen} of {n} cubes")

    @add("str", "shared", 0.5)
    def _(w, batch, n):
        check_text(str(batch), dim, n)

    # Sets of states: each call reads its batch once, under one hold.
    @add("keys", "shared")
    def _(w, batch, n):
        keys = batch.keys()
        expect(type(keys) is np.ndarray and keys.dtype == np.uint64 and keys.shape == (n,), f"keys {keys!r}")

    @add("unique", "shared")
    def _(w, batch, n):
        order = w.rng.choice(["sorted", "first"])
        distinct, index, inverse, counts = batch.unique(order, True, True, True)
        check_new_batch(distinct, len(index), cls, w.rng)
        k = len(distinct)
        expect(counts.shape == (k,) and inverse.shape == (n,) and counts.sum() == n and (counts > 0).all()
               and ((inverse >= 0) & (inverse < k)).all() and ((index >= 0) & (index < n)).all(),
               f"unique gave {k} states, counts {counts!r}, inverse {inverse!r}")

    @add("isin", "shared")
    def _(w, batch, n):
        other = w.rng.choice(w.world.batches[cls])
        found = batch.isin(other)
        expect(found.dtype == np.bool_ and found.shape == (n,), f"isin {found!r}")
        expect(batch.isin(batch).all(), "a batch is not in itself")

    # The shared set of this cube type: it only grows.
    @add("StateSet.add", "shared")
    def _(w, batch, n):
        states = w.world.state_sets[cls]
        before = len(states)
        fresh = states.add(batch)
        expect(fresh.dtype == np.bool_ and fresh.shape == (n,), f"StateSet.add {fresh!r}")
        expect(len(states) >= before + int(fresh.sum()), f"StateSet shrank or miscounted: {before}, "
               f"{int(fresh.sum())} new, now {len(states)}")

    @add("StateSet.contains", "shared")
    def _(w, batch, n):
        found = w.world.state_sets[cls].contains(batch)
        expect(found.dtype == np.bool_ and found.shape == (n,), f"StateSet.contains {found!r}")

    @add("StateSet.len", "shared", 0.5)
    def _(w, batch, n):
        states = w.world.state_sets[cls]
        first = states.len()
        expect(type(first) is int and len(states) >= first >= 0, "StateSet.len went down")

    return ops


def module_ops(threads):
    ops = []
    for cls in CUBE_CLASSES:
        dim = STICKER_DIM[cls]

        def call(w, cls=cls, dim=dim):
            cubes = w.world.lists[cls]
            rows = turnsmith.get_next_states(cubes)
            expect(type(rows) is np.ndarray and rows.ndim == 2 and rows.shape[0] % 12 == 0,
                   f"get_next_states gave {getattr(rows, 'shape', rows)!r}")
            count = rows.shape[0] // 12
            # A walk ends at the shorter of the lengths before and during it
            # (none when the list is cleared just after its first cube told
            # the type), and appends are refused beyond the cap, give or take
            # a race.
            expect(0 <= count <= LIST_CAP + threads, f"{count} cubes from one list")
            check_successors(rows, count, dim, w.rng)

        def append(w, cls=cls):
            cubes = w.world.lists[cls]
            if len(cubes) >= LIST_CAP:
                pop(w, cls)
            else:
                cubes.append(w.rng.choice(w.world.cubes[cls]))

        def pop(w, cls=cls):
            try:
                w.world.lists[cls].pop(w.rng.randrange(-2, 1))
            except IndexError:
                pass

        def clear(w, cls=cls):
            w.world.lists[cls].clear()

        def from_cubes(w, cls=cls):
            batch = CubeBatch.from_cubes(w.world.lists[cls])
            count = len(batch)
            expect(count <= LIST_CAP + threads, f"{count} cubes from one list")
            check_new_batch(batch, count, cls, w.rng)

        suffix = f"list[{cls.__name__}]"
        ops += [Op(f"get_next_states({suffix})", "list", 3.0, call),
                Op(f"CubeBatch[{cls.__name__[4:]}].from_cubes", "cube list", 1.5, from_cubes),
                Op(f"{suffix}.append", None, 3.0, append),
                Op(f"{suffix}.pop", None, 1.5, pop),
                Op(f"{suffix}.clear", None, 0.25, clear)]

    def inverse(w):
        plain = w.rng.random() < 0.5
        text, _ = random_moves(w.rng, plain)
        result = turnsmith.inverse_scramble(text)
        expect(type(result) is str and len(result.split()) == len(text.split()),
               f"inverse_scramble({text!r}) = {result!r}")
        if plain:
            # Single face letters are undone by their inverse.
            cube = w.rng.choice(CUBE_CLASSES)()
            cube.do_moves(text)
            cube.do_moves(result)
            expect(cube.is_solved(), f"inverse_scramble({text!r}) = {result!r} does not undo it")

    ops.append(Op("inverse_scramble", None, 1.0, inverse))
    return ops


def all_ops(threads):
    return [op for cls in CUBE_CLASSES for op in cube_ops(cls) + batch_ops(cls)] + module_ops(threads)


# --- the threads -------------------------------------------------------------


class Worker(threading.Thread):
    def __init__(self, world, ops, seed, start):
        super().__init__(daemon=True)
        self.world, self.ops, self.start_line = world, ops, start
        self.rng = random.Random(seed)
        self.np = np.random.default_rng(seed)
        self.cum_weights = list(itertools.accumulate(op.weight for op in ops))
        self.ledger = Ledger(world)
        self.calls = collections.Counter()
        self.refusals = collections.Counter()
        self.unexpected = collections.Counter()
        self.errors = []
        self.violations = []

    def deep(self):
        return self.rng.random() < DEEP_SAMPLE

    def run(self):
        self.start_line.wait()
        deadline = self.start_line.deadline
        while time.monotonic() < deadline:
            op = self.rng.choices(self.ops, cum_weights=self.cum_weights)[0]
            self.calls[op.kind] += 1
            try:
                op.run(self)
            except Violation as v:
                self.violations.append(f"{op.kind}: {v}")
            except BaseException as e:  # noqa: BLE001 - a PanicException is not an Exception
                if (type(e), str(e)) in REFUSALS[op.access]:
                    self.refusals[op.kind, str(e)] += 1
                else:
                    self.unexpected[op.kind] += 1
                    if len(self.errors) < KEPT_TRACEBACKS:
                        self.errors.append(f"{op.kind}: {traceback.format_exc()}")


class StartLine(threading.Barrier):
    """Lets every thread go at once and fixes the common deadline then."""

    def __init__(self, parties, seconds):
        super().__init__(parties, action=self._go)
        self.seconds = seconds
        self.deadline = None

    def _go(self):
        self.deadline = time.monotonic() + self.seconds


# --- checks afterwards -------------------------------------------------------


def cube_problems(cube):
    """Every view of a cube nobody else is using, checked against the others."""
    stickers = cube.to_sticker_array()
    corners = cube.get_corners()
    three = isinstance(cube, Cube3x3)
    edges = cube.get_edges() if three else None
    problems = sticker_list_problems(stickers, STICKER_DIM[type(cube)])
    problems += piece_problems(corners, edges)
    if stickers != reference_stickers(cube):
        problems.append("stickers disagree with the piece lists")
    if str(cube) != reference_render(stickers):
        problems.append("text disagrees with the stickers")
    if three:
        if (cube.corners, edge_word(cube)) != (pack_corners(corners), pack_edges(edges)):
            problems.append("words disagree with the piece lists")
        if cube.to_binary() != (cube.to_binary_corners(), cube.to_binary_edges()):
            problems.append("to_binary disagrees with its halves")
        solved = (cube.corners, edge_word(cube)) == (SOLVED_CORNERS, SOLVED_EDGES)
    else:
        if int(cube.to_binary(), 2) != cube.state or cube.state != pack_corners(corners):
            problems.append("state word disagrees with its views")
        solved = cube.state == SOLVED_CORNERS
    if cube.is_solved() != solved:
        problems.append("is_solved disagrees with the words")
    return problems


def successor_problems(rows, cubes):
    """Row 12*i+m must be cube i after move m; each cube is turned there and back."""
    problems = []
    for i, cube in enumerate(cubes):
        before = words(cube)
        for move, method in enumerate(MOVE_METHODS):
            getattr(cube, method)()
            if rows[12 * i + move].tolist() != cube.to_sticker_array():
                problems.append(f"successor row {12 * i + move} is not cube {i} after {method}")
            getattr(cube, MOVE_METHODS[move ^ 1])()
        if words(cube) != before:
            problems.append(f"cube {i} not restored by move and inverse")
    return problems


def world_problems(world, ledger):
    problems = []
    for cls, cubes in world.cubes.items():
        for k, cube in enumerate(cubes):
            where = f"{cls.__name__} {k}"
            problems += [f"{where}: {p}" for p in cube_problems(cube)]
            turns = ledger.cubes[world.cube_keys[id(cube)]]
            if corner_parity(cube) != turns % 2:
                problems.append(f"{where}: corner parity does not match "
                                f"the {turns} turns that got through")

    for cls, batches in world.batches.items():
        dim = STICKER_DIM[cls]
        for batch in batches:
            n, turns = world.size(batch), ledger.batches[world.batch_keys[id(batch)]]
            where = f"CubeBatch[{cls.__name__[4:]}] of {n}"
            if not len(batch) == batch.len() == n:
                problems.append(f"{where}: length {len(batch)} / {batch.len()}")
            cubes = [batch[i] for i in range(n)]
            if [words(c) for c in cubes] != [words(batch[i - n]) for i in range(n)]:
                problems.append(f"{where}: negative indexes disagree")
            if [words(c) for c in cubes] != [words(c) for c in batch]:
                problems.append(f"{where}: iteration disagrees with indexing")
            for i, cube in enumerate(cubes):
                if type(cube) is not cls:
                    problems.append(f"{where}: cube {i} is a {type(cube).__name__}")
                    continue
                problems += [f"{where}, cube {i}: {p}" for p in cube_problems(cube)]
                if ledger.known(batch) and corner_parity(cube) != turns[i] % 2:
                    problems.append(f"{where}, cube {i}: corner parity does not match "
                                    f"the {turns[i]} turns that got through")
            rows = batch.to_sticker_array()
            if rows.shape != (n, dim) or rows.dtype != np.int64:
                problems.append(f"{where}: sticker array {rows.shape} {rows.dtype}")
            elif rows.tolist() != [c.to_sticker_array() for c in cubes]:
                problems.append(f"{where}: sticker rows disagree with the indexed cubes")
            elif not np.array_equal(batch.to_sticker_bytes(), rows):
                problems.append(f"{where}: sticker bytes disagree with the sticker rows")
            if word_rows(batch.to_words()) != [words(c) for c in cubes]:
                problems.append(f"{where}: to_words disagrees with the indexed cubes")
            if batch.is_solved().tolist() != [c.is_solved() for c in cubes]:
                problems.append(f"{where}: is_solved disagrees with the indexed cubes")
            successors = batch.get_next_states()
            if successors.shape != (12 * n, dim) or successors.dtype != np.int64:
                problems.append(f"{where}: successors {successors.shape} {successors.dtype}")
            else:
                problems += [f"{where}: {p}" for p in successor_problems(successors, cubes)]
                if not np.array_equal(batch.get_next_batch().to_sticker_array(), successors):
                    problems.append(f"{where}: get_next_batch disagrees with get_next_states")
            if str(batch) != "\n\n".join(str(c) for c in cubes):
                problems.append(f"{where}: text is not the cube texts joined")

    for cls, cubes in world.lists.items():
        where = f"list[{cls.__name__}]"
        pool = {id(c) for c in world.cubes[cls]}
        if any(id(c) not in pool for c in cubes):
            problems.append(f"{where}: holds an object that was never appended")
        elif cubes:
            successors = turnsmith.get_next_states(cubes)
            if successors.shape != (12 * len(cubes), STICKER_DIM[cls]):
                problems.append(f"{where}: successors {successors.shape}")
            else:
                problems += [f"{where}: {p}" for p in successor_problems(successors, cubes)]
    return problems


# --- running -----------------------------------------------------------------


@dataclasses.dataclass
class StressResult:
    seconds: float
    threads: int
    seed: int
    kinds: list                 # every call kind offered, in table order
    calls: collections.Counter  # kind -> calls made
    refusals: collections.Counter   # (kind, message) -> expected refusals
    unexpected: collections.Counter  # kind -> unexpected exceptions
    errors: list                # tracebacks of the first unexpected exceptions
    violations: list            # impossible results and broken invariants

    @property
    def ok(self):
        return not self.unexpected and not self.errors and not self.violations

    def succeeded(self, kind):
        refused = sum(n for (k, _), n in self.refusals.items() if k == kind)
        return self.calls[kind] - refused - self.unexpected[kind]

    def summary(self):
        build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with the GIL"
        columns = {"borrowed": {BORROWED}, "mut.borrowed": {MUTABLY_BORROWED},
                   "empty list": {EMPTY_LIST.format(c) for c in LIST_CALLERS.values()},
                   "first held": {FIRST_ITEM_HELD.format(c) for c in LIST_CALLERS.values()}}
        heads = list(columns)
        counts = collections.Counter()  # (kind, head) -> refusals
        for (kind, message), n in self.refusals.items():
            counts[kind, next((h for h, m in columns.items() if message in m), "?")] += n
        lines = [f"turnsmith stress: {self.threads} threads, {self.seconds:g} s, seed {self.seed}, "
                 f"Python {sys.version.split()[0]} {build}",
                 f"{'call':<40}{'calls':>9}{'through':>9}" + "".join(f"{h:>14}" for h in heads)
                 + f"{'errors':>8}"]
        for kind in self.kinds:
            lines.append(f"{kind:<40}{self.calls[kind]:>9}{self.succeeded(kind):>9}"
                         + "".join(f"{counts[kind, h]:>14}" for h in heads)
                         + f"{self.unexpected[kind]:>8}")
        totals = [sum(n for (_, h), n in counts.items() if h == head) for head in heads]
        lines.append(f"{'total':<40}{sum(self.calls.values()):>9}"
                     f"{sum(self.succeeded(k) for k in self.kinds):>9}"
                     + "".join(f"{t:>14}" for t in totals) + f"{sum(self.unexpected.values()):>8}")
        lines.append(f"unexpected exceptions: {sum(self.unexpected.values())}, "
                     f"violations: {len(self.violations)}")
        lines += self.errors[:5] + self.violations[:10]
        return "\n".join(lines)


def run_stress(seconds=20.0, threads=8, seed=0):
    """Runs the mix for `seconds` on `threads` threads, then checks every object."""
    # The first exact answer builds the 2x2's distance table: a second or two,
    # a minute under ThreadSanitizer, during which its loops would hold the
    # pool and starve the mix. Its concurrent first build is tested apart.
    Cube2x2().distance()
    # So are the 3x3's search tables, mapped from the run's cache.
    turnsmith.prepare_tables(3)
    turnsmith.prepare_tables(3, optimal=True)
    world = World()
    ops = all_ops(threads)
    start = StartLine(threads, seconds)
    workers = [Worker(world, ops, seed * 1000 + t, start) for t in range(threads)]
    for worker in workers:
        worker.start()
    # Generous: a sanitizer build is many times slower, but a call that never
    # returns (a lost wake-up in the pool) must still end the run.
    limit = time.monotonic() + 60 + 10 * seconds
    for worker in workers:
        worker.join(max(0.0, limit - time.monotonic()))

    result = StressResult(seconds, threads, seed, [op.kind for op in ops], collections.Counter(),
                          collections.Counter(), collections.Counter(), [], [])
    ledger = Ledger(world)
    for worker in workers:
        result.calls.update(worker.calls)
        result.refusals.update(worker.refusals)
        result.unexpected.update(worker.unexpected)
        result.errors += worker.errors
        result.violations += worker.violations
        ledger.merge(worker.ledger)
    hung = sum(worker.is_alive() for worker in workers)
    if hung:
        result.errors.append(f"{hung} threads still inside a call after the time limit")
    else:
        result.violations += world_problems(world, ledger)
    return result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seed", type=int, default=None, help="default: a fresh one, printed")
    args = parser.parse_args(argv)
    seed = random.randrange(1 << 30) if args.seed is None else args.seed
    result = run_stress(args.seconds, args.threads, seed)
    print(result.summary())
    for error in result.errors[5:]:
        print(error, file=sys.stderr)
    return 0 if result.ok else 1


if __name__ == "__main__":
    sys.exit(main())
