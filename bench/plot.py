#!/usr/bin/env python3
"""Throughput against batch size, one panel per operation, from the JSON that
bench.py writes: turnsmith, the NumPy ways and the fill floor on log-log axes.

    python bench/bench.py --json results.json     # measure (or --plot PATH.png there)
    python bench/plot.py results.json bench/throughput.png

Needs matplotlib: pip install matplotlib, or pip install '.[bench]'.
"""
from __future__ import annotations

import argparse
import io
import json
import sys
from typing import Any, Literal

OPERATIONS = ("get_next_states", "to_sticker_array", "apply_move_indexes", "scramble")
# Cube type: its name, line style and marker.
CUBES: dict[int, tuple[str, Literal["-", "--"], str]] = {3: ("3x3", "-", "o"), 2: ("2x2", "--", "s")}
# Per operation, what the two NumPy columns time (None: no such column).
NUMPY_WAYS = {
    "get_next_states": ("NumPy states[:, perms]", "numpy.take"),
    "to_sticker_array": ("NumPy states.copy()", None),
    "apply_move_indexes": ("NumPy fancy indexing", "numpy.take_along_axis"),
    "scramble": ("NumPy, 20 rounds of fancy indexing", "NumPy, 20 rounds of take_along_axis"),
}
TITLES = {
    "get_next_states": "get_next_states (12 sticker rows per cube)",
    "to_sticker_array": "to_sticker_array (one sticker row per cube)",
    "apply_move_indexes": "apply_move_indexes (one random turn per cube)",
    "scramble": "scramble (20 random turns per cube)",
}
COLOURS = {"turnsmith": "tab:red", "numpy_a": "tab:blue", "numpy_b": "tab:green", "fill": "tab:gray"}


def require_matplotlib() -> bool:
    """Whether matplotlib imports; says what to install when it does not."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("The throughput picture needs matplotlib, which this interpreter lacks: "
              f"{sys.executable} -m pip install matplotlib (or pip install '.[bench]').", file=sys.stderr)
        return False
    return True


def draw(results: dict[str, Any], path: str) -> None:
    """Writes the picture of bench.py's results to path (PNG)."""
    import matplotlib
    matplotlib.use("Agg")  # files only: no display needed
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from PIL import Image  # comes with matplotlib

    figure, axes = plt.subplots(2, 2, figsize=(11, 8.5), layout="constrained")
    for axis, op in zip(axes.flat, OPERATIONS):
        rows = [row for row in results["rows"] if row["op"] == op]
        labels = {"turnsmith": "turnsmith", "numpy_a": NUMPY_WAYS[op][0], "numpy_b": NUMPY_WAYS[op][1],
                  "fill": "fill floor: numpy.empty(out).fill(1)"}
        for cube, (_, style, marker) in CUBES.items():
            for column, label in labels.items():
                points = sorted((row["n"], row["n"] / row[column]) for row in rows
                                if row["cube"] == cube and row.get(column))
                if label is None or not points:
                    continue
                sizes, rates = zip(*points)
                axis.plot(sizes, rates, style, marker=marker, markersize=4, color=COLOURS[column],
                          label=label if cube == 3 else None)
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_title(TITLES[op], fontsize=10)
        axis.set_xlabel("batch size (cubes)")
        axis.set_ylabel("cubes per second")
        axis.grid(True, which="major", alpha=0.4)
        axis.grid(True, which="minor", alpha=0.12)
        axis.legend(fontsize=8, loc="best")
    figure.legend(handles=[Line2D([], [], color="black", linestyle=style, marker=marker, markersize=4, label=name)
                           for name, style, marker in CUBES.values()],
                  loc="outside lower center", ncol=2, fontsize=9)
    figure.suptitle(f"turnsmith batch throughput, {results['date']}: Python {results['python']}, "
                    f"NumPy {results['numpy']}, {results['machine']}, nproc {results['nproc']}, load average "
                    f"{results['load_average_start'].split(',')[0]} at the start, "
                    f"{results['load_average_end'].split(',')[0]} at the end\n"
                    "each point the best of up to 5 calls after an untimed warm-up call; higher is better",
                    fontsize=10)
    # A 256-colour palette keeps the file a third of the size, for the repository's sake.
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=90)
    plt.close(figure)
    with Image.open(buffer) as image:
        image.convert("RGB").quantize(colors=256).save(path, optimize=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("results", help="the JSON written by bench.py --json")
    parser.add_argument("output", help="the PNG to write")
    args = parser.parse_args(argv)
    if not require_matplotlib():
        return 2
    with open(args.results) as source:
        draw(json.load(source), args.output)
    print(f"Throughput picture written to {args.output}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
