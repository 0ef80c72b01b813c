#!/usr/bin/env python3
"""Solve a scrambled 3x3 with a beam search over batches of cubes.

Every level expands the whole beam by the twelve quarter turns in one batch
call, scores the successors by the number of stickers in place, and keeps the
best `--width` distinct ones. The moves found are replayed on a single Cube3x3
after the scramble, and the run fails unless that cube ends solved.

    bash examples/run.sh beam_search --scramble-length 7 --seed 0

Stickers in place are a weak guide: short scrambles are solved in a fraction
of a second, longer ones usually lose their way (exit status 1).
"""
from __future__ import annotations

import argparse
import sys
import time

import numpy as np
import numpy.typing as npt
import turnsmith

# Move index order of the module: 0 U, 1 U', 2 D, 3 D', ... 10 B, 11 B'.
NOTATION = tuple(f"{face}{suffix}" for face in "UDRLFB" for suffix in ("", "'"))
TURNS = len(NOTATION)


def notation(moves: list[int]) -> str:
    """Move indexes as a move string that do_moves reads."""
    return " ".join(NOTATION[move] for move in moves)


def beam_search(cube: turnsmith.Cube3x3, width: int, max_depth: int) -> list[int] | None:
    """Move indexes that solve `cube`, or None when no level up to max_depth holds the solved state."""
    if cube.is_solved():
        return []
    goal = turnsmith.CubeBatch(1, 3).to_sticker_bytes()[0]
    beam = turnsmith.CubeBatch.from_cubes([cube])
    # Per level, where each kept cube came from: its parent's row in the level
    # before, and the move that led from there.
    parents: list[npt.NDArray[np.intp]] = []
    moves: list[npt.NDArray[np.intp]] = []
    for _ in range(max_depth):
        successors = beam.get_next_batch()  # cube 12*i+m is beam cube i after move m
        solved = np.flatnonzero(successors.is_solved())
        if len(solved):
            return backtrack(parents, moves, int(solved[0]))
        score = (successors.to_sticker_bytes() == goal).sum(axis=1)
        order = np.argsort(-score, kind="stable")  # best first; ties by parent, then move
        # One row per distinct state, the best scored of its copies, best first.
        _, first = successors.take(order).unique(order="first", return_index=True)
        keep = order[first[:width]]
        parents.append(keep // TURNS)
        moves.append(keep % TURNS)
        beam = successors.take(keep)
    return None


def backtrack(parents: list[npt.NDArray[np.intp]], moves: list[npt.NDArray[np.intp]], last: int) -> list[int]:
    """The path to the successor `last` of the final level, whose own parent and
    move are last // 12 and last % 12."""
    path = [last % TURNS]
    row = last // TURNS
    for level in reversed(range(len(parents))):
        path.append(int(moves[level][row]))
        row = int(parents[level][row])
    return path[::-1]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scramble-length", type=int, default=7, help="quarter turns in the scramble (default 7)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the scramble (default 0)")
    parser.add_argument("--width", type=int, default=2000, help="cubes kept per level (default 2000)")
    parser.add_argument("--max-depth", type=int, default=20, help="levels searched before giving up (default 20)")
    args = parser.parse_args(argv)
    if args.scramble_length < 0 or args.width < 1 or args.max_depth < 0 or not 0 <= args.seed < 2**64:
        parser.error("lengths, width and depth must not be negative (width at least 1), the seed in 0..2**64-1")

    # A batch of one draws the seeded scramble; only its moves are used.
    drawn = turnsmith.CubeBatch(1, 3).scramble_with_moves(np.array([args.scramble_length], dtype=np.int64),
                                      seed=args.seed, avoid_inverse=True)
    scramble = notation([int(move) for move in drawn[0] if move >= 0])
    print(f"scramble ({args.scramble_length} moves, seed {args.seed}): {scramble or '(none)'}")

    scrambled = turnsmith.Cube3x3()
    scrambled.do_moves(scramble)
    start = time.perf_counter()
    solution = beam_search(scrambled, args.width, args.max_depth)
    elapsed = time.perf_counter() - start
    if solution is None:
        print(f"no solution within {args.max_depth} moves (beam width {args.width}, {elapsed:.2f} s)")
        return 1
    found = notation(solution)
    print(f"solution ({len(solution)} moves, {elapsed:.2f} s): {found or '(none)'}")

    # Checked through the move strings on a fresh cube, apart from the search.
    cube = turnsmith.Cube3x3()
    cube.do_moves(scramble)
    cube.do_moves(found)
    print(f"scramble then solution on a single Cube3x3: {'solved' if cube.is_solved() else 'NOT solved'}")
    return 0 if cube.is_solved() else 1


if __name__ == "__main__":
    sys.exit(main())
