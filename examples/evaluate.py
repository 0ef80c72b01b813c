#!/usr/bin/env python3
"""Score a trained solver against the truth: its answers for a file of states
are replayed, and the solved ones are measured against exact distances.

    bash examples/run.sh evaluate --make-demo demo              # writes a demo set, then scores it
    bash examples/run.sh evaluate demo/states.npy demo/solutions.npy
    bash examples/run.sh evaluate demo/states.npy demo/solutions.txt --json
    bash examples/run.sh evaluate dataset answers.npy --workers 2       # dataset.py's shards, a LocalCluster
    bash examples/run.sh evaluate states.npy answers.npy --scheduler tcp://host:8786

The states are a NumPy .npy file, one cube a row, in either form the module
reads back exactly: sticker rows, (N, 54) for the 3x3 or (N, 24) for the 2x2
(dataset.py's states files, `to_sticker_bytes()`; any integer type but
uint64), or uint64 words, (N, 2) for the 3x3 or (N,) for the 2x2
(`to_words()`); or a directory of dataset.py's shards, whose
shard-*-states.npy files are read in shard order.
The solutions, row i for state i, are either

    a .npy file of move indexes, int8 (N, W) padded with -1 as
    `CubeBatch.solutions()` gives them: 0 U 1 U' 2 D 3 D' 4 R 5 R' 6 L 7 L'
    8 F 9 F' 10 B 11 B'; a row ends at its first -1, as
    `apply_move_sequences` reads it; or
    a text file of move strings, one line a state, in the notation of
    `do_moves` ("R U R' U'"); a half turn ("U2") counts as two quarter turns,
    an empty line is an empty answer, and a token that is not a move is an
    error rather than skipped, so that a typo never shortens an answer.

A solver that gives up answers with an empty row or line: its cube counts as
not solved (unless it was solved to begin with).

The scores, in quarter turns: the solve rate (answers that, replayed with
`apply_move_sequences`, leave the cube solved: `is_solved()`), the mean
length of the solved ones, the share optimal (solved in exactly the state's
distance, of all cubes and of the solved ones), and the mean gap (length less
distance, over the solved ones), with the count of each gap. Only solved
cubes need their distance, and most do not need a search for it:
`lower_bounds()` gives, for millions of cubes a second, a number never above
the distance, so an answer as short as its cube's bound is optimal as it
stands. Only the solved cubes whose answer is longer than their bound go to
`distances()`, the exact search (milliseconds for states about 14 quarter
turns from solved, minutes or more for deep ones), each with its answer's
length as `upper_bounds`: a solution is never shorter than the distance, so
the search never needs its deepening at that length, and an answer that is
optimal is proved so by the deepenings below it alone (most of the search
for a deep state). The summary says how many the bound settled and how many
were searched. The summary is a table on
stdout, or with --json one JSON object; the time taken goes to stderr (on a
cluster, from the first chunk sent; the cluster's start is timed apart).
--details FILE.npz keeps every cube's figures, row i for state i: solved,
lengths, lower_bounds, distances (255 for cubes not solved) and searched.

With --scheduler ADDRESS, or --workers N for a LocalCluster of N processes
(each with a turnsmith pool of its share of the CPUs), the cubes are shared
out on a Dask cluster in chunks of --chunk-size: a chunk travels as its words
and answer rows, a worker replays it, bounds it and searches what is left,
and the client puts the per-cube results together. This file is sent to the
workers on connecting, so they need turnsmith and NumPy but not the examples
folder. Every cube's figures depend on that cube alone, so the summary is the
same with and without a cluster.

--make-demo DIR writes a demo set and scores it: --demo-states 3x3 states
scrambled by 1 to 12 quarter turns (states.npy, sticker rows), and a stand-in
for a trained solver: two-phase solutions within 14 moves, a tenth of them cut
one move short (solutions.npy, and the same moves as solutions.txt).
"""
from __future__ import annotations

import argparse
import contextlib
import importlib.util
import json
import os
import sys
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any, Literal, NamedTuple, TextIO

import numpy as np
import numpy.typing as npt
import turnsmith

# Move index order of the module: 0 U, 1 U', 2 D, 3 D', ... 10 B, 11 B'.
NOTATION = tuple(f"{face}{suffix}" for face in "UDRLFB" for suffix in ("", "'"))
TURNS = len(NOTATION)
# Every token do_moves reads, as the quarter turns it stands for; "!" is its
# other prime mark and a half turn is two quarter turns.
TOKENS: dict[str, tuple[int, ...]] = {
    **{name: (index,) for index, name in enumerate(NOTATION)},
    **{f"{face}!": (2 * f + 1,) for f, face in enumerate("UDRLFB")},
    **{f"{face}2": (2 * f, 2 * f) for f, face in enumerate("UDRLFB")},
}
CubeType = Literal[2, 3]
# The cube type of a sticker row, by its width.
STICKERS: dict[int, CubeType] = {54: 3, 24: 2}
# A distance that was not needed: the cube's answer does not solve it.
UNKNOWN = 255
DEMO_LENGTHS = (1, 12)
DEMO_BOUND = 14
DEMO_CUT_SHARE = 0.1

Bools = npt.NDArray[np.bool_]
Moves = npt.NDArray[np.int8]


class Scores(NamedTuple):
    """Per-cube results, row i for state i."""

    solved: Bools  # the answer, replayed, leaves the cube solved
    lengths: npt.NDArray[np.int32]  # quarter turns in the answer, up to its first -1
    lower_bounds: npt.NDArray[np.uint8]
    distances: npt.NDArray[np.uint8]  # exact for solved cubes, UNKNOWN for the others
    searched: Bools  # the distance took a search: the bound did not prove the answer optimal


def cube_type_of(batch: turnsmith.CubeBatch) -> CubeType:
    return 3 if batch.to_words().ndim == 2 else 2


# ---- reading the files -----------------------------------------------------------


class InputError(ValueError):
    """A file that cannot be scored, with what is wrong with it."""


def load_array(path: Path) -> npt.NDArray[Any]:
    """A .npy file's array; no pickled objects."""
    try:
        array = np.load(path)
    except ValueError:
        array = None
    if not isinstance(array, np.ndarray):
        raise InputError(f"{path}: not a NumPy .npy array")
    return array


def load_states(path: Path) -> turnsmith.CubeBatch:
    """The states of a .npy file of sticker rows or words, or of dataset.py's
    shard directory; every row is checked to be a reachable state."""
    if path.is_dir():
        shards = sorted(path.glob("shard-*-states.npy"))
        if not shards:
            raise InputError(f"{path}: no shard-*-states.npy files (dataset.py's shards)")
        array = np.concatenate([load_array(shard) for shard in shards])
    else:
        array = load_array(path)
    if len(array) == 0:
        raise InputError(f"{path}: no states")
    try:
        if array.dtype == np.uint64 and (array.ndim == 1 or array.shape[1:] == (2,)):
            cube_type: CubeType = 3 if array.ndim == 2 else 2
            return turnsmith.CubeBatch.from_words(array, cube_type)
        if np.issubdtype(array.dtype, np.integer) and array.ndim == 2 and array.shape[1] in STICKERS:
            return turnsmith.CubeBatch.from_sticker_array(array, STICKERS[array.shape[1]])
    except ValueError as error:
        raise InputError(f"{path}: {error}") from None
    raise InputError(f"{path}: {array.dtype} {array.shape} is neither sticker rows, (N, 54) or (N, 24), "
                     "nor uint64 words, (N, 2) or (N,)")


def parse_line(line: str, number: int, path: Path) -> list[int]:
    moves: list[int] = []
    for token in line.split():
        turns = TOKENS.get(token)
        if turns is None:
            raise InputError(f"{path}, line {number}: {token!r} is not a move (U U' U2 ... B B' B2)")
        moves.extend(turns)
    return moves


def load_solutions(path: Path) -> Moves:
    """The answers as int8 move indexes, -1 padded: a .npy array as it is
    (checked), a text file parsed line by line."""
    if path.suffix == ".npy":
        array = load_array(path)
        if array.ndim != 2 or not np.issubdtype(array.dtype, np.integer):
            raise InputError(f"{path}: {array.dtype} {array.shape} is not a 2-D integer array of move indexes")
        bad = np.argwhere((array < -1) | (array >= TURNS))
        if len(bad):
            row, column = bad[0]
            raise InputError(f"{path}: row {row}, column {column} holds {array[row, column]}, "
                             f"but move indexes are 0..{TURNS - 1} (-1 ends a row)")
        moves: Moves = array.astype(np.int8)
        return moves
    with open(path, encoding="utf-8") as file:
        rows = [parse_line(line, number, path) for number, line in enumerate(file, 1)]
    moves = np.full((len(rows), max(map(len, rows), default=0)), -1, np.int8)
    for i, row in enumerate(rows):
        moves[i, :len(row)] = row
    return moves


# ---- scoring ---------------------------------------------------------------------


def answer_lengths(moves: Moves) -> npt.NDArray[np.int32]:
    """Quarter turns in each row up to its first -1, the moves apply_move_sequences turns."""
    ends = moves < 0
    return np.where(ends.any(axis=1), ends.argmax(axis=1), moves.shape[1]).astype(np.int32)


def score(batch: turnsmith.CubeBatch, moves: Moves, progress: bool | None = None) -> Scores:
    """Every cube's figures: the answers replayed on a copy of the batch, the
    lower bounds, and distances() for the solved cubes whose answer is longer
    than their bound (lower bound <= distance <= any solution's length, so
    an answer as short as the bound is optimal, and the answer's length bounds
    the search). Depends on each cube and its row alone, so chunks of a batch
    give the rows of the whole."""
    if len(moves) != len(batch):
        raise InputError(f"{len(moves)} answers for {len(batch)} states")
    replay = turnsmith.CubeBatch.from_words(batch.to_words(), cube_type_of(batch))
    replay.apply_move_sequences(moves)
    solved = replay.is_solved()
    lengths = answer_lengths(moves)
    lower = batch.lower_bounds()
    distances = np.full(len(batch), UNKNOWN, np.uint8)
    proved = solved & (lengths == lower)
    distances[proved] = lower[proved]
    searched = solved & ~proved
    if searched.any():
        rows = np.flatnonzero(searched)
        distances[rows] = batch.take(rows).distances(progress=progress, upper_bounds=lengths[rows])
    return Scores(solved, lengths, lower, distances, searched)


def concatenate(parts: list[Scores]) -> Scores:
    return Scores(*(np.concatenate(column) for column in zip(*parts)))


def mean(values: npt.NDArray[Any]) -> float | None:
    return float(values.mean()) if len(values) else None


def share(part: int, whole: int) -> float | None:
    return part / whole if whole else None


def summarize(scores: Scores, cube_type: CubeType) -> dict[str, Any]:
    """The figures of a run, as --json prints them."""
    cubes, solved = len(scores.solved), int(scores.solved.sum())
    lengths = scores.lengths[scores.solved].astype(np.int64)
    gaps = lengths - scores.distances[scores.solved]
    optimal = int((gaps == 0).sum())
    values, counts = np.unique(gaps, return_counts=True)
    return {
        "cube_type": cube_type,
        "cubes": cubes,
        "solved": solved,
        "solve_rate": share(solved, cubes),
        "mean_length": mean(lengths),
        "optimal": optimal,
        "optimal_share": share(optimal, cubes),
        "optimal_share_of_solved": share(optimal, solved),
        "mean_gap": mean(gaps),
        "gaps": {str(gap): int(count) for gap, count in zip(values, counts)},
        "proved_by_bound": solved - int(scores.searched.sum()),
        "searched": int(scores.searched.sum()),
    }


def percent(value: float | None) -> str:
    return "-" if value is None else f"{value:.1%}"


def decimal(value: float | None) -> str:
    return "-" if value is None else f"{value:.2f}"


def table(summary: dict[str, Any]) -> str:
    gaps = ", ".join(f"{gap}: {count:,}" for gap, count in summary["gaps"].items()) or "-"
    rows = [
        ("cubes", f"{summary['cubes']:,}", f"{summary['cube_type']}x{summary['cube_type']}"),
        ("solve rate", percent(summary["solve_rate"]), f"{summary['solved']:,} solved"),
        ("mean length", decimal(summary["mean_length"]), "quarter turns, solved cubes"),
        ("share optimal", percent(summary["optimal_share"]),
         f"{summary['optimal']:,} in exactly their distance; {percent(summary['optimal_share_of_solved'])}"
         " of the solved"),
        ("mean gap", decimal(summary["mean_gap"]), "length less distance, solved cubes"),
        ("gaps", "", gaps),
        ("by the bound", f"{summary['proved_by_bound']:,}", "solved cubes as short as their lower bound"),
        ("searched", f"{summary['searched']:,}", "distances() for the other solved cubes"),
    ]
    return "\n".join(f"{name:<14} {value:>8}  {note}".rstrip() for name, value, note in rows)


# ---- on a Dask cluster -----------------------------------------------------------


def shipped_module() -> ModuleType:
    """This file as the module `evaluate`, which the workers import once it
    is uploaded: run as a script, its functions belong to __main__, which
    would be pickled by value with whatever the client's __main__ holds."""
    if __name__ == "evaluate":
        return sys.modules[__name__]
    module = sys.modules.get("evaluate")
    if module is None or getattr(module, "__file__", None) != __file__:
        spec = importlib.util.spec_from_file_location("evaluate", __file__)
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        sys.modules["evaluate"] = module
        spec.loader.exec_module(module)
    return module


def start_client(args: argparse.Namespace, stack: contextlib.ExitStack[bool | None]) -> Any:
    """A client of the cluster at --scheduler, or of a new LocalCluster of
    --workers processes, each with a pool of its share of the CPUs."""
    from distributed import Client, LocalCluster

    if args.scheduler:
        target: str | LocalCluster = args.scheduler
    else:
        pool = max(1, (os.process_cpu_count() or 1) // args.workers)
        # Client and LocalCluster are not annotated: mypy --strict is told so.
        target = stack.enter_context(LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=args.workers, threads_per_worker=args.threads, processes=True,
            dashboard_address=None, env={"RAYON_NUM_THREADS": str(pool)}))
    client = stack.enter_context(Client(target))  # type: ignore[no-untyped-call]
    client.wait_for_workers(1, timeout=120)
    client.upload_file(shipped_module().__file__)
    return client


def score_on_cluster(client: Any, batch: turnsmith.CubeBatch, moves: Moves, chunk_size: int,
                     progress: Callable[[int], None]) -> Scores:
    """score() chunk by chunk on the workers, with two chunks a worker thread
    asked for ahead, and the rows put back in order."""
    from distributed import as_completed

    worker_score = shipped_module().score
    threads = sum(worker["nthreads"] for worker in client.scheduler_info()["workers"].values())
    starts = iter(range(0, len(batch), chunk_size))
    where: dict[Any, int] = {}  # the first row of each chunk in flight

    def submit() -> Any:
        start = next(starts, None)
        if start is None:
            return None
        rows = np.arange(start, min(start + chunk_size, len(batch)))
        # The batch pickles as its words: 16 bytes a 3x3 cube.
        future = client.submit(worker_score, batch.take(rows), moves[rows], pure=False)
        where[future] = start
        return future

    first = [submit() for _ in range(2 * max(threads, 1))]
    pending = as_completed([future for future in first if future is not None])  # type: ignore[no-untyped-call]
    parts: dict[int, Scores] = {}
    done = 0
    for future in pending:
        part: Scores = future.result()
        parts[where.pop(future)] = part
        done += len(part.solved)
        progress(done)
        if (following := submit()) is not None:
            pending.add(following)  # type: ignore[no-untyped-call]
    return concatenate([parts[start] for start in sorted(parts)])


def progress_line(total: int, stream: TextIO) -> Callable[[int], None]:
    """A cubes-done counter on one terminal line; silent when the stream is not a terminal."""
    def update(done: int) -> None:
        if stream.isatty():
            stream.write(f"\r{done:,}/{total:,} cubes" + ("\n" if done == total else ""))
            stream.flush()
    return update


# ---- the demo set ----------------------------------------------------------------


def make_demo(out: Path, states: int, seed: int) -> tuple[Path, Path]:
    """Writes states.npy, solutions.npy and solutions.txt into `out`; returns
    the paths of the states and of the .npy answers."""
    out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    batch = turnsmith.CubeBatch(states, 3)
    batch.scramble_with_moves(rng.integers(DEMO_LENGTHS[0], DEMO_LENGTHS[1] + 1, states),
                              seed=int(rng.integers(2**63)), avoid_inverse=True)
    moves = batch.solutions(max_length=DEMO_BOUND)
    # The stand-in solver's failures: a tenth of the answers lose their last move.
    lengths = answer_lengths(moves)
    cut = rng.choice(states, int(states * DEMO_CUT_SHARE), replace=False)
    cut = cut[lengths[cut] > 0]
    moves[cut, lengths[cut] - 1] = -1
    paths = out / "states.npy", out / "solutions.npy", out / "solutions.txt"
    np.save(paths[0], batch.to_sticker_bytes())
    np.save(paths[1], moves)
    paths[2].write_text("".join(" ".join(NOTATION[m] for m in row if m >= 0) + "\n" for row in moves))
    return paths[0], paths[1]


# ---- the command -----------------------------------------------------------------


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("states", type=Path, nargs="?", help="a .npy file of states, or dataset.py's shard directory")
    p.add_argument("solutions", type=Path, nargs="?", help="a .npy file of move indexes, or a text file of moves")
    p.add_argument("--json", action="store_true", help="print the figures as one JSON object")
    p.add_argument("--details", type=Path, metavar="FILE.npz", help="write every cube's figures to FILE.npz")
    p.add_argument("--make-demo", type=Path, metavar="DIR", help="write a demo set into DIR and score it")
    p.add_argument("--demo-states", type=int, default=1000, help="states in the demo set (default %(default)s)")
    p.add_argument("--seed", type=int, default=0, help="the demo set's seed (default %(default)s)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="score on the Dask cluster of this scheduler")
    p.add_argument("--workers", type=int, help="score on a Dask LocalCluster of this many processes")
    p.add_argument("--threads", type=int, default=1, help="LocalCluster threads per worker (default %(default)s)")
    p.add_argument("--chunk-size", type=int, default=1000,
                   help="cubes a task on a cluster (default %(default)s)")
    return p


def main(argv: list[str] | None = None) -> int:
    p = parser()
    args = p.parse_args(argv)
    if args.make_demo is not None:
        if args.states or args.solutions:
            p.error("--make-demo scores the set it makes: give no files with it")
        if not 1 <= args.demo_states or not 0 <= args.seed < 2**64:
            p.error("--demo-states must be at least 1 and --seed in 0..2**64-1")
        args.states, args.solutions = make_demo(args.make_demo, args.demo_states, args.seed)
        print(f"demo set: {args.states}, {args.solutions} and {args.solutions.with_suffix('.txt')}",
              file=sys.stderr)
    elif args.states is None or args.solutions is None:
        p.error("give a states file and a solutions file, or --make-demo DIR")
    if args.chunk_size < 1 or args.threads < 1 or (args.workers is not None and args.workers < 1):
        p.error("--chunk-size, --workers and --threads must be at least 1")
    if (args.scheduler or args.workers) and importlib.util.find_spec("distributed") is None:
        p.error("a cluster needs Dask: pip install '.[dask]'")
    try:
        batch = load_states(args.states)
        moves = load_solutions(args.solutions)
        if len(moves) != len(batch):
            raise InputError(f"{len(moves):,} answers in {args.solutions} for {len(batch):,} states")
    except (ValueError, OSError) as error:  # InputError, NumPy's and the text decoder's
        p.error(str(error))
    if args.scheduler or args.workers:
        with contextlib.ExitStack() as stack:
            started = time.perf_counter()
            client = start_client(args, stack)
            workers = client.scheduler_info()["workers"].values()
            print(f"{len(workers)} workers, {sum(worker['nthreads'] for worker in workers)} threads, "
                  f"ready in {time.perf_counter() - started:.1f} s", file=sys.stderr)
            start = time.perf_counter()
            scores = score_on_cluster(client, batch, moves, args.chunk_size,
                                      progress_line(len(batch), sys.stderr))
    else:
        start = time.perf_counter()
        scores = score(batch, moves, progress=True)
    seconds = time.perf_counter() - start
    summary = summarize(scores, cube_type_of(batch))
    if args.details is not None:
        np.savez(args.details, **scores._asdict())
    print(json.dumps(summary, indent=2) if args.json else table(summary))
    print(f"{len(batch):,} cubes scored in {seconds:.2f} s, {summary['searched']:,} of them searched",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
