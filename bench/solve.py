#!/usr/bin/env python3
"""The 3x3's two-phase search: its tables' build and load, and solving rates.

The tables are built in a fresh process with an empty cache directory of the
run's own (the build time and the table bytes), loaded again in fresh
processes from that cache (the load time), and mapped by eight processes at
once (the memory they hold between them: their proportional set sizes, in
which pages shared through the page cache count once in all). Then uniform
random states from randomize(seed=...) are solved with 1 and 2 workers at the
bounds 26 and 25 (cubes/s, mean and largest length), each in a fresh process
with the tables ready.

    python bench/solve.py            # 1,000 states per bound and worker count
    python bench/solve.py --quick    # 50 states

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
import tempfile

from bench import load_average

TARGETS = {26: (35.0, 66.0), 25: (5.2, 13.0)}  # cubes/s on 2 workers: at least, goal

PREPARE = """
import json, time, turnsmith
start = time.perf_counter()
tables = turnsmith.prepare_tables(3)
print(json.dumps({"seconds": time.perf_counter() - start, "tables": tables}))
"""

# Holds the mapped tables while the parent reads its memory figures.
HOLD = """
import sys, turnsmith
turnsmith.prepare_tables(3)
turnsmith.Cube3x3().solve()
print("ready", flush=True)
sys.stdin.readline()
"""

SOLVE = """
import json, sys, time, turnsmith
n, bound = int(sys.argv[1]), int(sys.argv[2])
turnsmith.prepare_tables(3)
batch = turnsmith.CubeBatch(n, 3)
batch.randomize(seed=2026)
start = time.perf_counter()
rows, lengths = batch.solutions(max_length=bound, return_lengths=True)
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "mean": float(lengths.mean()), "max": int(lengths.max()),
                  "unsolved": int((lengths < 0).sum())}))
"""


def run(code: str, *args: str, **env: str) -> dict:
    out = subprocess.run([sys.executable, "-c", code, *args], check=True, capture_output=True, text=True,
                         env={**os.environ, **env})
    return json.loads(out.stdout)


def pss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        return next(int(line.split()[1]) for line in rollup if line.startswith("Pss:"))


def eight_processes(env: dict[str, str]) -> tuple[float, float]:
    """The summed proportional set size of eight processes holding the tables,
    and that of one alone, in MiB."""
    def hold(count: int) -> float:
        procs = [subprocess.Popen([sys.executable, "-c", HOLD], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  text=True, env={**os.environ, **env}) for _ in range(count)]
        try:
            for proc in procs:
                assert proc.stdout is not None and proc.stdout.readline().strip() == "ready"
            return sum(pss_kib(proc.pid) for proc in procs) / 1024
        finally:
            for proc in procs:
                proc.communicate("\n")
    return hold(8), hold(1)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run")
    parser.add_argument("--states", type=int, help="states per bound and worker count")
    args = parser.parse_args()
    n = args.states or (50 if args.quick else 1000)

    print(f"# turnsmith's 3x3 two-phase search, {datetime.date.today()}, {os.cpu_count()} CPUs, "
          f"Python {sys.version.split()[0]}{' free-threaded' if not sys._is_gil_enabled() else ''}")
    print(f"load average at the start: {load_average()}")

    with tempfile.TemporaryDirectory() as cache:
        env = {"TURNSMITH_CACHE_DIR": cache}
        built = run(PREPARE, **env)
        total = sum(t["bytes"] for t in built["tables"])
        print(f"\nbuild into an empty cache: {built['seconds']:.1f} s; tables {total / 1e6:.1f} MB:")
        for table in built["tables"]:
            print(f"  {table['name']:<40} {table['bytes'] / 1e6:8.1f} MB  {table['seconds']:6.2f} s")
        loads = [run(PREPARE, **env)["seconds"] for _ in range(3)]
        print(f"load from the cache, fresh processes: median {statistics.median(loads):.3f} s "
              f"(all {', '.join(f'{s:.3f}' for s in loads)}); target at most 1 s")
        eight, one = eight_processes(env)
        print(f"memory (PSS) of eight processes using the cache at once: {eight:.0f} MiB in all "
              f"(one process alone: {one:.0f} MiB)")

        print(f"\n{n:,} uniform random states (seed 2026), tables ready:")
        for bound in (26, 25):
            for workers in (1, 2):
                r = run(SOLVE, str(n), str(bound), RAYON_NUM_THREADS=str(workers), **env)
                rate = n / r["seconds"]
                line = (f"  max_length={bound}, {workers} worker{'s' if workers > 1 else ' '}: {rate:7.1f} cubes/s, "
                        f"mean length {r['mean']:.2f}, largest {r['max']}, unsolved {r['unsolved']}")
                if workers == 2:
                    least, goal = TARGETS[bound]
                    line += f"  (at least {least}: {'met' if rate >= least else 'NOT met'}; goal {goal})"
                print(line)
    print(f"load average at the end: {load_average()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
