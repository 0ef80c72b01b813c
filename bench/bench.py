#!/usr/bin/env python3
"""Throughput of turnsmith's batch operations, set against plain NumPy.

NumPy works on sticker states directly: a quarter turn is a permutation of the
sticker positions, applied with fancy indexing or with numpy.take. The twelve
permutations are read off the module itself, and the NumPy results are checked
against the module's before anything is timed.

    python bench/bench.py            # full run: 1e3 .. 1e6 cubes, about 3 minutes
    python bench/bench.py --quick    # small sizes, a smoke run of a few seconds
    python bench/bench.py --json results.json --plot bench/throughput.png

Needs only the standard library, NumPy and turnsmith (--plot also matplotlib,
through bench/plot.py). Linux: memory figures come from /proc/self/status.
"""
from __future__ import annotations

import argparse
import contextlib
import datetime
import json
import math
import os
import platform
import subprocess
import sys
import time
from dataclasses import asdict, dataclass
from typing import Callable, Iterator

import numpy as np
import turnsmith

STICKER_DIM = {3: 54, 2: 24}
CUBE_NAME = {3: "3x3", 2: "2x2"}
MOVE_COUNT = 12
SCRAMBLE_LENGTH = 20
FULL_SIZES = (1_000, 10_000, 100_000, 1_000_000)
QUICK_SIZES = (1_000, 10_000)
INT64_BYTES = 8
WORKER_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")

# Targets: the batch size each one is defined at, and its bound.
TARGET_NEXT_STATES_N = 100_000
TARGET_NEXT_STATES_SPEEDUP = 3.0
TARGET_FILL_RATIO = 1.5
TARGET_APPLY_N = 1_000_000
TARGET_APPLY_SPEEDUP = 50.0
TARGET_SCALING_N = 1_000_000
TARGET_SCALING = 1.6
TARGET_MEMORY_OVERHEAD = 1.10


# ---------------------------------------------------------------- timing ----

def best_time(fn: Callable[[], object], *, repeats: int = 5, budget: float = 2.0,
              min_sample: float = 0.02) -> float:
    """Best per-call wall time of fn over up to `repeats` timed samples.

    An untimed warm-up call comes first: the first loop starts the worker pool,
    and the first touch of a large block of memory can cost far more than any
    later one (on a virtual machine the host may have to back the pages).
    Calls too short to time alone are looped so that a sample lasts at least
    `min_sample`. Sampling stops once `budget` seconds are spent, warm-up
    included, but never before one sample. Each result is dropped outside the
    timed region, so freeing a large array is never counted.
    """
    start = time.perf_counter()
    result = fn()
    warm_up = time.perf_counter() - start
    del result
    number = 1 if warm_up >= min_sample else math.ceil(min_sample / max(warm_up, 1e-7))
    best, spent, samples = math.inf, warm_up, 0
    while samples < repeats and (samples == 0 or spent < budget):
        start = time.perf_counter()
        for _ in range(number):
            result = fn()
        elapsed = time.perf_counter() - start
        del result
        best = min(best, elapsed / number)
        spent += elapsed
        samples += 1
    return best


def timed_with_cpu(fn: Callable[[], object]) -> tuple[float, float]:
    """best_time of fn, and the process CPU time per wall second meanwhile:
    about the worker count when the workers really run side by side."""
    cpu, wall = time.process_time(), time.perf_counter()
    best = best_time(fn)
    return best, (time.process_time() - cpu) / (time.perf_counter() - wall)


# ------------------------------------------------ permutations from the module ----

def scrambled_batch(count: int, cube_type: int, length: int = SCRAMBLE_LENGTH) -> turnsmith.CubeBatch:
    batch = turnsmith.CubeBatch(count, cube_type)
    batch.scramble(np.full(count, length, dtype=np.int64))
    return batch


def derive_permutations(cube_type: int, samples: int = 48) -> np.ndarray:
    """The (12, dim) table with after[:, j] == before[:, perms[m, j]] for move m.

    Every position j must match exactly one position i over all random samples;
    otherwise the samples do not tell the positions apart (or the move is not
    a permutation of stickers), and the table would be wrong.
    """
    perms = np.empty((MOVE_COUNT, STICKER_DIM[cube_type]), dtype=np.intp)
    for move in range(MOVE_COUNT):
        batch = scrambled_batch(samples, cube_type, length=40)
        before = batch.to_sticker_array()
        batch.apply_move_indexes(np.full(samples, move, dtype=np.uint64))
        after = batch.to_sticker_array()
        matches = (after[:, :, None] == before[:, None, :]).all(axis=0)
        counts = matches.sum(axis=1)
        if not (counts == 1).all():
            raise AssertionError(f"{CUBE_NAME[cube_type]} move {move}: sticker sources not unique "
                                 f"(match counts {sorted(set(counts.tolist()))})")
        perms[move] = matches.argmax(axis=1)
    return perms


# ------------------------------------------------------- NumPy baselines ----

def numpy_next_states_fancy(states: np.ndarray, perms: np.ndarray) -> np.ndarray:
    return states[:, perms].reshape(-1, states.shape[1])


def numpy_next_states_take(states: np.ndarray, perms: np.ndarray) -> np.ndarray:
    return np.take(states, perms, axis=1).reshape(-1, states.shape[1])


def numpy_apply_fancy(states: np.ndarray, perms: np.ndarray, moves: np.ndarray) -> np.ndarray:
    rows = np.arange(states.shape[0])[:, None]
    return states[rows, perms[moves]]


def numpy_apply_take(states: np.ndarray, perms: np.ndarray, moves: np.ndarray) -> np.ndarray:
    return np.take_along_axis(states, perms[moves], axis=1)


def numpy_scramble(apply: Callable, states: np.ndarray, perms: np.ndarray,
                   rng: np.random.Generator, length: int = SCRAMBLE_LENGTH) -> np.ndarray:
    for _ in range(length):
        states = apply(states, perms, rng.integers(0, MOVE_COUNT, states.shape[0]))
    return states


def fill_floor(rows: int, dim: int) -> np.ndarray:
    out = np.empty((rows, dim), dtype=np.int64)
    out.fill(1)
    return out


def _hugepage_switch() -> Callable[[bool], bool] | None:
    """NumPy's private switch for its huge-page advice on large arrays."""
    for module in ("numpy._core.multiarray", "numpy.core.multiarray"):
        try:
            return getattr(__import__(module, fromlist=["_"]), "_set_madvise_hugepage")
        except (ImportError, AttributeError):
            continue
    return None


@contextlib.contextmanager
def small_pages() -> Iterator[bool]:
    """NumPy allocations in this block get ordinary 4 KiB pages; yields False
    when NumPy offers no switch."""
    switch = _hugepage_switch()
    if switch is None:
        yield False
        return
    previous = switch(False)
    try:
        yield True
    finally:
        switch(previous)


def transparent_hugepage_mode() -> str:
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as setting:
            text = setting.read()
    except OSError:
        return "unknown"
    return text[text.index("[") + 1:text.index("]")] if "[" in text else text.strip()


class _ReplayRng:
    """Hands out a fixed list of move arrays in place of random draws."""

    def __init__(self, moves: list[np.ndarray]):
        self._moves = iter(moves)

    def integers(self, *_args) -> np.ndarray:
        return next(self._moves)


def cross_check(cube_type: int, perms: np.ndarray, rng: np.random.Generator, count: int = 300) -> None:
    """Each NumPy baseline must give the module's result on a random sample."""
    name = CUBE_NAME[cube_type]
    batch = scrambled_batch(count, cube_type)
    states = batch.to_sticker_array()
    expected = batch.get_next_states()
    for label, fn in (("fancy", numpy_next_states_fancy), ("take", numpy_next_states_take)):
        if not np.array_equal(fn(states, perms), expected):
            raise AssertionError(f"{name} get_next_states: NumPy {label} differs from turnsmith")

    moves = rng.integers(0, MOVE_COUNT, count)
    batch.apply_move_indexes(moves.astype(np.uint64))
    expected = batch.to_sticker_array()
    for label, fn in (("fancy", numpy_apply_fancy), ("take_along_axis", numpy_apply_take)):
        if not np.array_equal(fn(states, perms, moves), expected):
            raise AssertionError(f"{name} apply_move_indexes: NumPy {label} differs from turnsmith")

    # The scramble baseline replays known moves; the module applies the same ones.
    rounds = [rng.integers(0, MOVE_COUNT, count) for _ in range(SCRAMBLE_LENGTH)]
    start = batch.to_sticker_array()
    for moves in rounds:
        batch.apply_move_indexes(moves.astype(np.uint64))
    expected = batch.to_sticker_array()
    for label, fn in (("fancy", numpy_apply_fancy), ("take_along_axis", numpy_apply_take)):
        if not np.array_equal(numpy_scramble(fn, start, perms, _ReplayRng(rounds)), expected):
            raise AssertionError(f"{name} scramble: NumPy {label} rounds differ from turnsmith")

    for index in (0, count // 2, count - 1):
        if expected[index].tolist() != batch[index].to_sticker_array():
            raise AssertionError(f"{name} to_sticker_array: row {index} differs from the single cube")


# ----------------------------------------------------------- measurements ----

@dataclass
class Row:
    op: str
    cube: int
    n: int
    turnsmith: float
    numpy_a: float | None = None     # fancy indexing
    numpy_b: float | None = None     # numpy.take / take_along_axis
    fill: float | None = None        # memory-bandwidth floor (get_next_states only)
    fill_small_pages: float | None = None  # the same with NumPy's huge-page advice off
    note: str = ""

    @property
    def numpy_best(self) -> float | None:
        times = [t for t in (self.numpy_a, self.numpy_b) if t is not None]
        return min(times) if times else None

    @property
    def speedup(self) -> float | None:
        return None if self.numpy_best is None else self.numpy_best / self.turnsmith

    @property
    def fill_ratio(self) -> float | None:
        return None if self.fill is None else self.turnsmith / self.fill


@dataclass
class Settings:
    sizes: tuple[int, ...]
    numpy_limit_bytes: float
    repeats: int
    budget: float
    scaling_n: int
    memory_sizes: tuple[int, ...]


def measure_size(cube_type: int, n: int, perms: np.ndarray, settings: Settings,
                 rng: np.random.Generator) -> list[Row]:
    dim = STICKER_DIM[cube_type]
    timer = lambda fn: best_time(fn, repeats=settings.repeats, budget=settings.budget)
    fits = lambda nbytes: nbytes <= settings.numpy_limit_bytes
    skipped = lambda nbytes: f"NumPy skipped: needs ~{fmt_bytes(nbytes)}, over the limit"

    batch = scrambled_batch(n, cube_type)
    states = batch.to_sticker_array()
    moves = rng.integers(0, MOVE_COUNT, n)
    move_indexes = moves.astype(np.uint64)
    lengths = np.full(n, SCRAMBLE_LENGTH, dtype=np.int64)
    rows: list[Row] = []

    out_bytes = n * MOVE_COUNT * dim * INT64_BYTES
    row = Row("get_next_states", cube_type, n, timer(batch.get_next_states))
    row.fill = timer(lambda: fill_floor(n * MOVE_COUNT, dim))
    with small_pages() as switched:
        if switched:
            row.fill_small_pages = timer(lambda: fill_floor(n * MOVE_COUNT, dim))
    if fits(states.nbytes + out_bytes):
        row.numpy_a = timer(lambda: numpy_next_states_fancy(states, perms))
        row.numpy_b = timer(lambda: numpy_next_states_take(states, perms))
    else:
        row.note = skipped(states.nbytes + out_bytes)
    rows.append(row)

    row = Row("to_sticker_array", cube_type, n, timer(batch.to_sticker_array))
    row.numpy_a = timer(states.copy)
    rows.append(row)

    row = Row("apply_move_indexes", cube_type, n, timer(lambda: batch.apply_move_indexes(move_indexes)))
    row.numpy_a = timer(lambda: numpy_apply_fancy(states, perms, moves))
    row.numpy_b = timer(lambda: numpy_apply_take(states, perms, moves))
    rows.append(row)

    row = Row("scramble", cube_type, n, timer(lambda: batch.scramble(lengths)))
    row.numpy_a = timer(lambda: numpy_scramble(numpy_apply_fancy, states, perms, rng))
    row.numpy_b = timer(lambda: numpy_scramble(numpy_apply_take, states, perms, rng))
    rows.append(row)
    return rows


# ------------------------------------------------------------ subprocesses ----

def vm_status_kib(field_name: str) -> int | None:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field_name + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def child_scaling(n: int) -> dict:
    """Times of the four operations on n 3x3 cubes with this process's pool."""
    batch = scrambled_batch(n, 3)
    move_indexes = np.random.default_rng().integers(0, MOVE_COUNT, n).astype(np.uint64)
    lengths = np.full(n, SCRAMBLE_LENGTH, dtype=np.int64)
    return {
        "scramble": timed_with_cpu(lambda: batch.scramble(lengths)),
        "apply_move_indexes": timed_with_cpu(lambda: batch.apply_move_indexes(move_indexes)),
        "to_sticker_array": timed_with_cpu(batch.to_sticker_array),
        "get_next_states": timed_with_cpu(batch.get_next_states),
    }


def child_memory(cube_type: int, n: int) -> dict:
    """How far one get_next_states call raises the resident-set high-water mark."""
    batch = scrambled_batch(n, cube_type)
    turnsmith.CubeBatch(1, cube_type).get_next_states()  # starts the pool before measuring
    # Writing 5 to clear_refs resets the high-water mark to the current RSS,
    # so set-up peaks (the scramble, the imports) do not hide the call's peak.
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        reset = True
    except OSError:
        reset = False
    rss_before = vm_status_kib("VmRSS")
    hwm_before = vm_status_kib("VmHWM")
    out = batch.get_next_states()
    hwm_after = vm_status_kib("VmHWM")
    if None in (rss_before, hwm_before, hwm_after):
        return {"error": "no VmRSS/VmHWM in /proc/self/status"}
    base = rss_before if reset else hwm_before
    return {"peak_bytes": (hwm_after - base) * 1024, "output_bytes": out.nbytes, "reset": reset}


def run_child(args: list[str], env: dict[str, str]) -> dict:
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", *args],
                          env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"child {' '.join(args)} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def environment_with_workers(workers: str | None) -> dict[str, str]:
    env = {key: value for key, value in os.environ.items() if key not in WORKER_VARIABLES}
    if workers is not None:
        env["RAYON_NUM_THREADS"] = workers
    return env


# --------------------------------------------------------------- printing ----

def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_rate(count: float, seconds: float) -> str:
    rate = count / seconds
    for unit, scale in (("G/s", 1e9), ("M/s", 1e6), ("K/s", 1e3)):
        if rate >= scale:
            return f"{rate / scale:.3g} {unit}"
    return f"{rate:.3g} /s"


def fmt_bytes(nbytes: float) -> str:
    return f"{nbytes / 1e9:.1f} GB" if nbytes >= 1e9 else f"{nbytes / 1e6:.0f} MB"


def fmt_ratio(ratio: float | None) -> str:
    return "-" if ratio is None else f"{ratio:.2f}x"


def print_table(header: list[str], body: list[list[str]]) -> None:
    widths = [max(len(cell) for cell in column) for column in zip(header, *body)]
    line = lambda cells: "  ".join(cell.rjust(width) if i else cell.ljust(width)
                                   for i, (cell, width) in enumerate(zip(cells, widths)))
    print(line(header))
    print(line(["-" * width for width in widths]))
    for cells in body:
        print(line(cells))


SECTIONS = (
    ("get_next_states", "12 successor sticker rows per cube; rate = input cubes/s (rows/s is 12x).\n"
     "NumPy A = states[:, perms], B = numpy.take(states, perms, axis=1). fill = numpy.empty(out).fill(1),\n"
     "the memory-bandwidth floor for writing an output of that size; 'vs fill' = turnsmith / fill.\n"
     "fill 4K = the same fill with NumPy's huge-page advice switched off (ordinary 4 KiB pages)."),
    ("to_sticker_array", "One sticker row per cube. NumPy already holds sticker states, so its cheapest\n"
     "equivalent is A = states.copy()."),
    ("apply_move_indexes", "One given quarter turn per cube. NumPy A = states[rows[:, None], perms[moves]],\n"
     "B = numpy.take_along_axis(states, perms[moves], axis=1)."),
    ("scramble", f"{SCRAMBLE_LENGTH} random quarter turns per cube. NumPy: {SCRAMBLE_LENGTH} rounds of random moves "
     "drawn with numpy.random,\neach applied as in apply_move_indexes (A fancy, B take_along_axis)."),
)


def print_results(rows: list[Row]) -> None:
    for op, description in SECTIONS:
        print(f"\n== {op} ==\n{description}\n")
        header = ["cube", "n", "turnsmith", "cubes/s", "NumPy A", "NumPy B", "speed-up"]
        if op == "get_next_states":
            header += ["fill", "vs fill", "fill 4K"]
        body = []
        for row in (r for r in rows if r.op == op):
            cells = [CUBE_NAME[row.cube], f"{row.n:,}", fmt_time(row.turnsmith), fmt_rate(row.n, row.turnsmith),
                     fmt_time(row.numpy_a), fmt_time(row.numpy_b), fmt_ratio(row.speedup)]
            if op == "get_next_states":
                cells += [fmt_time(row.fill), fmt_ratio(row.fill_ratio), fmt_time(row.fill_small_pages)]
            body.append(cells + ([row.note] if row.note else []))
        header_with_note = header + ([""] if any(len(c) > len(header) for c in body) else [])
        print_table(header_with_note, [c + [""] * (len(header_with_note) - len(c)) for c in body])
    print("\nspeed-up = faster NumPy way / turnsmith (higher is better for turnsmith).")


# ----------------------------------------------------------------- targets ----

def find_row(rows: list[Row], op: str, cube: int, n: int) -> tuple[Row | None, str]:
    """The row at size n, or the largest smaller one (marked as indicative)."""
    candidates = [r for r in rows if r.op == op and r.cube == cube and r.n <= n]
    if not candidates:
        return None, ""
    row = max(candidates, key=lambda r: r.n)
    return row, "" if row.n == n else f" [at n={row.n:,}, target size {n:,}: indicative only]"


def verdict(ok: bool | None) -> str:
    return "n/a " if ok is None else ("PASS" if ok else "MISS")


def print_targets(rows: list[Row], scaling: dict | None, scaling_n: int, memory: list[dict]) -> None:
    print("\n== targets ==")
    lines = []

    row, tag = find_row(rows, "get_next_states", 3, TARGET_NEXT_STATES_N)
    speedup = row.speedup if row else None
    lines.append((None if speedup is None else speedup >= TARGET_NEXT_STATES_SPEEDUP,
                  f"get_next_states 3x3 vs faster NumPy: {fmt_ratio(speedup)} (need >= "
                  f"{TARGET_NEXT_STATES_SPEEDUP:g}x){tag}"))
    fill = row.fill_ratio if row else None
    lines.append((None if fill is None else fill <= TARGET_FILL_RATIO,
                  f"get_next_states 3x3 time / fill floor: {fmt_ratio(fill)} (need <= {TARGET_FILL_RATIO:g}x){tag}"))

    row, tag = find_row(rows, "apply_move_indexes", 3, TARGET_APPLY_N)
    speedup = row.speedup if row else None
    lines.append((None if speedup is None else speedup >= TARGET_APPLY_SPEEDUP,
                  f"apply_move_indexes 3x3 vs faster NumPy: {fmt_ratio(speedup)} (need >= "
                  f"{TARGET_APPLY_SPEEDUP:g}x){tag}"))

    ratio = scaling["one"]["scramble"][0] / scaling["default"]["scramble"][0] if scaling else None
    tag = "" if scaling_n == TARGET_SCALING_N else f" [at n={scaling_n:,}, target size {TARGET_SCALING_N:,}: indicative only]"
    lines.append((None if ratio is None else ratio >= TARGET_SCALING,
                  f"scramble 3x3 default pool / one worker: {fmt_ratio(ratio)} (need >= {TARGET_SCALING:g}x){tag}"))

    for entry in memory:
        if "error" in entry:
            lines.append((None, f"get_next_states peak memory {CUBE_NAME[entry['cube']]}: {entry['error']}"))
            continue
        share = entry["peak_bytes"] / entry["output_bytes"]
        lines.append((share <= TARGET_MEMORY_OVERHEAD,
                      f"get_next_states {CUBE_NAME[entry['cube']]} n={entry['n']:,} peak RSS rise: "
                      f"{entry['peak_bytes'] / 1e6:,.0f} MB for a {entry['output_bytes'] / 1e6:,.0f} MB output "
                      f"= {share:.3f}x (need <= {TARGET_MEMORY_OVERHEAD:.2f}x)"
                      + ("" if entry["reset"] else " [high-water mark not reset: lower bound]")))
    for ok, text in lines:
        print(f"  {verdict(ok)}  {text}")


def print_scaling(scaling: dict, n: int, default_workers: str) -> None:
    print(f"\n== one worker vs default pool (3x3, n={n:,}, fresh subprocesses) ==")
    print(f"RAYON_NUM_THREADS=1 against both worker variables unset (default: {default_workers} workers).\n")
    print("CPU = process CPU seconds per wall second while timing: near the worker count when the")
    print("workers run side by side, lower when other processes hold the CPUs.\n")
    body = []
    for op in scaling["one"]:
        (one, one_cpu), (default, default_cpu) = scaling["one"][op], scaling["default"][op]
        body.append([op, fmt_time(one), f"{one_cpu:.2f}", fmt_time(default), f"{default_cpu:.2f}",
                     fmt_ratio(one / default)])
    print_table(["operation", "1 worker", "CPU", "default", "CPU", "scaling"], body)


# -------------------------------------------------------------------- main ----

def load_average() -> str:
    try:
        return ", ".join(f"{value:.2f}" for value in os.getloadavg())
    except OSError:
        return "unknown"


def busy_machine() -> bool:
    """Whether the last minute's load, this run's two busy workers aside, left a CPU short."""
    try:
        return os.getloadavg()[0] > int(default_worker_count()) + 0.5
    except (OSError, ValueError):
        return False


def default_worker_count() -> str:
    try:
        return str(len(os.sched_getaffinity(0)))
    except AttributeError:
        return str(os.cpu_count())


def parse_sizes(text: str) -> tuple[int, ...]:
    return tuple(int(float(part)) for part in text.split(",") if part)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--sizes", type=parse_sizes, help="comma-separated batch sizes (overrides the default)")
    parser.add_argument("--numpy-limit-gb", type=float, default=8.0,
                        help="skip a NumPy baseline that would need more memory than this (default 8)")
    parser.add_argument("--json", metavar="PATH", help="also write the measurements to PATH as JSON")
    parser.add_argument("--plot", metavar="PATH.png",
                        help="draw throughput against batch size to PATH.png (needs matplotlib)")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.plot:
        # Said before the run, not after minutes of measuring.
        from plot import require_matplotlib
        if not require_matplotlib():
            return 2

    if args.child:
        kind, *rest = args.child
        result = child_scaling(int(rest[0])) if kind == "scaling" else child_memory(int(rest[0]), int(rest[1]))
        print(json.dumps(result))
        return 0

    sys.stdout.reconfigure(line_buffering=True)  # keeps the table and the progress lines in order
    sizes = args.sizes or (QUICK_SIZES if args.quick else FULL_SIZES)
    settings = Settings(
        sizes=sizes,
        numpy_limit_bytes=args.numpy_limit_gb * 1e9,
        repeats=3 if args.quick else 5,
        budget=0.5 if args.quick else 2.0,
        scaling_n=10_000 if args.quick else TARGET_SCALING_N,
        memory_sizes=(max(sizes),) if args.quick else tuple(n for n in sizes if n >= TARGET_NEXT_STATES_N),
    )
    started = time.perf_counter()
    workers = os.environ.get("RAYON_NUM_THREADS") or os.environ.get("RAYON_RS_NUM_CPUS")
    print(f"turnsmith benchmark, {datetime.date.today().isoformat()}"
          f"{' (quick)' if args.quick else ''}")
    print(f"Python {platform.python_version()} ({'free-threaded' if not sys._is_gil_enabled() else 'GIL'}), "
          f"NumPy {np.__version__}, {platform.machine()}, nproc {default_worker_count()}, "
          f"pool workers: {workers or 'default'}, transparent huge pages: {transparent_hugepage_mode()}")
    load_at_start = load_average()
    print(f"Load average at start: {load_at_start}")
    print("Times are per call: the best of up to 5 timed calls after an untimed warm-up call,\n"
          "fewer once 2 s are spent (at least one).")

    rng = np.random.default_rng()
    rows: list[Row] = []
    for cube_type in (3, 2):
        perms = derive_permutations(cube_type)
        cross_check(cube_type, perms, rng)
        print(f"{CUBE_NAME[cube_type]}: 12 sticker permutations derived from the module; "
              "NumPy baselines match turnsmith on a random sample.")
        for n in sizes:
            print(f"  measuring {CUBE_NAME[cube_type]} n={n:,} ...", file=sys.stderr, flush=True)
            rows.extend(measure_size(cube_type, n, perms, settings, rng))
    print_results(rows)

    print("  measuring pool scaling ...", file=sys.stderr, flush=True)
    scaling = {
        "one": run_child(["scaling", str(settings.scaling_n)], environment_with_workers("1")),
        "default": run_child(["scaling", str(settings.scaling_n)], environment_with_workers(None)),
    }
    print_scaling(scaling, settings.scaling_n, default_worker_count())

    print("  measuring peak memory ...", file=sys.stderr, flush=True)
    memory = []
    for cube_type in (3, 2):
        for n in settings.memory_sizes:
            entry = run_child(["memory", str(cube_type), str(n)], dict(os.environ))
            memory.append({"cube": cube_type, "n": n, **entry})
    print(f"\n== peak memory of get_next_states (fresh subprocesses) ==")
    print("Rise of the resident-set high-water mark (VmHWM) over one call, against the output size.\n")
    print_table(["cube", "n", "output", "peak rise", "ratio"],
                [[CUBE_NAME[e["cube"]], f"{e['n']:,}", f"{e['output_bytes'] / 1e6:,.1f} MB",
                  f"{e['peak_bytes'] / 1e6:,.1f} MB", f"{e['peak_bytes'] / e['output_bytes']:.3f}x"]
                 for e in memory if "error" not in e])

    print_targets(rows, scaling, settings.scaling_n, memory)
    elapsed = time.perf_counter() - started
    print(f"\nTotal run time {elapsed:.0f} s; load average at the end: {load_average()}.")
    if busy_machine():
        print("The load average shows other processes competing for the CPUs: expect noisy figures,\n"
              "and a scaling ratio pulled towards 1.")
    if args.json or args.plot:
        results = {
            "date": datetime.date.today().isoformat(),
            "command": " ".join(["python", "bench/bench.py", *(sys.argv[1:] if argv is None else argv)]),
            "quick": args.quick,
            "python": f"{platform.python_version()}{' free-threaded' if not sys._is_gil_enabled() else ''}",
            "numpy": np.__version__,
            "machine": platform.machine(),
            "nproc": default_worker_count(),
            "workers": workers or "default",
            "load_average_start": load_at_start,
            "load_average_end": load_average(),
            "run_seconds": round(elapsed, 1),
            "rows": [asdict(row) for row in rows],
            "scaling": {"n": settings.scaling_n, **scaling},
            "memory": memory,
        }
        if args.json:
            with open(args.json, "w") as out:
                json.dump(results, out, indent=1)
                out.write("\n")
            print(f"Measurements written to {args.json}.")
        if args.plot:
            from plot import draw
            draw(results, args.plot)
            print(f"Throughput picture written to {args.plot}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
