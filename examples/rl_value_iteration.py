#!/usr/bin/env python3
"""Learn to solve short 2x2 scrambles by value iteration, through the vector environment.

Three stages, all in NumPy over batches:
  1. explore: reset a turnsmith_gym vector environment (words observations,
     canonical scrambles of 1 to --depth moves) a few times and keep every
     distinct state it shows;
  2. value iteration: each state's cost-to-go is one move more than its best
     successor's (the solved state costs 0, an unseen state more than any
     seen one), swept until nothing changes;
  3. evaluate: a greedy policy (the move to the cheapest successor) plays one
     episode on every cube of a freshly seeded environment; the run prints
     how many it solved, and how many in as few moves as the cube's exact
     distance (from the library's 2x2 distance table).

    bash examples/run.sh rl_value_iteration --depth 5 --seed 0

Exits with status 1 when the policy solves fewer than --target of the cubes
(a state that exploration never showed has no value, and a cube that meets
one may wander).
"""
from __future__ import annotations

import argparse
import sys
import time

import gymnasium as gym
import numpy as np
import numpy.typing as npt
import turnsmith

import turnsmith_gym  # noqa: F401  (registers the environments)

Words = npt.NDArray[np.uint64]


def make_envs(cubes: int, depth: int) -> gym.vector.VectorEnv:
    return gym.make_vec("turnsmith_gym:Cube2x2-v0", num_envs=cubes, vectorization_mode="vector_entry_point",
                        observation="words", scramble="canonical", scramble_depth=(1, depth),
                        max_episode_steps=2 * depth)


def explore(cubes: int, depth: int, resets: int, seed: int) -> Words:
    """The sorted distinct states that `resets` resets of the environment show, and the solved one."""
    envs = make_envs(cubes, depth)
    seen = [turnsmith.CubeBatch(1, 2).to_words().reshape(-1)]
    for k in range(resets):
        observations, _ = envs.reset(seed=seed + k)
        seen.append(observations.reshape(-1))
    return np.unique(np.concatenate(seen))


def successor_rows(states: Words, known: Words) -> npt.NDArray[np.intp]:
    """(len(states), 12): the row in `known` of each state's successor by each
    move, or len(known) for a successor that is not there."""
    successors = turnsmith.CubeBatch.from_words(states, 2).get_next_batch().to_words().reshape(-1)
    rows = np.searchsorted(known, successors)
    rows[(rows == len(known)) | (known[np.minimum(rows, len(known) - 1)] != successors)] = len(known)
    return rows.reshape(len(states), 12)


def value_iteration(states: Words) -> tuple[npt.NDArray[np.int64], int]:
    """Each state's cost-to-go and the number of sweeps it took."""
    rows = successor_rows(states, states)
    unseen = len(states)  # more than any path through the seen states costs
    solved = turnsmith.CubeBatch.from_words(states, 2).is_solved()
    value = np.where(solved, 0, unseen).astype(np.int64)
    sweeps = 0
    while True:
        sweeps += 1
        padded = np.append(value, unseen)
        new = np.where(solved, 0, np.minimum(unseen, 1 + padded[rows].min(axis=1)))
        if np.array_equal(new, value):
            return value, sweeps
        value = new


def evaluate(states: Words, value: npt.NDArray[np.int64], cubes: int, depth: int,
             seed: int) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.int64], npt.NDArray[np.uint8]]:
    """One greedy episode per cube: whether it ended solved, its moves, and the cube's exact distance."""
    envs = make_envs(cubes, depth)
    observations, _ = envs.reset(seed=seed)
    distances = turnsmith.CubeBatch.from_words(observations.reshape(-1), 2).distances()
    padded = np.append(value, len(states))
    solved = np.zeros(cubes, bool)
    moves = np.zeros(cubes, np.int64)
    done = np.zeros(cubes, bool)
    while not done.all():
        actions = padded[successor_rows(observations.reshape(-1), states)].argmin(axis=1)
        observations, _, terminated, truncated, _ = envs.step(actions)
        moves += ~done
        first = (terminated | truncated) & ~done
        solved[first] = terminated[first]
        done |= first
    return solved, moves, distances


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--depth", type=int, default=5, help="longest scramble, in quarter turns (default 5)")
    parser.add_argument("--cubes", type=int, default=4096, help="cubes in the environment (default 4096)")
    parser.add_argument("--resets", type=int, default=40, help="resets explored (default 40)")
    parser.add_argument("--seed", type=int, default=0, help="the exploration's first seed (default 0)")
    parser.add_argument("--target", type=float, default=0.99, help="the share that must be solved (default 0.99)")
    args = parser.parse_args(argv)
    started = time.perf_counter()
    states = explore(args.cubes, args.depth, args.resets, args.seed)
    value, sweeps = value_iteration(states)
    print(f"explored {len(states):,} states in {args.resets} resets of {args.cubes:,} cubes; "
          f"values settled after {sweeps} sweeps")
    # Evaluated on seeds that exploration did not use.
    solved, moves, distances = evaluate(states, value, args.cubes, args.depth, args.seed + args.resets)
    optimal = solved & (moves == distances)
    print(f"greedy policy: solved {solved.sum():,} of {len(solved):,}, "
          f"{optimal.sum():,} in as few moves as their distance; "
          f"mean moves {moves[solved].mean() if solved.any() else 0:.2f} "
          f"(mean distance {distances.mean():.2f}), {time.perf_counter() - started:.1f} s")
    return 0 if solved.mean() >= args.target else 1


if __name__ == "__main__":
    sys.exit(main())
