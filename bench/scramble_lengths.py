#!/usr/bin/env python3
"""How far scrambles of each length really go: 2x2 scrambles drawn with
avoid_inverse=True and with canonical=True, their exact distances read from
the 2x2's distance table, for 100,000 scrambles per length.

    python bench/scramble_lengths.py            # lengths 1..20, 100,000 scrambles each
    python bench/scramble_lengths.py --quick    # lengths 1..8, 10,000 each

Needs only the standard library, NumPy and turnsmith. The first call builds
the distance table (a few seconds).
"""
from __future__ import annotations

import argparse

import numpy as np
import turnsmith

SEED = 2026


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="lengths 1..8, 10,000 each")
    args = parser.parse_args()
    count, longest = (10_000, 8) if args.quick else (100_000, 20)
    print(f"# 2x2, {count:,} scrambles per length: mean exact distance, and the share exactly as long")
    print("length  avoid_inverse  exact   canonical  exact")
    for length in range(1, longest + 1):
        cells = []
        for rule in ({"avoid_inverse": True}, {"canonical": True}):
            batch = turnsmith.CubeBatch(count, 2)
            batch.scramble_with_moves(np.full(count, length), seed=SEED + length, **rule)
            distances = batch.distances()
            cells.append((distances.mean(), (distances == length).mean()))
        (mean_a, exact_a), (mean_c, exact_c) = cells
        print(f"{length:6d}  {mean_a:13.3f}  {exact_a:5.1%}  {mean_c:9.3f}  {exact_c:5.1%}")


if __name__ == "__main__":
    main()
