#!/usr/bin/env python3
"""The 3x3's exact distances: the optimal search's tables, its rates on
shallow states, and lower bounds by the million.

The optimal search's own tables are built in a fresh process into a cache
that already holds the two-phase tables (the run's cache, or the user's),
copied into a directory of the run's own so that only the new tables are
built. Then, each in a fresh process with the tables ready:

- distances() of states made by 14 random quarter turns (none undoing the one
  before), on 1 and 2 workers: cubes/s, and the time per state of one worker
  (mean, median, largest);
- the same, and a tenth as many states of 16 turns, given their distances as
  upper_bounds (as a known optimal answer's length): the time it saves;
- lower_bounds() of a million uniform random states, against is_solved() of
  the same batch (a pass over the same words that reads no table);
- the distances of a few uniform random states, when --random N asks for them
  (seconds to hours each; --cap SECONDS gives each up after that long), with
  the large table when --large asks for it (TURNSMITH_LARGE_TABLE's file, or
  the usual cache's, built there first when missing: about four minutes).

    python bench/distances.py            # 2,000 shallow states
    python bench/distances.py --quick    # 200
    python bench/distances.py --random 20 --cap 600   # and twenty uniform random states
    python bench/distances.py --random 100 --large    # a hundred, with the large table

Needs only the standard library, NumPy and turnsmith.
"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

from bench import load_average

SHALLOW_TARGET = 2000.0  # cubes/s on 2 workers, states at most 14 quarter turns from solved
BOUNDS_TARGET = 2e6  # lower bounds a second

PREPARE = """
import json, time, turnsmith
start = time.perf_counter()
tables = turnsmith.prepare_tables(3, optimal=True)
print(json.dumps({"seconds": time.perf_counter() - start, "tables": tables}))
"""

SHALLOW = """
import json, sys, time, numpy as np, turnsmith
n, turns = int(sys.argv[1]), int(sys.argv[2])
turnsmith.prepare_tables(3, optimal=True)
batch = turnsmith.CubeBatch(n, 3)
batch.scramble_with_moves(np.full(n, turns), seed=2026, avoid_inverse=True)
start = time.perf_counter()
distances = batch.distances()
seconds = time.perf_counter() - start
# The same given the distances as upper bounds, as a known optimal answer's length.
start = time.perf_counter()
assert (batch.distances(upper_bounds=distances) == distances).all()
bounded = time.perf_counter() - start
# One cube at a time: the time per state (on one worker when there is one).
each = []
for i in range(min(n, int(sys.argv[3]) if len(sys.argv) > 3 else 300)):
    one = batch.take([i])
    t0 = time.perf_counter()
    one.distances()
    each.append(time.perf_counter() - t0)
print(json.dumps({"seconds": seconds, "bounded": bounded, "mean": float(distances.mean()),
                  "histogram": np.bincount(distances).tolist(), "each": each}))
"""

BOUNDS = """
import json, time, turnsmith
turnsmith.prepare_tables(3, optimal=True)
batch = turnsmith.CubeBatch(1_000_000, 3)
batch.randomize(seed=2026)
rounds = {"lower_bounds": [], "is_solved": []}
for _ in range(5):
    for name in rounds:
        start = time.perf_counter()
        getattr(batch, name)()
        rounds[name].append(time.perf_counter() - start)
print(json.dumps({name: min(times) for name, times in rounds.items()}))
"""

RANDOM = """
import json, sys, time, turnsmith
n, cap, large = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3] == "large"
tables = turnsmith.prepare_tables(3, optimal=True, large=large)
print(json.dumps({"large": any(t["name"] == "3x3-corners-flips" for t in tables)}), file=sys.stderr, flush=True)
batch = turnsmith.CubeBatch(n, 3)
batch.randomize(seed=2026)
bounds = batch.lower_bounds()

class TooLong(Exception):
    pass

out = []
for i in range(n):
    start = time.perf_counter()

    def give_up(done, total):  # a state past the cap is stopped and counted as such
        if time.perf_counter() - start > cap:
            raise TooLong

    try:
        distance = int(batch.take([i]).distances(progress=give_up)[0])
    except TooLong:
        distance = None
    out.append({"distance": distance, "bound": int(bounds[i]), "seconds": time.perf_counter() - start,
                "large": large})
    print(json.dumps(out[-1]), file=sys.stderr, flush=True)
print(json.dumps(out))
"""


def run(code: str, *args: str, **env: str) -> dict | list:
    out = subprocess.run([sys.executable, "-c", code, *args], check=True, capture_output=True, text=True,
                         env={**os.environ, **env})
    return json.loads(out.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run")
    parser.add_argument("--states", type=int, help="shallow states")
    parser.add_argument("--random", type=int, default=0, help="uniform random states to solve exactly")
    parser.add_argument("--cap", type=float, default=3600.0, help="seconds after which a random state is given up")
    parser.add_argument("--large", action="store_true", help="search the random states with the large table")
    args = parser.parse_args()
    n = args.states or (200 if args.quick else 2000)

    print(f"# turnsmith's 3x3 exact distances, {datetime.date.today()}, {os.cpu_count()} CPUs, "
          f"Python {sys.version.split()[0]}{' free-threaded' if not sys._is_gil_enabled() else ''}")
    print(f"load average at the start: {load_average()}")

    import turnsmith
    turnsmith.prepare_tables(3)  # the two-phase tables, in the usual cache
    source = turnsmith.table_cache_dir()
    with tempfile.TemporaryDirectory() as cache:
        env = {"TURNSMITH_CACHE_DIR": cache}
        if source is not None:
            for name in os.listdir(source):
                if name.endswith(".tbl") and not name.startswith("3x3-edges-"):
                    shutil.copy(os.path.join(source, name), cache)
        built = run(PREPARE, **env)
        assert isinstance(built, dict)
        print("\nthe optimal search's tables (built into a cache holding the two-phase ones):")
        for table in built["tables"]:
            state = "built" if table["built"] else "mapped"
            print(f"  {table['name']:<32} {table['bytes'] / 1e6:8.1f} MB  {state:>6} {table['seconds']:6.2f} s")
        print(f"  in all {built['seconds']:.1f} s")

        print(f"\n{n:,} states of 14 random quarter turns (seed 2026):")
        for workers in (1, 2):
            r = run(SHALLOW, str(n), "14", RAYON_NUM_THREADS=str(workers), **env)
            assert isinstance(r, dict)
            rate = n / r["seconds"]
            line = f"  {workers} worker{'s' if workers > 1 else ' '}: {rate:8.1f} cubes/s"
            if workers == 1:
                each = sorted(r["each"])
                histogram = {d: c for d, c in enumerate(r["histogram"]) if c}
                line += (f"; a state alone: mean {statistics.mean(each) * 1e3:.2f} ms, median "
                         f"{statistics.median(each) * 1e3:.2f} ms, largest {each[-1] * 1e3:.1f} ms; "
                         f"mean distance {r['mean']:.2f} {histogram}")
            else:
                line += f"  (at least {SHALLOW_TARGET:.0f}: {'met' if rate >= SHALLOW_TARGET else 'NOT met'})"
            print(line)
            print(f"             given the distances as upper_bounds: {n / r['bounded']:8.1f} cubes/s, "
                  f"{r['seconds'] / r['bounded']:.1f}x")

        deep = max(1, n // 10)
        r = run(SHALLOW, str(deep), "16", "0", **env)
        assert isinstance(r, dict)
        print(f"\n{deep:,} states of 16 random quarter turns (mean distance {r['mean']:.2f}), every worker: "
              f"distances() {r['seconds']:.2f} s, given the distances as upper_bounds {r['bounded']:.2f} s, "
              f"{r['seconds'] / r['bounded']:.1f}x")

        r = run(BOUNDS, **env)
        assert isinstance(r, dict)
        rate = 1e6 / r["lower_bounds"]
        print(f"\nlower_bounds() of 1,000,000 uniform random states: {rate / 1e6:.2f} M cubes/s "
              f"({r['lower_bounds'] / r['is_solved']:.1f}x is_solved() of the same batch; "
              f"at least {BOUNDS_TARGET / 1e6:.0f} M: {'met' if rate >= BOUNDS_TARGET else 'NOT met'})")

        if args.random:
            tables = "the large table" if args.large else "the small tables"
            print(f"\n{args.random} uniform random states (seed 2026), one at a time on every worker, "
                  f"each given up after {args.cap:.0f} s, with {tables}:")
            if args.large and "TURNSMITH_LARGE_TABLE" not in os.environ and source is not None:
                env["TURNSMITH_LARGE_TABLE"] = os.path.join(source, "3x3-corners-flips.tbl")
            results = run(RANDOM, str(args.random), str(args.cap), "large" if args.large else "small", **env)
            assert isinstance(results, list)
            for i, result in enumerate(results):
                found = result["distance"] if result["distance"] is not None else "not found"
                print(f"  state {i}: lower bound {result['bound']}, distance {found}, {result['seconds']:.1f} s")
            done = [r for r in results if r["distance"] is not None]
            if done:
                seconds = sorted(r["seconds"] for r in done)
                print(f"  {len(done)} of {len(results)} within the cap: mean distance "
                      f"{statistics.mean(r['distance'] for r in done):.2f}; seconds a state: mean "
                      f"{statistics.mean(seconds):.1f}, median {statistics.median(seconds):.1f}, "
                      f"largest {seconds[-1]:.1f}")
    print(f"load average at the end: {load_average()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
