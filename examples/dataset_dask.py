#!/usr/bin/env python3
"""dataset.py's training set, made on a Dask distributed cluster: the shards
are scrambled on the workers, and the client writes them as they come back.

    bash examples/run.sh dataset_dask                     # a LocalCluster, one worker per CPU
    bash examples/run.sh dataset_dask --workers 2 --states 5000000
    bash examples/run.sh dataset_dask --scheduler tcp://host:8786

The files, their names and their bytes are those of dataset.py with the same
arguments (see its --help), whatever the number of workers. A worker returns a
shard as its CubeBatch and its two label arrays; the batch crosses to the
client pickled as its words (16 bytes a 3x3 cube, 8 a 2x2), smaller than its
sticker rows, and the client projects it to stickers. So the workers need no
file system shared with the client, only turnsmith and NumPy: dataset.py
itself is sent to them on connecting. The run ends with a summary: states,
bytes and states per second from the first shard asked for to the last one
written (the cluster's start is timed apart).

A LocalCluster runs --workers processes of --threads threads each, and gives
each process a turnsmith pool of its share of the CPUs, so that the processes
do not compete for them.
"""
from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
from collections import deque
from collections.abc import Iterator

from distributed import Client, Future, LocalCluster

import dataset


def start_client(args: argparse.Namespace, stack: contextlib.ExitStack[bool | None]) -> Client:
    """A client of the cluster at --scheduler, or of a new LocalCluster."""
    if args.scheduler:
        target: str | LocalCluster = args.scheduler
    else:
        pool = max(1, (os.process_cpu_count() or 1) // args.workers)
        # Client and LocalCluster are not annotated: mypy --strict is told so.
        target = stack.enter_context(LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=args.workers, threads_per_worker=args.threads, processes=True,
            dashboard_address=None, env={"RAYON_NUM_THREADS": str(pool)}))
    client: Client = stack.enter_context(Client(target))  # type: ignore[no-untyped-call]
    client.wait_for_workers(1, timeout=120)
    # The workers import the shard maker from dataset.py, which they may not have.
    client.upload_file(dataset.__file__)
    return client


def shards_in_order(client: Client, plan: dataset.Plan, window: int) -> Iterator[dataset.Shard]:
    """Every shard of the plan in order, each as soon as it and those before it
    are back, with `window` of them asked for ahead."""
    in_flight: deque[Future[dataset.Shard]] = deque()
    for index in range(plan.shard_count):
        in_flight.append(client.submit(dataset.scramble_shard, plan, index, pure=False))
        if len(in_flight) == window:
            yield in_flight.popleft().result()
    while in_flight:
        yield in_flight.popleft().result()


def main(argv: list[str] | None = None) -> int:
    p = dataset.parser(__doc__)
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="the scheduler of a running cluster (default: start a LocalCluster)")
    p.add_argument("--workers", type=int, default=os.process_cpu_count() or 1,
                   help="LocalCluster worker processes (default: one per CPU, %(default)s)")
    p.add_argument("--threads", type=int, default=1,
                   help="LocalCluster threads per worker (default %(default)s)")
    args = p.parse_args(argv)
    if args.workers < 1 or args.threads < 1:
        p.error("--workers and --threads must be at least 1")
    plan = dataset.plan_from(args, p)
    with contextlib.ExitStack() as stack:
        started = time.perf_counter()
        client = start_client(args, stack)
        workers = client.scheduler_info()["workers"].values()
        threads = sum(worker["nthreads"] for worker in workers)
        print(f"{len(workers)} workers, {threads} threads, ready in "
              f"{time.perf_counter() - started:.1f} s", file=sys.stderr)

        progress = dataset.Progress(plan.states)
        start = time.perf_counter()
        # Two shards a thread asked for ahead keep every thread busy while
        # the client writes.
        size = done = 0
        for index, (batch, lengths, last_moves) in enumerate(shards_in_order(client, plan, 2 * max(threads, 1))):
            size += dataset.write_shard(args.out, index, batch, lengths, last_moves)
            done += len(batch)
            progress.update(done)
        progress.close()
        print(dataset.summary(plan.states, plan.shard_count, size, time.perf_counter() - start),
              f"-> {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
