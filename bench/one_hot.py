#!/usr/bin/env python3
"""One-hot inputs for networks (to_one_hot), timed against writing the output once.

For each element type (float32, float16, uint8) on 3x3 cubes, and float32 on
2x2 cubes, to_one_hot() against two baselines in the same run:
  - the memory floor: numpy.zeros of the output's shape and dtype, then
    fill(1), which is what writing the output once costs (the target: within
    1.2x of it);
  - the plain NumPy encoding, numpy.eye(6, dtype)[stickers].reshape(N, -1),
    given the sticker bytes for free.
Every pair is timed in several rounds, the two sides alternating, so that a
burst of load from other processes falls on both; the verdict takes the
median ratio.

    python bench/one_hot.py            # 250,000 cubes, 5 rounds, about a minute
    python bench/one_hot.py --quick    # 10,000 cubes, 2 rounds, a smoke run

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

from bench import best_time, default_worker_count, fmt_ratio, fmt_time, load_average, print_table
from bench import transparent_hugepage_mode

FULL_N = 250_000
QUICK_N = 10_000
SEED = 2026
FLOOR_BOUND = 1.2


@dataclass
class Pair:
    """One library call against its baseline; bound applies to turnsmith / baseline."""
    name: str
    call: Callable[[], object]
    baseline_name: str
    baseline: Callable[[], object]
    bound: float | None  # None: reported, no target
    ratios: list[float] = field(default_factory=list)
    times: list[float] = field(default_factory=list)
    baseline_times: list[float] = field(default_factory=list)


def floor(shape: tuple[int, int], dtype: type) -> Callable[[], np.ndarray]:
    def write_once() -> np.ndarray:
        out = np.zeros(shape, dtype=dtype)
        out.fill(1)
        return out
    return write_once


def numpy_one_hot(stickers: np.ndarray, dtype: type) -> Callable[[], np.ndarray]:
    eye = np.eye(6, dtype=dtype)
    return lambda: eye[stickers].reshape(len(stickers), stickers.shape[1] * 6)


def make_pairs(n: int) -> list[Pair]:
    pairs = []
    for cube_type, dtypes in ((3, (np.float32, np.float16, np.uint8)), (2, (np.float32,))):
        batch = turnsmith.CubeBatch(n, cube_type)
        batch.randomize(seed=SEED)
        stickers = batch.to_sticker_bytes()
        for dtype in dtypes:
            name = f"{cube_type}x{cube_type} to_one_hot({dtype.__name__})"
            out = batch.to_one_hot(dtype)
            # Each call gives what its baselines stand for, before any timing.
            if not np.array_equal(out, numpy_one_hot(stickers, dtype)()):
                raise AssertionError(f"{name} differs from NumPy's encoding")
            size = f"{out.nbytes / 1e6:.0f} MB"
            call = lambda batch=batch, dtype=dtype: batch.to_one_hot(dtype)
            pairs.append(Pair(name, call, f"zeros + fill ({size})", floor(out.shape, dtype), FLOOR_BOUND))
            pairs.append(Pair(name, call, "numpy.eye(6)[stickers]", numpy_one_hot(stickers, dtype), None))
            del out
    return pairs


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
    print(f"\n== one-hot inputs: {n:,} cubes, {rounds} rounds ==")
    print("Each round: the best of up to 5 calls after a warm-up, for the call and for its baseline.\n"
          "ratio = turnsmith time / baseline time in the same round (below 1: turnsmith is faster);\n"
          "times and ratio are medians over the rounds, range = lowest and highest round ratio.\n")
    body = [[pair.name, fmt_time(statistics.median(pair.times)), pair.baseline_name,
             fmt_time(statistics.median(pair.baseline_times)), fmt_ratio(statistics.median(pair.ratios)),
             f"{min(pair.ratios):.2f}-{max(pair.ratios):.2f}"] for pair in pairs]
    print_table(["turnsmith", "time", "baseline", "time", "ratio", "range"], body)

    print("\n== targets ==")
    tag = f" [n={n:,}, target size {FULL_N:,}: indicative only]" if n != FULL_N else ""
    for pair in pairs:
        if pair.bound is None:
            continue
        ratio = statistics.median(pair.ratios)
        print(f"  {'PASS' if ratio <= pair.bound else 'MISS'}  {pair.name} / {pair.baseline_name.split(' (')[0]}: "
              f"{ratio:.2f}x (need <= {pair.bound:.2f}x: within {pair.bound}x of writing the output once){tag}")


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
    print(f"turnsmith one-hot benchmark, {datetime.date.today().isoformat()}{' (quick)' if args.quick else ''}")
    print(f"Python {platform.python_version()} ({'free-threaded' if not sys._is_gil_enabled() else 'GIL'}), "
          f"NumPy {np.__version__}, {platform.machine()}, nproc {default_worker_count()}, "
          f"transparent huge pages: {transparent_hugepage_mode()}")
    print(f"Load average at start: {load_average()}")

    pairs = make_pairs(n)
    print("Each call checked against NumPy's encoding first.")
    measure(pairs, rounds, repeats=3 if args.quick else 5, budget=0.5 if args.quick else 2.0)
    print_report(pairs, n, rounds)
    print(f"\nTotal run time {time.perf_counter() - started:.0f} s; load average at the end: {load_average()}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
