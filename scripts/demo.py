"""The main job: turnsmith at work on single cubes and on a batch of cubes."""

import os
import sys
import time
from collections.abc import Callable

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


def warm_call[T](fn: Callable[[], T]) -> tuple[T, float]:
    """The result and seconds of a call of fn made after one untimed call: the
    first touch of fresh memory in a process can cost several times more than
    any later one (a virtual machine's host backs the pages on demand), and
    the first batch call starts the worker pool."""
    fn()
    start = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - start


def batch_workload(count: int) -> None:
    rng = np.random.default_rng()
    print(f"\nBatch of {count:,} Cube3x3 on {os.cpu_count()} CPUs:")
    print("  Warm figures: each operation runs once untimed before the timed call, as bench/bench.py\n"
          "  does, because the first touch of fresh memory in a new process can cost several times\n"
          "  more (on the 2-CPU virtual machine this was written on, NumPy filling 1 GB took 0.4 to\n"
          "  1.1 s the first time, about 0.2 s after).")
    batch = t.CubeBatch(count, 3)

    lengths = np.full(count, 20, dtype=np.int64)
    _, scrambled = warm_call(lambda: batch.scramble(lengths))
    print(f"  scramble(20 turns each)   {scrambled * 1e3:8.1f} ms  {count / scrambled:14,.0f} cubes/s")

    moves = rng.integers(0, 12, size=count, dtype=np.uint64)
    _, moved = warm_call(lambda: batch.apply_move_indexes(moves))
    print(f"  apply_move_indexes        {moved * 1e3:8.1f} ms  {count / moved:14,.0f} cubes/s")

    stickers, projected = warm_call(batch.to_sticker_array)
    print(f"  to_sticker_array          {projected * 1e3:8.1f} ms  {count / projected:14,.0f} cubes/s  -> {stickers.shape}")

    successors, expanded = warm_call(batch.get_next_states)
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
