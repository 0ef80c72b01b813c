"""Median time of eight warm scrambles (20 turns per cube) of a million 3x3
cubes: one figure per process, for comparing two builds of the module by
running each in turn several times (see bench/README.md, "Long calls in chunks")."""

import time

import numpy as np

import turnsmith

CUBES = 1_000_000
REPEATS = 8

batch = turnsmith.CubeBatch(CUBES, 3)
lengths = np.full(CUBES, 20)
batch.scramble(lengths)  # starts the pool and touches the memory
times = []
for _ in range(REPEATS):
    start = time.perf_counter()
    batch.scramble(lengths)
    times.append(time.perf_counter() - start)
times.sort()
print(f"{times[REPEATS // 2] * 1e3:.1f}")
