#!/usr/bin/env python3
"""What a deepening of the 3x3's optimal search costs, predicted from the
bounds' values, and what a larger table would save.

An iterative-deepening search to bound d generates, at depth i, the children
of the nodes at depth i-1 whose bound let them through; for states deep in
the tree, a node's bound is distributed as over uniformly random states. So

    nodes(d) = sum over i of N(i) * P(bound <= d - i + 1)

with N(i) the paths of i turns the search walks (no turn undone, no third
turn of a face, opposite faces in one order) and P over random states of the
right parity (a state's distance, and its lower bound, have the parity of its
corner permutation). P is measured here with CubeBatch.lower_bounds() over a
million random states.

For a table of one value per state of an abstraction of M states, P(value <=
r) is at most the share of those states within r turns of solved, at most
C(r) / M with C(r) the cube's own states within r quarter turns (the
published counts below): a floor under the table's values. Real abstractions
lie above that floor, because many paths meet in fewer states: the corners'
table (its exact counts by distance read here from the 2x2's table) lies a
measured number of turns above its floor. A larger table of the same kind is
predicted to lie as far above its own floor; its nodes are given both at the
floor (a bound) and at that shift (the prediction), with the small tables
beside it (taking the larger value, as if the two were independent).

    python bench/predict_nodes.py                # the small tables; a table of corners and edge flips
    python bench/predict_nodes.py --states 200000
"""
from __future__ import annotations

import argparse
import sys

import numpy as np

import turnsmith

# States at each quarter-turn distance from solved (published counts).
COUNTS = [1, 12, 114, 1068, 10011, 93840, 878880, 8221632, 76843595, 717789576, 6701836858,
          62549615248, 583570100997, 5442351625028, 50729620202582, 472495678811004]
STATES = 43_252_003_274_489_856_000


def paths_by_depth(depth: int) -> list[int]:
    """N(i): the move sequences of i quarter turns that the search walks."""
    def allowed(last: int | None, doubled: bool, move: int) -> bool:
        if last is None:
            return True
        face, last_face = move // 2, last // 2
        undoes = move == last ^ 1
        third = move == last and doubled
        prime_twice = move == last and move % 2 == 1
        commuted = last_face % 2 == 1 and face + 1 == last_face  # D then U: searched as U then D
        return not (undoes or third or prime_twice or commuted)

    states: dict[tuple[int | None, bool], int] = {(None, False): 1}
    out = [1]
    for _ in range(depth):
        nxt: dict[tuple[int | None, bool], int] = {}
        for (last, doubled), ways in states.items():
            for move in range(12):
                if allowed(last, doubled, move):
                    key = (move, last == move)
                    nxt[key] = nxt.get(key, 0) + ways
        states = nxt
        out.append(sum(nxt.values()))
    return out


def bound_shares(states: int) -> dict[int, np.ndarray]:
    """P(bound <= r) for r of each parity, over random states of that parity."""
    batch = turnsmith.CubeBatch(states, 3)
    batch.randomize(seed=2026)
    bounds = batch.lower_bounds().astype(np.int64)
    shares = {}
    for parity in (0, 1):
        mine = np.sort(bounds[bounds % 2 == parity])
        shares[parity] = np.array([np.searchsorted(mine, r, side="right") / len(mine) for r in range(30)])
    return shares


def abstraction_shares(size: float) -> dict[int, np.ndarray]:
    """At most C(r)/M for states of r's parity: those within r of that parity."""
    shares = {}
    for parity in (0, 1):
        within = np.cumsum([c if d % 2 == parity else 0 for d, c in enumerate(COUNTS)])
        row = [min(1.0, within[min(r, len(within) - 1)] / (size / 2)) if r < len(COUNTS) else 1.0
               for r in range(30)]
        shares[parity] = np.array(row)
    return shares


def shifted(shares: dict[int, np.ndarray], turns: float) -> dict[int, np.ndarray]:
    """The shares of a table whose values lie `turns` higher (interpolated)."""
    out = {}
    for parity in (0, 1):
        rows = []
        for r in range(30):
            x = r - turns
            lo = int(np.floor(x))
            # Interpolate between the nearest values of this parity.
            below = lo - ((lo - parity) % 2)
            if below < 0:
                rows.append(0.0)
                continue
            above = below + 2
            t = (x - below) / 2
            a = shares[parity][below]
            b = shares[parity][min(above, 29)]
            rows.append(float(a * (1 - t) + b * t))
        out[parity] = np.array(rows)
    return out


def corner_shift() -> tuple[float, float]:
    """How far the corners' table lies above its floor: the means of its
    values and of the floor, over all its states."""
    batch = turnsmith.CubeBatch.from_ranks(np.arange(88_179_840, dtype=np.uint64), 2)
    counts = np.bincount(batch.distances())
    real = float((np.arange(len(counts)) * counts).sum() / counts.sum())
    floor = abstraction_shares(88_179_840.0)
    both = np.zeros(30)
    for parity in (0, 1):  # half the states of each parity
        both += 0.5 * np.diff(np.concatenate([[0.0], floor[parity]]))
    floor_mean = float((np.arange(30) * both).sum())
    return real, floor_mean


def predicted(bound: int, paths: list[int], shares: dict[int, np.ndarray]) -> float:
    total = 0.0
    for i in range(1, bound + 1):
        r = bound - i + 1  # the parent's bound must be at most what was left there
        total += paths[i] * shares[r % 2][r]
    return total


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--states", type=int, default=1_000_000, help="random states to sample the bounds")
    args = parser.parse_args()
    assert sum(COUNTS) < STATES
    paths = paths_by_depth(24)
    small = bound_shares(args.states)
    mean = sum(r * (small[0][r] - small[0][r - 1]) for r in range(1, 30))
    print(f"the small tables' bound over random states of even parity: mean {mean:.2f}")
    real, floor = corner_shift()
    shift = real - floor
    print(f"the corners' table: mean {real:.2f}, its floor's mean {floor:.2f}: {shift:.2f} turns above")
    designs = {
        "corners x edge flips (88,179,840 x 2,048 states; 5.6 GB at 4 bits under 16 symmetries)":
            88_179_840 * 2048.0,
        "corners x middle-edge places (88,179,840 x 495 states; 1.4 GB at 4 bits under 16 symmetries)":
            88_179_840 * 495.0,
        "flips x middle-edge places x twist x U-corner places (2,048 x 495 x 2,187 x 70; 2.5 GB at 2 bits)":
            2048 * 495 * 2187 * 70.0,
        "the same x corner parity (x 2; 4.9 GB at 2 bits)":
            2048 * 495 * 2187 * 140.0,
        "the same x corner half-turn cosets (x 420; 14.8 GB at 2 bits)":
            2048 * 495 * 2187 * 420.0,
    }
    print(f"\npredicted nodes of one deepening (generated), by bound:")
    names = ["small tables"] + [f"{k + 1}: floor" for k in range(len(designs))] + \
        [f"{k + 1}: shifted" for k in range(len(designs))]
    print(f"{'bound':>5}", *(f"{n:>14}" for n in names))
    floors = [abstraction_shares(size) for size in designs.values()]
    tables = [{p: small[p] * table[p] for p in (0, 1)} for table in floors] + \
        [{p: small[p] * shifted(table, shift)[p] for p in (0, 1)} for table in floors]
    for bound in range(14, 23):
        print(f"{bound:5d}", f"{predicted(bound, paths, small):14.3g}",
              *(f"{predicted(bound, paths, t):14.3g}" for t in tables))
    print()
    for k, name in enumerate(designs):
        at_floor = predicted(20, paths, small) / predicted(20, paths, tables[k])
        at_shift = predicted(20, paths, small) / predicted(20, paths, tables[len(designs) + k])
        print(f"design {k + 1}, {name}:\n  at bound 20, {at_floor:.1f}x fewer nodes at its floor, "
              f"{at_shift:.0f}x as far above it as the corners")
    return 0


if __name__ == "__main__":
    sys.exit(main())
