#!/usr/bin/env python3
"""Batches as sets of states: unique, isin and StateSet against NumPy on words.

On ten million 3x3 states (five million random states, each twice, shuffled,
so that half are repeats, as in a search's successors): CubeBatch.unique()
and unique(order="first", return_inverse=True) against numpy.unique on the
(N, 2) words seen as one structured or one 16-byte void element per row (the
two fastest NumPy ways; axis=0 is slower still); CubeBatch.isin(other), other
ten million states half of which are in the batch, against numpy.isin on such
views; keys(); and StateSet.add of the batch in ten slices. Every pair is
timed in several rounds, the two sides alternating; the verdict takes the
median ratio against the faster NumPy way.

    python bench/sets.py            # ten million states, 3 rounds, about 5 minutes
    python bench/sets.py --quick    # 100,000 states, 2 rounds, a smoke run

Needs only the standard library, NumPy and turnsmith.
"""
from __future__ import annotations

import argparse
import datetime
import platform
import statistics
import sys
import time
from typing import Callable

import numpy as np
import turnsmith

from bench import best_time, default_worker_count, fmt_time, load_average, print_table, transparent_hugepage_mode

FULL_N = 10_000_000
QUICK_N = 100_000
SEED = 2026
TARGET = 5.0  # turnsmith at least this many times faster than the faster NumPy way

STRUCTURED = np.dtype([("corners", "<u8"), ("edges", "<u8")])


def structured(words: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(words).view(STRUCTURED).ravel()


def void(words: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(words).view("V16").ravel()


def half_repeated(n: int, seed: int) -> turnsmith.CubeBatch:
    """n states: n/2 random ones, each twice, in a random order."""
    half = turnsmith.CubeBatch((n + 1) // 2, 3)
    half.randomize(seed=seed)
    order = np.random.default_rng(seed).permutation(2 * len(half))[:n] % len(half)
    return half.take(order)


def check(batch: turnsmith.CubeBatch, other: turnsmith.CubeBatch, slices: list[turnsmith.CubeBatch]) -> None:
    """Each call gives what its NumPy baseline gives, before any timing."""
    words = batch.to_words()
    ours = batch.unique().to_words()
    theirs = np.unique(structured(words))
    if not np.array_equal(structured(ours), theirs):
        raise AssertionError("unique() differs from numpy.unique on the structured view")
    first, inverse = batch.unique(order="first", return_inverse=True)
    if not np.array_equal(first.to_words()[inverse], words):
        raise AssertionError("unique(order='first', return_inverse=True) does not rebuild the batch")
    if not np.array_equal(batch.isin(other), np.isin(void(words), void(other.to_words()))):
        raise AssertionError("isin() differs from numpy.isin on the void view")
    states = turnsmith.StateSet(3)
    fresh = np.concatenate([states.add(part) for part in slices])
    if fresh.sum() != len(theirs) or len(states) != len(theirs):
        raise AssertionError("StateSet.add found another number of new states than numpy.unique")


class Pair:
    def __init__(self, name: str, call: Callable[[], object], baselines: dict[str, Callable[[], object]]):
        self.name = name
        self.call = call
        self.baselines = baselines
        self.times: list[float] = []
        self.baseline_times: dict[str, list[float]] = {key: [] for key in baselines}

    def ratios(self) -> list[float]:
        """Per round: the faster NumPy way's time / turnsmith's time."""
        best = [min(times[r] for times in self.baseline_times.values()) for r in range(len(self.times))]
        return [b / own for b, own in zip(best, self.times)]


def make_pairs(n: int) -> tuple[list[Pair], list[Pair]]:
    batch = half_repeated(n, SEED)
    # Half of other's states come from the batch, half are new random states.
    fresh = turnsmith.CubeBatch(n - n // 2, 3)
    fresh.randomize(seed=SEED + 1)
    mixed = np.concatenate([batch.to_words()[: n // 2], fresh.to_words()])
    other = turnsmith.CubeBatch.from_words(mixed[np.random.default_rng(SEED).permutation(n)], 3)
    slices = [batch.take(np.arange(k * n // 10, (k + 1) * n // 10)) for k in range(10)]
    check(batch, other, slices)
    words, other_words = batch.to_words(), other.to_words()
    words_s, words_v = structured(words), void(words)
    other_s, other_v = structured(other_words), void(other_words)

    def fill_set() -> None:
        states = turnsmith.StateSet(3)
        for part in slices:
            states.add(part)

    compared = [
        Pair("unique()", batch.unique,
             {"numpy.unique(structured)": lambda: np.unique(words_s), "numpy.unique(void)": lambda: np.unique(words_v)}),
        Pair("unique(order='first', return_inverse=True)",
             lambda: batch.unique(order="first", return_inverse=True),
             {"numpy.unique(void, return_index, return_inverse) + argsort":
              lambda: numpy_first_order(words_v)}),
        Pair("isin(other)", lambda: batch.isin(other),
             {"numpy.isin(structured)": lambda: np.isin(words_s, other_s),
              "numpy.isin(void)": lambda: np.isin(words_v, other_v)}),
    ]
    alone = [
        Pair("keys()", batch.keys, {"words.copy()": words.copy}),
        Pair("StateSet(3).add of 10 slices", fill_set, {"numpy.unique(void)": lambda: np.unique(words_v)}),
    ]
    return compared, alone


def numpy_first_order(words_v: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The distinct rows in order of first occurrence, and every row's position among them."""
    values, index, inverse = np.unique(words_v, return_index=True, return_inverse=True)
    order = np.argsort(index)
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    return values[order], rank[inverse]


def measure(pairs: list[Pair], rounds: int, repeats: int, budget: float) -> None:
    timer = lambda fn: best_time(fn, repeats=repeats, budget=budget)
    for round_number in range(rounds):
        print(f"  round {round_number + 1} of {rounds} ...", file=sys.stderr, flush=True)
        for pair in pairs:
            if round_number % 2:
                for key, baseline in pair.baselines.items():
                    pair.baseline_times[key].append(timer(baseline))
                pair.times.append(timer(pair.call))
            else:
                pair.times.append(timer(pair.call))
                for key, baseline in pair.baselines.items():
                    pair.baseline_times[key].append(timer(baseline))


def print_report(compared: list[Pair], alone: list[Pair], n: int, rounds: int) -> None:
    print(f"\n== sets of states: {n:,} 3x3 states (half repeats), {rounds} rounds ==")
    print("Times are medians over the rounds of the best of up to 3 calls after a warm-up.\n"
          "speed-up = the faster NumPy way's time / turnsmith's time in the same round (median, range).\n")
    body = []
    for pair in compared + alone:
        ratios = pair.ratios()
        first = True
        for key, times in pair.baseline_times.items():
            body.append([pair.name if first else "", fmt_time(statistics.median(pair.times)) if first else "", key,
                         fmt_time(statistics.median(times)),
                         f"{statistics.median(ratios):.1f}x ({min(ratios):.1f}-{max(ratios):.1f})" if first else ""])
            first = False
    print_table(["turnsmith", "time", "NumPy", "time", "speed-up"], body)
    print("\n== targets ==")
    tag = f" [n={n:,}, target size {FULL_N:,}: indicative only]" if n != FULL_N else ""
    for pair in compared:
        ratio = statistics.median(pair.ratios())
        print(f"  {'PASS' if ratio >= TARGET else 'MISS'}  {pair.name}: {ratio:.1f}x faster than the faster "
              f"NumPy way (need >= {TARGET:.0f}x){tag}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="100,000 states and 2 rounds, for a smoke run")
    parser.add_argument("--n", type=int, help=f"number of states (default {FULL_N:,})")
    parser.add_argument("--rounds", type=int, help="rounds of alternating measurements (default 3)")
    args = parser.parse_args(argv)

    sys.stdout.reconfigure(line_buffering=True)
    n = args.n or (QUICK_N if args.quick else FULL_N)
    rounds = args.rounds or (2 if args.quick else 3)
    started = time.perf_counter()
    print(f"turnsmith sets benchmark, {datetime.date.today().isoformat()}{' (quick)' if args.quick else ''}")
    print(f"Python {platform.python_version()} ({'free-threaded' if not sys._is_gil_enabled() else 'GIL'}), "
          f"NumPy {np.__version__}, {platform.machine()}, nproc {default_worker_count()}, "
          f"transparent huge pages: {transparent_hugepage_mode()}")
    print(f"Load average at start: {load_average()}")
    compared, alone = make_pairs(n)
    print("Each call checked against its baseline's result first.")
    measure(compared + alone, rounds, repeats=3, budget=0.5 if args.quick else 2.0)
    print_report(compared, alone, n, rounds)
    print(f"\nTotal run time {time.perf_counter() - started:.0f} s; load average at the end: {load_average()}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
