#!/usr/bin/env python3
"""The cost of one Python-level call on a single cube, set against the
cheapest method call there is: int.bit_length().

Each figure is the best of seven timed loops of a bound method; within a
round the loops of the calls, bit_length included, alternate, so that all
of them share the machine's state of the moment. The report gives the
median over the rounds of each call's time and of its ratio to bit_length
in the same round.

    python bench/call.py            # 3 rounds
    python bench/call.py --quick    # 1 round, shorter loops

Needs only the standard library and turnsmith.
"""
from __future__ import annotations

import argparse
import datetime
import os
import statistics
import sys
import timeit

import turnsmith

from bench import load_average

TARGET_RATIO = 1.3  # a turn at most this many times bit_length
BEST_OF = 7
FOUR_TOKENS = "R U' F2 D"


def calls() -> dict[str, tuple[object, tuple]]:
    """The timed bound methods and their arguments; the first is the yardstick."""
    cube = turnsmith.Cube3x3()
    return {
        "int.bit_length()": ((12345).bit_length, ()),
        "Cube3x3().do_u_move()": (cube.do_u_move, ()),
        "Cube3x3().is_solved()": (cube.is_solved, ()),
        f'Cube3x3().do_moves("{FOUR_TOKENS}")': (cube.do_moves, (FOUR_TOKENS,)),
    }


def timer(function: object, arguments: tuple) -> timeit.Timer:
    """A loop of calls of `function`, held with its arguments in local names
    as in a caller's own function."""
    names = [f"a{i}" for i in range(len(arguments))]
    setup = "; ".join(f"{name} = g_{name}" for name in ["f", *names])
    values = {"g_f": function, **{f"g_{name}": value for name, value in zip(names, arguments)}}
    return timeit.Timer(f"f({', '.join(names)})", setup, globals=values)


def one_round(timed: dict[str, tuple[object, tuple]], number: int) -> dict[str, float]:
    """Each call's best of BEST_OF loops of `number` calls, per call, in
    nanoseconds. The loops of the calls alternate, so that a burst of load
    from other processes falls on all of them alike."""
    timers = {name: timer(*call) for name, call in timed.items()}
    best = dict.fromkeys(timed, float("inf"))
    for _ in range(BEST_OF):
        for name, loop in timers.items():
            best[name] = min(best[name], loop.timeit(number) / number * 1e9)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run of a second or two")
    args = parser.parse_args()
    rounds, number = (1, 20_000) if args.quick else (3, 200_000)

    print(f"# one call on a single cube, {datetime.date.today()}, {os.cpu_count()} CPUs, "
          f"Python {sys.version.split()[0]}{' free-threaded' if not sys._is_gil_enabled() else ''}")
    print(f"load average at the start: {load_average()}")
    timed = calls()
    times: dict[str, list[float]] = {name: [] for name in timed}
    ratios: dict[str, list[float]] = {name: [] for name in timed}
    for _ in range(rounds):
        for name, best in one_round(timed, number).items():
            times[name].append(best)
        for name in timed:
            ratios[name].append(times[name][-1] / times["int.bit_length()"][-1])

    print(f"\n{rounds} round{'s' * (rounds > 1)}, each call the best of {BEST_OF} loops of {number:,} "
          "(medians over the rounds):")
    for name in timed:
        print(f"  {name:<36} {statistics.median(times[name]):7.1f} ns  "
              f"{statistics.median(ratios[name]):5.2f}x bit_length")
    turn = statistics.median(ratios["Cube3x3().do_u_move()"])
    print(f"\ndo_u_move() / bit_length(): {turn:.2f}; target at most {TARGET_RATIO}: "
          f"{'met' if turn <= TARGET_RATIO else 'NOT met'}")
    print(f"load average at the end: {load_average()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
