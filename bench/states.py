#!/usr/bin/env python3
"""States in and out of a batch, timed against the NumPy work of the same size.

On a million 3x3 cubes: words out (to_words), flags (is_solved), successors
(get_next_batch), a selection (take), words and sticker rows in (from_words,
from_sticker_array), sticker bytes out (to_sticker_bytes) and uniform random
states (randomize), each against its baseline: NumPy copying or gathering the
same words, or the batch call that does the neighbouring job (a few more
pairs, without a target, give context for the ones with). Every pair is
timed in several rounds, the two sides alternating, so that a burst of load
from other processes falls on both; the verdict takes the median ratio.

    python bench/states.py            # a million cubes, 5 rounds, about 2.5 minutes
    python bench/states.py --quick    # 10,000 cubes, 2 rounds, a smoke run

Needs only the standard library, NumPy and turnsmith.
"""
from __future__ import annotations

import argparse
import datetime
import platform
import statistics
import sys
import time
from dataclasses import dataclass, field
from typing import Callable

import numpy as np
import turnsmith

from bench import (SCRAMBLE_LENGTH, best_time, default_worker_count, fmt_ratio, fmt_time, load_average,
                   print_table, transparent_hugepage_mode)

FULL_N = 1_000_000
QUICK_N = 10_000
SEED = 2026


@dataclass
class Pair:
    """One library call against its baseline; bound applies to turnsmith / baseline."""
    name: str
    call: Callable[[], object]
    baseline_name: str
    baseline: Callable[[], object]
    bound: float | None          # None: reported, no target
    strict: bool = False         # the ratio must be below the bound, not merely at most
    target_text: str = ""
    ratios: list[float] = field(default_factory=list)
    times: list[float] = field(default_factory=list)
    baseline_times: list[float] = field(default_factory=list)

    def met(self) -> bool | None:
        if self.bound is None:
            return None
        ratio = statistics.median(self.ratios)
        return ratio < self.bound if self.strict else ratio <= self.bound


def make_pairs(n: int, rng: np.random.Generator) -> list[Pair]:
    batch = turnsmith.CubeBatch(n, 3)
    batch.randomize(seed=SEED)
    words = batch.to_words()
    perm = rng.permutation(n)
    stickers = batch.to_sticker_array()
    sticker_bytes = batch.to_sticker_bytes()
    next_words = batch.get_next_batch().to_words()
    solved_words = turnsmith.CubeBatch(n, 3).to_words()
    lengths = np.full(n, SCRAMBLE_LENGTH, dtype=np.int64)
    # A second batch for the calls that change their batch, so that the others
    # always read the same random states.
    changing = turnsmith.CubeBatch(n, 3)

    check(batch, words, perm, stickers, sticker_bytes, next_words)
    mb = lambda array: (f"{array.nbytes / 1e6:.0f} MB" if array.nbytes >= 1e6 else f"{array.nbytes / 1e3:.0f} kB")
    return [
        Pair("to_words()", batch.to_words, f"words.copy() ({mb(words)})", words.copy,
             2.0, target_text="within 2x of the copy"),
        Pair("is_solved()", batch.is_solved, f"words.copy() ({mb(words)}, the input)", words.copy,
             2.0, target_text="within 2x of the copy"),
        Pair("get_next_batch()", batch.get_next_batch, f"next_words.copy() ({mb(next_words)}, the output)",
             next_words.copy, 2.0, target_text="within 2x of the copy"),
        Pair("take(perm)", lambda: batch.take(perm), "words[perm]", lambda: words[perm],
             1.0, strict=True, target_text="faster than the gather"),
        Pair("from_words(words)", lambda: turnsmith.CubeBatch.from_words(words, 3), "words[perm]",
             lambda: words[perm], 1.0, strict=True, target_text="faster than the gather"),
        # Context for the two above: NumPy's gather of whole rows along axis 0,
        # and the same validation on states whose checks all take one path.
        Pair("take(perm)", lambda: batch.take(perm), "numpy.take(words, perm, axis=0)",
             lambda: np.take(words, perm, axis=0), None),
        Pair("from_words(words)", lambda: turnsmith.CubeBatch.from_words(words, 3),
             "numpy.take(words, perm, axis=0)", lambda: np.take(words, perm, axis=0), None),
        Pair("from_words(solved words)", lambda: turnsmith.CubeBatch.from_words(solved_words, 3), "words[perm]",
             lambda: words[perm], None),
        Pair("to_sticker_bytes()", batch.to_sticker_bytes, "to_sticker_array()", batch.to_sticker_array,
             1 / 2.5, target_text="at least 2.5x faster"),
        Pair("from_sticker_array(int64)", lambda: turnsmith.CubeBatch.from_sticker_array(stickers, 3),
             "to_sticker_array()", batch.to_sticker_array, 2.0, target_text="within 2x"),
        Pair("from_sticker_array(uint8)", lambda: turnsmith.CubeBatch.from_sticker_array(sticker_bytes, 3),
             "to_sticker_array()", batch.to_sticker_array, None),
        Pair("randomize()", changing.randomize, f"scramble(length {SCRAMBLE_LENGTH})",
             lambda: changing.scramble(lengths), 1.0, target_text="no slower"),
        Pair(f"randomize(seed={SEED})", lambda: changing.randomize(seed=SEED),
             f"scramble(length {SCRAMBLE_LENGTH})", lambda: changing.scramble(lengths), None),
    ]


def check(batch, words, perm, stickers, sticker_bytes, next_words) -> None:
    """Each library call gives what its baseline stands for, before any timing."""
    rebuilt = turnsmith.CubeBatch.from_words(words, 3)
    if not np.array_equal(rebuilt.to_words(), words):
        raise AssertionError("from_words(words).to_words() differs from words")
    if not np.array_equal(batch.take(perm).to_words(), words[perm]):
        raise AssertionError("take(perm).to_words() differs from words[perm]")
    if not np.array_equal(sticker_bytes, stickers):
        raise AssertionError("to_sticker_bytes() differs from to_sticker_array()")
    for source in (stickers, sticker_bytes):
        if not np.array_equal(turnsmith.CubeBatch.from_sticker_array(source, 3).to_words(), words):
            raise AssertionError(f"from_sticker_array({source.dtype}) does not give the batch's words")
    solved = batch.is_solved()
    if solved.shape != (len(batch),) or solved.any():
        raise AssertionError("is_solved() of random states is not all False")
    sample = batch.take(np.arange(min(len(batch), 200)))
    if not np.array_equal(sample.get_next_batch().to_sticker_array(), sample.get_next_states()):
        raise AssertionError("get_next_batch() rows differ from get_next_states()")
    if next_words.shape != (12 * len(batch), 2):
        raise AssertionError(f"get_next_batch() words have shape {next_words.shape}")


def measure(pairs: list[Pair], rounds: int, repeats: int, budget: float) -> None:
    timer = lambda fn: best_time(fn, repeats=repeats, budget=budget)
    for round_number in range(rounds):
        print(f"  round {round_number + 1} of {rounds} ...", file=sys.stderr, flush=True)
        for pair in pairs:
            # Alternate which side goes first, so neither always follows the other's frees.
            if round_number % 2:
                base, own = timer(pair.baseline), timer(pair.call)
            else:
                own, base = timer(pair.call), timer(pair.baseline)
            pair.times.append(own)
            pair.baseline_times.append(base)
            pair.ratios.append(own / base)


def print_report(pairs: list[Pair], n: int, rounds: int) -> None:
    print(f"\n== states in and out: {n:,} 3x3 cubes, {rounds} rounds ==")
    print("Each round: the best of up to 5 calls after a warm-up, for the call and for its baseline.\n"
          "ratio = turnsmith time / baseline time in the same round (below 1: turnsmith is faster);\n"
          "times and ratio are medians over the rounds, range = lowest and highest round ratio,\n"
          "best/best = the call's best round time / the baseline's best round time.\n")
    body = []
    for pair in pairs:
        body.append([pair.name, fmt_time(statistics.median(pair.times)), pair.baseline_name,
                     fmt_time(statistics.median(pair.baseline_times)),
                     fmt_ratio(statistics.median(pair.ratios)),
                     f"{min(pair.ratios):.2f}-{max(pair.ratios):.2f}",
                     fmt_ratio(min(pair.times) / min(pair.baseline_times))])
    print_table(["turnsmith", "time", "baseline", "time", "ratio", "range", "best/best"], body)

    print("\n== targets ==")
    tag = f" [n={n:,}, target size {FULL_N:,}: indicative only]" if n != FULL_N else ""
    for pair in pairs:
        met = pair.met()
        if met is None:
            continue
        ratio = statistics.median(pair.ratios)
        need = f"< {pair.bound:.2f}x" if pair.strict else f"<= {pair.bound:.2f}x"
        best = min(pair.times) / min(pair.baseline_times)
        print(f"  {'PASS' if met else 'MISS'}  {pair.name} / {pair.baseline_name.split(' (')[0]}: "
              f"{ratio:.2f}x, best/best {best:.2f}x (need {need}: {pair.target_text}){tag}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="10,000 cubes and 2 rounds, for a smoke run")
    parser.add_argument("--n", type=int, help=f"batch size (default {FULL_N:,})")
    parser.add_argument("--rounds", type=int, help="rounds of alternating measurements (default 5)")
    args = parser.parse_args(argv)

    sys.stdout.reconfigure(line_buffering=True)
    n = args.n or (QUICK_N if args.quick else FULL_N)
    rounds = args.rounds or (2 if args.quick else 5)
    started = time.perf_counter()
    print(f"turnsmith states benchmark, {datetime.date.today().isoformat()}{' (quick)' if args.quick else ''}")
    print(f"Python {platform.python_version()} ({'free-threaded' if not sys._is_gil_enabled() else 'GIL'}), "
          f"NumPy {np.__version__}, {platform.machine()}, nproc {default_worker_count()}, "
          f"transparent huge pages: {transparent_hugepage_mode()}")
    print(f"Load average at start: {load_average()}")

    pairs = make_pairs(n, np.random.default_rng())
    print("Each call checked against its baseline's result first.")
    measure(pairs, rounds, repeats=3 if args.quick else 5, budget=0.5 if args.quick else 2.0)
    print_report(pairs, n, rounds)
    print(f"\nTotal run time {time.perf_counter() - started:.0f} s; load average at the end: {load_average()}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
