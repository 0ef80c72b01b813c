"""The main job: turnsmith at work on single cubes and on a batch of cubes."""

import os
import sys
import time

import numpy as np

import turnsmith as t


def single_cubes() -> None:
    cube = t.Cube3x3()
    cube.do_r_move()
    print(f"Cube3x3 after R: corners={cube.corners:#x} solved={cube.is_solved()}")

    cube = t.Cube3x3()
    cube.scramble()
    print("\nA Cube3x3 after 20 random quarter turns:")
    print(cube)

    moves = "R U R' U' F2 D!"
    cube = t.Cube2x2()
    cube.do_moves(moves)
    print(f"Cube2x2 after {moves!r}:")
    print(cube)
    print(f"its sticker array: {cube.to_sticker_array()}")

    scramble = "R U F D"
    inverse = t.inverse_scramble(scramble)
    cube = t.Cube3x3()
    cube.do_moves(scramble)
    cube.do_moves(inverse)
    print(f"\ninverse_scramble({scramble!r}) = {inverse!r}; applying both leaves the cube solved: {cube.is_solved()}")


def batch_workload(count: int) -> None:
    rng = np.random.default_rng()
    print(f"\nBatch of {count:,} Cube3x3 on {os.cpu_count()} CPUs:")
    batch = t.CubeBatch(count, 3)

    start = time.perf_counter()
    batch.scramble(np.full(count, 20, dtype=np.int64))
    scrambled = time.perf_counter() - start
    print(f"  scramble(20 turns each)   {scrambled * 1e3:8.1f} ms  {count / scrambled:14,.0f} cubes/s")

    moves = rng.integers(0, 12, size=count, dtype=np.uint64)
    start = time.perf_counter()
    batch.apply_move_indexes(moves)
    moved = time.perf_counter() - start
    print(f"  apply_move_indexes        {moved * 1e3:8.1f} ms  {count / moved:14,.0f} cubes/s")

    start = time.perf_counter()
    stickers = batch.to_sticker_array()
    projected = time.perf_counter() - start
    print(f"  to_sticker_array          {projected * 1e3:8.1f} ms  {count / projected:14,.0f} cubes/s  -> {stickers.shape}")

    start = time.perf_counter()
    successors = batch.get_next_states()
    expanded = time.perf_counter() - start
    rows = successors.shape[0]
    print(f"  get_next_states           {expanded * 1e3:8.1f} ms  {rows / expanded:14,.0f} rows/s   -> {successors.shape}, "
          f"{successors.nbytes / 2**20:,.0f} MiB")
    assert (successors[12 * 7 : 12 * 8] >= 0).all() and successors.dtype == np.int64


def main() -> None:
    build = "free-threaded" if not sys._is_gil_enabled() else "with the GIL"
    print(f"turnsmith on CPython {sys.version.split()[0]} ({build})\n")
    single_cubes()
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    batch_workload(count)


if __name__ == "__main__":
    main()
