#!/usr/bin/env python3
"""Breadth-first search over cube positions: turnsmith's batch calls against
plain NumPy on sticker arrays, and against a loop over single cubes.

2x2, turned by U, U', R, R', F, F': every one of the 3,674,160 positions, level
by level. turnsmith expands a level with get_next_batch, reads the successors'
words with to_words, and de-duplicates them by sorting (numpy.sort, then
searchsorted against the two levels before: with every turn's inverse among
the turns, a successor of level d lies in level d-1, d or d+1); the next level
is built back with CubeBatch.from_words. NumPy keeps the levels as uint8
sticker rows, expands them with the six turns as index permutations (read off
the module once) with numpy.take, packs each row into one uint64 key (24
colours in base 6, eight at a time within a uint64 view of the row) and
de-duplicates the keys the same way, unpacking the new ones into rows again.
Both searches must give the known count of every level.

3x3, all twelve quarter turns, to depth 6: the batch search as above, with two
words per cube (sorted with numpy.lexsort), against plain Python over single
Cube3x3 objects and a set of word tuples.

    python bench/bfs.py            # 3 rounds of the 2x2 searches, then the 3x3; a few minutes
    python bench/bfs.py --quick    # 2x2 to depth 8, 3x3 to depth 4: a smoke run

numpy.unique is avoided on purpose: on large uint64 arrays it takes its hash
path, which is many times slower than sorting (8 million random keys: about
23 s against 0.4 s for numpy.sort on this kind of machine).
"""
from __future__ import annotations

import argparse
import datetime
import platform
import statistics
import sys
import time
from collections import defaultdict
from typing import Callable

import numpy as np
import turnsmith

from bench import default_worker_count, derive_permutations, fmt_ratio, fmt_time, load_average, print_table

MOVES_2X2 = (0, 1, 4, 5, 8, 9)  # U U' R R' F F'
COUNTS_2X2 = (1, 6, 27, 120, 534, 2256, 8969, 33058, 114149, 360508, 930588, 1350852, 782536, 90280, 276)
COUNTS_3X3 = (1, 12, 114, 1068, 10011, 93840, 878880)
TARGET_2X2_SPEEDUP = 2.5
# The quarter turns in move-index order (0 U, 1 U', 2 D, ... 11 B').
TURN_METHODS = tuple(f"do_{face}{suffix}_move" for face in "udrlfb" for suffix in ("", "_prime"))
# Masks for packing a row's key (see row_keys).
LANES_8, LANES_16, LANES_32 = (np.uint64(0x00FF00FF00FF00FF), np.uint64(0x0000FFFF0000FFFF),
                               np.uint64(0x00000000FFFFFFFF))
GROUP_MASK = np.uint64((1 << 21) - 1)

Phases = defaultdict[str, float]


class Stopwatch:
    """Adds the time since the last lap to a phase."""

    def __init__(self, phases: Phases):
        self.phases = phases
        self.last = time.perf_counter()

    def lap(self, phase: str) -> None:
        now = time.perf_counter()
        self.phases[phase] += now - self.last
        self.last = now


# ------------------------------------------------------ sort-based de-duplication ----

def absent_from(keys: np.ndarray, sorted_keys: np.ndarray) -> np.ndarray:
    """Mask of the keys that sorted_keys does not hold."""
    if len(sorted_keys) == 0:
        return np.ones(len(keys), dtype=bool)
    at = np.searchsorted(sorted_keys, keys)
    at[at == len(sorted_keys)] = 0
    return sorted_keys[at] != keys


def next_level(candidates: np.ndarray, current: np.ndarray, previous: np.ndarray) -> np.ndarray:
    """The sorted distinct candidate keys found in neither level (both sorted)."""
    keys = np.sort(candidates)
    first = np.empty(len(keys), dtype=bool)
    first[:1] = True
    np.not_equal(keys[1:], keys[:-1], out=first[1:])
    keys = keys[first]
    return keys[absent_from(keys, current) & absent_from(keys, previous)]


def next_level_pairs(candidates: np.ndarray, current: np.ndarray, previous: np.ndarray) -> np.ndarray:
    """The same for (n, 2) word rows: one stable lexsort of the older levels
    and the candidates together; a row is new when the first of its run of
    equal rows is a candidate."""
    rows = np.concatenate([previous, current, candidates])
    order = np.lexsort((rows[:, 1], rows[:, 0]))
    rows = rows[order]
    first = np.empty(len(rows), dtype=bool)
    first[:1] = True
    np.any(rows[1:] != rows[:-1], axis=1, out=first[1:])
    return rows[first & (order >= len(previous) + len(current))]


# ------------------------------------------------------------- the searches ----

Step = tuple[str, Callable]  # a phase's name and its function


def level_sizes(frontier, depth: int, phases: Phases, *, expand: Step, key: Step, dedupe: Callable,
                rebuild: Step) -> list[int]:
    """Level sizes of a breadth-first search from the one state in `frontier`,
    down to `depth` or the last level: expand a level into its successors, key
    them, keep the new keys (dedupe) and rebuild the next level from them.
    The time of each step is added to its phase."""
    current = key[1](frontier)
    previous = current[:0]
    counts = [1]
    clock = Stopwatch(phases)
    while len(counts) <= depth:
        successors = expand[1](frontier)
        clock.lap(expand[0])
        candidates = key[1](successors)
        del successors
        clock.lap(key[0])
        previous, current = current, dedupe(candidates, current, previous)
        clock.lap("sort and de-duplicate")
        if len(current) == 0:
            break
        frontier = rebuild[1](current)
        clock.lap(rebuild[0])
        counts.append(len(current))
    return counts


def bfs_turnsmith(cube_type: int, moves: tuple[int, ...] | None, depth: int, phases: Phases) -> list[int]:
    """The search with batch calls: successors' words, sorted; levels rebuilt from words."""
    return level_sizes(turnsmith.CubeBatch(1, cube_type), depth, phases,
                       expand=("get_next_batch", lambda frontier: frontier.get_next_batch(moves)),
                       key=("to_words", turnsmith.CubeBatch.to_words),
                       dedupe=next_level if cube_type == 2 else next_level_pairs,
                       rebuild=("from_words", lambda words: turnsmith.CubeBatch.from_words(words, cube_type)))


def row_keys(rows: np.ndarray) -> np.ndarray:
    """One uint64 per C-contiguous uint8 row of 24 colours 0..5. Each group of
    eight colours, read as one little-endian uint64 (colour i in byte i), is
    packed in base 6 by pairing neighbouring lanes (bytes into 16-bit lanes of
    base 6, those into 32-bit lanes of base 36, then base 1296): each group
    is below 6**8 < 2**21, and the three groups fill 63 bits."""
    groups = rows.view(np.uint64)  # (n, 3)
    lanes = groups >> 8  # in place from here: fewer temporaries of the successors' size
    lanes &= LANES_8
    lanes *= 6
    lanes += groups & LANES_8
    high = lanes >> 16
    high &= LANES_16
    high *= 36
    lanes &= LANES_16
    lanes += high
    high = lanes >> 32
    high *= 1296
    lanes &= LANES_32
    lanes += high
    keys = lanes[:, 0] << 42
    keys |= lanes[:, 1] << 21
    keys |= lanes[:, 2]
    return keys


def rows_of_keys(keys: np.ndarray) -> np.ndarray:
    """The inverse of row_keys: uint8 rows of 24 colours."""
    groups = np.stack([keys >> 42, (keys >> 21) & GROUP_MASK, keys & GROUP_MASK], axis=1)
    rows = np.empty((len(keys), 3, 8), dtype=np.uint8)
    for colour in range(8):
        rows[:, :, colour] = groups % 6
        groups //= 6
    return rows.reshape(len(keys), 24)


def bfs_numpy(perms: np.ndarray, depth: int, phases: Phases) -> list[int]:
    """The 2x2 search in plain NumPy: uint8 sticker rows, `perms` (k, 24) the turns."""
    solved = turnsmith.CubeBatch(1, 2).to_sticker_array().astype(np.uint8)
    return level_sizes(solved, depth, phases,
                       expand=("turns (numpy.take)",
                               lambda frontier: np.take(frontier, perms, axis=1).reshape(-1, frontier.shape[1])),
                       key=("row keys", row_keys), dedupe=next_level, rebuild=("rows from keys", rows_of_keys))


def bfs_single_cubes(depth: int, phases: Phases) -> list[int]:
    """The 3x3 search over single cubes: each state of a level is built from
    its words, turned by each move and turned back, its successors' words kept
    in a set."""
    from_words = turnsmith.Cube3x3.from_words
    turn_pairs = [(getattr(turnsmith.Cube3x3, TURN_METHODS[m]), getattr(turnsmith.Cube3x3, TURN_METHODS[m ^ 1]))
                  for m in range(len(TURN_METHODS))]
    start = turnsmith.Cube3x3().to_words()
    seen = {start}
    level = [start]
    counts = [1]
    clock = Stopwatch(phases)
    while len(counts) <= depth and level:
        found = []
        for words in level:
            cube = from_words(*words)
            for turn, undo in turn_pairs:
                turn(cube)
                successor = cube.to_words()
                undo(cube)
                if successor not in seen:
                    seen.add(successor)
                    found.append(successor)
        level = found
        counts.append(len(found))
        clock.lap(f"depth {len(counts) - 1}")
    return counts


def check_counts(label: str, counts: list[int], expected: tuple[int, ...]) -> None:
    if tuple(counts) != expected[:len(counts)] or len(counts) > len(expected):
        raise AssertionError(f"{label}: level sizes {counts}, expected {list(expected[:len(counts)])}")


# ------------------------------------------------------------------- main ----

def timed_search(label: str, search, expected: tuple[int, ...], depth: int) -> tuple[float, Phases]:
    phases: Phases = defaultdict(float)
    start = time.perf_counter()
    counts = search(phases)
    elapsed = time.perf_counter() - start
    check_counts(label, counts, expected)
    if len(counts) != min(depth, len(expected) - 1) + 1:
        raise AssertionError(f"{label}: {len(counts)} levels, expected {min(depth, len(expected) - 1) + 1}")
    return elapsed, phases


def print_phases(title: str, runs: list[Phases]) -> None:
    print(f"\n{title} (median over the rounds)")
    names = list(runs[0])
    total = sum(statistics.median(run[name] for run in runs) for name in names)
    print_table(["phase", "time", "share"],
                [[name, fmt_time(statistics.median(run[name] for run in runs)),
                  f"{statistics.median(run[name] for run in runs) / total:.0%}"] for name in names])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="2x2 to depth 8, 3x3 to depth 4, one round")
    parser.add_argument("--rounds", type=int, help="rounds of the two 2x2 searches, alternating (default 3)")
    parser.add_argument("--single-depth", type=int,
                        help="depth of the 3x3 single-cube search (default 6; a smaller one is extrapolated)")
    args = parser.parse_args(argv)

    sys.stdout.reconfigure(line_buffering=True)
    depth_2x2 = 8 if args.quick else len(COUNTS_2X2) - 1
    depth_3x3 = 4 if args.quick else len(COUNTS_3X3) - 1
    single_depth = args.single_depth if args.single_depth is not None else (3 if args.quick else len(COUNTS_3X3) - 1)
    rounds = args.rounds or (1 if args.quick else 3)
    started = time.perf_counter()
    print(f"turnsmith breadth-first search benchmark, {datetime.date.today().isoformat()}"
          f"{' (quick)' if args.quick else ''}")
    print(f"Python {platform.python_version()} ({'free-threaded' if not sys._is_gil_enabled() else 'GIL'}), "
          f"NumPy {np.__version__}, {platform.machine()}, nproc {default_worker_count()}")
    print(f"Load average at start: {load_average()}")

    perms = derive_permutations(2)[list(MOVES_2X2)]
    own_times, numpy_times, own_phases, numpy_phases = [], [], [], []
    for round_number in range(rounds):
        print(f"  2x2 round {round_number + 1} of {rounds} ...", file=sys.stderr, flush=True)
        own = lambda: timed_search("2x2 turnsmith", lambda p: bfs_turnsmith(2, MOVES_2X2, depth_2x2, p),
                                   COUNTS_2X2, depth_2x2)
        plain = lambda: timed_search("2x2 NumPy", lambda p: bfs_numpy(perms, depth_2x2, p), COUNTS_2X2, depth_2x2)
        if round_number % 2:
            (numpy_time, numpy_run), (own_time, own_run) = plain(), own()
        else:
            (own_time, own_run), (numpy_time, numpy_run) = own(), plain()
        own_times.append(own_time)
        numpy_times.append(numpy_time)
        own_phases.append(own_run)
        numpy_phases.append(numpy_run)
    ratios = [n / o for n, o in zip(numpy_times, own_times)]
    positions = sum(COUNTS_2X2[:depth_2x2 + 1])

    print(f"\n== 2x2 <U, R, F>: {positions:,} positions, depth {depth_2x2}, {rounds} round{'s' if rounds != 1 else ''} ==")
    print("Level sizes checked against the known counts in every search.\n"
          "speed-up = NumPy time / turnsmith time in the same round.\n")
    print_table(["round", "turnsmith", "NumPy", "speed-up"],
                [[str(i + 1), fmt_time(o), fmt_time(n), fmt_ratio(r)]
                 for i, (o, n, r) in enumerate(zip(own_times, numpy_times, ratios))])
    print(f"median: turnsmith {fmt_time(statistics.median(own_times))}, NumPy {fmt_time(statistics.median(numpy_times))}, "
          f"speed-up {fmt_ratio(statistics.median(ratios))}; best against best: "
          f"{fmt_ratio(min(numpy_times) / min(own_times))}")
    print_phases("turnsmith search by phase", own_phases)
    print_phases("NumPy search by phase", numpy_phases)

    print(f"  3x3 to depth {depth_3x3} ...", file=sys.stderr, flush=True)
    batch_time, batch_phases = timed_search("3x3 turnsmith", lambda p: bfs_turnsmith(3, None, depth_3x3, p),
                                            COUNTS_3X3, depth_3x3)
    print(f"  3x3 single cubes to depth {single_depth} ...", file=sys.stderr, flush=True)
    single_time, single_levels = timed_search("3x3 single cubes", lambda p: bfs_single_cubes(single_depth, p),
                                              COUNTS_3X3, single_depth)
    print(f"\n== 3x3, twelve quarter turns ==")
    print_table(["search", "depth", "positions", "time", "rate"],
                [["turnsmith batch", str(depth_3x3), f"{sum(COUNTS_3X3[:depth_3x3 + 1]):,}", fmt_time(batch_time),
                  f"{sum(COUNTS_3X3[:depth_3x3 + 1]) / batch_time / 1e3:,.0f} K/s"],
                 ["single cubes", str(single_depth), f"{sum(COUNTS_3X3[:single_depth + 1]):,}",
                  fmt_time(single_time), f"{sum(COUNTS_3X3[:single_depth + 1]) / single_time / 1e3:,.0f} K/s"]])
    print_phases("turnsmith 3x3 search by phase", [batch_phases])
    print("\nsingle-cube search by level:")
    print_table(["level", "time"], [[name, fmt_time(value)] for name, value in single_levels.items()])
    if single_depth < depth_3x3:
        # Finding level d expands level d - 1: its time goes with COUNTS_3X3[d - 1].
        per_expanded = single_levels[f"depth {single_depth}"] / COUNTS_3X3[single_depth - 1]
        estimate = single_time + per_expanded * sum(COUNTS_3X3[single_depth:depth_3x3])
        print(f"Extrapolated to depth {depth_3x3} at the last level's cost per expanded position "
              f"({fmt_time(per_expanded)}; a growing set only gets slower):\n"
              f"about {fmt_time(estimate)}, {estimate / batch_time:.1f} times the batch search.")
    else:
        print(f"single cubes / batch at depth {depth_3x3}: {single_time / batch_time:.1f}x")

    print("\n== targets ==")
    speedup = statistics.median(ratios)
    tag = "" if depth_2x2 == len(COUNTS_2X2) - 1 else f" [to depth {depth_2x2} only: indicative]"
    print(f"  {'PASS' if speedup >= TARGET_2X2_SPEEDUP else 'MISS'}  2x2 search, NumPy / turnsmith: "
          f"{fmt_ratio(speedup)} (median of {rounds}; need >= {TARGET_2X2_SPEEDUP:g}x){tag}")
    print(f"\nTotal run time {time.perf_counter() - started:.0f} s; load average at the end: {load_average()}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
