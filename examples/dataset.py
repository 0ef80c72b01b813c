#!/usr/bin/env python3
"""A training set for a value or policy network: scrambled cubes as uint8
sticker rows, each labelled with its scramble length and the last move of its
scramble, written as NumPy .npy shards.

    bash examples/run.sh dataset                         # a million 3x3 states, 10 shards
    bash examples/run.sh dataset --states 50000 --cube 2 --out data2

Shard i of a run is written as three files in the output directory:

    shard-<i:05d>-states.npy      uint8 (n, 54), or (n, 24) for the 2x2: the
                                  sticker colours, faces U R F D L B
    shard-<i:05d>-lengths.npy     uint8 (n,): scramble length, MIN..MAX moves
    shard-<i:05d>-last_moves.npy  uint8 (n,): last move of the scramble,
                                  0 U 1 U' 2 D 3 D' 4 R 5 R' 6 L 7 L' 8 F 9 F' 10 B 11 B'
                                  (the move that undoes it is last_move ^ 1)

Every shard holds --shard-size states but the last, which holds the rest.
Shard i depends only on the run's seed, i, its size, the cube and the length
range, so a run is repeated exactly by the same arguments, a shard can be made
again on its own, and dataset_dask.py writes the same bytes on any number of
workers. Scrambles never put a move right after its own inverse.
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import Literal, NamedTuple, TextIO

import numpy as np
import numpy.typing as npt
import turnsmith

SHARD_FILES = ("states", "lengths", "last_moves")

U8Array = npt.NDArray[np.uint8]
Shard = tuple[turnsmith.CubeBatch, U8Array, U8Array]  # the batch, its lengths, its last moves


class Plan(NamedTuple):
    """What a run makes: everything a shard depends on."""

    cube: Literal[2, 3]
    states: int
    shard_size: int
    min_length: int
    max_length: int
    seed: int

    @property
    def shard_count(self) -> int:
        return -(-self.states // self.shard_size)

    def shard_states(self, index: int) -> int:
        return min(self.shard_size, self.states - index * self.shard_size)


def shard_seeds(seed: int, index: int) -> tuple[np.random.SeedSequence, int]:
    """The lengths' seed sequence and the scramble seed of shard `index`.

    Spawn keys keep the shards' streams apart from each other and from the
    run's own, however many shards there are."""
    lengths_seed = np.random.SeedSequence(seed, spawn_key=(index, 0))
    moves_seed = np.random.SeedSequence(seed, spawn_key=(index, 1))
    return lengths_seed, int(moves_seed.generate_state(1, np.uint64)[0])


def scramble_shard(plan: Plan, index: int) -> Shard:
    """Shard `index`'s scrambled batch, lengths and last moves.

    The batch is returned rather than its stickers: it is what crosses
    processes in dataset_dask.py, at 8 or 16 bytes a cube against 24 or 54."""
    n = plan.shard_states(index)
    lengths_seed, moves_seed = shard_seeds(plan.seed, index)
    lengths = np.random.default_rng(lengths_seed).integers(plan.min_length, plan.max_length + 1, n)
    batch = turnsmith.CubeBatch(n, plan.cube)
    moves = batch.scramble_with_moves(lengths, seed=moves_seed, avoid_inverse=True)
    last_moves = moves[np.arange(n), lengths - 1]
    return batch, lengths.astype(np.uint8), last_moves.astype(np.uint8)


def shard_paths(out: Path, index: int) -> list[Path]:
    return [out / f"shard-{index:05d}-{name}.npy" for name in SHARD_FILES]


def write_shard(out: Path, index: int, batch: turnsmith.CubeBatch, lengths: U8Array,
                last_moves: U8Array) -> int:
    """Writes shard `index` and returns its size in bytes."""
    size = 0
    for path, array in zip(shard_paths(out, index), (batch.to_sticker_bytes(), lengths, last_moves)):
        np.save(path, array)
        size += path.stat().st_size
    return size


class Progress:
    """A one-line progress bar on a terminal; silent when the stream is not one."""

    def __init__(self, total: int, stream: TextIO | None = None, width: int = 30) -> None:
        self.total, self.width = total, width
        self.stream = sys.stderr if stream is None else stream
        self.active = self.stream.isatty()
        self.start = time.perf_counter()

    def update(self, done: int) -> None:
        if not self.active:
            return
        filled = self.width * done // max(self.total, 1)
        rate = done / max(time.perf_counter() - self.start, 1e-9)
        bar = "#" * filled + "-" * (self.width - filled)
        self.stream.write(f"\r[{bar}] {done:,}/{self.total:,} states, {rate:,.0f}/s")
        self.stream.flush()

    def close(self) -> None:
        if self.active:
            self.stream.write("\n")
            self.stream.flush()


def summary(states: int, shards: int, size: int, seconds: float) -> str:
    return (f"{states:,} states in {shards} shards, {size:,} bytes, {seconds:.2f} s, "
            f"{states / max(seconds, 1e-9):,.0f} states/s")


def parser(description: str | None = None) -> argparse.ArgumentParser:
    """The arguments that say what a run makes, shared with dataset_dask.py."""
    p = argparse.ArgumentParser(description=description or __doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--states", type=int, default=1_000_000, help="states in all (default %(default)s)")
    p.add_argument("--shard-size", type=int, default=100_000, help="states a shard (default %(default)s)")
    p.add_argument("--cube", type=int, choices=(3, 2), default=3, help="3x3 or 2x2 (default %(default)s)")
    p.add_argument("--min-length", type=int, default=1, help="shortest scramble (default %(default)s)")
    p.add_argument("--max-length", type=int, default=20, help="longest scramble (default %(default)s)")
    p.add_argument("--seed", type=int, default=0, help="the run's seed, 0..2**64-1 (default %(default)s)")
    p.add_argument("--out", type=Path, default=Path("dataset"),
                   help="output directory, made when missing (default %(default)s)")
    return p


def plan_from(args: argparse.Namespace, p: argparse.ArgumentParser) -> Plan:
    """The run's plan, after checking the arguments; makes the output directory.

    An earlier run's shards are never mixed with this one's: a directory that
    already holds shards is refused."""
    if args.states < 1 or args.shard_size < 1:
        p.error("--states and --shard-size must be at least 1")
    if not 1 <= args.min_length <= args.max_length <= 255:
        p.error("scramble lengths need 1 <= --min-length <= --max-length <= 255 (labels are uint8)")
    if not 0 <= args.seed < 2**64:
        p.error("--seed must be in 0..2**64-1")
    out: Path = args.out
    if out.is_dir() and any(out.glob("shard-*.npy")):
        p.error(f"{out} already holds shards: remove them or choose another --out")
    out.mkdir(parents=True, exist_ok=True)
    return Plan(args.cube, args.states, args.shard_size, args.min_length, args.max_length, args.seed)


def main(argv: list[str] | None = None) -> int:
    p = parser()
    args = p.parse_args(argv)
    plan = plan_from(args, p)
    progress = Progress(plan.states)
    start = time.perf_counter()
    done = size = 0
    for index in range(plan.shard_count):
        batch, lengths, last_moves = scramble_shard(plan, index)
        size += write_shard(args.out, index, batch, lengths, last_moves)
        done += len(batch)
        progress.update(done)
    progress.close()
    print(summary(plan.states, plan.shard_count, size, time.perf_counter() - start), f"-> {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
