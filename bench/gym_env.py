#!/usr/bin/env python3
"""The Gymnasium environments (turnsmith_gym) against the library calls they make.

Three measurements, each side timed in alternating rounds so that a burst of
load from other processes falls on both; the figures are medians over rounds:
  (a) the vector environment: 4,096 3x3 cubes, uint8 sticker observations,
      next-step autoreset (episodes truncated after --episode-steps moves),
      a step with random actions against the bare calls it makes per step
      (apply_moves, is_solved, to_sticker_bytes): env steps/s, bare steps/s
      and their ratio (target: at least 0.7 and 5 million steps a second);
  (b) the single environment: steps/s of CubeEnv itself and through
      gymnasium.make's wrappers (target: CubeEnv at least 100,000);
  (c) a DeepCubeA-style training step: 1,000,000 3x3 states in chunks, each
      chunk's 12 successors as float32 one-hot rows written into a reused
      buffer (take, get_next_batch, to_one_hot(out=)), against plain NumPy
      doing the same from sticker bytes (successors by fancy indexing with the
      moves' sticker permutations, one-hot by comparison into the buffer).

    python bench/gym_env.py            # about a minute
    python bench/gym_env.py --quick    # a smoke run

Needs NumPy, Gymnasium and turnsmith (with turnsmith_gym).
"""
from __future__ import annotations

import argparse
import datetime
import platform
import statistics
import sys
import time
from typing import Callable

import gymnasium as gym
import numpy as np
import turnsmith

import turnsmith_gym
from bench import default_worker_count, derive_permutations, load_average, print_table

VECTOR_CUBES = 4096
SINGLE_STEPS = 200_000
TRAINING_STATES = 1_000_000
CHUNK = 8192
COLOURS = np.arange(6, dtype=np.uint8)
SEED = 2026


def per_second(fn: Callable[[], int]) -> float:
    """Items a second of one run of fn, which returns how many it did."""
    start = time.perf_counter()
    done = fn()
    return done / (time.perf_counter() - start)


def alternate(rounds: int, own: Callable[[], int], base: Callable[[], int]) -> tuple[float, float, float]:
    """Median rates of own and base and the median of own / base, in rounds
    that alternate which side goes first."""
    own(), base()  # warm-up: the pool, first touches of memory
    rates: list[tuple[float, float]] = []
    for k in range(rounds):
        if k % 2:
            b = per_second(base)
            rates.append((per_second(own), b))
        else:
            rates.append((per_second(own), per_second(base)))
    return (statistics.median(r[0] for r in rates), statistics.median(r[1] for r in rates),
            statistics.median(r[0] / r[1] for r in rates))


def vector_pair(steps: int, episode_steps: int) -> tuple[Callable[[], int], Callable[[], int]]:
    envs = turnsmith_gym.CubeVectorEnv(VECTOR_CUBES, 3, max_episode_steps=episode_steps)
    envs.reset(seed=SEED)
    rng = np.random.default_rng(SEED)
    actions = [rng.integers(0, 12, VECTOR_CUBES) for _ in range(64)]
    batch = turnsmith.CubeBatch(VECTOR_CUBES, 3)

    def env_steps() -> int:
        for k in range(steps):
            envs.step(actions[k % 64])
        return steps * VECTOR_CUBES

    def bare_steps() -> int:
        for k in range(steps):
            batch.apply_moves(actions[k % 64])
            batch.is_solved()
            batch.to_sticker_bytes()
        return steps * VECTOR_CUBES

    return env_steps, bare_steps


def single_rates(steps: int, rounds: int) -> tuple[float, float]:
    actions = np.random.default_rng(SEED).integers(0, 12, steps).tolist()
    bare, wrapped = turnsmith_gym.CubeEnv(3), gym.make("turnsmith_gym:Cube3x3-v0", max_episode_steps=steps + 1)

    def run(env: gym.Env[np.ndarray, np.int64]) -> Callable[[], int]:
        def go() -> int:
            env.reset(seed=SEED)
            step = env.step
            for action in actions:
                step(action)
            return steps
        return go

    own, base, _ = alternate(rounds, run(bare), run(wrapped))
    return own, base


def training_pair(states: int) -> tuple[Callable[[], int], Callable[[], int]]:
    batch = turnsmith.CubeBatch(states, 3)
    batch.randomize(seed=SEED)
    stickers = batch.to_sticker_bytes()
    perms = derive_permutations(3)
    out = np.empty((CHUNK * 12, 54 * 6), np.float32)
    chunks = [slice(i, min(i + CHUNK, states)) for i in range(0, states, CHUNK)]

    def library() -> int:
        for rows in chunks:
            successors = batch.take(rows).get_next_batch()
            successors.to_one_hot(np.float32, out=out[:len(successors)])
        return states

    def plain() -> int:
        for rows in chunks:
            after = stickers[rows][:, perms]  # (chunk, 12, 54): row 12 * i + m is cube i after move m
            np.equal(after[..., None], COLOURS, out=out[:after.shape[0] * 12].reshape(*after.shape, 6))
        return states

    # Both write the same rows before anything is timed.
    library()
    expected = out[:12 * (chunks[-1].stop - chunks[-1].start)].copy()
    plain()
    if not np.array_equal(out[:len(expected)], expected):
        raise AssertionError("the NumPy successors' one-hot rows differ from the library's")
    return library, plain


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer steps, states and rounds: a smoke run")
    parser.add_argument("--rounds", type=int, help="rounds of alternating measurements (default 5)")
    parser.add_argument("--episode-steps", type=int, default=100,
                        help="the vector environment's max_episode_steps (default 100, the registration's)")
    args = parser.parse_args(argv)
    sys.stdout.reconfigure(line_buffering=True)
    rounds = args.rounds or (2 if args.quick else 5)
    vector_steps = 50 if args.quick else 500
    single_steps = SINGLE_STEPS // 10 if args.quick else SINGLE_STEPS
    states = 50_000 if args.quick else TRAINING_STATES
    started = time.perf_counter()
    print(f"turnsmith_gym benchmark, {datetime.date.today().isoformat()}{' (quick)' if args.quick else ''}")
    print(f"Python {platform.python_version()} ({'free-threaded' if not sys._is_gil_enabled() else 'GIL'}), "
          f"NumPy {np.__version__}, Gymnasium {gym.__version__}, {platform.machine()}, "
          f"workers {default_worker_count()}; load average at start: {load_average()}")

    env_rate, bare_rate, ratio = alternate(rounds, *vector_pair(vector_steps, args.episode_steps))
    single, wrapped = single_rates(single_steps, rounds)
    library, plain, training_ratio = alternate(rounds, *training_pair(states))

    print(f"\n{rounds} rounds; rates are medians, ratio = median of the rounds' ratios.\n")
    print_table(["measurement", "rate", "against", "rate", "ratio"], [
        [f"(a) vector env, {VECTOR_CUBES:,} cubes, stickers, autoreset", f"{env_rate / 1e6:.2f} M steps/s",
         "bare calls", f"{bare_rate / 1e6:.2f} M steps/s", f"{ratio:.2f}"],
        ["(b) single env (CubeEnv), stickers", f"{single / 1e3:.0f} k steps/s",
         "through gymnasium.make", f"{wrapped / 1e3:.0f} k steps/s", f"{wrapped / single:.2f}"],
        [f"(c) {states:,} states' successors, float32 one-hot", f"{library / 1e6:.2f} M states/s",
         "plain NumPy", f"{plain / 1e6:.2f} M states/s", f"{training_ratio:.2f}"],
    ])
    print("\n== targets ==")
    for passed, text in [(ratio >= 0.7, f"(a) env / bare calls {ratio:.2f} (need >= 0.7)"),
                         (env_rate >= 5e6, f"(a) {env_rate / 1e6:.2f} M steps/s (need >= 5)"),
                         (single >= 1e5, f"(b) {single / 1e3:.0f} k steps/s (need >= 100)")]:
        print(f"  {'PASS' if passed else 'MISS'}  {text}")
    print(f"\nTotal run time {time.perf_counter() - started:.0f} s; load average at the end: {load_average()}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
