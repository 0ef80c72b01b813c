#!/usr/bin/env python3
"""CubeBatch.canonical() against NumPy doing the same on the words.

Each state's representative is its least image among the 48 symmetries (the
least corner word, then the least edge word). The NumPy baseline applies the
48 symmetries as precomputed slot gathers and field tables to the unpacked
words, packs the images and takes the least per state; a second baseline
makes the images with 48 calls of CubeBatch.symmetric() and takes the least
in NumPy. The tables of the first are read off the module before timing
(for each symmetry and slot: the slot its piece comes from, and how its field
changes), and both baselines are checked against canonical() on a sample.

    python bench/canonical.py            # 100,000 and a million 3x3 and 2x2 states
    python bench/canonical.py --quick    # 10,000 states, a smoke run

Needs only the standard library, NumPy and turnsmith.
"""
from __future__ import annotations

import argparse
import platform
import sys

import numpy as np
import turnsmith

from bench import best_time, default_worker_count, fmt_ratio, fmt_time, load_average, print_table

SEED = 2026
SLOTS = {"corners": 8, "edges": 12}


def unpack(words: np.ndarray, slots: int) -> np.ndarray:
    """(N,) words to (N, slots) uint8 fields, slot 0 first."""
    shifts = (5 * np.arange(slots)).astype(np.uint64)
    return ((words[:, None] >> shifts) & np.uint64(31)).astype(np.uint8)


def pack(fields: np.ndarray) -> np.ndarray:
    shifts = (5 * np.arange(fields.shape[1])).astype(np.uint64)
    return np.bitwise_or.reduce(fields.astype(np.uint64) << shifts, axis=1)


def word_columns(batch: turnsmith.CubeBatch) -> list[np.ndarray]:
    words = batch.to_words().reshape(len(batch), -1)
    return [words[:, i].copy() for i in range(words.shape[1])]


def read_tables(cube_type: int) -> list[list[tuple[np.ndarray, np.ndarray]]]:
    """For each symmetry and word: (source slot per slot, field table per slot (slots, 32))."""
    probe = turnsmith.CubeBatch(4000, cube_type)
    probe.randomize(seed=SEED + 1)
    before = [unpack(w, s) for w, s in zip(word_columns(probe), SLOTS.values())]
    tables = []
    for k in range(48):
        after = [unpack(w, s) for w, s in zip(word_columns(probe.symmetric(k)), SLOTS.values())]
        per_word = []
        for x, y in zip(before, after):
            slots = x.shape[1]
            source = np.zeros(slots, dtype=np.intp)
            field = np.zeros((slots, 32), dtype=np.uint8)
            for j in range(slots):
                for s in range(slots):
                    table = np.full(32, 255, dtype=np.int32)
                    table[x[:, s]] = y[:, j]
                    if (table[x[:, s]] == y[:, j]).all() and len(np.unique(x[:, s])) == len(np.unique(y[:, j])):
                        source[j], field[j] = s, np.maximum(table, 0)
                        break
                else:
                    sys.exit(f"symmetry {k}: slot {j} follows no slot")
            per_word.append((source, field))
        tables.append(per_word)
    return tables


def least_of(images: list[list[np.ndarray]]) -> list[np.ndarray]:
    """The least image per state, corner word first: images[k] = [corners, (edges)]."""
    corners = np.stack([image[0] for image in images], axis=1)
    least = corners.min(axis=1)
    if len(images[0]) == 1:
        return [least]
    edges = np.stack([image[1] for image in images], axis=1)
    edges = np.where(corners == least[:, None], edges, np.uint64(2**64 - 1))
    return [least, edges.min(axis=1)]


def numpy_tables(words: list[np.ndarray], tables) -> list[np.ndarray]:
    fields = [unpack(w, s) for w, s in zip(words, SLOTS.values())]
    images = []
    for per_word in tables:
        image = []
        for x, (source, field) in zip(fields, per_word):
            image.append(pack(field[np.arange(len(source)), x[:, source]]))
        images.append(image)
    return least_of(images)


def numpy_symmetric(batch: turnsmith.CubeBatch) -> list[np.ndarray]:
    return least_of([word_columns(batch.symmetric(k)) for k in range(48)])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="10,000 states: a smoke run")
    args = parser.parse_args()
    sizes = [10_000] if args.quick else [100_000, 1_000_000]
    print(f"# canonical(): turnsmith {getattr(turnsmith, '__version__', '?')}, NumPy {np.__version__}, "
          f"Python {platform.python_version()}, {default_worker_count()} workers, load {load_average()}")
    body = []
    for cube_type in (3, 2):
        tables = read_tables(cube_type)
        for n in sizes:
            batch = turnsmith.CubeBatch(n, cube_type)
            batch.randomize(seed=SEED)
            words = word_columns(batch)
            sample = batch.take(np.arange(min(n, 2000)))
            got = word_columns(sample.canonical())
            for baseline in (numpy_tables(word_columns(sample), tables), numpy_symmetric(sample)):
                if not all((a == b).all() for a, b in zip(got, baseline)):
                    sys.exit("a baseline disagrees with canonical()")
            ours = best_time(batch.canonical)
            with_inverse = best_time(lambda: batch.canonical(inverse=True))
            by_tables = best_time(lambda: numpy_tables(words, tables), repeats=2)
            by_calls = best_time(lambda: numpy_symmetric(batch), repeats=2)
            body.append([f"{cube_type}x{cube_type}", f"{n:,}", fmt_time(ours), f"{n / ours:,.0f}",
                         fmt_time(with_inverse), fmt_time(by_tables), fmt_time(by_calls),
                         fmt_ratio(min(by_tables, by_calls) / ours)])
            print(f"  {cube_type}x{cube_type} n={n:,} done", file=sys.stderr)
    print_table(["cube", "n", "canonical()", "states/s", "inverse=True", "NumPy tables", "NumPy + symmetric()",
                 "speed-up"], body)
    print(f"# load after: {load_average()}")


if __name__ == "__main__":
    main()
