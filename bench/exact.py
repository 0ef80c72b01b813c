#!/usr/bin/env python3
"""The 2x2's exact answers: the distance table's build, and reads from it.

The build is timed in fresh processes (it happens once per process, on first
use), with the table's size and the growth of the resident memory. Then, on a
million random 2x2 cubes in one process: distances() against
to_sticker_array() on the same batch (the target: faster), solutions() (the
target: at most a second), and ranks() and from_ranks() for context. Each
pair alternates its two sides over the rounds, so that a burst of load from
other processes falls on both.

    python bench/exact.py            # 5 builds, a million cubes, 5 rounds
    python bench/exact.py --quick    # 1 build, 10,000 cubes, 2 rounds

Needs only the standard library, NumPy and turnsmith.
"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import statistics
import subprocess
import sys

import turnsmith

from bench import best_time, load_average

BUILD_TARGET_S = 3.0
SOLUTIONS_TARGET_S = 1.0

# Run in a fresh interpreter: the first distance() builds the table.
BUILD_PROBE = """
import json, time, turnsmith
def rss_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
cube = turnsmith.Cube2x2()
cube.do_moves("R U")
before = rss_kib()
start = time.perf_counter()
cube.distance()
seconds = time.perf_counter() - start
info = turnsmith._distance_table_info()
print(json.dumps({"seconds": seconds, "bytes": info["bytes"], "rss_growth_kib": rss_kib() - before}))
"""


def time_builds(rounds: int) -> list[dict[str, float]]:
    results = []
    for _ in range(rounds):
        out = subprocess.run([sys.executable, "-c", BUILD_PROBE], check=True, capture_output=True, text=True)
        results.append(json.loads(out.stdout))
    return results


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run of a few seconds")
    args = parser.parse_args()
    builds, n, rounds = (1, 10_000, 2) if args.quick else (5, 1_000_000, 5)

    print(f"# turnsmith's 2x2 distance table, {datetime.date.today()}, {os.cpu_count()} CPUs, "
          f"Python {sys.version.split()[0]}{' free-threaded' if not sys._is_gil_enabled() else ''}")
    print(f"load average at the start: {load_average()}")

    built = time_builds(builds)
    seconds = [b["seconds"] for b in built]
    print(f"\nbuild, {builds} fresh processes: median {statistics.median(seconds):.2f} s "
          f"(best {min(seconds):.2f}, worst {max(seconds):.2f}); target at most {BUILD_TARGET_S:.0f} s: "
          f"{'met' if statistics.median(seconds) <= BUILD_TARGET_S else 'NOT met'}")
    print(f"table: {built[0]['bytes'] / 1e6:.1f} MB; resident memory grew by "
          f"{statistics.median(b['rss_growth_kib'] for b in built) / 1024:.1f} MiB (median)")

    batch = turnsmith.CubeBatch(n, 2)
    batch.randomize(seed=2026)
    batch.distances()  # the table, built
    ratios, distance_times, sticker_times, solution_times = [], [], [], []
    for _ in range(rounds):
        distance_times.append(best_time(batch.distances, repeats=3))
        sticker_times.append(best_time(batch.to_sticker_array, repeats=3))
        solution_times.append(best_time(batch.solutions, repeats=1))
        ratios.append(distance_times[-1] / sticker_times[-1])
    ranks = batch.ranks()
    rank_time = best_time(batch.ranks, repeats=3)
    from_time = best_time(lambda: turnsmith.CubeBatch.from_ranks(ranks, 2), repeats=3)
    modulo_time = best_time(lambda: batch.distances(modulo_rotation=True), repeats=3)

    def rate(t: float) -> str:
        return f"{t * 1e3:8.1f} ms  {n / t / 1e6:7.1f} M cubes/s"

    solutions = statistics.median(solution_times)
    print(f"\n{n:,} random 2x2 cubes, {rounds} rounds (medians):")
    print(f"  distances()                     {rate(statistics.median(distance_times))}")
    print(f"  distances(modulo_rotation=True) {rate(modulo_time)}")
    print(f"  to_sticker_array()              {rate(statistics.median(sticker_times))}")
    print(f"  solutions()                     {rate(solutions)}")
    print(f"  ranks()                         {rate(rank_time)}")
    print(f"  from_ranks()                    {rate(from_time)}")
    ratio = statistics.median(ratios)
    print(f"\ndistances() / to_sticker_array(): {ratio:.2f} (median of the rounds' ratios); target below 1: "
          f"{'met' if ratio < 1 else 'NOT met'}")
    if not args.quick:
        print(f"solutions(): {solutions:.2f} s; target at most {SOLUTIONS_TARGET_S:.0f} s: "
              f"{'met' if solutions <= SOLUTIONS_TARGET_S else 'NOT met'}")
    print(f"load average at the end: {load_average()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
